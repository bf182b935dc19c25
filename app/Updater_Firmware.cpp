// Choosing the firmware image a flow writes: a file the user named, or a
// build from the device's entry in the store, downloaded first when it is
// missing and the caller allows it.
#include "app/Updater.h"

#include "app/Log.h"
#include "app/firmware/BirdFile.h"
#include "app/store/UpdaterStore.h"

#include <memory>
#include <stdexcept>

BirdFile Updater::load_bird(const char* verb, std::string birdPath, uint32_t serial, uint32_t build,
                            bool download)
{
    if (!birdPath.empty())
    {
        // A named file needs no store.
        display->message(UpdaterDisplayInterface::Info, "%s from Birdfile: %s", verb,
                         birdPath.c_str());
        return BirdFile(birdPath.c_str());
    }
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(*display, store_directory, "load_bird");
    if (!store)
    {
        throw std::runtime_error("Error reading birdfile: no store");
    }
    UpdaterStoreItem entry = store->AddDevice(serial);
    display->message(UpdaterDisplayInterface::Info, "%s firmware with build: %u", verb, build);
    try
    {
        return entry.ReadBirdFile((std::to_string(build) + ".bird").c_str());
    }
    catch (const std::runtime_error& error)
    {
        Log::log(DEBUG_Updater, "load_bird: %s\n", error.what());
        if (!download)
        {
            throw std::runtime_error("Error reading birdfile");
        }
    }
    display->message(UpdaterDisplayInterface::Info, "Downloading firmware build %u", build);
    // The download answers with the build it stored (the latest one for build 0).
    uint32_t stored = Download_Firmware(serial, std::to_string(build), false, false);
    return entry.ReadBirdFile((std::to_string(stored != 0 ? stored : build) + ".bird").c_str());
}

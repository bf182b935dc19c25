// Firmware acquisition: downloads from the update server into the store, the
// server's and the store's build lists, and the device's feature token.
#include "app/Updater.h"

#include "app/Log.h"
#include "app/firmware/BirdFile.h"
#include "app/server/UpdateServerRequest.h"
#include "app/server/base64.h"
#include "app/store/KeyValueStore.h"
#include "app/store/UpdaterStore.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace
{
const char* const _keyLatestDownload = "LATEST_DOWNLOAD";
const char* const _keyLastDownloadDate = "LAST_DOWNLOAD_DATE";
const char* const _birdSuffix = ".bird";
const auto _spinnerSlice = std::chrono::milliseconds(100);

// A text made only of decimal digits that fits 32 bits.
bool _strict_number(const std::string& text, unsigned int& value)
{
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos)
    {
        return false;
    }
    unsigned long long parsed = strtoull(text.c_str(), nullptr, 10);
    if (parsed > 0xFFFFFFFFull)
    {
        return false;
    }
    value = static_cast<unsigned int>(parsed);
    return true;
}

// The leading decimal number of a text (leading blanks allowed, the rest
// ignored); logs and gives 0 when there is none or it does not fit 32 bits.
unsigned int _to_number(const std::string& text)
{
    size_t start = text.find_first_not_of(" \t");
    if (start != std::string::npos && isdigit(static_cast<unsigned char>(text[start])))
    {
        errno = 0;
        unsigned long long parsed = strtoull(text.c_str() + start, nullptr, 10);
        if (errno == 0 && parsed <= 0xFFFFFFFFull)
        {
            return static_cast<unsigned int>(parsed);
        }
    }
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
    return 0;
}

std::string _build_file_name(unsigned int build)
{
    return std::to_string(build) + _birdSuffix;
}

// The cause of a failure, on the line after the message that reports it.
void _cause(UpdaterDisplayInterface& display, const std::string& cause)
{
    if (!cause.empty())
    {
        display.message(UpdaterDisplayInterface::Error, "Cause: %s", cause.c_str());
    }
}

// Why the last server request of this thread failed.
void _server_cause(UpdaterDisplayInterface& display)
{
    _cause(display, UpdateServerRequest::LastError());
}

} // namespace

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& directory, const char* caller)
{
    try
    {
        return std::make_unique<UpdaterStore>(directory.c_str());
    }
    catch (const std::runtime_error& error)
    {
        display.message(UpdaterDisplayInterface::Error,
                        "Failed to Create UpdaterStore in: %s - Exception: %s", caller,
                        error.what());
        return nullptr;
    }
}

bool _valid_build(unsigned int serial, unsigned int build, const char* serverURL)
{
    std::map<std::string, std::string> builds;
    if (!UpdateServerRequest::GetBuildList(serial, builds, serverURL))
    {
        return false;
    }
    for (const auto& entry : builds)
    {
        if (_to_number(entry.first) == build)
        {
            return true;
        }
    }
    return false;
}

namespace
{
// Runs the download on a worker thread while the calling thread turns the
// spinner about ten times a second. The worker touches only its own copies
// and `reply`, which is read after the join.
bool _download_with_spinner(UpdaterDisplayInterface& display, unsigned int serial,
                            std::string firmware, std::string build, std::string url, bool noCal,
                            std::string& reply, std::string& cause)
{
    std::promise<bool> result;
    std::future<bool> done = result.get_future();
    std::thread worker(
        [serial, firmware, build, url, noCal, &reply, &cause, result = std::move(result)]() mutable
        {
            bool ok = UpdateServerRequest::GetBuild(serial, firmware.c_str(), build.c_str(), reply,
                                                    url.c_str(), noCal);
            cause = UpdateServerRequest::LastError();
            result.set_value(ok);
        });
    display.update_spinner(true, "Downloading");
    while (done.wait_for(_spinnerSlice) != std::future_status::ready)
    {
        display.update_spinner(true, "Downloading");
    }
    display.update_spinner(false, "Downloading");
    bool ok = done.get();
    worker.join();
    return ok;
}

// Decodes the reply, checks it is a loadable BIRD file and puts it in the
// entry as <build>.bird. The checks run on the decoded bytes, and the write
// replaces the old image in one step, so nothing of the entry changes unless
// all of it succeeds. The reply is decoded over itself, and the check
// inflates the image piece by piece: the reply's text is the only large
// buffer.
bool _store_image(UpdaterDisplayInterface& display, UpdaterStoreItem& entry, unsigned int build,
                  std::string& reply)
{
    unsigned long length = 0;
    if (!base64_decode_in_place(reply.data(), reply.size(), &length))
    {
        Log::log(DEBUG_Updater, "Download_Firmware: reply is not base64 (%zu characters)\n",
                 reply.size());
        display.message(UpdaterDisplayInterface::Error, "Failed to retrieve a valid BIRD file");
        _cause(display, "the server's reply is not base64 text");
        return false;
    }
    reply.resize(length);
    const auto* bytes = reinterpret_cast<const unsigned char*>(reply.data());
    std::string why = "the reply has no BIRD file header";
    if (!BirdFile::VerifyHeader(bytes, length) || !BirdFile::CheckBytes(bytes, length, &why))
    {
        Log::log(DEBUG_Updater, "Download_Firmware: the reply of build %u is no BIRD file\n",
                 build);
        display.message(UpdaterDisplayInterface::Error, "Failed to retrieve a valid BIRD file");
        _cause(display, why);
        return false;
    }
    int systemError = 0;
    const std::string name = _build_file_name(build);
    kxErr written = entry.WriteFile(name.c_str(), bytes, length, &systemError);
    if (written != kxErrNone)
    {
        display.message(UpdaterDisplayInterface::Error, "Failed to write file with %d", written);
        const std::string path = entry.FullPath() + "/" + name;
        _cause(display,
               path + ": " + (systemError != 0 ? strerror(systemError) : "the write failed"));
        return false;
    }
    return true;
}

} // namespace

namespace
{
void _report(bool* ok, bool value)
{
    if (ok != nullptr)
    {
        *ok = value;
    }
}

} // namespace

uint32_t Updater::Download_Firmware(uint32_t serial, std::string build, bool overrideChecks,
                                    bool noCal)
{
    UpdaterDisplayInterface& out = *display;
    unsigned int buildNumber = 0;
    if (!build.empty() && !_strict_number(build, buildNumber))
    {
        out.message(UpdaterDisplayInterface::Error, "Build number '%s' must be an number",
                    build.c_str());
        return 0;
    }
    if (serial == 0)
    {
        out.message(UpdaterDisplayInterface::Error, "Serial Number must be non-zero");
        return 0;
    }
    const char* url = server_url.c_str();
    if (!UpdateServerRequest::ping(url))
    {
        out.message(UpdaterDisplayInterface::Error, "Server request failed for %s", url);
        _server_cause(out);
        return 0;
    }

    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(out, store_directory, "Download_Firmware");
    if (!store)
    {
        return 0;
    }
    UpdaterStoreItem entry;
    if (!store->FindDevice(serial, &entry))
    {
        Log::log(DEBUG_APP, "Could not find device in our update history.\n");
        try
        {
            entry = store->AddDevice(serial);
        }
        catch (const std::runtime_error& error)
        {
            Log::log(DEBUG_APP, "Download_Firmware: %s\n", error.what());
            out.message(UpdaterDisplayInterface::Error,
                        "Could not create directory for storing BIRD file");
            _cause(out, error.what());
            return 0;
        }
    }

    std::string currentBuild;
    std::string firmware;
    if (!UpdateServerRequest::QueryBuild(serial, currentBuild, firmware, url))
    {
        out.message(UpdaterDisplayInterface::Error, "No build information for device");
        _server_cause(out);
        return 0;
    }
    if (buildNumber == 0)
    {
        buildNumber = _to_number(currentBuild);
    }

    out.message(UpdaterDisplayInterface::Info, "Retrieving build %u", buildNumber);
    if (overrideChecks)
    {
        out.message(UpdaterDisplayInterface::Info,
                    "Override specified, skipping validation of build %u", buildNumber);
    }
    else
    {
        out.message(UpdaterDisplayInterface::Info, "Validating build %u with server", buildNumber);
        if (!_valid_build(serial, buildNumber, url))
        {
            out.message(UpdaterDisplayInterface::Error, "No valid build %u", buildNumber);
            _server_cause(out);
            return 0;
        }
        out.message(UpdaterDisplayInterface::Info, "Build %u is valid", buildNumber);
    }

    std::string reply;
    std::string cause;
    if (!_download_with_spinner(out, serial, firmware, std::to_string(buildNumber), server_url,
                                noCal, reply, cause))
    {
        out.message(UpdaterDisplayInterface::Error, "Download failed");
        _cause(out, cause);
    }
    if (reply.empty())
    {
        out.message(UpdaterDisplayInterface::Error, "Failed to retrieve a valid BIRD file");
        return 0;
    }
    // A reply that does not decode, is no BIRD file or cannot be stored is a
    // failed download: the entry keeps its image and its LATEST_DOWNLOAD.
    if (!_store_image(out, entry, buildNumber, reply))
    {
        return 0;
    }
    entry.settings.Add(_keyLatestDownload, _build_file_name(buildNumber));
    entry.settings.Add(_keyLastDownloadDate, KeyValueStore::CurrentTimeText());
    // The image is in place, but a download the store does not know of is
    // not done.
    if (!entry.settings.Save())
    {
        Log::log(DEBUG_Updater, "Download_Firmware: could not save the settings of %s\n",
                 entry.FullPath().c_str());
        out.message(UpdaterDisplayInterface::Error, "Could not record download of build %u in %s",
                    buildNumber, entry.FullPath().c_str());
        _cause(out, entry.settings.Problem());
        return 0;
    }
    return buildNumber;
}

uint32_t Updater::Download_Firmware(const Fingerprint& fingerprint, std::string build,
                                    bool overrideChecks)
{
    unsigned int buildNumber = 0;
    if (!_strict_number(build, buildNumber))
    {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", build.c_str());
        buildNumber = 0;
    }
    unsigned int serial = 0;
    unsigned int serverBuild = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, &serial, &serverBuild,
                                              server_url.c_str()))
    {
        display->message(UpdaterDisplayInterface::Error,
                         "Failed to retrieve recovery information from Kavrel update server");
        return 0;
    }
    if (buildNumber == 0)
    {
        buildNumber = serverBuild;
    }
    return Download_Firmware(serial, std::to_string(buildNumber), overrideChecks, false);
}

BuildList Updater::Get_BuildList(uint32_t serial, bool* ok)
{
    BuildList builds;
    const char* url = server_url.c_str();
    if (!UpdateServerRequest::ping(url))
    {
        display->message(UpdaterDisplayInterface::Error, "Server request failed for %s", url);
        _server_cause(*display);
        _report(ok, false);
        return builds;
    }
    if (!UpdateServerRequest::GetBuildList(serial, builds, url))
    {
        display->message(UpdaterDisplayInterface::Error, "Failed to retrieve builds for %08X",
                         serial);
        _server_cause(*display);
        _report(ok, false);
        return builds;
    }
    _report(ok, true);
    return builds;
}

BuildList Updater::Get_BuildListLocal(uint32_t serial, bool* ok)
{
    BuildList builds;
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(*display, store_directory, "Get_BuildListLocal");
    if (!store)
    {
        _report(ok, false);
        return builds;
    }
    std::vector<UpdaterStoreItem> items;
    store->FindLocalBuilds(serial, items);
    for (const UpdaterStoreItem& item : items)
    {
        std::string key = item.name.substr(0, item.name.find(_birdSuffix));
        std::string version;
        std::string path = item.basePath + "/" + item.name;
        if (item.IsValid() && BirdFile::VerifyFile(path.c_str()))
        {
            // A file that passes the quick check but does not load is listed
            // without a version rather than ending the run.
            try
            {
                BirdFile bird(path.c_str());
                version = bird.GetVersion();
            }
            catch (const std::runtime_error& error)
            {
                Log::log(DEBUG_Updater, "Get_BuildListLocal: %s: %s\n", path.c_str(), error.what());
            }
            if (!version.empty())
            {
                Log::log(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n",
                         path.c_str());
            }
        }
        else
        {
            Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
        }
        builds.emplace(key, version);
    }
    _report(ok, true);
    return builds;
}

std::string Updater::Get_JWT(uint32_t serial, bool* ok)
{
    std::string token;
    const char* url = server_url.c_str();
    if (!UpdateServerRequest::ping(url))
    {
        display->message(UpdaterDisplayInterface::Error, "Server request failed for %s", url);
        _server_cause(*display);
        _report(ok, false);
        return token;
    }
    if (!UpdateServerRequest::GetDeviceJWT(serial, token, url))
    {
        display->message(UpdaterDisplayInterface::Error, "Failed to retrieve jwt for %08X", serial);
        _server_cause(*display);
        token.clear();
        _report(ok, false);
        return token;
    }
    _report(ok, true);
    return token;
}

void _display_builds(UpdaterDisplayInterface& display, const BuildList& builds, uint32_t serial)
{
    if (builds.empty())
    {
        display.message(UpdaterDisplayInterface::Info, "No builds found for device [%08X]", serial);
        return;
    }
    display.message(UpdaterDisplayInterface::Info, "Build List for device [%08X]:\n", serial);
    display.message(UpdaterDisplayInterface::Info, "%-15.15s\t%-15.15s", "Build", "Version");
    for (const auto& [build, version] : UpdateServerRequest::SortBuildsByVersion(builds))
    {
        display.message(UpdaterDisplayInterface::Info, "%-15.15s\t%-15.15s", build.c_str(),
                        version.c_str());
    }
}

void _display_jwt(UpdaterDisplayInterface& display, const std::string& jwt)
{
    display.message(UpdaterDisplayInterface::Info, "%s", jwt.c_str());
}

// The updater: the flows behind the commands of one run. main creates one
// per run, with the update server's URL, the store directory and the display
// every user-facing line goes through.
//
// The flows are grouped by file: device listing (Updater_Devices.cpp), the
// update of a running module (Updater_Update.cpp), fingerprint and recovery
// (Updater_Recovery.cpp, with the ROM bootloader clients in app/recovery/),
// the choice of the image a flow writes (Updater_Firmware.cpp), downloads and
// build lists (Updater_Acquire.cpp).
//
// Threads: an Updater is used by the main thread only; a flow that starts a
// worker thread hands it copies, never the Updater itself.
#pragma once

#include "app/UpdaterDisplayInterface.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

class BirdFile;
class UpdaterStore;

// Four words identifying one chip, in the order the chip reports them.
struct Fingerprint
{
    uint32_t words[4] = {0, 0, 0, 0};
};

// Processor family of a module in recovery, as the fingerprint probe found it.
enum UpdaterChipFamily : uint8_t
{
    CHIP_FAMILY_UNKNOWN = 0,
    CHIP_FAMILY_IMX = 1,
    CHIP_FAMILY_LPC = 2,
};

// build -> version
using BuildList = std::map<std::string, std::string>;

class Updater
{
public:
    // Only stores its arguments.
    Updater(const char* serverURL, const char* storeDirectory, UpdaterDisplayInterface& display);
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    // Device listing: discovers (behind the router when routerSerial is not
    // 0) and prints the list with the heading for `transport`, a device link
    // type (1 USB, 2 TCP/IP; 0 means every transport, or, behind a router,
    // the router's own). False when the search could not be made; an empty
    // list is not a failure.
    bool List_Devices(unsigned routerSerial, int transport);

    // Update of a running module.
    bool Update_Firmware(uint32_t serial, uint32_t build, std::string birdPath,
                         uint8_t moduleAddress, uint32_t routerSerial, bool overrideChecks);
    // The image at birdPath, or "<build>.bird" of the device's store entry
    // (downloaded first when missing and `download` is set). Throws
    // std::runtime_error when no image can be loaded.
    BirdFile load_bird(const char* verb, std::string birdPath, uint32_t serial, uint32_t build,
                       bool download);
    void Set_UEIBytes_Load(bool useUEIBytes) { use_uei_bytes = useUEIBytes; }

    // Firmware acquisition and build lists. The downloads return the build
    // stored, 0 on failure. The lists set *ok (when given) to false when the
    // question could not be answered; an empty answer is not a failure.
    uint32_t Download_Firmware(uint32_t serial, std::string build, bool overrideChecks, bool noCal);
    uint32_t Download_Firmware(const Fingerprint& fingerprint, std::string build,
                               bool overrideChecks);
    BuildList Get_BuildList(uint32_t serial, bool* ok = nullptr);
    BuildList Get_BuildListLocal(uint32_t serial, bool* ok = nullptr);
    std::string Get_JWT(uint32_t serial, bool* ok = nullptr);

    // Fingerprint and recovery through the chip's ROM bootloader.
    bool Get_Fingerprint(Fingerprint& fingerprint, std::string port, uint32_t serial,
                         std::string birdPath, uint32_t baud, bool reset);
    bool Recover_Firmware(std::string port, uint32_t build, uint32_t baud, uint32_t serial,
                          std::string birdPath, bool overrideChecks);

    const std::string& ServerURL() const { return server_url; }
    const std::string& StoreDirectory() const { return store_directory; }
    UpdaterDisplayInterface& Display() const { return *display; }
    uint8_t ChipFamily() const { return chip_family; }
    bool UseUEIBytes() const { return use_uei_bytes; }

protected:
    std::string server_url;
    std::string store_directory;
    UpdaterDisplayInterface* display;
    uint8_t chip_family = CHIP_FAMILY_UNKNOWN;
    bool use_uei_bytes = false;
};

// A store on the directory, or none after the error line naming the caller.
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& directory, const char* caller);

// Listings main prints, through the display at level info.
void _display_builds(UpdaterDisplayInterface& display, const BuildList& builds, uint32_t serial);
void _display_jwt(UpdaterDisplayInterface& display, const std::string& jwt);
void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);

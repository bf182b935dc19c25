// Fingerprint and recovery through the chip's ROM bootloader: the LPC17xx ISP
// bootloader first, the i.MX serial download bootloader when that is silent.
#include "app/Updater.h"

#include "app/Log.h"
#include "app/firmware/BirdFile.h"
#include "app/recovery/ImxRecovery.h"
#include "app/recovery/LpcRecovery.h"
#include "app/server/UpdateServerRequest.h"
#include <lumbrixon/kxTime.h>

#include <stdexcept>

bool Updater::Get_Fingerprint(Fingerprint& fingerprint, std::string port, uint32_t serial,
                              std::string birdPath, uint32_t baud, bool reset)
{
    if (_get_fingerprint_lpc(port, baud, fingerprint))
    {
        chip_family = CHIP_FAMILY_LPC;
        return true;
    }
    chip_family = CHIP_FAMILY_IMX;
    return _get_fingerprint_imx(*display, *this, port, serial, birdPath, fingerprint, reset);
}

bool Updater::Recover_Firmware(std::string port, uint32_t build, uint32_t baud, uint32_t serial,
                               std::string birdPath, bool)
{
    uint64_t start = kxTime_GetMSTicks();
    Fingerprint fingerprint;
    // The probe always runs at 115200 baud; the recovery switches the chip
    // to the rate asked for.
    if (!Get_Fingerprint(fingerprint, port, serial, birdPath, LPC_PROBE_BAUD, false))
    {
        display->message(UpdaterDisplayInterface::Error, "Could not get Device Identifier");
        return false;
    }
    if (birdPath.empty())
    {
        unsigned int serverSerial = serial;
        unsigned int serverBuild = 0;
        if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, &serverSerial, &serverBuild,
                                                  server_url.c_str()))
        {
            display->message(UpdaterDisplayInterface::Error,
                             "Failed to retrieve recovery information from Kavrel server");
            return false;
        }
        serial = serverSerial;
        if (build == 0)
        {
            build = serverBuild;
        }
        Log::log(DEBUG_Updater, "Recover_Firmware: the server names device %08X, build %u\n",
                 serial, build);
    }

    BirdFile image;
    try
    {
        image = load_bird("Recovering", birdPath, serial, build, true);
    }
    catch (const std::runtime_error& error)
    {
        Log::log(DEBUG_Updater, "Recover_Firmware: %s\n", error.what());
        display->message(UpdaterDisplayInterface::Error, "Failed to load bird file");
        return false;
    }
    if (image.personalisable)
    {
        display->message(UpdaterDisplayInterface::Error,
                         "Updater does not support offline recovery");
        return false;
    }

    bool recovered;
    switch (chip_family)
    {
        case CHIP_FAMILY_IMX:
            recovered = _recover_firmware_imx(*display, image, serial, use_uei_bytes);
            break;
        case CHIP_FAMILY_LPC:
            image.DecodeFirmwareBlocks(fingerprint.words);
            recovered = _recover_firmware_lpc(*display, image, port, baud, fingerprint);
            break;
        default:
            display->message(UpdaterDisplayInterface::Error, "Unknown device");
            return false;
    }
    display->message(UpdaterDisplayInterface::Info, "Update time: %.4f sec",
                     static_cast<double>(kxTime_GetMSTicks() - start) / 1000.0);
    return recovered;
}

void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint)
{
    display.message(UpdaterDisplayInterface::Info, "[ %08X %08X %08X %08X ]", fingerprint.words[0],
                    fingerprint.words[1], fingerprint.words[2], fingerprint.words[3]);
}

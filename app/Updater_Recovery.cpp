// Fingerprint and recovery through the ROM bootloader: the probes are not
// part of this build yet.
#include "app/Updater.h"

bool Updater::Get_Fingerprint(Fingerprint&, std::string, uint32_t, std::string, uint32_t, bool)
{
    display->message(UpdaterDisplayInterface::Error,
                     "Updater: reading a chip fingerprint is not available in this build");
    return false;
}

bool Updater::Recover_Firmware(std::string, uint32_t, uint32_t, uint32_t, std::string, bool)
{
    display->message(UpdaterDisplayInterface::Error,
                     "Updater: recovering firmware is not available in this build");
    return false;
}

void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint)
{
    display.message(UpdaterDisplayInterface::Info, "[ %08X %08X %08X %08X ]", fingerprint.words[0],
                    fingerprint.words[1], fingerprint.words[2], fingerprint.words[3]);
}

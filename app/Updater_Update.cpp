// Update of a running module: not part of this build yet.
#include "app/Updater.h"

bool Updater::Update_Firmware(uint32_t, uint32_t, std::string, uint8_t, uint32_t, bool)
{
    display->message(UpdaterDisplayInterface::Error,
                     "Updater: updating firmware is not available in this build");
    return false;
}

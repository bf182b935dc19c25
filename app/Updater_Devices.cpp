// Device listing: this build has no device discovery yet, so the listing
// refuses honestly instead of printing an empty list.
#include "app/Updater.h"

bool Updater::List_Devices(unsigned, int)
{
    display->message(UpdaterDisplayInterface::Error,
                     "Updater: listing devices is not available in this build");
    return false;
}

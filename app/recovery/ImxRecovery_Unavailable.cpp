// The i.MX side of recovery in a build without it: no probe is made, so no
// i.MX chip can answer, and a recovery is refused.
#include "app/recovery/ImxRecovery.h"

#include "app/Log.h"

bool _get_fingerprint_imx(UpdaterDisplayInterface&, Updater&, std::string port, unsigned,
                          std::string, Fingerprint&, bool)
{
    Log::log(DEBUG_iMXSerial, "i.MX probe on %s: not available in this build, no answer\n",
             port.c_str());
    return false;
}

bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile&, unsigned, bool)
{
    display.message(UpdaterDisplayInterface::Error,
                    "Recovery of i.MX modules is not available in this build");
    return false;
}

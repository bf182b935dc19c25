// Fingerprint and recovery of an i.MX module through its ROM's serial
// download protocol. This build has no i.MX support yet: the probe reports
// that no chip answered, and the recovery refuses.
#pragma once

#include "app/Updater.h"
#include "app/UpdaterDisplayInterface.h"
#include "app/firmware/BirdFile.h"

#include <cstdint>
#include <string>

bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, std::string port,
                          unsigned serialNumber, std::string birdFile, Fingerprint& fingerprint,
                          bool reset);
bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& bird, unsigned serialNumber,
                           bool useUEIBytes);

// The version line, the notice and the usage texts.
#pragma once

#include "app/UpdaterDisplayInterface.h"

extern const char* const g_szAppName;
extern const char* const g_szAppVersion;

// "Updater (Version: ...)" through the display.
void _display_app_version(UpdaterDisplayInterface& display);
// One line in parentheses with the build year, through the display.
void _display_copyright(UpdaterDisplayInterface& display);
// Straight to standard error: the short usage; when full, the parameters and
// commands, the extended section when also extended, and the samples.
void _display_usage(bool extended, bool full);

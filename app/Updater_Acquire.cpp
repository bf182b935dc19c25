// Downloads and build lists: the server side of the flows is not part of this
// build yet; the listings are.
#include "app/Updater.h"

#include "app/server/UpdateServerRequest.h"

namespace
{
void _not_available(UpdaterDisplayInterface& display, const char* what)
{
    display.message(UpdaterDisplayInterface::Error, "Updater: %s is not available in this build",
                    what);
}

void _report(bool* ok, bool value)
{
    if (ok != nullptr)
    {
        *ok = value;
    }
}
} // namespace

uint32_t Updater::Download_Firmware(uint32_t, std::string, bool, bool)
{
    _not_available(*display, "downloading firmware");
    return 0;
}

uint32_t Updater::Download_Firmware(const Fingerprint&, std::string, bool)
{
    _not_available(*display, "downloading firmware");
    return 0;
}

BuildList Updater::Get_BuildList(uint32_t, bool* ok)
{
    _not_available(*display, "listing the server's builds");
    _report(ok, false);
    return {};
}

BuildList Updater::Get_BuildListLocal(uint32_t, bool* ok)
{
    _not_available(*display, "listing the stored builds");
    _report(ok, false);
    return {};
}

std::string Updater::Get_JWT(uint32_t, bool* ok)
{
    _not_available(*display, "fetching the device token");
    _report(ok, false);
    return {};
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

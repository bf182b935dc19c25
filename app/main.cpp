// One run of the updater: read the command line, prepare the store directory
// and run the requested commands in a fixed order. Exit status 0 when every
// command that ran succeeded, 1 otherwise.
#include "app/BuildPath.h"
#include "app/CLI_Display.h"
#include "app/Log.h"
#include "app/Parameters.h"
#include "app/Updater.h"
#include "app/Usage.h"
#include <lumbrixon/kxDirectory.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/stat.h>
#include <string>
#include <utility>

namespace
{
constexpr uint16_t _STORE_DIRECTORY_MODE = 0755;
constexpr uint32_t _FINGERPRINT_SERIAL = 0xDEADDEAD;

int _exit_status(bool succeeded, int runStatus)
{
    return succeeded && runStatus == 0 ? 0 : 1;
}

// "<store root>/updater"; the root defaults to "<home>/.kavrel". Empty when
// the home directory cannot be read.
std::string _store_directory(const Parameters& params)
{
    std::string root = params.store_root;
    if (root.empty())
    {
        std::string home;
        kxErr result = _read_home_directory(home);
        if (result != kxErrNone)
        {
            Log::log(DEBUG_APP, "Updater: FailedkxDirectory_GetHomeDirectory()==> %d\n", result);
            return std::string();
        }
        root = BuildPath(home.c_str(), ".kavrel", nullptr);
    }
    return BuildPath(root.c_str(), "updater", nullptr);
}

// What became of a command that runs before the main one.
enum class Outcome
{
    Done,
    Failed,  // recorded; the run goes on
    Refused, // the run ends at once with status 1
};

// -N: reads the chip's fingerprint over the serial port.
Outcome _command_fingerprint(const Parameters& params, CLI_Display& display, Updater& updater)
{
    if (params.serial_port.empty())
    {
        display.message(UpdaterDisplayInterface::Error,
                        "Must specify the serial port used for connecting");
        return Outcome::Refused;
    }
    Fingerprint fingerprint;
    if (!updater.Get_Fingerprint(fingerprint, params.serial_port, _FINGERPRINT_SERIAL,
                                 params.bird_file, static_cast<uint32_t>(params.baud_rate), true))
    {
        display.message(UpdaterDisplayInterface::Error, "Got no response from chip");
        return Outcome::Failed;
    }
    _display_fingerprint(display, fingerprint);
    return Outcome::Done;
}

// -G: downloads a build into the store. A following update uses exactly the
// build that was stored.
Outcome _command_get_build(Parameters& params, CLI_Display& display, Updater& updater)
{
    if (params.serial_number == 0)
    {
        display.message(UpdaterDisplayInterface::Error, "-G must specify a specific device via -d");
        display.message(UpdaterDisplayInterface::Error, "--help for usage information");
        return Outcome::Refused;
    }
    display.message(UpdaterDisplayInterface::Info,
                    "Retrieving firmware for device with serial number %08X", params.serial_number);
    if (params.build_number.empty())
    {
        display.message(UpdaterDisplayInterface::Info, "No build specified");
        display.message(UpdaterDisplayInterface::Info, "Using Latest build");
    }
    else
    {
        display.message(UpdaterDisplayInterface::Info, "Retrieving firmware build %s",
                        params.build_number.c_str());
    }
    uint32_t stored = updater.Download_Firmware(params.serial_number, params.build_number,
                                                params.override_checks, false);
    if (stored == 0)
    {
        return Outcome::Failed;
    }
    params.build_number = std::to_string(stored);
    return Outcome::Done;
}

// -D: lists the modules, directly or behind the router given with -r.
bool _command_discover(const Parameters& params, CLI_Display& display, Updater& updater)
{
    int transport =
        params.transport_given && params.transport != TRANSPORT_RECOVER ? params.transport : 0;
    if (params.router_serial_number != 0)
    {
        display.message(UpdaterDisplayInterface::Info,
                        "Searching for Lumbrixon Network devices connected to %08X",
                        params.router_serial_number);
        return updater.List_Devices(params.router_serial_number, transport);
    }
    display.message(UpdaterDisplayInterface::Info, "Searching for Lumbrixon devices");
    // Without a transport a plain search looks on USB only.
    return updater.List_Devices(0, transport != 0 ? transport : TRANSPORT_USB);
}

// -U: updates a running module, or recovers one with -t RECOVER.
bool _command_update(const Parameters& params, CLI_Display& display, Updater& updater)
{
    char* end = nullptr;
    uint32_t build = _get_int_arg(params.build_number.c_str(), &end);
    updater.Set_UEIBytes_Load(params.use_uei_bytes);
    if (params.transport == TRANSPORT_RECOVER)
    {
        return updater.Recover_Firmware(
            params.serial_port, build, static_cast<uint32_t>(params.baud_rate),
            params.serial_number, params.bird_file, params.override_checks);
    }
    if (params.serial_number == 0)
    {
        display.message(UpdaterDisplayInterface::Error,
                        "Must specify the specific device to be updated");
        return false;
    }
    return updater.Update_Firmware(params.serial_number, build, params.bird_file,
                                   params.module_address, params.router_serial_number,
                                   params.override_checks);
}

// The listing commands need a serial number; false (after the error and the
// short usage) without one.
bool _has_serial(const Parameters& params, CLI_Display& display, const char* command)
{
    if (params.serial_number != 0)
    {
        return true;
    }
    display.message(UpdaterDisplayInterface::Error,
                    "Error must supply a serial number for the %s command", command);
    _display_usage(false, false);
    return false;
}

// -B: the builds the server offers for the module.
bool _command_list_builds(const Parameters& params, CLI_Display& display, Updater& updater)
{
    if (!_has_serial(params, display, "List Builds"))
    {
        return false;
    }
    bool answered = true;
    _display_builds(display, updater.Get_BuildList(params.serial_number, &answered),
                    params.serial_number);
    return answered;
}

// -L: the builds in the store for the module.
bool _command_list_local_builds(const Parameters& params, CLI_Display& display, Updater& updater)
{
    if (!_has_serial(params, display, "List Local Builds"))
    {
        return false;
    }
    bool answered = true;
    _display_builds(display, updater.Get_BuildListLocal(params.serial_number, &answered),
                    params.serial_number);
    return answered;
}

// -J: the module's token.
bool _command_get_jwt(const Parameters& params, CLI_Display& display, Updater& updater)
{
    if (!_has_serial(params, display, "Get JWT"))
    {
        return false;
    }
    bool answered = true;
    _display_jwt(display, updater.Get_JWT(params.serial_number, &answered));
    return answered;
}

// Folds the outcome of a command that runs before the main one into the run
// status; false when the run ends.
bool _carry_on(Outcome outcome, int& runStatus)
{
    if (outcome == Outcome::Failed)
    {
        runStatus = 1;
    }
    return outcome != Outcome::Refused;
}

// Fingerprint and download come first and only record a failure (unless
// refused outright); then the first of discover, update, list builds, list
// local builds and JWT runs.
int _run_commands(Parameters& params, CLI_Display& display, const std::string& storeDirectory)
{
    const CommandsClass& commands = params.commands;
    Updater updater(params.server_url.c_str(), storeDirectory.c_str(), display);
    int runStatus = 0;

    if (commands.IsSet(CMD_FINGERPRINT) &&
        !_carry_on(_command_fingerprint(params, display, updater), runStatus))
    {
        return 1;
    }
    if (commands.IsSet(CMD_GET_BUILD) &&
        !_carry_on(_command_get_build(params, display, updater), runStatus))
    {
        return 1;
    }

    using Command = bool (*)(const Parameters&, CLI_Display&, Updater&);
    const std::pair<uint32_t, Command> mainCommands[] = {
        {CMD_DISCOVER, _command_discover},
        {CMD_UPDATE, _command_update},
        {CMD_LIST_BUILDS, _command_list_builds},
        {CMD_LIST_LOCAL_BUILDS, _command_list_local_builds},
        {CMD_GET_JWT, _command_get_jwt},
    };
    for (const auto& [command, run] : mainCommands)
    {
        if (commands.IsSet(command))
        {
            return _exit_status(run(params, display, updater), runStatus);
        }
    }
    return runStatus;
}

// Why a store directory could not be made: something else in its place (at
// the path or above it), or the system's reason.
std::string _directory_problem(const std::string& directory, int error)
{
    for (std::string path = directory; !path.empty();)
    {
        struct stat info;
        if (stat(path.c_str(), &info) == 0)
        {
            if (!S_ISDIR(info.st_mode))
            {
                return path + " exists and is not a directory";
            }
            break;
        }
        size_t slash = path.find_last_of('/');
        path = slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
    }
    return error != 0 ? strerror(error) : "the directory cannot be made";
}

int _run(int argc, char** argv, Parameters& params, CLI_Display& display)
{
    int parsed = _get_params(display, argc, argv, &params);
    _display_app_version(display);
    if (parsed != 0)
    {
        _display_copyright(display);
        _display_usage(false, false);
        return 1;
    }
    if (params.commands.IsSet(CMD_HELP))
    {
        _display_copyright(display);
        _display_usage(params.log_mask_given, true);
        return 0;
    }
    if (!params.commands.IsSet(CMD_ANY_COMMAND))
    {
        _display_copyright(display);
        _display_usage(params.log_mask_given, params.help_requested);
        return 0;
    }

    std::string storeDirectory = _store_directory(params);
    if (storeDirectory.empty())
    {
        return 1;
    }
    errno = 0;
    if (kxDirectory_Ensure(storeDirectory.c_str(), _STORE_DIRECTORY_MODE) != kxErrNone)
    {
        const int error = errno;
        display.message(UpdaterDisplayInterface::Error, "Could not find updater directory at %s",
                        storeDirectory.c_str());
        display.message(UpdaterDisplayInterface::Error, "Cause: %s",
                        _directory_problem(storeDirectory, error).c_str());
        return 1;
    }
    return _run_commands(params, display, storeDirectory);
}
} // namespace

int main(int argc, char** argv)
{
    Parameters params;
    CLI_Display display;
    Log::SetOutput(stderr);
    int status = _run(argc, argv, params, display);
    _release_params(&params);
    return status;
}

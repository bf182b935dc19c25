#include "app/Parameters.h"

#include "app/Log.h"
#include "app/server/UpdateServerRequest.h"
#include <lumbrixon/kxDirectory.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace
{
constexpr size_t _HOME_DIRECTORY_SIZE = 2048;

unsigned _convert_whole(const char* text, char** end, const char* digits, unsigned base)
{
    if (text == nullptr)
    {
        return 0;
    }
    size_t length = strlen(text);
    if (strspn(text, digits) != length)
    {
        return 0;
    }
    // Accumulated modulo 2^32, so any length of digits keeps its low 32 bits.
    uint32_t value = 0;
    for (size_t i = 0; i < length; ++i)
    {
        char c = text[i];
        unsigned digit = (c >= '0' && c <= '9')   ? static_cast<unsigned>(c - '0')
                         : (c >= 'a' && c <= 'f') ? static_cast<unsigned>(c - 'a' + 10)
                                                  : static_cast<unsigned>(c - 'A' + 10);
        value = value * base + digit;
    }
    if (end != nullptr)
    {
        *end = const_cast<char*>(text + length);
    }
    return value;
}

// The server's usual path, which "-u host:port" leaves out.
const char* const _serverPath = "/cgi/u";

// "-u" takes "host:port" as the usage text says, or a whole URL: a text
// without a scheme gets "http://", and one that names no path gets the
// server's usual path. A URL with a path (or a query) stays exactly as given.
std::string _complete_server_url(const char* argument)
{
    std::string url = argument != nullptr ? argument : "";
    if (url.empty())
    {
        return url;
    }
    size_t scheme = url.find("://");
    size_t authority = 0;
    if (scheme == std::string::npos)
    {
        url = "http://" + url;
        authority = 7;
    }
    else
    {
        authority = scheme + 3;
    }
    if (url.find_first_of("/?#", authority) == std::string::npos)
    {
        url += _serverPath;
    }
    return url;
}

bool _has_hex_prefix(const char* text)
{
    return text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

const char* _application_name(const char* path)
{
    if (path == nullptr)
    {
        return "";
    }
    const char* name = path;
    for (const char* c = path; *c != '\0'; ++c)
    {
        if (*c == '/' || *c == '\\')
        {
            name = c + 1;
        }
    }
    return name;
}

// Returns false when the handler refuses the option.
bool _handle_command(UpdaterDisplayInterface& display, const CommandLineOption& option,
                     Parameters* params)
{
    switch (option.text[1])
    {
        case 'B':
            params->commands.Set(CMD_LIST_BUILDS);
            return true;
        case 'C':
            params->commands.Set(CMD_CHECK_BIRD);
            return true;
        case 'D':
            params->commands.Set(CMD_DISCOVER);
            return true;
        case 'G':
            params->commands.Set(CMD_GET_BUILD);
            return true;
        case 'I':
            params->commands.Set(CMD_VIEW_INFO);
            return true;
        case 'J':
            params->commands.Set(CMD_GET_JWT);
            return true;
        case 'L':
            params->commands.Set(CMD_LIST_LOCAL_BUILDS);
            return true;
        case 'N':
            params->commands.Set(CMD_FINGERPRINT);
            return true;
        case 'U':
            params->commands.Set(CMD_UPDATE);
            return true;
        case 'O':
            params->override_checks = true;
            return true;
        default:
            display.message(UpdaterDisplayInterface::Error, "Unhandled command: [%s]", option.text);
            return false;
    }
}

bool _handle_serial(UpdaterDisplayInterface& display, const char* argument, uint32_t* serial,
                    const char* prefixLog, const char* invalidMessage)
{
    if (_has_hex_prefix(argument))
    {
        Log::log(DEBUG_Updater, "%s", prefixLog);
        argument += 2;
    }
    char* end = nullptr;
    unsigned value = _get_hex_arg(argument, &end);
    if (value == 0)
    {
        display.message(UpdaterDisplayInterface::Error, invalidMessage, argument);
        return false;
    }
    *serial = value;
    return true;
}

int _transport_from(const char* argument)
{
    if (strncmp(argument, "USB", 3) == 0)
    {
        return TRANSPORT_USB;
    }
    if (strncmp(argument, "TCP", 3) == 0)
    {
        return TRANSPORT_TCPIP;
    }
    if (strncmp(argument, "RECOVER", 7) == 0)
    {
        return TRANSPORT_RECOVER;
    }
    return TRANSPORT_INVALID;
}

void _handle_log_mask(UpdaterDisplayInterface& display, const char* argument, Parameters* params)
{
    params->log_mask_given = true;
    bool hex = _has_hex_prefix(argument);
    const char* digits = hex ? argument + 2 : argument;
    char* end = nullptr;
    errno = 0;
    unsigned long long value = strtoull(digits, &end, hex ? 16 : 10);
    if (end == nullptr || *end != '\0')
    {
        display.message(UpdaterDisplayInterface::Error,
                        "Invalid format for \"%s\" parameter, unprocessed characters [%s]", "-X",
                        end == nullptr ? digits : end);
        return;
    }
    params->log_mask = static_cast<uint32_t>(value);
    Log::ActivatePackage(params->log_mask);
}

// Returns false when the handler refuses the option or its argument.
bool _handle_parameter(UpdaterDisplayInterface& display, const CommandLineOption& option,
                       const char* argument, Parameters* params)
{
    char* end = nullptr;
    switch (option.text[1])
    {
        case 'd':
            return _handle_serial(display, argument, &params->serial_number,
                                  "Discarding '0x' serial number prefix\n",
                                  "Invalid serial number obtained from argument [%s]");
        case 'r':
            return _handle_serial(display, argument, &params->router_serial_number,
                                  "Discarding '0x' router serial number prefix\n",
                                  "Invalid router serial number obtained from argument [%s]");
        case 'b':
            params->build_number = std::to_string(_get_int_arg(argument, &end));
            return true;
        case 'o':
            params->baud_rate = static_cast<int>(_get_int_arg(argument, &end));
            return true;
        case 't':
            params->transport_given = true;
            params->transport = _transport_from(argument);
            if (params->transport == TRANSPORT_INVALID)
            {
                display.message(UpdaterDisplayInterface::Error,
                                "Invalid transport type:[%s]\nMust be one of the following: USB, "
                                "TCPIP, RECOVER",
                                argument);
                return false;
            }
            return true;
        case 'm':
            params->use_uei_bytes = argument[0] == '1' || strncmp(argument, "true", 4) == 0;
            return true;
        case 'X':
            _handle_log_mask(display, argument, params);
            return true;
        case 'e':
            params->echo = true;
            return true;
        case 'n':
            params->flag_n = true;
            return true;
        case 'Z':
            params->commands.Set(CMD_Z);
            return true;
        case 's':
            params->serial_port = argument;
            return true;
        case 'f':
            params->bird_file = argument;
            return true;
        case 'l':
            params->history_message = argument;
            return true;
        case 'k':
            params->log_file_name = argument;
            return true;
        case 'i':
            params->store_root = argument;
            return true;
        case 'u':
            params->server_url = _complete_server_url(argument);
            return true;
        default:
            return true;
    }
}
} // namespace

unsigned _get_hex_arg(const char* text, char** end)
{
    return _convert_whole(text, end, "0123456789ABCDEFabcdef", 16);
}

unsigned _get_int_arg(const char* text, char** end)
{
    return _convert_whole(text, end, "0123456789", 10);
}

kxErr _read_home_directory(std::string& home)
{
    char buffer[_HOME_DIRECTORY_SIZE];
    memset(buffer, 0, sizeof buffer);
    kxErr result = kxDirectory_GetHomeDirectory(buffer, sizeof buffer);
    if (result != kxErrNone)
    {
        return result;
    }
    if (memchr(buffer, '\0', sizeof buffer) == nullptr)
    {
        return kxErrOverrun;
    }
    if (buffer[0] == '\0')
    {
        return kxErrNotFound;
    }
    home = buffer;
    return kxErrNone;
}

int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params)
{
    *params = Parameters();
    params->server_url = UpdateServerRequest::DefaultURL();
    params->application_name = _application_name(argc > 0 ? argv[0] : nullptr);
    if (_read_home_directory(params->home_directory) != kxErrNone)
    {
        params->home_directory.clear();
    }
    Log::log(DEBUG_APP, "Home directory:[%s]\n", params->home_directory.c_str());

    bool failed = false;
    bool help = false;
    for (int i = 1; i < argc && !help; ++i)
    {
        const char* word = argv[i];
        if (word == nullptr || word[0] != '-')
        {
            continue;
        }
        const char* equals = strchr(word, '=');
        size_t length = equals != nullptr ? static_cast<size_t>(equals - word) : strlen(word);
        const CommandLineOption* option = _find_option(word, length);
        if (option == nullptr)
        {
            continue;
        }
        const char* argument = nullptr;
        if (option->argument == ARGUMENT_SEPARATE)
        {
            if (equals != nullptr)
            {
                argument = equals + 1;
            }
            else if (i + 1 < argc && argv[i + 1] != nullptr)
            {
                argument = argv[++i];
            }
            else
            {
                continue; // missing argument at the end of the line
            }
        }
        else if (equals != nullptr)
        {
            continue; // an argument given to an option that takes none
        }

        switch (option->id)
        {
            case OPTION_HELP:
                params->commands.Set(CMD_HELP);
                params->help_requested = true;
                help = true;
                break;
            case OPTION_COMMAND:
                failed = !_handle_command(display, *option, params) || failed;
                break;
            default:
                failed = !_handle_parameter(display, *option, argument, params) || failed;
                break;
        }
    }

    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params->application_name.c_str());
    for (int i = 0; i < argc; ++i)
    {
        Log::log(DEBUG_APP, "\t[%s]\n", argv[i] != nullptr ? argv[i] : "");
    }

    if (help)
    {
        return 0;
    }
    if (failed)
    {
        return 1;
    }
    return _validate_params(params);
}

int _validate_params(Parameters*)
{
    return 0;
}

void _release_params(Parameters* params)
{
    if (params != nullptr)
    {
        *params = Parameters();
    }
}

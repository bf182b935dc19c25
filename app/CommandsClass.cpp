#include "app/CommandsClass.h"

#include <cstring>

const CommandLineOption g_rgOptions[] = {
    {OPTION_COMMAND, "-B", ARGUMENT_NONE},        {OPTION_COMMAND, "-L", ARGUMENT_NONE},
    {OPTION_COMMAND, "-D", ARGUMENT_NONE},        {OPTION_COMMAND, "-G", ARGUMENT_NONE},
    {OPTION_COMMAND, "-I", ARGUMENT_NONE},        {OPTION_COMMAND, "-U", ARGUMENT_NONE},
    {OPTION_COMMAND, "-OVERRIDE", ARGUMENT_NONE}, {OPTION_COMMAND, "-N", ARGUMENT_NONE},
    {OPTION_COMMAND, "-Y", ARGUMENT_NONE},        {OPTION_COMMAND, "-C", ARGUMENT_NONE},
    {OPTION_COMMAND, "-J", ARGUMENT_NONE},        {OPTION_HELP, "-h", ARGUMENT_NONE},
    {OPTION_HELP, "-H", ARGUMENT_NONE},           {OPTION_PARAMETER, "-n", ARGUMENT_NONE},
    {OPTION_PARAMETER, "-X", ARGUMENT_SEPARATE},  {OPTION_PARAMETER, "-Z", ARGUMENT_SEPARATE},
    {OPTION_PARAMETER, "-m", ARGUMENT_SEPARATE},  {OPTION_PARAMETER, "-i", ARGUMENT_SEPARATE},
    {OPTION_PARAMETER, "-b", ARGUMENT_SEPARATE},  {OPTION_PARAMETER, "-d", ARGUMENT_SEPARATE},
    {OPTION_PARAMETER, "-t", ARGUMENT_SEPARATE},  {OPTION_PARAMETER, "-f", ARGUMENT_SEPARATE},
    {OPTION_PARAMETER, "-r", ARGUMENT_SEPARATE},  {OPTION_PARAMETER, "-s", ARGUMENT_SEPARATE},
    {OPTION_PARAMETER, "-o", ARGUMENT_SEPARATE},  {OPTION_PARAMETER, "-e", ARGUMENT_NONE},
    {OPTION_PARAMETER, "-l", ARGUMENT_SEPARATE},  {OPTION_PARAMETER, "-k", ARGUMENT_SEPARATE},
    {OPTION_PARAMETER, "-u", ARGUMENT_SEPARATE},  {OPTION_HELP, "--help", ARGUMENT_NONE},
    {OPTION_END, nullptr, ARGUMENT_NONE},
};

namespace
{
size_t _leading_dashes(const char* text, size_t length)
{
    size_t count = 0;
    while (count < length && text[count] == '-')
    {
        ++count;
    }
    return count;
}
} // namespace

const CommandLineOption* _find_option(const char* word, size_t length)
{
    if (word == nullptr || length == 0)
    {
        return nullptr;
    }
    for (const CommandLineOption* option = g_rgOptions; option->id != OPTION_END; ++option)
    {
        if (strlen(option->text) == length && strncmp(option->text, word, length) == 0)
        {
            return option;
        }
    }

    const CommandLineOption* found = nullptr;
    for (const CommandLineOption* option = g_rgOptions; option->id != OPTION_END; ++option)
    {
        size_t optionLength = strlen(option->text);
        size_t dashes = _leading_dashes(option->text, optionLength);
        bool longOption = optionLength > dashes + 1;
        if (!longOption || length <= dashes || length >= optionLength ||
            strncmp(option->text, word, length) != 0)
        {
            continue;
        }
        if (found != nullptr)
        {
            return nullptr; // ambiguous
        }
        found = option;
    }
    return found;
}

// The commands named on the command line, as a bit set, and the table of
// options the command line is read with.
#pragma once

#include <cstddef>
#include <cstdint>

enum COMMANDS : uint32_t
{
    CMD_DISCOVER = 0x00000001,
    CMD_UPDATE = 0x00000002,
    CMD_LIST_BUILDS = 0x00000004,
    CMD_GET_BUILD = 0x00000008,
    CMD_VIEW_INFO = 0x00000010,
    CMD_CHECK_BIRD = 0x00000020,
    CMD_FINGERPRINT = 0x00000040,
    CMD_Z = 0x00000080,
    CMD_GET_JWT = 0x00000100,
    CMD_LIST_LOCAL_BUILDS = 0x00000200,
    CMD_HELP = 0x80000000,
};

// Any of these bits means some command was given (0x400, 0x10000 and 0x20000
// are reserved: no option sets them).
constexpr uint32_t CMD_ANY_COMMAND = 0x000307FF;

class CommandsClass
{
public:
    void Set(uint32_t commands) { bits |= commands; }
    // True when any of the given bits is set.
    bool IsSet(uint32_t commands) const { return (bits & commands) != 0; }
    uint32_t Bits() const { return bits; }

private:
    uint32_t bits = 0;
};

// One option of the command line.
enum OptionId : int
{
    OPTION_END = -1,
    OPTION_HELP = 0,
    OPTION_COMMAND = 1,
    OPTION_PARAMETER = 2,
};

enum OptionArgument : int
{
    ARGUMENT_NONE = 0,
    ARGUMENT_SEPARATE = 1,
};

struct CommandLineOption
{
    int id;
    const char* text;
    int argument;
};

// Ended by an entry with id OPTION_END.
extern const CommandLineOption g_rgOptions[];

// The table entry a word (up to, not including, any "=") stands for: an exact
// match, or the one longer option the word is an unambiguous prefix of. A
// prefix must reach past the option's leading dashes; single-letter options
// match only exactly. Null when nothing matches.
const CommandLineOption* _find_option(const char* word, size_t length);

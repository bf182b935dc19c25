// Error code names and descriptions, and the diagnostic switches.
#include <lumbrixon/kxError.h>

#include <cstdarg>
#include <cstdio>
#include <type_traits>

// Codes are carried as unsigned integers wherever they cross an interface.
static_assert(sizeof(kxErr) == sizeof(unsigned int));
static_assert(std::is_unsigned_v<std::underlying_type_t<kxErr>>);

uint8_t kxLumbrixonDebuggingEnable = 0;
uint32_t kxLumbrixonDebuggingLevel = 0;

namespace
{
const char* const sNames[] = {
    "kxErrNone",           "kxErrMemory",        "kxErrParam",      "kxErrNotFound",
    "kxErrFileNameLength", "kxErrBusy",          "kxErrIO",         "kxErrMode",
    "kxErrWrite",          "kxErrRead",          "kxErrEOF",        "kxErrNotReady",
    "kxErrPermission",     "kxErrRange",         "kxErrSize",       "kxErrOverrun",
    "kxErrParse",          "kxErrConfiguration", "kxErrTimeout",    "kxErrInitialization",
    "kxErrVersion",        "kxErrUnimplemented", "kxErrDuplicate",  "kxErrCancel",
    "kxErrPacket",         "kxErrConnection",    "kxErrIndexRange", "kxErrShortCommand",
    "kxErrInvalidEntity",  "kxErrInvalidOption", "kxErrResource",   "kxErrMedia",
    "kxErrAsyncReturn",    "kxErrStreamStale",   "kxErrUnknown",
};

const char* const sDescriptions[] = {
    "Success, no error",
    "Memory allocation",
    "Invalid parameter",
    "Not found",
    "File name too long",
    "Resource busy",
    "Input/Output error",
    "Invalid Mode",
    "Write error",
    "Read error",
    "End of file",
    "Not ready, no bytes available",
    "Insufficient permissions",
    "Value out of range",
    "Invalid Size",
    "Buffer/queue overrun",
    "Parse error",
    "Configuration error",
    "Timeout occurred",
    "Initialization error",
    "Invalid version",
    "Functionality unimplemented",
    "Duplicate request",
    "Cancellation occurred, or did not complete",
    "Packet byte invalid",
    "Connection error",
    "Index out of range",
    "Lumbrixon command to short",
    "Invalid entity error",
    "Invalid option code",
    "Resource unavailable",
    "Media error",
    "Asynchronous return error",
    "Stream value is stale",
    "Unknown error",
};

static_assert(sizeof(sNames) / sizeof(sNames[0]) == kxErrUnknown + 1);
static_assert(sizeof(sDescriptions) / sizeof(sDescriptions[0]) == kxErrUnknown + 1);
} // namespace

const char* kxError_GetErrorText(unsigned int code)
{
    return sNames[code > kxErrUnknown ? unsigned(kxErrUnknown) : code];
}

const char* kxError_GetErrorDescription(unsigned int code)
{
    return sDescriptions[code > kxErrUnknown ? unsigned(kxErrUnknown) : code];
}

void kxDebug_Printf(uint32_t area, const char* format, ...)
{
    if (kxLumbrixonDebuggingEnable != 1 || (kxLumbrixonDebuggingLevel & area) == 0)
        return;
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}

// The diagnostic log for the tests of this directory, which link the client
// library alone: same rules as the application's log (package 0 always, any
// other when it shares a bit with the mask), no timestamps.
#include "app/Log.h"

#include <cstdarg>

unsigned Log::package_bitmask = 0;
FILE* Log::fh = nullptr;
bool Log::timestamped = false;
const char* const Log::TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
const char* const Log::SEPARATOR = " | ";

void Log::log(unsigned package, const char* format, ...)
{
    if (fh == nullptr || (package != 0 && (package & package_bitmask) == 0))
    {
        return;
    }
    char text[2048];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    fputs(text, fh);
}

void Log::SetOutput(FILE* out)
{
    fh = out;
}

void Log::ActivatePackage(unsigned bits)
{
    package_bitmask |= bits;
}

void Log::DeactivatePackage(unsigned bits)
{
    package_bitmask &= ~bits;
}

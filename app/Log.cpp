#include "app/Log.h"

#include <cstdarg>
#include <ctime>

unsigned Log::package_bitmask = 0;
FILE* Log::fh = nullptr;
bool Log::timestamped = false;
const char* const Log::TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
const char* const Log::SEPARATOR = " | ";

namespace
{
constexpr size_t _LOG_TEXT_SIZE = 2048;

bool _selected(unsigned package)
{
    return package == 0 || (package & Log::package_bitmask) != 0;
}
} // namespace

void Log::log(unsigned package, const char* format, ...)
{
    FILE* out = fh;
    if (out == nullptr || !_selected(package))
    {
        return;
    }
    char text[_LOG_TEXT_SIZE];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);

    if (timestamped)
    {
        char stamp[64];
        time_t now = time(nullptr);
        struct tm local;
        if (localtime_r(&now, &local) != nullptr &&
            strftime(stamp, sizeof stamp, TIMESTAMP_FORMAT, &local) > 0)
        {
            fprintf(out, "%s%s%s", stamp, SEPARATOR, text);
            return;
        }
    }
    fputs(text, out);
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

#include "app/UpdaterDisplayInterface.h"

#include <cstdarg>
#include <cstdio>

namespace
{
constexpr size_t _MESSAGE_SIZE = 2048;
}

void UpdaterDisplayInterface::message(Level level, const char* format, ...)
{
    if (muted)
    {
        return;
    }
    char text[_MESSAGE_SIZE];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (length < 0)
    {
        text[0] = '\0';
    }
    if (level == Error)
    {
        error_message(text);
    }
    else
    {
        info_message(text);
    }
}

#include "app/BuildPath.h"

#include <cstdarg>

std::string BuildPath(const char* first, ...)
{
    std::string path = first ? first : "";
    va_list args;
    va_start(args, first);
    for (const char* piece = va_arg(args, const char*); piece; piece = va_arg(args, const char*))
    {
        path += "/";
        path += piece;
    }
    va_end(args);
    return path;
}

#include "UpdaterLib/source/path.h"

#include <stdarg.h>

std::string BuildPath(const char* first, ...)
{
    std::string path = first ? first : "";
    va_list args;
    va_start(args, first);
    for (const char* part = va_arg(args, const char*); part; part = va_arg(args, const char*)) {
        path += "/";
        path += part;
    }
    va_end(args);
    return path;
}

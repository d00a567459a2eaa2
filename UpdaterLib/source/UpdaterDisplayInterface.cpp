#include "UpdaterLib/source/UpdaterDisplayInterface.h"

#include <stdarg.h>
#include <stdio.h>

#define MESSAGE_BUFFER_SIZE 2048

void UpdaterDisplayInterface::message(Level level, const char* format, ...)
{
    if (muted)
        return;
    char text[MESSAGE_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (level == LEVEL_ERROR)
        error_message(text);
    else
        info_message(text);
}

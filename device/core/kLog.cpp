#include "device/core/kLog.h"

#include <stdarg.h>
#include <stdio.h>

#include <atomic>

#define kLOG_LINE_SIZE 256

static std::atomic<kLogSink> gSink{nullptr};

void kLog_SetSink(kLogSink sink)
{
    gSink = sink;
}

void kLog_Write(const char* format, ...)
{
    kLogSink sink = gSink;
    if (!sink)
        return;
    char line[kLOG_LINE_SIZE];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    sink(line);
}

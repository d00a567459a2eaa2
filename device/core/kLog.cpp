#include "device/core/kLog.h"

#include <stdarg.h>
#include <string.h>
#include <time.h>

#define LOG_BUFFER_SIZE 2048

uint32_t Log::package_bitmask = 0;
std::atomic<bool> Log::timestamped(false);
FILE* Log::fh = nullptr;
const char* const Log::TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
const char* const Log::SEPARATOR = " | ";

void Log::log(uint32_t level, const char* format, ...)
{
    if (level != 0 && (level & package_bitmask) == 0)
        return;
    if (timestamped && strlen(format) > 10) {
        char stamp[128];
        time_t now = time(nullptr);
        struct tm utc;
        if (gmtime_r(&now, &utc) && strftime(stamp, sizeof(stamp), TIMESTAMP_FORMAT, &utc) > 0)
            fprintf(stdout, "%s%s", stamp, SEPARATOR);
    }
    char text[LOG_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (fh)
        fputs(text, fh);
}

void Log::SetOutput(FILE* stream)
{
    fh = stream;
}

void Log::ActivatePackage(uint32_t mask)
{
    package_bitmask |= mask;
}

void Log::DeactivatePackage(uint32_t mask)
{
    package_bitmask &= ~mask;
}

#include "device/core/kTime.h"

#include <errno.h>

uint64_t kTime_GetMSTicks(void)
{
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return 0;
    uint64_t ticks = (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u;
    return ticks == UINT64_MAX ? 0 : ticks;
}

void kTime_MSSleep(uint64_t ms)
{
    const uint64_t slice = 999999; // microseconds
    uint64_t left = ms * 1000u;
    while (left > 0) {
        uint64_t us = left < slice ? left : slice;
        struct timespec request = {(time_t)(us / 1000000u), (long)(us % 1000000u) * 1000};
        struct timespec remain;
        while (nanosleep(&request, &remain) != 0 && errno == EINTR)
            request = remain;
        left -= us;
    }
}

void kTime_GetDeadline(uint64_t ms, struct timespec* deadline)
{
    const uint64_t longest = (uint64_t)INT32_MAX * 1000u;
    if (ms > longest)
        ms = longest;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t nsec = (uint64_t)now.tv_nsec + (ms % 1000u) * 1000000u;
    deadline->tv_sec = now.tv_sec + (time_t)(ms / 1000u) + (time_t)(nsec / 1000000000u);
    deadline->tv_nsec = (long)(nsec % 1000000000u);
}

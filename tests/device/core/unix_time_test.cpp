#include "device/core/kTime.h"

#include <gtest/gtest.h>

TEST(kTime, DeadlinesCarryNanosecondsIntoSeconds)
{
    for (uint64_t ms : {0ull, 1ull, 999ull, 1000ull, 1999ull, 123456ull}) {
        struct timespec before, deadline;
        clock_gettime(CLOCK_MONOTONIC, &before);
        kTime_GetDeadline(ms, &deadline);
        EXPECT_GE(deadline.tv_nsec, 0);
        EXPECT_LT(deadline.tv_nsec, 1000000000L);
        int64_t delta = (int64_t)(deadline.tv_sec - before.tv_sec) * 1000000000LL +
                        (deadline.tv_nsec - before.tv_nsec);
        EXPECT_GE(delta, (int64_t)ms * 1000000LL) << ms;
        EXPECT_LT(delta, (int64_t)ms * 1000000LL + 1000000000LL) << ms;
    }
    struct timespec far;
    kTime_GetDeadline(UINT64_MAX, &far);
    EXPECT_GT(far.tv_sec, 0) << "no overflow into the past";
}

TEST(kTime, TicksAreMonotonicMilliseconds)
{
    uint64_t a = kTime_GetMSTicks();
    kTime_MSSleep(20);
    uint64_t b = kTime_GetMSTicks();
    EXPECT_GE(b, a + 20);
    kTime_MSSleep(0);
}

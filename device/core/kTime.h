#pragma once
// Time: a monotonic millisecond tick for time-outs and elapsed times, and
// deadlines for condition variables that wait on the monotonic clock.

#include <stdint.h>
#include <time.h>

/// Milliseconds on the monotonic clock; 0 when it cannot be read. The
/// all-ones value is never returned.
uint64_t kTime_GetMSTicks(void);

/// Sleeps `ms` milliseconds, in slices of at most 999 999 microseconds.
void kTime_MSSleep(uint64_t ms);

/// The absolute CLOCK_MONOTONIC time `ms` milliseconds from now, with the
/// nanoseconds carried into the seconds, for pthread_cond_timedwait on a
/// condition variable whose clock attribute is CLOCK_MONOTONIC. Time-outs
/// beyond about 68 years are cut to that.
void kTime_GetDeadline(uint64_t ms, struct timespec* deadline);

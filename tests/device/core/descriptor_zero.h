#pragma once
// Descriptor 0 for the tests that check it is treated as an open one: CI
// runs without standard input, so a port or socket may get descriptor 0.

#include <fcntl.h>
#include <unistd.h>

/// Frees descriptor 0 for the next open; returns what it held (-1 if
/// nothing), for RestoreDescriptorZero.
inline int FreeDescriptorZero()
{
    int saved = dup(0);
    close(0);
    return saved;
}

inline void RestoreDescriptorZero(int saved)
{
    if (saved >= 0) {
        dup2(saved, 0);
        close(saved);
    } else {
        close(0);
    }
}

// Without standard input the test's own pseudo-terminal or listener would
// take descriptor 0 before the case frees it; hold it from the start.
static const int kDescriptorZeroHeld = fcntl(0, F_GETFD) == -1 ? open("/dev/null", O_RDONLY) : 0;

#include "device/core/internal/kDescriptor.h"

#include "device/core/kTime.h"

#include <errno.h>
#include <poll.h>

static thread_local int tWake = -1;

void kDescriptor_SetWake(int wake)
{
    tWake = wake;
}

kErr kDescriptor_AwaitReadable(int fd, uint32_t timeoutMS)
{
    uint64_t deadline = kTime_GetMSTicks() + timeoutMS;
    for (;;) {
        uint64_t now = kTime_GetMSTicks();
        int left = now < deadline ? (int)(deadline - now) : 0;
        struct pollfd p[2] = {{fd, POLLIN, 0}, {tWake, POLLIN, 0}};
        int rc = poll(p, tWake >= 0 ? 2 : 1, left);
        if (rc > 0)
            return p[0].revents ? kErrNone : kErrTimeout;
        if (rc == 0)
            return kErrTimeout;
        if (errno != EINTR)
            return kErrIO;
    }
}

#include "device/core/internal/kDescriptor.h"

#include "device/core/kTime.h"

#include <errno.h>
#include <poll.h>

kErr kDescriptor_AwaitReadable(int fd, uint32_t timeoutMS)
{
    uint64_t deadline = kTime_GetMSTicks() + timeoutMS;
    for (;;) {
        uint64_t now = kTime_GetMSTicks();
        int left = now < deadline ? (int)(deadline - now) : 0;
        struct pollfd p = {fd, POLLIN, 0};
        int rc = poll(&p, 1, left);
        if (rc > 0)
            return kErrNone;
        if (rc == 0)
            return kErrTimeout;
        if (errno != EINTR)
            return kErrIO;
    }
}

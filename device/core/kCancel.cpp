#include "device/core/kCancel.h"

#include "device/core/kTime.h"

#define kCANCEL_CHECK 0xCA9CE1u

static_assert(std::atomic<uint32_t>::is_always_lock_free, "a signal handler touches them");

static bool sValid(const kCancel* cancel)
{
    return cancel && cancel->check == kCANCEL_CHECK;
}

kErr kCancel_Init(kCancel* cancel)
{
    if (!cancel)
        return kErrParam;
    cancel->requests.store(0);
    cancel->sections.store(0);
    cancel->deadline = 0;
    cancel->check = kCANCEL_CHECK;
    return kErrNone;
}

uint32_t kCancel_Request(kCancel* cancel)
{
    return sValid(cancel) ? cancel->requests.fetch_add(1) : 0;
}

kErr kCancel_SetDeadline(kCancel* cancel, uint64_t ms)
{
    if (!sValid(cancel))
        return kErrParam;
    cancel->deadline = ms == 0 ? 0 : kTime_GetMSTicks() + ms;
    return kErrNone;
}

kErr kCancel_Check(const kCancel* cancel)
{
    if (!sValid(cancel) || cancel->sections.load() != 0)
        return kErrNone;
    if (cancel->requests.load() != 0)
        return kErrCancel;
    return cancel->deadline != 0 && kTime_GetMSTicks() >= cancel->deadline ? kErrCancel : kErrNone;
}

bool kCancel_Requested(const kCancel* cancel)
{
    return sValid(cancel) && cancel->requests.load() != 0;
}

void kCancel_EnterSection(kCancel* cancel)
{
    if (sValid(cancel))
        cancel->sections.fetch_add(1);
}

void kCancel_LeaveSection(kCancel* cancel)
{
    if (sValid(cancel) && cancel->sections.load() != 0)
        cancel->sections.fetch_sub(1);
}

bool kCancel_InSection(const kCancel* cancel)
{
    return sValid(cancel) && cancel->sections.load() != 0;
}

uint32_t kCancel_Slice(uint32_t ms)
{
    return ms < kCANCEL_SLICE_MS ? ms : kCANCEL_SLICE_MS;
}

kErr kCancel_Wait(const kCancel* cancel, uint64_t ms, kCancelWaitProc wait, void* reference)
{
    if (!wait)
        return kErrParam;
    uint64_t end = kTime_GetMSTicks() + ms;
    for (;;) {
        if (kCancel_Check(cancel) != kErrNone)
            return kErrCancel;
        uint64_t now = kTime_GetMSTicks();
        uint64_t left = end > now ? end - now : 0;
        uint32_t part = left > UINT32_MAX ? UINT32_MAX : (uint32_t)left;
        if (sValid(cancel))
            part = kCancel_Slice(part);
        if (wait(part, reference))
            return kErrNone;
        if (left <= part)
            return kErrTimeout;
    }
}

kErr kCancel_Sleep(const kCancel* cancel, uint64_t ms)
{
    uint64_t end = kTime_GetMSTicks() + ms;
    for (;;) {
        kErr err = kCancel_Check(cancel);
        uint64_t now = kTime_GetMSTicks();
        if (err || now >= end)
            return err;
        kTime_MSSleep(end - now < kCANCEL_SLICE_MS ? end - now : kCANCEL_SLICE_MS);
    }
}

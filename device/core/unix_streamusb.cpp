// USB streams: a module reached through the USB transport, by its kernel
// driver's node when the driver holds it, else through libusb.
//
// A read through libusb is a bulk transfer that waits for the module, so
// on that path a receiver thread of the stream's own keeps one in flight
// and hands the bytes that come to the stream's ring; the reading side
// takes them from there and waits on the ring's condition variable, which
// the receiver signals. The node's path reads and waits on the descriptor.

#include "device/core/kStream.h"
#include "device/core/kThreadAnnotations.h"
#include "device/core/kTime.h"
#include "device/core/vtusb.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <new>

#define kUSBSTREAM_CHECK 0xDEAD
// Bytes received ahead of the reader; a full ring holds the receiver back.
#define kUSBSTREAM_RING_SIZE 16384

struct K_CAPABILITY("mutex") sRingLock {
    pthread_mutex_t mutex;
};

typedef struct {
    uint32_t serialNumber;
    vtusb* usb;
    bool kernel;
    pthread_t receiver;
    bool receiving; ///< a receiver thread runs and is to be joined
    std::atomic<bool> stopping;
    sRingLock lock;
    pthread_cond_t changed; ///< bytes came, the receiver ended, or room was made
    uint8_t ring[kUSBSTREAM_RING_SIZE] K_GUARDED_BY(lock);
    uint32_t head K_GUARDED_BY(lock);
    uint32_t count K_GUARDED_BY(lock);
    bool roomWanted K_GUARDED_BY(lock);
    /// The transfer error that ended the receiver; 0 while it runs.
    kErr failure K_GUARDED_BY(lock);
    uint16_t check;
} kUnixUSBStream;

static void sLock(kUnixUSBStream* s) K_ACQUIRE(s->lock) K_NO_THREAD_SAFETY_ANALYSIS
{
    pthread_mutex_lock(&s->lock.mutex);
}

static void sUnlock(kUnixUSBStream* s) K_RELEASE(s->lock) K_NO_THREAD_SAFETY_ANALYSIS
{
    pthread_mutex_unlock(&s->lock.mutex);
}

static bool sWaitChanged(kUnixUSBStream* s, const struct timespec* deadline)
    K_REQUIRES(s->lock) K_NO_THREAD_SAFETY_ANALYSIS
{
    return pthread_cond_timedwait(&s->changed, &s->lock.mutex, deadline) == 0;
}

static kUnixUSBStream* sUSB(void* reference)
{
    kUnixUSBStream* s = (kUnixUSBStream*)reference;
    return s && s->check == kUSBSTREAM_CHECK ? s : nullptr;
}

// ---------------------------------------------------------------------------
// The receiver (libusb path)

// Waits while the ring is full; false once the stream is stopping.
static bool sAwaitRoom(kUnixUSBStream* s) K_REQUIRES(s->lock)
{
    while (s->count == kUSBSTREAM_RING_SIZE && !s->stopping) {
        struct timespec deadline;
        kTime_GetDeadline(100, &deadline);
        s->roomWanted = true;
        sWaitChanged(s, &deadline);
    }
    return !s->stopping;
}

// Puts the byte into the ring, or ends the receiver with the error.
static bool sDeliver(kUnixUSBStream* s, kErr err, uint8_t byte)
{
    sLock(s);
    bool goOn = !err && sAwaitRoom(s);
    if (goOn) {
        s->ring[(s->head + s->count) % kUSBSTREAM_RING_SIZE] = byte;
        s->count++;
    } else if (err) {
        s->failure = err;
    }
    if (err || s->count == 1)
        pthread_cond_broadcast(&s->changed);
    sUnlock(s);
    return goOn;
}

// Each get that finds no byte in the transport's buffer is one bulk
// transfer of up to 100 ms, so the stopping flag is seen within that.
static void* sReceive(void* argument)
{
    kUnixUSBStream* s = (kUnixUSBStream*)argument;
    while (!s->stopping) {
        uint8_t byte = 0;
        kErr err = vtusb_get_from_device(s->usb, &byte);
        if (err != kErrNotReady && !sDeliver(s, err, byte))
            break;
    }
    return nullptr;
}

static kErr sTake(kUnixUSBStream* s, uint8_t* byte)
{
    kErr err = kErrNotReady;
    sLock(s);
    if (s->count > 0) {
        *byte = s->ring[s->head];
        s->head = (s->head + 1) % kUSBSTREAM_RING_SIZE;
        s->count--;
        err = kErrNone;
        if (s->roomWanted) {
            s->roomWanted = false;
            pthread_cond_broadcast(&s->changed);
        }
    } else if (s->failure) {
        err = s->failure;
    }
    sUnlock(s);
    return err;
}

static kErr sAwaitBytes(kUnixUSBStream* s, uint32_t timeoutMS)
{
    struct timespec deadline;
    kTime_GetDeadline(timeoutMS, &deadline);
    sLock(s);
    bool waiting = true;
    while (s->count == 0 && !s->failure && waiting)
        waiting = sWaitChanged(s, &deadline);
    bool ready = s->count > 0 || s->failure;
    sUnlock(s);
    return ready ? kErrNone : kErrTimeout;
}

static void sStopReceiver(kUnixUSBStream* s)
{
    if (!s->receiving)
        return;
    s->stopping = true;
    sLock(s);
    pthread_cond_broadcast(&s->changed);
    sUnlock(s);
    pthread_join(s->receiver, nullptr);
    s->receiving = false;
}

// ---------------------------------------------------------------------------
// Procedures

static kErr sUSBGet(uint8_t* byte, void* reference)
{
    kUnixUSBStream* s = sUSB(reference);
    if (!s)
        return kErrParam;
    return s->kernel ? vtusb_get_from_device(s->usb, byte) : sTake(s, byte);
}

static kErr sUSBWait(uint32_t timeoutMS, void* reference)
{
    kUnixUSBStream* s = sUSB(reference);
    if (!s)
        return kErrParam;
    return s->kernel ? vtusb_await_kernel_device(s->usb, timeoutMS) : sAwaitBytes(s, timeoutMS);
}

static kErr sUSBWrite(const uint8_t* bytes, size_t length, void* reference)
{
    kUnixUSBStream* s = sUSB(reference);
    return s ? vtusb_write_to_device(s->usb, bytes, length) : kErrParam;
}

static kErr sUSBPut(uint8_t byte, void* reference)
{
    return sUSBWrite(&byte, 1, reference);
}

static void sFree(kUnixUSBStream* s)
{
    vtusb_destroy(&s->usb);
    pthread_cond_destroy(&s->changed);
    pthread_mutex_destroy(&s->lock.mutex);
    s->check = 0;
    delete s;
}

static kErr sUSBDelete(void* reference)
{
    kUnixUSBStream* s = sUSB(reference);
    if (!s)
        return kErrParam;
    sStopReceiver(s);
    kErr err = vtusb_close_vantor_device(s->usb);
    if (err)
        return err;
    sFree(s);
    return kErrNone;
}

// ---------------------------------------------------------------------------
// Create

static kUnixUSBStream* sNew(uint32_t serialNumber, bool kernel)
{
    kUnixUSBStream* s = new (std::nothrow) kUnixUSBStream();
    if (!s)
        return nullptr;
    pthread_condattr_t attr;
    bool made = pthread_condattr_init(&attr) == 0;
    // Deadlines come from kTime_GetDeadline, on the monotonic clock.
    bool cond = made && pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0 &&
                pthread_cond_init(&s->changed, &attr) == 0;
    if (made)
        pthread_condattr_destroy(&attr);
    if (!cond || pthread_mutex_init(&s->lock.mutex, nullptr) != 0) {
        if (cond)
            pthread_cond_destroy(&s->changed);
        delete s;
        return nullptr;
    }
    s->serialNumber = serialNumber;
    s->kernel = kernel;
    s->check = kUSBSTREAM_CHECK;
    return s;
}

static kErr sOpen(kUnixUSBStream* s)
{
    char name[16];
    s->usb = vtusb_create_usb(s->kernel ? kVTUSB_MODE_KERNEL : kVTUSB_MODE_USBLIB);
    if (!s->usb)
        return kErrResource;
    snprintf(name, sizeof(name), "%08X", s->serialNumber);
    kErr err = vtusb_open_vantor_device(s->usb, name);
    if (err || s->kernel)
        return err;
    s->receiving = pthread_create(&s->receiver, nullptr, sReceive, s) == 0;
    if (!s->receiving) {
        vtusb_close_vantor_device(s->usb);
        return kErrResource;
    }
    return kErrNone;
}

kErr kStream_CreateUSB(uint32_t serialNumber, kStream** stream)
{
    bool kernel = vtusb_is_kernel_driver_installed(serialNumber);
    if (!stream || serialNumber == 0)
        return kErrParam;
    kUnixUSBStream* s = sNew(serialNumber, kernel);
    if (!s)
        return kErrMemory;
    kStream* created = nullptr;
    kErr err = sOpen(s);
    if (!err) {
        created = kStream_Create(sUSBGet, sUSBPut, sUSBWrite, sUSBDelete, s);
        if (!created) {
            sStopReceiver(s);
            vtusb_close_vantor_device(s->usb);
            err = kErrMemory;
        }
    }
    if (err) {
        sFree(s);
        return err;
    }
    kStream_SetWait(created, sUSBWait);
    *stream = created;
    return kErrNone;
}

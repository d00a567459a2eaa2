// USB streams: a module reached through the USB transport, by its kernel
// driver's node when the driver holds it, else through libusb. A wait
// sleeps in the transport until bytes come: on the node's descriptor, or in
// the bulk transfer that receives them.

#include "device/core/internal/vtusb.h"
#include "device/core/kStream.h"

#include <stdio.h>
#include <stdlib.h>

#define kUSBSTREAM_CHECK 0xDEAD

typedef struct {
    uint32_t serialNumber;
    vtusb* usb;
    uint16_t check;
} kUnixUSBStream;

static kUnixUSBStream* sUSB(void* reference)
{
    kUnixUSBStream* s = (kUnixUSBStream*)reference;
    return s && s->check == kUSBSTREAM_CHECK ? s : nullptr;
}

static kErr sUSBGet(uint8_t* byte, void* reference)
{
    kUnixUSBStream* s = sUSB(reference);
    return s ? vtusb_get_from_device(s->usb, byte) : kErrParam;
}

static kErr sUSBWait(uint32_t timeoutMS, void* reference)
{
    kUnixUSBStream* s = sUSB(reference);
    return s ? vtusb_await_from_device(s->usb, timeoutMS) : kErrParam;
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

static kErr sUSBDelete(void* reference)
{
    kUnixUSBStream* s = sUSB(reference);
    if (!s)
        return kErrParam;
    kErr err = vtusb_close_vantor_device(s->usb);
    if (err)
        return err;
    (void)vtusb_destroy(&s->usb);
    s->check = 0;
    free(s);
    return kErrNone;
}

kErr kStream_CreateUSB(uint32_t serialNumber, kStream** stream)
{
    bool kernel = vtusb_is_kernel_driver_installed(serialNumber);
    if (!stream || serialNumber == 0)
        return kErrParam;
    kUnixUSBStream* s = (kUnixUSBStream*)calloc(1, sizeof(*s));
    if (!s)
        return kErrMemory;
    s->serialNumber = serialNumber;
    s->check = kUSBSTREAM_CHECK;
    kErr err = kErrResource;
    kStream* created = nullptr;
    char name[16];
    s->usb = vtusb_create_usb(kernel ? kVTUSB_MODE_KERNEL : kVTUSB_MODE_USBLIB);
    if (!s->usb)
        goto out;
    snprintf(name, sizeof(name), "%08X", serialNumber);
    err = vtusb_open_vantor_device(s->usb, name);
    if (err)
        goto out;
    created = kStream_Create(sUSBGet, sUSBPut, sUSBWrite, sUSBDelete, s);
    if (!created) {
        (void)vtusb_close_vantor_device(s->usb);
        err = kErrMemory;
    }
out:
    if (err) {
        (void)vtusb_destroy(&s->usb);
        free(s);
        return err;
    }
    (void)kStream_SetWait(created, sUSBWait);
    *stream = created;
    return kErrNone;
}

#include "device/core/internal/vtusb.h"

#include "device/core/internal/kDescriptor.h"
#include "device/core/kFile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <new>

#define kVTUSB_NAME_SIZE 53
#define kVTUSB_SERIAL_STRING_SIZE 50
#define kVTUSB_NODE_FORMAT "/dev/vantor.%s"

#define kVTUSB_CHUNK 50
#define kVTUSB_WRITE_TIMEOUT_MS 50
#define kVTUSB_WRITE_ATTEMPTS 100
// A whole number of packets, so a module's answer is never cut inside one.
#define kVTUSB_RECEIVE_SIZE 1024
#define kVTUSB_READ_TIMEOUT_MS 100
#define kVTUSB_KERNEL_WRITE_CALLS 1000

struct vtusbRecord {
    int32_t mode;
    char name[kVTUSB_NAME_SIZE];
    int32_t fd; ///< -1 when closed
    libusb_context* context;
    libusb_device_handle* handle;
    std::atomic<int32_t> state; ///< read by both sides, written when a transfer fails
    uint8_t interfaceNumber;
    uint8_t outEndpoint;
    uint8_t inEndpoint;
    uint8_t receiveBuffer[kVTUSB_RECEIVE_SIZE];
    uint32_t bytesLeft;
    uint8_t* readPointer;
};

bool is_vantor_device(libusb_device* device)
{
    struct libusb_device_descriptor d;
    if (!device || libusb_get_device_descriptor(device, &d) != 0)
        return false;
    return d.idVendor == kVANTOR_VENDOR_ID && (d.idProduct & 0x8000) == 0;
}

bool vtusb_is_kernel_driver_installed(uint32_t serialNumber)
{
    char path[64];
    snprintf(path, sizeof(path), "/dev/vantor.%08X", serialNumber);
    return kFile_Exists(path);
}

vtusb* vtusb_create_usb(int32_t mode)
{
    vtusb* usb = new (std::nothrow) vtusb();
    if (!usb)
        return nullptr;
    usb->mode = mode == kVTUSB_MODE_USBLIB ? kVTUSB_MODE_USBLIB : kVTUSB_MODE_KERNEL;
    usb->fd = -1;
    if (usb->mode == kVTUSB_MODE_USBLIB && libusb_init(&usb->context) != 0) {
        delete usb;
        return nullptr;
    }
    usb->state = kVTUSB_STATE_CREATED;
    return usb;
}

kErr vtusb_destroy(vtusb** usb)
{
    if (!usb || !*usb)
        return kErrParam;
    vtusb* u = *usb;
    *usb = nullptr;
    if (u->handle)
        libusb_close(u->handle);
    if (u->fd >= 0)
        close(u->fd);
    if (u->context)
        libusb_exit(u->context);
    delete u;
    return kErrNone;
}

int32_t vtusb_get_state(const vtusb* usb)
{
    return usb ? usb->state.load() : (int32_t)kVTUSB_STATE_NONE;
}

kErr vtusb_open_vantor_device(vtusb* usb, const char* name)
{
    if (!usb)
        return kErrParam;
    return usb->mode == kVTUSB_MODE_USBLIB ? vtusb_open_vantor_USBlib_device(usb, name)
                                           : vtusb_open_vantor_kernel_device(usb, name);
}

kErr vtusb_write_to_device(vtusb* usb, const uint8_t* bytes, size_t length)
{
    if (!usb)
        return kErrParam;
    return usb->mode == kVTUSB_MODE_USBLIB ? vtusb_write_to_USBlib_device(usb, bytes, length)
                                           : vtusb_write_to_kernel_device(usb, bytes, length);
}

kErr vtusb_get_from_device(vtusb* usb, uint8_t* byte)
{
    if (!usb)
        return kErrParam;
    return usb->mode == kVTUSB_MODE_USBLIB ? vtusb_get_from_USBlib_device(usb, byte)
                                           : vtusb_get_from_kernel_device(usb, byte);
}

kErr vtusb_await_from_device(vtusb* usb, uint32_t timeoutMS)
{
    if (!usb)
        return kErrParam;
    return usb->mode == kVTUSB_MODE_USBLIB ? vtusb_await_from_USBlib_device(usb, timeoutMS)
                                           : vtusb_await_from_kernel_device(usb, timeoutMS);
}

kErr vtusb_close_vantor_device(vtusb* usb)
{
    if (!usb)
        return kErrParam;
    return usb->mode == kVTUSB_MODE_USBLIB ? vtusb_close_vantor_USBlib_device(usb)
                                           : vtusb_close_vantor_kernel_device(usb);
}

// ---- user-space path

static bool sSerialStringIs(libusb_device* device, libusb_device_handle* handle, const char* name)
{
    struct libusb_device_descriptor d;
    if (libusb_get_device_descriptor(device, &d) != 0 || d.iSerialNumber == 0)
        return false;
    unsigned char text[kVTUSB_SERIAL_STRING_SIZE + 1] = {};
    if (libusb_get_string_descriptor_ascii(handle, d.iSerialNumber, text,
                                           kVTUSB_SERIAL_STRING_SIZE) < 0)
        return false;
    return strcmp((const char*)text, name) == 0;
}

static void sTakeEndpoints(vtusb* usb, const struct libusb_interface_descriptor* setting, bool* in,
                           bool* out)
{
    for (uint8_t e = 0; e < setting->bNumEndpoints; e++) {
        const struct libusb_endpoint_descriptor* ep = &setting->endpoint[e];
        if ((ep->bmAttributes & 0x02) == 0)
            continue; // control or isochronous
        if (ep->bEndpointAddress & LIBUSB_ENDPOINT_IN) {
            usb->inEndpoint = ep->bEndpointAddress;
            *in = true;
        } else {
            usb->outEndpoint = ep->bEndpointAddress;
            *out = true;
        }
    }
}

static kErr sFindInterface(vtusb* usb, libusb_device* device)
{
    struct libusb_config_descriptor* config = nullptr;
    if (libusb_get_config_descriptor(device, 0, &config) != 0)
        return kErrConfiguration;
    bool found = false, in = false, out = false;
    for (uint8_t i = 0; i < config->bNumInterfaces; i++) {
        const struct libusb_interface* itf = &config->interface[i];
        for (int a = 0; a < itf->num_altsetting; a++) {
            const struct libusb_interface_descriptor* s = &itf->altsetting[a];
            if (s->bInterfaceClass != kVTUSB_INTERFACE_CLASS ||
                s->bInterfaceSubClass != kVTUSB_INTERFACE_SUBCLASS ||
                s->bInterfaceProtocol != kVTUSB_INTERFACE_PROTOCOL)
                continue;
            usb->interfaceNumber = s->bInterfaceNumber;
            found = true;
            sTakeEndpoints(usb, s, &in, &out);
        }
    }
    libusb_free_config_descriptor(config);
    return found && in && out ? kErrNone : kErrConfiguration;
}

static kErr sTranslateClaimError(int rc)
{
    switch (rc) {
    case LIBUSB_SUCCESS:
        return kErrNone;
    case LIBUSB_ERROR_BUSY:
    case LIBUSB_ERROR_NO_DEVICE:
        return kErrBusy;
    case LIBUSB_ERROR_ACCESS:
        return kErrPermission;
    default:
        return kErrUnknown;
    }
}

// The matching device is kept and set up; on any failure it is closed again.
static kErr sTakeDevice(vtusb* usb, libusb_device* device, libusb_device_handle* handle,
                        const char* name)
{
    snprintf(usb->name, sizeof(usb->name), "%s", name);
    usb->handle = handle;
    usb->state = kVTUSB_STATE_OPENING;
    kErr err = sFindInterface(usb, device);
    if (!err)
        err = sTranslateClaimError(libusb_claim_interface(handle, usb->interfaceNumber));
    if (err) {
        usb->state = kVTUSB_STATE_CLOSED;
        libusb_close(handle);
        usb->handle = nullptr;
        return err;
    }
    usb->state = kVTUSB_STATE_OPEN;
    return kErrNone;
}

kErr vtusb_open_vantor_USBlib_device(vtusb* usb, const char* name)
{
    if (!usb || !name)
        return kErrParam;
    if (usb->mode != kVTUSB_MODE_USBLIB)
        return kErrMode;
    if (usb->state == kVTUSB_STATE_NONE)
        return kErrResource;
    if (usb->handle)
        return kErrBusy; // opened once; a second handle would leak the first
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(usb->context, &list);
    kErr err = kErrNotFound;
    for (ssize_t i = 0; i < count; i++) {
        libusb_device_handle* handle = nullptr;
        if (!is_vantor_device(list[i]) || libusb_open(list[i], &handle) != 0)
            continue;
        if (!sSerialStringIs(list[i], handle, name)) {
            libusb_close(handle);
            continue;
        }
        err = sTakeDevice(usb, list[i], handle, name);
        break;
    }
    if (count >= 0)
        libusb_free_device_list(list, 1);
    return err;
}

// Transfers run only on an open record.
static kErr sTransferState(const vtusb* usb)
{
    switch (usb->state.load()) {
    case kVTUSB_STATE_OPEN:
        return kErrNone;
    case kVTUSB_STATE_CLOSED:
        return kErrConnection;
    case kVTUSB_STATE_CREATED:
    case kVTUSB_STATE_OPENING:
        return kErrNotReady;
    default:
        return kErrIO;
    }
}

static kErr sFail(vtusb* usb, kErr result)
{
    usb->state = kVTUSB_STATE_FAILED;
    return result ? result : kErrIO;
}

// One attempt at the rest of a chunk: `*done` counts the chunk's bytes that
// went out, so a retry sends only what is left. True when the chunk is sent.
static bool sSendChunk(vtusb* usb, uint8_t* chunk, size_t length, size_t* done, kErr* result)
{
    int transferred = 0;
    int rc = libusb_bulk_transfer(usb->handle, usb->outEndpoint, chunk + *done,
                                  (int)(length - *done), &transferred, kVTUSB_WRITE_TIMEOUT_MS);
    if (rc == LIBUSB_SUCCESS)
        return true;
    *done += transferred > 0 ? (size_t)transferred : 0;
    if (rc == LIBUSB_ERROR_PIPE) {
        if (libusb_clear_halt(usb->handle, usb->outEndpoint) != 0)
            *result = sFail(usb, *result);
        return false;
    }
    transferred = 0;
    rc = libusb_bulk_transfer(usb->handle, usb->outEndpoint, chunk + *done, (int)(length - *done),
                              &transferred, kVTUSB_WRITE_TIMEOUT_MS);
    if (rc == LIBUSB_SUCCESS)
        return true;
    *done += transferred > 0 ? (size_t)transferred : 0;
    *result = sFail(usb, *result);
    return false;
}

kErr vtusb_write_to_USBlib_device(vtusb* usb, const uint8_t* bytes, size_t length)
{
    if (!usb)
        return kErrParam;
    if (usb->mode != kVTUSB_MODE_USBLIB)
        return kErrMode;
    kErr result = sTransferState(usb);
    if (result)
        return result;
    if (!bytes && length > 0)
        return kErrParam;
    uint8_t chunk[kVTUSB_CHUNK];
    size_t offset = 0, done = 0;
    for (int attempt = 0; attempt < kVTUSB_WRITE_ATTEMPTS && offset < length; attempt++) {
        size_t n = length - offset < kVTUSB_CHUNK ? length - offset : kVTUSB_CHUNK;
        if (done == 0) {
            memset(chunk, 0, sizeof(chunk));
            memcpy(chunk, bytes + offset, n);
        }
        if (sSendChunk(usb, chunk, n, &done, &result)) {
            offset += n;
            done = 0;
        }
    }
    if (offset < length && !result)
        result = kErrWrite;
    return result;
}

// One bulk read into the empty receive buffer, of at most `timeoutMS` (not
// 0, which libusb takes for no limit). kErrNotReady when nothing came (a
// stall is cleared).
static kErr sFill(vtusb* usb, unsigned timeoutMS)
{
    kErr err = sTransferState(usb);
    if (err)
        return err;
    int transferred = 0;
    int rc = libusb_bulk_transfer(usb->handle, usb->inEndpoint, usb->receiveBuffer,
                                  sizeof(usb->receiveBuffer), &transferred, timeoutMS);
    if (rc == LIBUSB_ERROR_PIPE) {
        libusb_clear_halt(usb->handle, usb->inEndpoint);
        return kErrNotReady;
    }
    if (rc != LIBUSB_SUCCESS && rc != LIBUSB_ERROR_TIMEOUT)
        return sFail(usb, kErrIO);
    // Also a transfer that succeeded with no byte: nothing to report.
    if (transferred <= 0)
        return kErrNotReady;
    usb->readPointer = usb->receiveBuffer;
    usb->bytesLeft = (uint32_t)transferred;
    return kErrNone;
}

kErr vtusb_get_from_USBlib_device(vtusb* usb, uint8_t* byte)
{
    if (!usb || !byte)
        return kErrParam;
    if (usb->mode != kVTUSB_MODE_USBLIB)
        return kErrMode;
    if (usb->bytesLeft == 0) {
        kErr err = sFill(usb, kVTUSB_READ_TIMEOUT_MS);
        if (err)
            return err;
    }
    *byte = *usb->readPointer++;
    usb->bytesLeft--;
    return kErrNone;
}

// The wait is the transfer itself: libusb sleeps in it until the module's
// bytes come, and they are kept for the gets that follow.
kErr vtusb_await_from_USBlib_device(vtusb* usb, uint32_t timeoutMS)
{
    if (!usb)
        return kErrParam;
    if (usb->mode != kVTUSB_MODE_USBLIB)
        return kErrMode;
    if (usb->bytesLeft > 0)
        return kErrNone;
    if (timeoutMS == 0)
        return kErrTimeout;
    kErr err = sFill(usb, timeoutMS < kVTUSB_READ_TIMEOUT_MS ? timeoutMS : kVTUSB_READ_TIMEOUT_MS);
    return err == kErrNotReady ? kErrTimeout : err;
}

kErr vtusb_close_vantor_USBlib_device(vtusb* usb)
{
    if (!usb)
        return kErrParam;
    if (usb->mode != kVTUSB_MODE_USBLIB || !usb->handle)
        return kErrMode;
    int rc = libusb_release_interface(usb->handle, usb->interfaceNumber);
    // A module that has already gone, as after its reboot, has nothing left
    // to release.
    if (rc != LIBUSB_SUCCESS && rc != LIBUSB_ERROR_NO_DEVICE)
        printf("error release %d\n", rc);
    libusb_close(usb->handle);
    usb->handle = nullptr;
    usb->state = kVTUSB_STATE_CLOSED;
    usb->inEndpoint = usb->outEndpoint = usb->interfaceNumber = 0;
    usb->bytesLeft = 0;
    return kErrNone;
}

// ---- kernel path

kErr vtusb_open_vantor_kernel_device(vtusb* usb, const char* name)
{
    if (!usb || !name)
        return kErrParam;
    if (usb->mode != kVTUSB_MODE_KERNEL)
        return kErrMode;
    if (usb->fd >= 0)
        return kErrBusy;
    snprintf(usb->name, sizeof(usb->name), "%s", name);
    char path[sizeof(kVTUSB_NODE_FORMAT) + kVTUSB_NAME_SIZE];
    snprintf(path, sizeof(path), kVTUSB_NODE_FORMAT, usb->name);
    usb->fd = open(path, O_RDWR);
    if (usb->fd < 0)
        return errno == EBUSY ? kErrBusy : kErrIO;
    return kErrNone;
}

kErr vtusb_write_to_kernel_device(vtusb* usb, const uint8_t* bytes, size_t length)
{
    if (!usb)
        return kErrParam;
    if (usb->mode != kVTUSB_MODE_KERNEL || usb->fd < 0)
        return kErrMode;
    if (!bytes && length > 0)
        return kErrParam;
    size_t written = 0;
    for (int call = 0; call < kVTUSB_KERNEL_WRITE_CALLS && written < length; call++) {
        ssize_t n = write(usb->fd, bytes + written, length - written);
        if (n < 0)
            return kErrIO;
        written += (size_t)n;
    }
    return written == length ? kErrNone : kErrIO;
}

kErr vtusb_get_from_kernel_device(vtusb* usb, uint8_t* byte)
{
    if (!usb || !byte)
        return kErrParam;
    if (usb->mode != kVTUSB_MODE_KERNEL || usb->fd < 0)
        return kErrMode;
    ssize_t n = read(usb->fd, byte, 1);
    if (n == 1)
        return kErrNone;
    // The driver fails a read with EFAULT when it has no data.
    if (n == 0 || errno == EFAULT)
        return kErrNotReady;
    return kErrIO;
}

kErr vtusb_await_from_kernel_device(vtusb* usb, uint32_t timeoutMS)
{
    if (!usb)
        return kErrParam;
    if (usb->mode != kVTUSB_MODE_KERNEL || usb->fd < 0)
        return kErrMode;
    return kDescriptor_AwaitReadable(usb->fd, timeoutMS);
}

kErr vtusb_close_vantor_kernel_device(vtusb* usb)
{
    if (!usb)
        return kErrParam;
    if (usb->mode != kVTUSB_MODE_KERNEL)
        return kErrMode;
    if (usb->fd < 0)
        return kErrNone;
    // The descriptor is gone even when close reports an error.
    int rc = close(usb->fd);
    usb->fd = -1;
    if (rc != 0)
        return kErrCancel;
    usb->state = kVTUSB_STATE_CLOSED;
    return kErrNone;
}

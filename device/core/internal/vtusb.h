#pragma once
// The USB transport: bytes to and from one module, either through libusb
// (the module's vendor interface, bulk endpoints) or through the device
// node "/dev/vantor.%08X" that the module's kernel driver makes. One record
// serves one reader thread and one writer thread at a time: reads use only
// the IN endpoint and the receive buffer, writes only the OUT endpoint.

#include "device/core/kError.h"
#include "updater_config.h"

#include <libusb.h>
#include <stddef.h>
#include <stdint.h>

/// The USB vendor ID of the module family (a build setting).
#define kVANTOR_VENDOR_ID ((uint16_t)(UPDATER_VANTOR_VENDOR_ID))

/// The vendor interface of a module.
#define kVTUSB_INTERFACE_CLASS 0xFF
#define kVTUSB_INTERFACE_SUBCLASS 0x88
#define kVTUSB_INTERFACE_PROTOCOL 0x10

enum {
    kVTUSB_MODE_KERNEL = 0,
    kVTUSB_MODE_USBLIB = 1,
};

/// States of a record.
enum {
    kVTUSB_STATE_NONE = 0,
    kVTUSB_STATE_CREATED = 1,
    kVTUSB_STATE_CLOSED = 2,
    kVTUSB_STATE_OPENING = 3,
    kVTUSB_STATE_OPEN = 4,
    kVTUSB_STATE_FAILED = 5,
};

typedef struct vtusbRecord vtusb;

/// True for a device of the family: its descriptor can be read, its vendor
/// is kVANTOR_VENDOR_ID and bit 15 of its product is clear.
bool is_vantor_device(libusb_device* device);

/// True when the kernel driver's node for the module exists.
bool vtusb_is_kernel_driver_installed(uint32_t serialNumber);

/// A new record in state created for a kVTUSB_MODE_*; with its own libusb
/// context in user-space mode. Null when memory runs out or libusb cannot
/// be initialised.
vtusb* vtusb_create_usb(int32_t mode);

/// Closes a still-open libusb handle, releases the context, frees the
/// record and clears the caller's pointer. kErrParam for a null record.
kErr vtusb_destroy(vtusb** usb);

/// The record's state (kVTUSB_STATE_NONE for a null record).
int32_t vtusb_get_state(const vtusb* usb);

/// Opens the module whose serial-number string is `name` (eight upper-case
/// hexadecimal digits), by the record's path.
kErr vtusb_open_vantor_device(vtusb* usb, const char* name);
/// Writes the bytes, by the record's path.
kErr vtusb_write_to_device(vtusb* usb, const uint8_t* bytes, size_t length);
/// Delivers one received byte, by the record's path; kErrNotReady when none
/// came.
kErr vtusb_get_from_device(vtusb* usb, uint8_t* byte);
/// Blocks until a get will find a byte or `timeoutMS` has passed, by the
/// record's path: kErrNone, kErrTimeout, or the path's error.
kErr vtusb_await_from_device(vtusb* usb, uint32_t timeoutMS);
kErr vtusb_close_vantor_device(vtusb* usb);

// The two paths. Each refuses a record of the other mode with kErrMode.

/// kErrResource in state none; kErrNotFound when no module has that serial
/// string; kErrConfiguration without the vendor interface and an endpoint
/// each way; kErrBusy (interface held, or device gone), kErrPermission or
/// kErrUnknown when the interface cannot be claimed.
kErr vtusb_open_vantor_USBlib_device(vtusb* usb, const char* name);
/// Chunks of at most 50 bytes, 50 ms each, at most 100 attempts in all.
/// kErrConnection when closed, kErrNotReady before open, kErrIO after a
/// transfer failed beyond recovery, kErrWrite when the attempts ran out.
kErr vtusb_write_to_USBlib_device(vtusb* usb, const uint8_t* bytes, size_t length);
/// Serves the receive buffer, else one bulk read of up to 1024 bytes within
/// 100 ms. kErrNotReady when nothing came (a stall is cleared).
kErr vtusb_get_from_USBlib_device(vtusb* usb, uint8_t* byte);
/// kErrNone at once while the receive buffer holds bytes; else one bulk
/// read into it within `timeoutMS` (at most 100 ms): kErrNone when bytes
/// came, kErrTimeout when none did; errors as for a get.
kErr vtusb_await_from_USBlib_device(vtusb* usb, uint32_t timeoutMS);
kErr vtusb_close_vantor_USBlib_device(vtusb* usb);

/// kErrBusy when the node is in use elsewhere, kErrIO for any other failure
/// (a missing node included).
kErr vtusb_open_vantor_kernel_device(vtusb* usb, const char* name);
kErr vtusb_write_to_kernel_device(vtusb* usb, const uint8_t* bytes, size_t length);
kErr vtusb_get_from_kernel_device(vtusb* usb, uint8_t* byte);
/// Blocks until the node is readable or `timeoutMS` has passed: kErrNone,
/// kErrTimeout; kErrMode for a record of the other mode or without a node.
kErr vtusb_await_from_kernel_device(vtusb* usb, uint32_t timeoutMS);
/// kErrCancel when closing the node fails.
kErr vtusb_close_vantor_kernel_device(vtusb* usb);

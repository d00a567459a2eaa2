#pragma once
// Link specifiers: how to reach one module and what it is.

#include "device/core/kCancel.h"
#include "device/core/kError.h"

#include <stddef.h>
#include <stdint.h>

enum linkType : uint32_t {
    kLinkTypeStream = 0, ///< a stream supplied by the caller
    kLinkTypeUSB = 1,
    kLinkTypeTCPIP = 2,
    kLinkTypeSerial = 3,
};

#define kLINKSPEC_PORT_NAME_SIZE 256

/// A plain record, always copied whole.
typedef struct {
    linkType type;
    uint32_t serialNumber;
    uint32_t module; ///< the module's (even) bus address
    uint32_t router; ///< address of the module that routes for it
    uint32_t routerSerialNumber;
    uint32_t model;
    union {
        struct {
            uint32_t usbId;
        } usb;
        struct {
            uint32_t ipAddress; ///< network byte order, as received
            uint32_t ipPort;    ///< holds a 16-bit port
        } tcpip;
        struct {
            uint32_t baudRate;
            char portName[kLINKSPEC_PORT_NAME_SIZE];
        } serial;
    };
} linkSpec;

/// Called for each module found. `spec` is valid only during the call; set
/// `*count` (false on entry) to count the module. Return false to stop.
typedef bool (*kDiscoveryCallback)(const linkSpec* spec, bool* count, void* reference);

/// The serial number of a module or loader that has none of its own.
#define kDISCOVERY_DEFAULT_SERIAL 0xDEADDEADu

/// TCP/IP discovery: the request goes to this group and port, the replies
/// come to the host's reply port.
#define kDISCOVERY_GROUP "232.2.2.2"
#define kDISCOVERY_REQUEST_PORT 9888
#define kDISCOVERY_REPLY_PORT 9889
#define kDISCOVERY_REPLY_SIZE 16

/// One module's 16-byte discovery reply, as received.
typedef struct {
    uint8_t bytes[kDISCOVERY_REPLY_SIZE];
} kIPDiscoveryInfo;

/// The module that a discovery reply of `length` bytes from `ipAddress`
/// (network order) describes, written over `spec`: bytes past the 16 of a
/// reply are not read, missing ones read as 0 (the model byte as 0xFF).
/// kErrSize, with `spec` untouched, for a reply shorter than 8 bytes, which
/// cannot carry a serial number; kErrParam for a null pointer.
kErr kDiscovery_ReadReply(const uint8_t* reply, size_t length, uint32_t ipAddress, linkSpec* spec);

/// Walks the modules reachable by `type` (kLinkTypeUSB or kLinkTypeTCPIP;
/// any other type finds nothing), calling `callback` for each until it
/// returns false. Returns how many the callback counted. USB discovery
/// opens each module without claiming it; TCP/IP discovery multicasts a
/// request out of every IPv4 interface and collects replies until none came
/// for 2 s, at most 10 s after the request. A serial number that a second
/// host answers for is reported once, from the first reply, and the
/// duplicate is logged (kLog). Blocks the caller meanwhile.
uint8_t kDiscovery_EnumerateModules(linkType type, kDiscoveryCallback callback, void* reference);

/// As kDiscovery_EnumerateModules, telling why nothing could be found:
/// kErrBusy when another program holds the reply port (no request is
/// sent), kErrIO when the reply socket cannot be made, kErrCancel when
/// `cancel` (may be null) stopped the reply wait; else kErrNone. `counted`
/// (may be null) gets the count.
kErr kDiscovery_Enumerate(linkType type, kDiscoveryCallback callback, void* reference,
                          uint8_t* counted, const kCancel* cancel);

/// As kDiscovery_Enumerate, but a TCP/IP walk collects replies for at most
/// `waitMS` after its request, so that a caller can ask again soon (a USB
/// walk never waits).
kErr kDiscovery_EnumerateWithin(linkType type, kDiscoveryCallback callback, void* reference,
                                uint32_t waitMS, uint8_t* counted, const kCancel* cancel);

/// The module with `serialNumber` reachable by `type`, as a new specifier
/// that the caller frees with kLinkSpec_Destroy; null when none answered.
linkSpec* kDiscovery_FindModule(linkType type, uint32_t serialNumber);

/// As kDiscovery_FindModule, with the reason when `*found` stays null:
/// kErrNotFound when no module answered, else as kDiscovery_Enumerate.
kErr kDiscovery_Find(linkType type, uint32_t serialNumber, linkSpec** found, const kCancel* cancel);

/// As kDiscovery_Find, waiting at most `waitMS` for the module's reply over
/// TCP/IP: the poll of a search that asks again until its own deadline.
kErr kDiscovery_FindWithin(linkType type, uint32_t serialNumber, uint32_t waitMS, linkSpec** found,
                           const kCancel* cancel);

/// The first module found with a serial number other than 0, or null.
linkSpec* kDiscovery_FindFirstModule(linkType type);

/// Callback of kDiscovery_FindModule: `reference` is a specifier holding
/// the wanted serial number; the first module with it is copied over it,
/// counted, and ends the walk.
bool cbSNCallback(const linkSpec* spec, bool* count, void* reference);

/// Callback of kDiscovery_FindFirstModule: copies the first module with a
/// non-zero serial number over the specifier `reference` and stops.
bool cbFirstCallback(const linkSpec* spec, bool* count, void* reference);

/// A new specifier of `type` with every other byte 0; null without memory.
linkSpec* kLinkSpec_Create(linkType type);

/// A new heap copy of the whole specifier; null without memory.
linkSpec* kLinkSpec_Copy(linkSpec spec);

/// Frees the specifier and clears the caller's pointer; kErrParam for null.
kErr kLinkSpec_Destroy(linkSpec** spec);

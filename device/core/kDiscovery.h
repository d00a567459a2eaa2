#pragma once
// Link specifiers: how to reach one module and what it is.

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

// Discovery of the modules on USB (libusb, a context of its own per walk)
// and on the local IPv4 networks (a multicast request out of every
// interface, UDP replies to a fixed port).

#include "device/core/internal/vtusb.h"
#include "device/core/kDiscovery.h"
#include "device/core/kLog.h"
#include "device/core/kTime.h"
#include "device/core/kUEI.h"

#include <ctype.h>
#include <errno.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#define kDISCOVERY_SERIAL_STRING_SIZE 32
#define kDISCOVERY_SERIAL_DIGITS 8
#define kDISCOVERY_QUIET_MS 2000
// Stray datagrams must not keep a collection open for ever.
#define kDISCOVERY_LONGEST_MS 10000
#define kDISCOVERY_SHORTEST_REPLY 8
#define kDISCOVERY_MODEL_OFFSET 12
// Hosts remembered per collection; one more than can be counted.
#define kDISCOVERY_SEEN_MAX 256

// Reports one module; false when the callback wants no more.
static bool sReport(const linkSpec* spec, kDiscoveryCallback callback, void* reference,
                    uint8_t* counted)
{
    bool count = false;
    bool goOn = callback(spec, &count, reference);
    if (count && *counted < UINT8_MAX)
        (*counted)++;
    return goOn;
}

// ---- USB

// The serial-number string, which must be eight hexadecimal digits.
static bool sReadSerialNumber(libusb_device_handle* handle, uint8_t index, uint32_t* serial)
{
    unsigned char text[kDISCOVERY_SERIAL_STRING_SIZE] = {};
    if (index == 0 || libusb_get_string_descriptor_ascii(handle, index, text, sizeof(text)) < 0)
        return false;
    text[sizeof(text) - 1] = '\0';
    if (strlen((const char*)text) != kDISCOVERY_SERIAL_DIGITS)
        return false;
    for (int i = 0; i < kDISCOVERY_SERIAL_DIGITS; i++) {
        if (!isxdigit(text[i]))
            return false;
    }
    *serial = (uint32_t)strtoul((const char*)text, nullptr, 16);
    return true;
}

// Reports the device when it is a module; false when the walk should end.
static bool sVisitUSBDevice(libusb_device* device, kDiscoveryCallback callback, void* reference,
                            uint8_t* counted)
{
    libusb_device_handle* handle = nullptr;
    if (!is_vantor_device(device) || libusb_open(device, &handle) != 0)
        return true;
    bool goOn = true;
    struct libusb_device_descriptor d;
    uint32_t serial = 0;
    if (libusb_get_device_descriptor(device, &d) == 0 &&
        sReadSerialNumber(handle, d.iSerialNumber, &serial)) {
        linkSpec* spec = kLinkSpec_Create(kLinkTypeUSB);
        if (spec) {
            spec->serialNumber = serial;
            spec->model = d.idProduct & 0xFF;
            spec->usb.usbId = serial;
            goOn = sReport(spec, callback, reference, counted);
            (void)kLinkSpec_Destroy(&spec);
        }
    }
    libusb_close(handle);
    return goOn;
}

static uint8_t sEnumerateUSB(kDiscoveryCallback callback, void* reference)
{
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0)
        return 0;
    uint8_t counted = 0;
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(context, &list);
    for (ssize_t i = 0; i < n; i++) {
        if (!sVisitUSBDevice(list[i], callback, reference, &counted))
            break;
    }
    if (n >= 0)
        libusb_free_device_list(list, 1);
    libusb_exit(context);
    return counted;
}

// ---- TCP/IP

// The replies' socket. Replies go to a fixed port: kErrBusy when another
// program holds it, as it would then get them.
static kErr sOpenListener(int* listener)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return kErrIO;
    struct sockaddr_in any = {};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = htons(kDISCOVERY_REPLY_PORT);
    if (bind(fd, (const struct sockaddr*)&any, sizeof(any)) != 0) {
        kErr err = errno == EADDRINUSE ? kErrBusy : kErrIO;
        close(fd);
        return err;
    }
    *listener = fd;
    return kErrNone;
}

// One request out of the interface with address `interfaceAddress`
// (network order; 0 leaves the choice to the system).
static bool sSendRequest(in_addr_t interfaceAddress)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return false;
    uint8_t request[kDISCOVERY_REPLY_SIZE] = {0x01};
    struct in_addr itf = {interfaceAddress};
    struct sockaddr_in group = {};
    group.sin_family = AF_INET;
    group.sin_port = htons(kDISCOVERY_REQUEST_PORT);
    inet_pton(AF_INET, kDISCOVERY_GROUP, &group.sin_addr);
    int on = 1;
    bool sent = setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) == 0 &&
                setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &itf, sizeof(itf)) == 0 &&
                sendto(fd, request, sizeof(request), 0, (const struct sockaddr*)&group,
                       sizeof(group)) == (ssize_t)sizeof(request);
    close(fd);
    return sent;
}

static int sSendRequests(void)
{
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return sSendRequest(0) ? 1 : 0;
    int sent = 0;
    for (struct ifaddrs* ifa = list; ifa; ifa = ifa->ifa_next) {
        if (!ifa->ifa_addr || ifa->ifa_addr->sa_family != AF_INET)
            continue;
        in_addr_t address = ((const struct sockaddr_in*)ifa->ifa_addr)->sin_addr.s_addr;
        if (address == 0 || address == htonl(INADDR_LOOPBACK))
            continue;
        if (sSendRequest(address))
            sent++;
    }
    freeifaddrs(list);
    return sent;
}

kErr kDiscovery_ReadReply(const uint8_t* reply, size_t length, uint32_t ipAddress, linkSpec* spec)
{
    if (!reply || !spec)
        return kErrParam;
    if (length < kDISCOVERY_SHORTEST_REPLY)
        return kErrSize;
    kIPDiscoveryInfo info;
    memset(&info, 0, sizeof(info));
    info.bytes[kDISCOVERY_MODEL_OFFSET] = 0xFF;
    memcpy(info.bytes, reply, length < sizeof(info.bytes) ? length : sizeof(info.bytes));
    memset(spec, 0, sizeof(*spec));
    spec->type = kLinkTypeTCPIP;
    spec->serialNumber = spec->routerSerialNumber = kUEI_RetrieveIntLE(&info.bytes[4]);
    spec->module = spec->router = info.bytes[1];
    spec->model = info.bytes[kDISCOVERY_MODEL_OFFSET];
    spec->tcpip.ipAddress = ipAddress;
    spec->tcpip.ipPort = kUEI_RetrieveShortLE(&info.bytes[2]);
    return kErrNone;
}

// Waits for the next datagram: at most the quiet time, never past the
// collection's deadline, and looking at the cancellation every slice. False
// when the collection is over.
static bool sAwaitReply(int listener, uint64_t deadline, const kCancel* cancel)
{
    uint64_t quiet = kTime_GetMSTicks() + kDISCOVERY_QUIET_MS;
    if (quiet < deadline)
        deadline = quiet;
    for (;;) {
        uint64_t now = kTime_GetMSTicks();
        if (now >= deadline || kCancel_Check(cancel) != kErrNone)
            return false;
        struct pollfd p = {listener, POLLIN, 0};
        int rc = poll(&p, 1, (int)kCancel_Slice((uint32_t)(deadline - now)));
        if (rc > 0)
            return true;
        if (rc < 0 && errno != EINTR)
            return false;
    }
}

// The hosts that answered for each serial number so far.
typedef struct {
    uint32_t serialNumber[kDISCOVERY_SEEN_MAX];
    in_addr_t host[kDISCOVERY_SEEN_MAX];
    uint32_t count;
} sSeen;

// True when another host has already answered for the reply's serial number:
// a module is listed once, from its first reply. Modules without a serial
// number of their own (0, or the default one of a loader) cannot be told
// apart, so each counts; a host answering again (out of two interfaces) is
// reported again.
static bool sAnsweredElsewhere(sSeen* seen, uint32_t serialNumber, in_addr_t from)
{
    if (serialNumber == 0 || serialNumber == kDISCOVERY_DEFAULT_SERIAL)
        return false;
    for (uint32_t i = 0; i < seen->count; i++) {
        if (seen->serialNumber[i] != serialNumber || seen->host[i] == from)
            continue;
        char first[INET_ADDRSTRLEN] = "", second[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &seen->host[i], first, sizeof(first));
        inet_ntop(AF_INET, &from, second, sizeof(second));
        Log::log(DEBUG_Network,
                 "NETWORK: Module [%08X] answered from %s and again from %s; listed once\n",
                 serialNumber, first, second);
        return true;
    }
    if (seen->count < kDISCOVERY_SEEN_MAX) {
        seen->serialNumber[seen->count] = serialNumber;
        seen->host[seen->count++] = from;
    }
    return false;
}

static uint8_t sCollect(int listener, uint64_t deadline, kDiscoveryCallback callback,
                        void* reference, const kCancel* cancel)
{
    uint8_t counted = 0;
    sSeen* seen = (sSeen*)calloc(1, sizeof(*seen));
    while (sAwaitReply(listener, deadline, cancel)) {
        kIPDiscoveryInfo info;
        struct sockaddr_in from = {};
        socklen_t fromLength = sizeof(from);
        ssize_t n = recvfrom(listener, info.bytes, sizeof(info.bytes), MSG_DONTWAIT,
                             (struct sockaddr*)&from, &fromLength);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        if (n < 0)
            break;
        linkSpec spec;
        if (kDiscovery_ReadReply(info.bytes, (size_t)n, from.sin_addr.s_addr, &spec) != kErrNone)
            continue; // too short to carry a serial number
        if (seen && sAnsweredElsewhere(seen, spec.serialNumber, from.sin_addr.s_addr))
            continue;
        if (!sReport(&spec, callback, reference, &counted))
            break;
    }
    free(seen);
    return counted;
}

// The replies come to one fixed port, which one walk at a time can hold:
// the walks of a process's threads take turns, so a second one is not
// taken for another program holding the port.
static pthread_mutex_t sReplyPort = PTHREAD_MUTEX_INITIALIZER;

static kErr sEnumerateTCPIP(kDiscoveryCallback callback, void* reference, uint32_t longestMS,
                            uint8_t* counted, const kCancel* cancel)
{
    pthread_mutex_lock(&sReplyPort);
    int listener = -1;
    kErr err = sOpenListener(&listener);
    if (!err) {
        if (sSendRequests() > 0)
            *counted =
                sCollect(listener, kTime_GetMSTicks() + longestMS, callback, reference, cancel);
        close(listener);
        err = kCancel_Check(cancel);
    }
    pthread_mutex_unlock(&sReplyPort);
    return err;
}

static kErr sEnumerate(linkType type, kDiscoveryCallback callback, void* reference,
                       uint32_t longestMS, uint8_t* counted, const kCancel* cancel)
{
    uint8_t count = 0;
    kErr err = kCancel_Check(cancel);
    if (err == kErrNone && callback && type == kLinkTypeUSB)
        count = sEnumerateUSB(callback, reference);
    else if (err == kErrNone && callback && type == kLinkTypeTCPIP)
        err = sEnumerateTCPIP(callback, reference, longestMS, &count, cancel);
    if (counted)
        *counted = count;
    return err;
}

// ---- the public operations

kErr kDiscovery_Enumerate(linkType type, kDiscoveryCallback callback, void* reference,
                          uint8_t* counted, const kCancel* cancel)
{
    return sEnumerate(type, callback, reference, kDISCOVERY_LONGEST_MS, counted, cancel);
}

kErr kDiscovery_EnumerateWithin(linkType type, kDiscoveryCallback callback, void* reference,
                                uint32_t waitMS, uint8_t* counted, const kCancel* cancel)
{
    return sEnumerate(type, callback, reference, waitMS, counted, cancel);
}

uint8_t kDiscovery_EnumerateModules(linkType type, kDiscoveryCallback callback, void* reference)
{
    uint8_t counted = 0;
    // This older interface tells only the count.
    (void)kDiscovery_Enumerate(type, callback, reference, &counted, nullptr);
    return counted;
}

bool cbSNCallback(const linkSpec* spec, bool* count, void* reference)
{
    linkSpec* wanted = (linkSpec*)reference;
    if (spec->serialNumber != wanted->serialNumber)
        return true;
    *wanted = *spec;
    *count = true;
    return false;
}

bool cbFirstCallback(const linkSpec* spec, bool* count, void* reference)
{
    if (spec->serialNumber == 0)
        return true;
    *(linkSpec*)reference = *spec;
    *count = true;
    return false;
}

static kErr sFind(linkType type, uint32_t serialNumber, kDiscoveryCallback callback,
                  uint32_t longestMS, linkSpec** found, const kCancel* cancel)
{
    *found = nullptr;
    linkSpec* spec = kLinkSpec_Create(type);
    if (!spec)
        return kErrMemory;
    spec->serialNumber = serialNumber;
    uint8_t counted = 0;
    kErr err = sEnumerate(type, callback, spec, longestMS, &counted, cancel);
    if (!err && counted == 0)
        err = kErrNotFound;
    if (err)
        (void)kLinkSpec_Destroy(&spec);
    *found = spec;
    return err;
}

kErr kDiscovery_Find(linkType type, uint32_t serialNumber, linkSpec** found, const kCancel* cancel)
{
    return found ? sFind(type, serialNumber, cbSNCallback, kDISCOVERY_LONGEST_MS, found, cancel)
                 : kErrParam;
}

kErr kDiscovery_FindWithin(linkType type, uint32_t serialNumber, uint32_t waitMS, linkSpec** found,
                           const kCancel* cancel)
{
    return found ? sFind(type, serialNumber, cbSNCallback, waitMS, found, cancel) : kErrParam;
}

linkSpec* kDiscovery_FindModule(linkType type, uint32_t serialNumber)
{
    linkSpec* found = nullptr;
    (void)sFind(type, serialNumber, cbSNCallback, kDISCOVERY_LONGEST_MS, &found, nullptr);
    return found;
}

linkSpec* kDiscovery_FindFirstModule(linkType type)
{
    linkSpec* found = nullptr;
    (void)sFind(type, 0, cbFirstCallback, kDISCOVERY_LONGEST_MS, &found, nullptr);
    return found;
}

linkSpec* kLinkSpec_Create(linkType type)
{
    linkSpec* spec = (linkSpec*)calloc(1, sizeof(*spec));
    if (spec)
        spec->type = type;
    return spec;
}

linkSpec* kLinkSpec_Copy(linkSpec spec)
{
    linkSpec* copy = (linkSpec*)malloc(sizeof(*copy));
    if (copy)
        *copy = spec;
    return copy;
}

kErr kLinkSpec_Destroy(linkSpec** spec)
{
    if (!spec || !*spec)
        return kErrParam;
    free(*spec);
    *spec = nullptr;
    return kErrNone;
}

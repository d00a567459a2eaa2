// Serial streams over a POSIX terminal device: raw, non-canonical, reads
// that return at once with what is there.

#include "device/core/internal/kDescriptor.h"
#include "device/core/kFile.h"
#include "device/core/kStream.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#define kSERIAL_CHECK 0xBEEF

typedef struct {
    int32_t baudIndex;
    char portPath[kFILE_PATH_MAX + 1];
    int32_t fd; ///< -1 when closed
    struct termios saved;
    struct termios applied;
    bool haveSaved; ///< only settings that were read are written back
    uint16_t check;
} kUnixSerialStream;

static const speed_t BAUD_TABLE[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};

static speed_t sSpeed(int32_t baudIndex)
{
    if (baudIndex < 0 || baudIndex >= (int32_t)(sizeof(BAUD_TABLE) / sizeof(BAUD_TABLE[0])))
        return B0;
    return BAUD_TABLE[baudIndex];
}

static kUnixSerialStream* sSerial(void* reference)
{
    kUnixSerialStream* serial = (kUnixSerialStream*)reference;
    return serial && serial->check == kSERIAL_CHECK ? serial : nullptr;
}

static kErr sSerialGet(uint8_t* byte, void* reference)
{
    kUnixSerialStream* serial = sSerial(reference);
    if (!serial)
        return kErrParam;
    ssize_t n = read(serial->fd, byte, 1);
    if (n == 1)
        return kErrNone;
    if (n == 0 || errno == EAGAIN || errno == EINTR)
        return kErrNotReady;
    return kErrIO;
}

static kErr sSerialWait(uint32_t timeoutMS, void* reference)
{
    kUnixSerialStream* serial = sSerial(reference);
    if (!serial)
        return kErrParam;
    return kDescriptor_AwaitReadable(serial->fd, timeoutMS);
}

static kErr sSerialWrite(const uint8_t* bytes, size_t length, void* reference)
{
    kUnixSerialStream* serial = sSerial(reference);
    if (!serial)
        return kErrParam;
    ssize_t n = write(serial->fd, bytes, length);
    return n >= 0 && (size_t)n == length ? kErrNone : kErrIO;
}

static kErr sSerialPut(uint8_t byte, void* reference)
{
    return sSerialWrite(&byte, 1, reference);
}

static kErr sSerialDelete(void* reference)
{
    kUnixSerialStream* serial = sSerial(reference);
    if (!serial)
        return kErrParam;
    if (serial->fd >= 0) {
        if (serial->haveSaved)
            tcsetattr(serial->fd, TCSANOW, &serial->saved);
        close(serial->fd);
        serial->fd = -1;
    }
    memset(&serial->saved, 0, sizeof(serial->saved));
    memset(&serial->applied, 0, sizeof(serial->applied));
    serial->check = 0;
    free(serial);
    return kErrNone;
}

static kErr sTranslateOpenError(int error)
{
    switch (error) {
    case ENOENT:
        return kErrNotFound;
    case EACCES:
        return kErrPermission;
    default:
        return kErrIO;
    }
}

static void sMakeRaw(struct termios* t, int32_t baudIndex, bool parity, kSerial_Bits bits,
                     kSerial_Stop_bits stopBits)
{
    t->c_cflag = CREAD | CLOCAL | (parity ? PARENB : 0) | (bits == kSerialBits7 ? CS7 : CS8) |
                 (stopBits == kSerialStopBits2 ? CSTOPB : 0);
    t->c_iflag = IGNBRK | (parity ? IGNPAR : 0);
    t->c_oflag = 0;
    t->c_lflag = 0;
    cfsetispeed(t, sSpeed(baudIndex));
    cfsetospeed(t, sSpeed(baudIndex));
    t->c_cc[VMIN] = 0;
    t->c_cc[VTIME] = 0;
}

static kErr sSerialOpen(kUnixSerialStream* serial, bool parity, kSerial_Bits bits,
                        kSerial_Stop_bits stopBits)
{
    serial->fd = open(serial->portPath, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (serial->fd < 0)
        return sTranslateOpenError(errno);
    if (fcntl(serial->fd, F_SETFL, 0) != 0)
        return kErrIO;
    if (tcgetattr(serial->fd, &serial->saved) != 0)
        return kErrIO;
    serial->haveSaved = true;
    serial->applied = serial->saved;
    sMakeRaw(&serial->applied, serial->baudIndex, parity, bits, stopBits);
    if (tcsetattr(serial->fd, TCSANOW, &serial->applied) != 0)
        return kErrIO;
    if (tcflush(serial->fd, TCIOFLUSH) != 0)
        return kErrIO;
    return kErrNone;
}

kErr kStream_CreateSerial(const char* port, uint32_t baudIndex, bool parity, kSerial_Bits bits,
                          kSerial_Stop_bits stopBits, kStream** stream)
{
    if (!port || !stream || bits > kSerialBits7 || stopBits > kSerialStopBits2)
        return kErrResource;
    // A path cut short would open some other device.
    if (strnlen(port, kFILE_PATH_MAX + 1) > kFILE_PATH_MAX)
        return kErrResource;
    kUnixSerialStream* serial = (kUnixSerialStream*)calloc(1, sizeof(*serial));
    if (!serial)
        return kErrResource;
    serial->baudIndex = (int32_t)baudIndex;
    snprintf(serial->portPath, sizeof(serial->portPath), "%s", port);
    serial->fd = -1;
    serial->check = kSERIAL_CHECK;
    kStream* s = kStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, serial);
    if (!s) {
        free(serial);
        return kErrResource;
    }
    kErr err = sSerialOpen(serial, parity, bits, stopBits);
    if (err) {
        (void)kStream_Destroy(&s);
        return err;
    }
    (void)kStream_SetWait(s, sSerialWait);
    *stream = s;
    return kErrNone;
}

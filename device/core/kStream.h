#pragma once
// Byte streams: the one transport abstraction under the link engine and the
// boot-loader clients. A stream is four procedures and a reference passed to
// each; the stream layer adds a push-back ring for bytes given back by a
// read that came up short, and record and C-string helpers.
//
// A stream has no lock of its own: one thread reads (read, get, the ring)
// and one thread writes. The socket kind guards its reconnection itself.

#include "device/core/kError.h"

#include <stddef.h>
#include <stdint.h>

#define kSTREAMCHECK 0x4321
#define kSTREAMBUFCHUNK 512

/// Reads one byte; kErrNotReady when none is there yet, kErrEOF at the end.
typedef kErr (*kStreamGetProc)(uint8_t* byte, void* reference);
typedef kErr (*kStreamPutProc)(uint8_t byte, void* reference);
typedef kErr (*kStreamWriteProc)(const uint8_t* bytes, size_t length, void* reference);
/// Releases the kind-specific record.
typedef kErr (*kStreamDeleteProc)(void* reference);
/// Blocks until a byte may be read or `timeoutMS` has passed: kErrNone when
/// a get may find a byte (or the end of data), kErrTimeout when the time ran
/// out; any other code is the transport's error. Called on the reading
/// thread only.
typedef kErr (*kStreamWaitProc)(uint32_t timeoutMS, void* reference);

/// The stream record. Only the stream operations touch its fields.
typedef struct kStreamRecord {
    kStreamGetProc get;
    kStreamPutProc put;
    kStreamWriteProc write;
    kStreamDeleteProc del;
    kStreamWaitProc wait; ///< optional; see kStream_Wait
    void* reference;
    uint8_t* buffer;       ///< push-back ring, allocated on first use
    uint32_t bufferCount;  ///< bytes in the ring
    size_t bufferSize;     ///< ring capacity, grown in kSTREAMBUFCHUNK steps
    size_t bufferReadPos;  ///< next byte to hand out
    size_t bufferWritePos; ///< next free slot
    uint16_t check;        ///< kSTREAMCHECK while valid
} kStream;

/// kSerial_Bits: data bits of a serial stream. Of fixed width, so a value
/// outside the enumerators is data that can be refused.
enum kSerial_Bits : uint32_t {
    kSerialBits8 = 0,
    kSerialBits7 = 1,
};

/// kSerial_Stop_bits: stop bits of a serial stream.
enum kSerial_Stop_bits : uint32_t {
    kSerialStopBits1 = 0,
    kSerialStopBits2 = 1,
};

/// Sending over a socket: at most this many counted retries, this far apart.
#define kSOCKET_MAX_SEND_RETRY 10
#define kSOCKET_RETRY_DELAY_MS 60

/// A new stream over the procedures (any may be null) and reference; null
/// when memory runs out. Destroy it with kStream_Destroy.
kStream* kStream_Create(kStreamGetProc get, kStreamPutProc put, kStreamWriteProc write,
                        kStreamDeleteProc del, void* reference);

/// Gives the stream a wait procedure (null removes it). kErrParam for an
/// invalid stream.
kErr kStream_SetWait(kStream* stream, kStreamWaitProc wait);

/// True when the stream has a wait procedure: kStream_Wait then returns as
/// soon as a byte may be read. False for an invalid stream.
bool kStream_CanWait(const kStream* stream);

/// Waits at most `timeoutMS` for a byte to read. kErrNone at once while
/// given-back bytes are held; else the wait procedure's result. A stream
/// without one cannot tell: it sleeps the whole time and returns kErrNone,
/// so a caller that reads next behaves as a poll. kErrParam for an invalid
/// stream.
kErr kStream_Wait(kStream* stream, uint32_t timeoutMS);

/// Runs the delete procedure (its result is returned), frees the ring and the
/// record. kErrParam for an invalid stream. The caller's pointer is cleared
/// in every case.
kErr kStream_Destroy(kStream** stream);

/// Reads exactly `size` bytes, given-back bytes first. kErrParam for an
/// invalid stream or null destination, kErrMode without a get procedure.
/// kErrNotReady when the bytes ran out early: nothing is copied and the bytes
/// read are given back, so the next call reads them again. kErrEOF copies
/// the partial result (its length is not reported). Any other error
/// discards the bytes read.
kErr kStream_Read(kStream* stream, void* destination, size_t size);

/// Writes `length` bytes: with a write procedure and more than one byte in
/// one call of it, else byte by byte through the put procedure. kErrParam
/// for an invalid stream or null bytes, kErrMode with neither procedure.
kErr kStream_Write(kStream* stream, const void* bytes, size_t length);

/// Gives one byte back: the next read hands it out first, after the bytes
/// already given back. kErrParam for an invalid stream, kErrMemory when the
/// ring cannot be allocated or grown.
kErr kStreamBufferChar(kStream* stream, uint8_t byte);

/// Reads a record of at most `maxLength` bytes ending in the delimiter bytes,
/// which are matched in order wherever they occur and not stored. The end
/// of data completes a non-empty record (kErrEOF for an empty one). On
/// kErrNotReady every byte taken, delimiter bytes included, is given back
/// in order. `*length` (may be null) gets the record's length on success.
kErr kStream_ReadRecord(kStream* stream, void* destination, uint32_t* length, uint32_t maxLength,
                        const void* delimiter, uint32_t delimiterLength);

/// Writes the bytes, then the delimiter. kErrParam for a null pointer or an
/// empty delimiter.
kErr kStream_WriteRecord(kStream* stream, const void* bytes, size_t length, const void* delimiter,
                         uint32_t delimiterLength);

/// Reads a zero-terminated text of at most capacity - 1 characters and
/// terminates it on success.
kErr kStream_ReadCString(kStream* stream, char* destination, uint32_t capacity);

/// Writes the text and its terminating zero byte.
kErr kStream_WriteCString(kStream* stream, const char* text);

/// Reads a record ending in the delimiter text (without its terminator), of
/// at most capacity - 1 characters, zero-terminated on success.
kErr kStream_ReadCStringRecord(kStream* stream, char* destination, uint32_t capacity,
                               const char* delimiter);

/// Writes the text, then the delimiter text with its terminating zero byte.
kErr kStream_WriteCStringRecord(kStream* stream, const char* text, const char* delimiter);

/// Copies bytes from the input's get procedure (the ring is not consulted)
/// to the output's put procedure until the input reports kErrEOF.
/// kErrParam for an invalid stream, kErrMode for a missing procedure; any
/// other error of either side is returned.
kErr kStream_Flush(kStream* input, kStream* output);

/// A stream reading the file at `path` (get and delete procedures). Every
/// failure is kErrResource; `*stream` is set only on success.
kErr kStream_CreateFileInput(const char* path, kStream** stream);

/// A stream creating or truncating the file at `path` (put, write and
/// delete procedures). Every failure is kErrResource.
kErr kStream_CreateFileOutput(const char* path, kStream** stream);

/// A serial stream on the terminal device `port`, raw, at the rate of
/// `baudIndex` (0..7: 2400, 4800, 9600, 19200, 38400, 57600, 115200,
/// 230400; any other index is speed 0), even parity when `parity` is set.
/// Gets return at once (kErrNotReady when no byte is there); a wait polls
/// the port. The port's settings are restored when the stream is destroyed.
/// kErrResource for bad arguments or no memory; kErrNotFound,
/// kErrPermission or kErrIO when the port cannot be opened or set up.
kErr kStream_CreateSerial(const char* port, uint32_t baudIndex, bool parity, kSerial_Bits bits,
                          kSerial_Stop_bits stopBits, kStream** stream);

/// A TCP stream connected to `ipAddress` (network byte order, as a link
/// specifier carries it) and `port` (host order). Non-blocking, with a
/// wait that polls the socket; a lost connection is repaired in place. A
/// connection is awaited for at most 3 s, here and at every reconnection.
/// Every failure is kErrResource, and a failed connection keeps no
/// descriptor open.
kErr kStream_CreateSocket(uint32_t ipAddress, uint16_t port, kStream** stream);

/// A stream to the USB module with serial number `serialNumber`, through its
/// kernel device node when one exists, else through libusb. kErrParam for a
/// null pointer or serial number 0, kErrMemory, kErrResource when the
/// transport cannot be set up, else the transport's open error.
kErr kStream_CreateUSB(uint32_t serialNumber, kStream** stream);

#pragma once
// Client of the serial in-system-programming loader in the boot ROM of an
// LPC17xx: the text command set with its decimal return codes, and data in
// UU-encoded lines checked by block sums. It reads the chip's identity and
// writes an image into flash (through RAM) for the recovery flow.
//
// A write of data is followed by a wait of its character time at the line
// rate, but an answer need not have arrived when reading starts: a read
// that finds no byte waits in the stream's wait (kStream_Wait, which ends
// early once a byte is there on a stream that can tell) and counts as a
// failed try, and the read after it decides. Every read loop counts
// missing, dropped and wrong bytes against its tries, so an answer is
// awaited only as long as its tries last, and a line that never stops
// talking ends an answer as a silent one does. One thread drives an object.

#include "device/core/kCancel.h"
#include "device/core/kError.h"
#include "device/core/kStream.h"

#include <stddef.h>
#include <stdint.h>

#include <string>

class NXPSerialClass
{
public:
    static constexpr int MAX_ERROR = 20;               ///< index of the last ERROR_TEXT entry
    static constexpr float CRYSTAL_DEFAULT = 14.7456f; ///< MHz, announced by Sync
    static constexpr uint32_t MAX_BYTES_PER_LINE = 45;
    static constexpr uint32_t LINES_PER_CHECKSUM = 20;
    static constexpr int MAX_READ_RETRY = 3;              ///< refused blocks allowed per transfer
    static constexpr uint32_t WRITE_ADDRESS = 0x10001000; ///< RAM staging area
    static constexpr uint32_t TERMINATION_SIZE = 2;       ///< "\r\n"
    /// Room for one encoded line of MAX_BYTES_PER_LINE bytes and its zero.
    static constexpr size_t UU_LINE_CAPACITY = 1 + 4 * ((MAX_BYTES_PER_LINE + 2) / 3) + 1;

    /// The return codes' names by code; entry MAX_ERROR is "Unknown error".
    static const char* const ERROR_TEXT[MAX_ERROR + 1];

    struct Sector {
        uint32_t start;
        uint32_t size;
        uint32_t number;
    };
    static constexpr int SECTOR_ROWS = 31;
    /// Sectors 0-15 of 4 KiB, 16-29 of 32 KiB, then a closing row (start
    /// 0xFFFFFFFF, size 0, sector 30) for every other address.
    static const Sector NXP_LPC17XX_sectors[SECTOR_ROWS];

    NXPSerialClass();
    ~NXPSerialClass();
    NXPSerialClass(const NXPSerialClass&) = delete;
    NXPSerialClass& operator=(const NXPSerialClass&) = delete;

    /// Opens `port` at the first table rate (2400 ... 230400) not below
    /// `rate`, 9600 for a rate above 230400; 8 data bits, no parity, one stop
    /// bit. An open stream is closed first. The serial stream's error when
    /// the port does not open.
    kErr Connect(const char* port, uint32_t rate);
    /// Runs on `stream` instead, which the object takes over, timing its
    /// waits for the table rate chosen for `rate`. kErrParam for an invalid
    /// stream.
    kErr Connect(kStream* stream, uint32_t rate);
    void Disconnect();

    /// Auto-baud, confirmation and crystal frequency. The read's error when
    /// the ROM does not answer the "?"; kErrIO unless the crystal frequency
    /// is answered "OK".
    kErr Sync();
    /// Reads the four device serial-number words (DeviceId). kErrParam for a
    /// refusing return code, kErrNotReady when the code or a number line is
    /// missing; the words change only on success.
    kErr GetDeviceID();
    /// The part identification number; errors as for GetDeviceID.
    kErr GetPartNumber(int64_t& partNumber);
    /// The boot code version; errors as for GetDeviceID.
    kErr GetBootLoaderVersion(uint8_t& major, uint8_t& minor);
    /// Switches the ROM's echo; the echo field follows only on success.
    kErr SetEcho(bool on);
    /// Asks the ROM for another rate (one stop bit); this side keeps its rate.
    kErr SetBaudRate(uint32_t rate);
    kErr Unlock();
    /// kErrParam before sending when last < first.
    kErr Prepare(uint32_t firstSector, uint32_t lastSector);
    kErr Erase(uint32_t firstSector, uint32_t lastSector);
    /// kErrParam before sending unless the flash address is a multiple of
    /// 256 and the count 256, 512, 1024 or 4096.
    kErr CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count);
    /// Starts the code at `address` in Thumb mode; no answer is awaited.
    kErr ExecuteFrom(uint32_t address);
    /// Writes `count` bytes to RAM in checksummed blocks of 20 lines.
    /// kErrParam before sending for a count of 0 or not a multiple of 4;
    /// kErrParam for a refusing return code, kErrTimeout when blocks were
    /// refused MAX_READ_RETRY times, kErrIO for any other block answer.
    kErr Write(uint32_t ramAddress, uint32_t count, const uint8_t* bytes);
    /// Reads `count` bytes of memory; parameter rule and errors as for Write
    /// (kErrNotReady when the data stops coming). A block whose lines held
    /// no byte is asked for again like one whose checksum differs.
    kErr Read(uint32_t address, uint32_t count, uint8_t* buffer);

    /// The name of the return code held in `code` (strtol, base 0);
    /// "Unknown error" outside 0 to MAX_ERROR.
    static const char* GetErrorText(const char* code);
    /// The smallest copy size (256, 512, 1024, 4096) that holds `count`;
    /// above 4096 the count itself, with a log line.
    static uint32_t CopyLength(uint32_t count);
    /// The flash sector holding `address`; 30 outside the flash.
    static uint32_t SectorFromAddress(uint32_t address);
    static uint32_t sum(const uint8_t* bytes, uint32_t count);
    /// Encodes at most MAX_BYTES_PER_LINE of the `count` bytes into `out`
    /// (UU_LINE_CAPACITY bytes), zero-terminated; returns the bytes taken.
    static uint32_t uuencode(char* out, const uint8_t* bytes, uint32_t count);
    /// Decodes one line (without its "\r\n") into `buffer`: the line's byte
    /// count, or 0 (nothing decoded) when it exceeds `capacity`.
    static uint32_t uudecode(uint8_t* buffer, uint32_t capacity, const char* line);
    static char uuchar(uint32_t value);

    uint32_t DeviceId(int word) const { return deviceId[word & 3]; }
    bool Echo() const { return echo; }
    uint32_t BaudRate() const { return baudRate; }
    /// The run's cancellation (not owned, may be null): every answer awaited
    /// ends with kErrCancel once it asks to stop.
    void SetCancel(const kCancel* runCancel) { cancel = runCancel; }
    const char* PortName() const { return portName; }

private:
    static constexpr uint32_t LINE_CAPACITY = 1024;
    // Failed reads (1 ms apart) before an answer counts as missing. A ROM
    // answers within microseconds, but the tty layer of a loaded host can
    // hand its bytes over hundreds of milliseconds late; a second costs
    // nothing while answers come and bounds the wait when none does.
    static constexpr uint32_t ANSWER_TRIES = 1000;
    static constexpr uint32_t BLOCK_ANSWER_TRIES = 2000;
    /// Response's failed reads are spaced by the character time instead:
    /// at least 100 of them, and at least this long in all.
    static constexpr uint32_t RESPONSE_WINDOW_MS = 1000;

    kErr Send(const char* text, size_t length, bool expectEcho);
    kErr SendCommand(const char* text);
    kErr GetEcho(const char* expected, size_t length, size_t& count);
    kErr GetLine(char* buffer, uint32_t capacity, uint32_t& length, uint32_t tries);
    kErr Response(char* buffer, uint32_t capacity, uint32_t& length, const char* expected,
                  uint32_t expectedLength);
    static int32_t GetErrorIndex(const char* line, uint32_t length);

    kErr Status(const char* logFormat, uint32_t logLevel);
    kErr Command(const char* logFormat, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    kErr CommandWithNumbers(const char* command, long long* numbers, int count);
    kErr SyncStep(const char* text, const char* expected, char* answer, uint32_t& length);
    kErr WriteBlockAnswer(uint32_t& blockStart, uint32_t& sent, uint32_t count,
                          const uint8_t* bytes, int& budget);
    kErr ReadBlockEnd(uint32_t& blockStart, uint32_t& received, uint32_t count,
                      const uint8_t* buffer, int& budget);
    uint32_t CharacterWait(size_t characters) const;
    /// The bytes as a log shows them: "\r" and "\n" spelt out, other
    /// unprintable bytes as blanks.
    static std::string Printable(const char* bytes, size_t length);

    kStream* stream;
    bool echo;
    uint32_t baudRate;
    const kCancel* cancel = nullptr;
    char portName[2048];
    uint32_t deviceId[4];
};

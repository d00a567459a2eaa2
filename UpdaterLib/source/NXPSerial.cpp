// The ISP client's commands: connection, synchronisation, identification,
// flash preparation and programming, and the block exchanges of W and R.

#include "UpdaterLib/source/NXPSerial.h"
#include "device/core/kLog.h"
#include "device/core/kTime.h"

#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace
{

const uint32_t RATE_TABLE[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
const uint32_t RATE_COUNT = sizeof(RATE_TABLE) / sizeof(RATE_TABLE[0]);
const uint32_t FALLBACK_RATE_INDEX = 2; ///< 9600, for a rate beyond the table

const char SYNC_TEXT[] = "Synchronized\r\n";
const uint32_t SYNC_LENGTH = sizeof(SYNC_TEXT) - 1;
const char OK_TEXT[] = "OK\r\n";
const char RESEND_TEXT[] = "RESEND\r\n";
const uint32_t COMMAND_CAPACITY = 64;

uint32_t _rate_index(uint32_t rate)
{
    for (uint32_t i = 0; i < RATE_COUNT; i++)
        if (RATE_TABLE[i] >= rate)
            return i;
    return FALLBACK_RATE_INDEX;
}

bool _is(const char* answer, uint32_t length, const char* text)
{
    return length == strlen(text) && memcmp(answer, text, length) == 0;
}

bool _begins_with(const char* answer, uint32_t length, const char* text)
{
    size_t n = strlen(text);
    return length >= n && memcmp(answer, text, n) == 0;
}

/// A number line: a number (base detected) and nothing after it but the
/// line's terminator.
bool _number(const char* line, long long& value)
{
    char* end = nullptr;
    value = strtoll(line, &end, 0);
    if (end == line)
        return false;
    return strspn(end, "\r\n") == strlen(end);
}

} // namespace

const char* const NXPSerialClass::ERROR_TEXT[MAX_ERROR + 1] = {
    "CMD_SUCCESS",         "INVALID_COMMAND",
    "SRC_ADDR_ERROR",      "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED", "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",         "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",       "BUSY",
    "PARAM_ERROR",         "ADDR_ERROR",
    "ADDR_NOT_MAPPED",     "CMD_LOCKED",
    "INVALID_CODE",        "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

const NXPSerialClass::Sector NXPSerialClass::NXP_LPC17XX_sectors[SECTOR_ROWS] = {
    {0x00000000, 0x01000, 0},  {0x00001000, 0x01000, 1},  {0x00002000, 0x01000, 2},
    {0x00003000, 0x01000, 3},  {0x00004000, 0x01000, 4},  {0x00005000, 0x01000, 5},
    {0x00006000, 0x01000, 6},  {0x00007000, 0x01000, 7},  {0x00008000, 0x01000, 8},
    {0x00009000, 0x01000, 9},  {0x0000A000, 0x01000, 10}, {0x0000B000, 0x01000, 11},
    {0x0000C000, 0x01000, 12}, {0x0000D000, 0x01000, 13}, {0x0000E000, 0x01000, 14},
    {0x0000F000, 0x01000, 15}, {0x00010000, 0x08000, 16}, {0x00018000, 0x08000, 17},
    {0x00020000, 0x08000, 18}, {0x00028000, 0x08000, 19}, {0x00030000, 0x08000, 20},
    {0x00038000, 0x08000, 21}, {0x00040000, 0x08000, 22}, {0x00048000, 0x08000, 23},
    {0x00050000, 0x08000, 24}, {0x00058000, 0x08000, 25}, {0x00060000, 0x08000, 26},
    {0x00068000, 0x08000, 27}, {0x00070000, 0x08000, 28}, {0x00078000, 0x08000, 29},
    {0xFFFFFFFF, 0x00000, 30},
};

NXPSerialClass::NXPSerialClass() : stream(nullptr), echo(true), baudRate(0), portName{}, deviceId{}
{
}

NXPSerialClass::~NXPSerialClass()
{
    Disconnect();
}

kErr NXPSerialClass::Connect(const char* port, uint32_t rate)
{
    Disconnect();
    if (!port)
        return kErrResource;
    uint32_t index = _rate_index(rate);
    baudRate = RATE_TABLE[index];
    Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", port,
             (int)index, (int)baudRate);
    kErr err = kStream_CreateSerial(port, index, false, kSerialBits8, kSerialStopBits1, &stream);
    if (err) {
        stream = nullptr;
        Log::log(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s\n", port,
                 kError_GetErrorText(err));
        return err;
    }
    snprintf(portName, sizeof(portName), "%s", port);
    return kErrNone;
}

kErr NXPSerialClass::Connect(kStream* given, uint32_t rate)
{
    Disconnect();
    if (!given || given->check != kSTREAMCHECK)
        return kErrParam;
    stream = given;
    baudRate = RATE_TABLE[_rate_index(rate)];
    portName[0] = 0;
    return kErrNone;
}

void NXPSerialClass::Disconnect()
{
    if (stream)
        (void)kStream_Destroy(&stream);
}

kErr NXPSerialClass::SyncStep(const char* text, const char* expected, char* answer,
                              uint32_t& length)
{
    size_t n = strlen(text);
    // Only the answer after the echo decides; a send that failed leaves it
    // missing. The ROM echoes the line; its LF is dropped by the next read.
    (void)Send(text, n, false);
    (void)Response(answer, LINE_CAPACITY, length, text, (uint32_t)(n - 1));
    memset(answer, 0, LINE_CAPACITY);
    kErr err = Response(answer, LINE_CAPACITY, length, expected, (uint32_t)strlen(expected));
    if (!_begins_with(answer, length, "OK"))
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n",
                 Printable(answer, length).c_str(), "OK");
    return err;
}

kErr NXPSerialClass::Sync()
{
    char answer[LINE_CAPACITY] = {};
    uint32_t length = 0;
    (void)Send("?", 1, false);
    kErr err = Response(answer, sizeof(answer), length, SYNC_TEXT, SYNC_LENGTH);
    if (err) {
        Log::log(DEBUG_NXPSerial,
                 "Did not receive correct response to opening sync command: [%s]. Response: "
                 "[%s]\n",
                 kError_GetErrorText(err), Printable(answer, length).c_str());
        return err;
    }
    if (!_begins_with(answer, length, SYNC_TEXT))
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s]\n",
                 Printable(answer, length).c_str());
    // The crystal step's answer decides: a ROM that missed this one
    // answers that one with no OK either.
    (void)SyncStep(SYNC_TEXT, OK_TEXT, answer, length);
    char crystal[16];
    snprintf(crystal, sizeof(crystal), "%d\r\n", (int)lroundf(1000.0f * CRYSTAL_DEFAULT));
    err = SyncStep(crystal, OK_TEXT, answer, length);
    // A ROM that did not take the crystal frequency takes no command either.
    if (!_begins_with(answer, length, "OK"))
        return kErrIO;
    return err;
}

kErr NXPSerialClass::Command(const char* logFormat, const char* format, ...)
{
    char text[COMMAND_CAPACITY];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    kErr err = SendCommand(text);
    if (err)
        return err;
    return Status(logFormat, DEBUG_NXPSerial);
}

kErr NXPSerialClass::CommandWithNumbers(const char* command, long long* numbers, int count)
{
    kErr err = SendCommand(command);
    if (err)
        return err;
    err = Status(nullptr, 0);
    if (err)
        return err;
    char line[LINE_CAPACITY];
    for (int i = 0; i < count; i++) {
        uint32_t length = 0;
        // An answer without its numbers is no answer.
        if (GetLine(line, sizeof(line), length, ANSWER_TRIES) || !_number(line, numbers[i])) {
            Log::log(DEBUG_NXPSerial, "Device answer incomplete: %d of %d numbers\n", i, count);
            return kErrNotReady;
        }
    }
    return kErrNone;
}

kErr NXPSerialClass::GetDeviceID()
{
    long long words[4];
    kErr err = CommandWithNumbers("N\r\n", words, 4);
    if (err)
        return err;
    for (int i = 0; i < 4; i++)
        deviceId[i] = (uint32_t)words[i];
    Log::log(DEBUG_NXPSerial, "Device responded with serial number: %08X %08X %08X %08X\n",
             deviceId[0], deviceId[1], deviceId[2], deviceId[3]);
    return kErrNone;
}

kErr NXPSerialClass::GetPartNumber(int64_t& partNumber)
{
    long long number = 0;
    kErr err = CommandWithNumbers("J\r\n", &number, 1);
    if (err)
        return err;
    partNumber = number;
    Log::log(DEBUG_NXPSerial, "Device responded with part number: %lld\n", number);
    return kErrNone;
}

kErr NXPSerialClass::GetBootLoaderVersion(uint8_t& major, uint8_t& minor)
{
    long long numbers[2];
    kErr err = CommandWithNumbers("K\r\n", numbers, 2);
    if (err)
        return err;
    major = (uint8_t)numbers[0];
    minor = (uint8_t)numbers[1];
    Log::log(DEBUG_NXPSerial, "Device responded with version: %d.%d\n", major, minor);
    return kErrNone;
}

kErr NXPSerialClass::SetEcho(bool on)
{
    Log::log(DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
    kErr err = Command(nullptr, "A %d\r\n", on ? 1 : 0);
    if (!err)
        echo = on;
    return err;
}

kErr NXPSerialClass::SetBaudRate(uint32_t rate)
{
    return Command(nullptr, "B %u %d\r\n", rate, 1);
}

kErr NXPSerialClass::Unlock()
{
    return Command(nullptr, "U 23130\r\n");
}

kErr NXPSerialClass::Prepare(uint32_t firstSector, uint32_t lastSector)
{
    if (lastSector < firstSector)
        return kErrParam;
    return Command("Error response ==>[%s]\n", "P %u %u\r\n", firstSector, lastSector);
}

kErr NXPSerialClass::Erase(uint32_t firstSector, uint32_t lastSector)
{
    if (lastSector < firstSector)
        return kErrParam;
    return Command("Error response ==>[%s]\n", "E %u %u\r\n", firstSector, lastSector);
}

kErr NXPSerialClass::CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count)
{
    if (flashAddress % 256 != 0 || (count != 256 && count != 512 && count != 1024 && count != 4096))
        return kErrParam;
    return Command("Error response ==>[%s]\n", "C %u %u %u\r\n", flashAddress, ramAddress, count);
}

kErr NXPSerialClass::ExecuteFrom(uint32_t address)
{
    char text[COMMAND_CAPACITY];
    snprintf(text, sizeof(text), "G %u T\r\n", address);
    return SendCommand(text);
}

kErr NXPSerialClass::WriteBlockAnswer(uint32_t& blockStart, uint32_t& sent, uint32_t count,
                                      const uint8_t* bytes, int& budget)
{
    uint32_t checksum = sum(bytes + blockStart, sent - blockStart);
    Log::log(DEBUG_NXPSerial_SR, "Write() Checksum: %08X (%u)\n", checksum, checksum);
    char text[16];
    int n = snprintf(text, sizeof(text), "%u\r\n", checksum);
    kErr err = Send(text, (size_t)n, echo);
    if (err)
        return err;
    char answer[LINE_CAPACITY];
    uint32_t length = 0;
    uint64_t start = kTime_GetMSTicks();
    // A missing answer is an empty line, which is no OK.
    (void)GetLine(answer, sizeof(answer), length, BLOCK_ANSWER_TRIES);
    Log::log(DEBUG_NXPSerial_SR, "Write() waited for checksum %d ms\n",
             (int)(kTime_GetMSTicks() - start));
    if (_is(answer, length, OK_TEXT)) {
        blockStart = sent;
        Log::log(DEBUG_NXPSerial_SR, "Write() valid transfer of %u of %u (%.0f%%) bytes\n", sent,
                 count, 100.0 * sent / count);
        return kErrNone;
    }
    if (_is(answer, length, RESEND_TEXT)) {
        if (--budget < 1) {
            Log::log(DEBUG_NXPSerial, "Write() exceeded retries\n");
            return kErrTimeout;
        }
        sent = blockStart;
        return kErrNone;
    }
    Log::log(DEBUG_NXPSerial, "Write() unexpected response [%s]\n",
             Printable(answer, length).c_str());
    return kErrIO;
}

kErr NXPSerialClass::Write(uint32_t ramAddress, uint32_t count, const uint8_t* bytes)
{
    if (count == 0 || count % 4 != 0 || !bytes)
        return kErrParam;
    char command[COMMAND_CAPACITY];
    snprintf(command, sizeof(command), "W %u %u\r\n", ramAddress, count);
    kErr err = SendCommand(command);
    if (err) {
        Log::log(DEBUG_NXPSerial, "Write() Error Sending command [%s] [%s]\n",
                 Printable(command, strlen(command)).c_str(), kError_GetErrorText(err));
        return err;
    }
    err = Status("Write() Error response ==>[%s]\n", DEBUG_NXPSerial_SR);
    if (err)
        return err;
    uint32_t sent = 0, blockStart = 0, lines = 0;
    int budget = MAX_READ_RETRY;
    char line[UU_LINE_CAPACITY];
    while (sent < count) {
        uint32_t taken = uuencode(line, bytes + sent, count - sent);
        err = Send(line, strlen(line), echo);
        if (!err)
            err = Send("\r\n", 2, echo);
        if (err)
            return err;
        sent += taken;
        if (++lines == LINES_PER_CHECKSUM || sent == count) {
            err = WriteBlockAnswer(blockStart, sent, count, bytes, budget);
            if (err)
                return err;
            lines = 0;
        }
    }
    return kErrNone;
}

kErr NXPSerialClass::ReadBlockEnd(uint32_t& blockStart, uint32_t& received, uint32_t count,
                                  const uint8_t* buffer, int& budget)
{
    char line[LINE_CAPACITY];
    uint32_t length = 0;
    kErr err = GetLine(line, sizeof(line), length, ANSWER_TRIES);
    if (err)
        return err;
    uint32_t expected = (uint32_t)strtol(line, nullptr, 10);
    // A block that brought no byte is refused like a wrong one: a line that
    // keeps sending empty lines must use up the budget.
    if (received > blockStart && expected == sum(buffer + blockStart, received - blockStart)) {
        err = Send(OK_TEXT, 4, false);
        if (!err && echo) {
            // Keep the echo's LF while data follows: the next line read drops it.
            char answer[8];
            (void)Response(answer, sizeof(answer), length, OK_TEXT, received < count ? 3 : 4);
        }
        blockStart = received;
        Log::log(DEBUG_NXPSerial, "valid receipt of %u of %u (%.0f%%) bytes\n", received, count,
                 100.0 * received / count);
        return err;
    }
    if (--budget < 1) {
        Log::log(DEBUG_NXPSerial, "Read() exceeded retries\n");
        return kErrTimeout;
    }
    received = blockStart;
    return Send(RESEND_TEXT, strlen(RESEND_TEXT), echo);
}

kErr NXPSerialClass::Read(uint32_t address, uint32_t count, uint8_t* buffer)
{
    if (count == 0 || count % 4 != 0 || !buffer)
        return kErrParam;
    kErr err = Command("Error response ==>[%s]\n", "R %u %u\r\n", address, count);
    if (err)
        return err;
    uint32_t received = 0, blockStart = 0, lines = 0;
    int budget = MAX_READ_RETRY;
    char line[LINE_CAPACITY];
    while (received < count) {
        uint32_t length = 0;
        err = GetLine(line, sizeof(line), length, ANSWER_TRIES);
        if (err)
            return err;
        line[strcspn(line, "\r\n")] = 0;
        received += uudecode(buffer + received, count - received, line);
        if (++lines == LINES_PER_CHECKSUM || received >= count) {
            err = ReadBlockEnd(blockStart, received, count, buffer, budget);
            if (err)
                return err;
            lines = 0;
        }
    }
    return kErrNone;
}

const char* NXPSerialClass::GetErrorText(const char* code)
{
    if (!code)
        return ERROR_TEXT[MAX_ERROR];
    long value = strtol(code, nullptr, 0);
    if (value < 0 || value > MAX_ERROR)
        return ERROR_TEXT[MAX_ERROR];
    return ERROR_TEXT[value];
}

uint32_t NXPSerialClass::CopyLength(uint32_t count)
{
    static const uint32_t SIZES[] = {256, 512, 1024, 4096};
    for (uint32_t size : SIZES)
        if (count <= size)
            return size;
    Log::log(DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", (int)count);
    return count;
}

uint32_t NXPSerialClass::SectorFromAddress(uint32_t address)
{
    for (const Sector& row : NXP_LPC17XX_sectors)
        if (row.size && address >= row.start && address - row.start < row.size)
            return row.number;
    return NXP_LPC17XX_sectors[SECTOR_ROWS - 1].number;
}

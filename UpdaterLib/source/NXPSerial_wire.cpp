// The ISP client's lower layers: sending with the character-time waits,
// reading echoes, lines and fixed answers, the return-code line, and the UU
// line coding of the data exchange.

#include "UpdaterLib/source/NXPSerial.h"
#include "device/core/kLog.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace
{

const char TERMINATOR[] = "\r\n";

/// Milliseconds for `n` characters and a two-character margin at 9 bits a
/// character.
uint32_t WAIT_TIME_MS(uint32_t n, uint32_t rate)
{
    return rate ? (9000 * n + 18000) / rate + 1 : 0;
}

std::string _hex(const char* bytes, size_t length)
{
    std::string out;
    char digits[3];
    for (size_t i = 0; i < length; i++) {
        snprintf(digits, sizeof(digits), "%02X", (uint8_t)bytes[i]);
        out += digits;
    }
    return out;
}

char _shown(uint8_t byte)
{
    return isprint(byte) ? (char)byte : ' ';
}

/// Where a byte leaves the match of "\r\n": a CR starts a new one.
uint32_t _next_match(uint32_t match, uint8_t byte)
{
    if (byte == (uint8_t)TERMINATOR[match])
        return match + 1;
    return byte == (uint8_t)TERMINATOR[0] ? 1 : 0;
}

/// The log line for a byte that an answer may not begin with, else null:
/// the end of an earlier line, or line noise.
const char* _leading_drop(uint32_t position, uint8_t byte)
{
    if (position == 0 && byte == '\n')
        return "Response ignoring leading \\n\n";
    if (position == 0 && byte == '\r')
        return "Response ignoring leading \\r\n";
    if (position < 3 && byte == 0)
        return "Response ignoring leading 0 byte\n";
    return nullptr;
}

/// Reads one byte of an answer; when none is there yet, marks the miss in
/// the trace and waits up to `pauseMS` for the next before the caller tries
/// again.
kErr _read_answer_byte(kStream* stream, uint8_t& byte, uint32_t pauseMS)
{
    kErr err = kStream_Read(stream, &byte, 1);
    if (err) {
        Log::log(DEBUG_NXPSerial_E, ".");
        (void)kStream_Wait(stream, pauseMS);
    }
    return err;
}

// A stream that cannot wait sleeps the part through and tells nothing.
bool _stream_wait_part(uint32_t ms, void* reference)
{
    kStream* stream = (kStream*)reference;
    return kStream_Wait(stream, ms) == kErrNone && kStream_CanWait(stream);
}

/// kStream_Wait that an interrupt ends within kCANCEL_SLICE_MS; otherwise
/// it ends as the stream's own wait does, at the first byte to read or
/// after `ms`.
void _await_stream(kStream* stream, uint32_t ms, const kCancel* cancel)
{
    (void)kCancel_Wait(cancel, ms, _stream_wait_part, stream);
}

} // namespace

std::string NXPSerialClass::Printable(const char* bytes, size_t length)
{
    std::string out;
    for (size_t i = 0; i < length; i++) {
        if (bytes[i] == '\r')
            out += "\\r";
        else if (bytes[i] == '\n')
            out += "\\n";
        else
            out += _shown((uint8_t)bytes[i]);
    }
    return out;
}

uint32_t NXPSerialClass::CharacterWait(size_t characters) const
{
    if (!baudRate)
        return 0;
    return (uint32_t)(9.0 * (double)(characters + 2) / baudRate * 1000 + 1);
}

kErr NXPSerialClass::Send(const char* text, size_t length, bool expectEcho)
{
    Log::log(DEBUG_NXPSerial_SR, "Sending:[%s] [%s]\n", _hex(text, length).c_str(),
             Printable(text, length).c_str());
    kErr err = kStream_Write(stream, text, length);
    uint32_t wait = CharacterWait(length);
    _await_stream(stream, wait, cancel);
    Log::log(DEBUG_NXPSerial_SR, "Send() wait %dms\n", (int)wait);
    if (err) {
        Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", kError_GetErrorText(err));
        return err;
    }
    if (expectEcho && length > 1) {
        size_t count = 0;
        (void)GetEcho(text, length - 1, count);
    }
    return err;
}

kErr NXPSerialClass::SendCommand(const char* text)
{
    size_t length = strlen(text);
    Log::log(DEBUG_NXPSerial_SR, "Sending:[%s] [%s]\n", _hex(text, length).c_str(),
             Printable(text, length).c_str());
    kErr err = kStream_Write(stream, text, length);
    if (err) {
        Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", kError_GetErrorText(err));
        Log::log(DEBUG_NXPSerial, "Error Write Serial [%s]\n", portName);
        return err;
    }
    if (echo && length > 1) {
        size_t count = 0;
        (void)GetEcho(text, length - 1, count);
        if (count + 1 != length)
            Log::log(DEBUG_NXPSerial_E, "Error SendCommand() bad echo [%d!=%d]\n", (int)(count + 1),
                     (int)length);
    }
    return err;
}

kErr NXPSerialClass::GetEcho(const char* expected, size_t length, size_t& count)
{
    count = 0;
    uint32_t failures = 0;
    kErr err = kErrNone;
    while (count < length && failures < ANSWER_TRIES) {
        uint8_t byte = 0;
        if ((err = kCancel_Check(cancel)) != kErrNone)
            break;
        err = _read_answer_byte(stream, byte, 1);
        if (err) {
            failures++;
            continue;
        }
        if (byte == (uint8_t)expected[count]) {
            count++;
            continue;
        }
        // A wrong byte costs a try too: a line that keeps talking must not
        // hold the echo for ever.
        Log::log(DEBUG_NXPSerial_E, " %.2X!=%.2X", byte, (uint8_t)expected[count]);
        failures++;
    }
    Log::log(DEBUG_NXPSerial_E, "Echo:[%s] %d of %d [%s]\n", Printable(expected, count).c_str(),
             (int)count, (int)length, kError_GetErrorText(err));
    return err;
}

kErr NXPSerialClass::GetLine(char* buffer, uint32_t capacity, uint32_t& length, uint32_t tries)
{
    length = 0;
    if (!buffer || capacity == 0)
        return kErrParam;
    uint32_t failures = 0;
    uint32_t match = 0;
    bool anyByte = false;
    kErr err = kErrNone;
    // One byte stays free for the terminating zero.
    while (match < TERMINATION_SIZE && length + 1 < capacity && failures < tries) {
        uint8_t byte = 0;
        if ((err = kCancel_Check(cancel)) != kErrNone)
            break;
        err = _read_answer_byte(stream, byte, 1);
        if (err) {
            failures++;
            continue;
        }
        if (!anyByte && byte == '\n') {
            // The rest of an echo whose CR was the last byte awaited.
            anyByte = true;
            failures++;
            Log::log(DEBUG_NXPSerial_E, ",");
            (void)kStream_Wait(stream, 1);
            continue;
        }
        anyByte = true;
        buffer[length++] = (char)byte;
        match = _next_match(match, byte);
    }
    buffer[length] = 0;
    Log::log(DEBUG_NXPSerial_SR, "GetLine:[%s] %d %s [%s]\n", Printable(buffer, length).c_str(),
             (int)length, match == TERMINATION_SIZE ? "term" : "non-term",
             kError_GetErrorText(err));
    return err;
}

kErr NXPSerialClass::Response(char* buffer, uint32_t capacity, uint32_t& length,
                              const char* expected, uint32_t expectedLength)
{
    length = 0;
    if (!buffer || capacity == 0)
        return kErrParam;
    uint32_t maximum = expected ? expectedLength : capacity - 1;
    if (maximum > capacity)
        maximum = capacity;
    uint32_t wait = WAIT_TIME_MS(maximum, baudRate) + 20;
    Log::log(DEBUG_NXPSerial_E, "Response() wait for serial [%d bytes, %d, %d ms]\n", (int)maximum,
             (int)baudRate, (int)wait);
    _await_stream(stream, wait, cancel);
    uint32_t pause = wait / (maximum ? maximum : 1) + 1;
    uint32_t allowed = std::max<uint32_t>(100, RESPONSE_WINDOW_MS / pause + 1);
    uint32_t failures = 0;
    uint32_t match = 0;
    kErr err = kErrNone;
    while (length < maximum && match < TERMINATION_SIZE && failures < allowed) {
        uint8_t byte = 0;
        if ((err = kCancel_Check(cancel)) != kErrNone)
            break;
        err = _read_answer_byte(stream, byte, kCancel_Slice(pause));
        if (err) {
            failures++;
            continue;
        }
        // Dropped and unexpected bytes cost a try each, so a line that
        // keeps talking ends the answer as a silent one does.
        const char* dropped = _leading_drop(length, byte);
        if (dropped) {
            Log::log(DEBUG_NXPSerial_E, "%s", dropped);
            failures++;
            continue;
        }
        if (expected && byte != (uint8_t)expected[length]) {
            Log::log(DEBUG_NXPSerial_E,
                     "Error Test_Serial_Response() Expected byte %d does not match [[%02X] %c != "
                     "%c [%02X]]\n",
                     (int)length, byte, _shown(byte), _shown((uint8_t)expected[length]),
                     (uint8_t)expected[length]);
            failures++;
        }
        buffer[length++] = (char)byte;
        match = _next_match(match, byte);
    }
    Log::log(DEBUG_NXPSerial_SR, "Response: [%s]\n", Printable(buffer, length).c_str());
    return err;
}

int32_t NXPSerialClass::GetErrorIndex(const char* line, uint32_t length)
{
    // The return code is the whole number that ends the line: with echo on
    // the rest of an echo may stand before it.
    uint32_t end = length;
    while (end > 0 && (line[end - 1] == '\r' || line[end - 1] == '\n'))
        end--;
    uint32_t start = end;
    while (start > 0 && isdigit((uint8_t)line[start - 1]))
        start--;
    return start < end ? (int32_t)start : -1;
}

kErr NXPSerialClass::Status(const char* logFormat, uint32_t logLevel)
{
    char line[LINE_CAPACITY];
    uint32_t length = 0;
    kErr err = GetLine(line, sizeof(line), length, ANSWER_TRIES);
    if (err) {
        if (logFormat)
            Log::log(logLevel, logFormat, kError_GetErrorText(err));
        return err;
    }
    int32_t index = GetErrorIndex(line, length);
    if (index >= 0 && strtoul(line + index, nullptr, 10) == 0)
        return kErrNone;
    if (logFormat)
        Log::log(logLevel, logFormat, GetErrorText(index >= 0 ? line + index : nullptr));
    return kErrParam;
}

char NXPSerialClass::uuchar(uint32_t value)
{
    value &= 0x3F;
    // The grave accent, not a blank: lines never carry spaces.
    return value == 0 ? (char)0x60 : (char)(value + 0x20);
}

uint32_t NXPSerialClass::uuencode(char* out, const uint8_t* bytes, uint32_t count)
{
    uint32_t n = count < MAX_BYTES_PER_LINE ? count : MAX_BYTES_PER_LINE;
    size_t pos = 0;
    out[pos++] = uuchar(n);
    for (uint32_t i = 0; i < n; i += 3) {
        uint32_t group = (uint32_t)bytes[i] << 16;
        if (i + 1 < n)
            group |= (uint32_t)bytes[i + 1] << 8;
        if (i + 2 < n)
            group |= bytes[i + 2];
        out[pos++] = uuchar(group >> 18);
        out[pos++] = uuchar(group >> 12);
        out[pos++] = uuchar(group >> 6);
        out[pos++] = uuchar(group);
    }
    out[pos] = 0;
    return n;
}

uint32_t NXPSerialClass::uudecode(uint8_t* buffer, uint32_t capacity, const char* line)
{
    if (!line || !line[0])
        return 0;
    uint32_t n = ((uint8_t)line[0] - 0x20) & 0x3F;
    if (n > capacity)
        return 0;
    const char* p = line + 1;
    uint32_t stored = 0;
    while (stored < n) {
        if (!p[0] || !p[1] || !p[2] || !p[3]) {
            Log::log(DEBUG_NXPSerial, "Error buffer overrun\n");
            break;
        }
        uint32_t c[4];
        for (int k = 0; k < 4; k++)
            c[k] = ((uint8_t)p[k] - 0x20) & 0x3F;
        uint8_t group[3] = {(uint8_t)(c[0] * 4 + c[1] / 16), (uint8_t)((c[1] & 15) * 16 + c[2] / 4),
                            (uint8_t)((c[2] & 3) * 64 + c[3])};
        for (int k = 0; k < 3 && stored < n; k++)
            buffer[stored++] = group[k];
        p += 4;
    }
    return n;
}

uint32_t NXPSerialClass::sum(const uint8_t* bytes, uint32_t count)
{
    uint32_t total = 0;
    for (uint32_t i = 0; i < count; i++)
        total += bytes[i];
    return total;
}

// Plays an LPC17xx boot ROM whose every answer is the input: the ISP client
// runs on a stream in memory that hands out the input's bytes and takes
// what the client sends; its wait returns at once, so no wait of the
// client sleeps. The first byte picks the echo, the sizes of the data
// exchanges and how far the session goes; the rest is what the ROM says.

#include "UpdaterLib/source/NXPSerial.h"
#include "device/core/kStream.h"

#include <stdio.h>
#include <stdlib.h>

#include <vector>

namespace
{

struct Line {
    const uint8_t* data;
    size_t size;
    size_t at;
};

kErr sGet(uint8_t* byte, void* reference)
{
    Line* line = (Line*)reference;
    if (line->at == line->size)
        return kErrNotReady;
    *byte = line->data[line->at++];
    return kErrNone;
}

kErr sWrite(const uint8_t*, size_t, void*)
{
    return kErrNone;
}

kErr sPut(uint8_t, void*)
{
    return kErrNone;
}

// Whatever the client waits for has come, or never will.
kErr sWait(uint32_t, void* reference)
{
    Line* line = (Line*)reference;
    return line->at < line->size ? kErrNone : kErrTimeout;
}

bool sSpent(const Line& line)
{
    return line.at == line.size;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    uint8_t mode = data[0];
    Line line = {data + 1, size - 1, 0};
    kStream* stream = kStream_Create(sGet, sPut, sWrite, nullptr, &line);
    if (!stream || kStream_SetWait(stream, sWait) != kErrNone)
        abort();
    NXPSerialClass isp;
    if (isp.Connect(stream, 115200) != kErrNone)
        abort();
    // Four bytes to two blocks of lines and a bit.
    uint32_t count = (mode & 0x40) ? 904 : 4u * (1 + (mode & 0x0F));
    std::vector<uint8_t> bytes(count), back(count);
    for (uint32_t i = 0; i < count; i++)
        bytes[i] = (uint8_t)(i * 37 + mode);
    int64_t part = 0;
    uint8_t major = 0, minor = 0;
    (void)isp.Sync();
    if (mode & 0x80)
        (void)isp.SetEcho(false);
    if (!sSpent(line))
        (void)isp.GetDeviceID();
    if (!sSpent(line))
        (void)isp.GetPartNumber(part);
    if (!sSpent(line))
        (void)isp.GetBootLoaderVersion(major, minor);
    if (!sSpent(line))
        (void)isp.Unlock();
    if (!sSpent(line) && (mode & 0x20))
        (void)isp.Read(NXPSerialClass::WRITE_ADDRESS, count, back.data());
    if (!sSpent(line))
        (void)isp.Write(NXPSerialClass::WRITE_ADDRESS, count, bytes.data());
    if (!sSpent(line))
        (void)isp.Prepare(0, 1);
    if (!sSpent(line))
        (void)isp.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 256);
    if (!sSpent(line) && !(mode & 0x20))
        (void)isp.Read(0, count, back.data());
    if (!sSpent(line))
        (void)isp.ExecuteFrom(0);
    return 0;
}

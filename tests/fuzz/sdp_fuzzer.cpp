// Plays an i.MX RT1050 serial download ROM whose every answer is the input,
// through the protocol layer and the answer handling of both transports.
// The first byte picks the transport and the image's size and whether
// writes fail; the rest is a run of answers, each a length byte and that
// many bytes (a length of 0 is a read that times out).
//   HID:    the real HID transport over this file's own hidapi, whose reads
//           hand out one answer each as an input report;
//   serial: a transport in memory whose reads append the next answer, with
//           the serial transport's own reading of the data word.

#include "UpdaterLib/source/HID_SDPLoader.h"
#include "UpdaterLib/source/SDPLoader.h"
#include "UpdaterLib/source/Serial_SDPLoader_unix.h"

#include <hidapi/hidapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

struct hid_device_ {
    int unused;
};

namespace
{

struct Answers {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t at = 0;
    bool writesFail = false;

    /// The next answer, or false when none is left or it is a time-out.
    bool Next(const uint8_t** bytes, size_t* length)
    {
        if (at >= size)
            return false;
        size_t n = data[at++];
        if (n > size - at)
            n = size - at;
        *bytes = data + at;
        *length = n;
        at += n;
        return n > 0;
    }
};

Answers sAnswers;
hid_device sDevice;

class MemorySerial : public SDPLoader_Interface
{
public:
    bool init() override { return true; }
    ssize_t writeData(const std::vector<uint8_t>& packet) override
    {
        return sAnswers.writesFail || packet.empty() ? -1 : (ssize_t)packet.size() - 1;
    }
    ssize_t readData(std::vector<uint8_t>& buffer, uint32_t) override
    {
        const uint8_t* bytes = nullptr;
        size_t length = 0;
        if (!sAnswers.Next(&bytes, &length))
            return 0;
        buffer.insert(buffer.end(), bytes, bytes + length);
        return (ssize_t)length;
    }
    bool getDataFromBuffer(const std::vector<uint8_t>& answer, uint32_t offset,
                           uint32_t& word) override
    {
        return serial.getDataFromBuffer(answer, offset, word);
    }

private:
    Serial_SDPLoader serial{"/nonexistent"};
};

} // namespace

extern "C" {

int hid_init(void)
{
    return 0;
}

int hid_exit(void)
{
    return 0;
}

// One device at most, which the open below hands out: no list to count.
struct hid_device_info* hid_enumerate(unsigned short, unsigned short)
{
    return nullptr;
}

void hid_free_enumeration(struct hid_device_info*) {}

hid_device* hid_open(unsigned short, unsigned short, const wchar_t*)
{
    return &sDevice;
}

void hid_close(hid_device*) {}

int hid_write(hid_device*, const unsigned char*, size_t length)
{
    return sAnswers.writesFail ? -1 : (int)length;
}

int hid_read_timeout(hid_device*, unsigned char* buffer, size_t length, int)
{
    const uint8_t* bytes = nullptr;
    size_t n = 0;
    if (!sAnswers.Next(&bytes, &n))
        return 0;
    if (n > length)
        n = length;
    memcpy(buffer, bytes, n);
    return (int)n;
}

} // extern "C"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    uint8_t mode = data[0];
    sAnswers = Answers();
    sAnswers.data = data + 1;
    sAnswers.size = size - 1;
    sAnswers.writesFail = (mode & 0x80) != 0;
    SDPLoader loader;
    if (mode & 1)
        loader.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID));
    else
        loader.setLoader(new MemorySerial());
    if (loader.init() != SDPLoader::SDP_OK)
        abort();
    uint64_t fingerprint = 0;
    loader.getFingerprint(fingerprint);
    // Up to three data packets and a bit.
    std::vector<uint8_t> image(((mode >> 1) & 0x3F) * 53, 0xA5);
    loader.writeLoader(image, 0x20000000);
    loader.startLoader(IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS);
    return 0;
}

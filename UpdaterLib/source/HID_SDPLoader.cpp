#include "UpdaterLib/source/HID_SDPLoader.h"

#include "device/core/kLog.h"
#include "device/core/kTime.h"

#include <hidapi/hidapi.h>

#include <algorithm>

namespace
{

const uint8_t STATUS_REPORT_ID = 3;
const size_t STATUS_REPORT_SIZE = 5;
// A status report and one data report.
const size_t ANSWER_SIZE = STATUS_REPORT_SIZE + MAX_READ_BYTES;
const size_t DATA_WORD_AT = STATUS_REPORT_SIZE + 1;
// However long the caller waits per report, one answer takes no longer.
const uint64_t ANSWER_LIMIT_MS = 2000;

struct ReportRead {
    hid_device* handle;
    unsigned char report[MAX_READ_BYTES];
    int got;
};

bool _read_part(uint32_t ms, void* reference)
{
    ReportRead* read = (ReportRead*)reference;
    read->got = hid_read_timeout(read->handle, read->report, sizeof(read->report), (int)ms);
    return read->got != 0;
}

} // namespace

HID_SDPLoader::HID_SDPLoader(uint16_t vendor, uint16_t product)
    : vendorID(vendor), productID(product)
{
}

HID_SDPLoader::~HID_SDPLoader()
{
    if (handle)
        hid_close(handle);
    hid_exit();
}

bool HID_SDPLoader::init()
{
    if (handle)
        return true;
    if (hid_init() != 0) {
        Log::log(DEBUG_iMXSerial, "hid_init failed\n");
        return false;
    }
    handle = hid_open(vendorID, productID, nullptr);
    Log::log(DEBUG_iMXSerial, "handle: %p\n", (void*)handle);
    return handle != nullptr;
}

size_t HID_SDPLoader::Count(uint16_t vendorID, uint16_t productID)
{
    if (hid_init() != 0)
        return 0;
    hid_device_info* devices = hid_enumerate(vendorID, productID);
    size_t count = 0;
    for (hid_device_info* device = devices; device; device = device->next)
        count++;
    hid_free_enumeration(devices);
    return count;
}

ssize_t HID_SDPLoader::writeData(const std::vector<uint8_t>& packet)
{
    if (!handle || packet.empty())
        return -1;
    return hid_write(handle, packet.data(), packet.size());
}

ssize_t HID_SDPLoader::readData(std::vector<uint8_t>& buffer, uint32_t timeoutMs)
{
    if (!handle)
        return 0;
    uint64_t deadline = kTime_GetMSTicks() + ANSWER_LIMIT_MS;
    size_t appended = 0;
    // A device that keeps sending reports ends the answer all the same.
    while (appended < ANSWER_SIZE) {
        uint64_t now = kTime_GetMSTicks();
        if (now >= deadline)
            break;
        // Cleared each time, so that a short status report appends zeros
        // rather than what an earlier report left behind.
        ReportRead read = {handle, {0}, 0};
        if (kCancel_Wait(cancel, std::min(deadline - now, (uint64_t)timeoutMs), _read_part,
                         &read) != kErrNone ||
            read.got < 0)
            break;
        size_t count = read.report[0] == STATUS_REPORT_ID ? STATUS_REPORT_SIZE : (size_t)read.got;
        buffer.insert(buffer.end(), read.report, read.report + count);
        appended += count;
    }
    return (ssize_t)appended;
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& answer, uint32_t offset,
                                      uint32_t& word)
{
    if (answer.size() != ANSWER_SIZE)
        return false;
    size_t at = DATA_WORD_AT + (size_t)offset;
    if (at > answer.size() || answer.size() - at < 4)
        return false;
    word |= (uint32_t)answer[at] | (uint32_t)answer[at + 1] << 8 | (uint32_t)answer[at + 2] << 16 |
            (uint32_t)answer[at + 3] << 24;
    return true;
}

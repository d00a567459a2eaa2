#pragma once
// The serial download protocol over USB HID, through hidapi's hidraw back
// end: commands go out as output report 1, file data as report 2; the ROM
// answers with input report 3 (security status) and report 4 (data).

#include "UpdaterLib/source/SDPLoader.h"

#include <stdint.h>

struct hid_device_;

class HID_SDPLoader : public SDPLoader_Interface
{
public:
    /// Opens nothing: init looks the device up by `vendorID` and `productID`.
    HID_SDPLoader(uint16_t vendorID, uint16_t productID);
    ~HID_SDPLoader() override;
    HID_SDPLoader(const HID_SDPLoader&) = delete;
    HID_SDPLoader& operator=(const HID_SDPLoader&) = delete;

    /// False when no such device is present or it cannot be opened.
    bool init() override;
    /// How many HID devices with the vendor and product ID are attached.
    static size_t Count(uint16_t vendorID, uint16_t productID);
    /// The whole packet, report ID first; hidapi's count or -1.
    ssize_t writeData(const std::vector<uint8_t>& packet) override;
    /// Reads report after report, each waiting at most `timeoutMs`, until a
    /// read brings nothing, a whole answer (70 bytes) is there or 2 s have
    /// passed; a status report counts as its 5 bytes.
    ssize_t readData(std::vector<uint8_t>& buffer, uint32_t timeoutMs) override;
    /// The word at bytes 6-9 (after the status report and the data report's
    /// ID), only from a whole answer of exactly 70 bytes.
    bool getDataFromBuffer(const std::vector<uint8_t>& answer, uint32_t offset,
                           uint32_t& word) override;

private:
    hid_device_* handle = nullptr;
    uint16_t vendorID;
    uint16_t productID;
};

#pragma once
// The serial download protocol over a UART (POSIX terminal) at 115200 baud:
// the same commands and answers as over HID, without the report IDs.

#include "UpdaterLib/source/SDPLoader.h"

class PrivateSerial_SDPLoader;

class Serial_SDPLoader : public SDPLoader_Interface
{
public:
    /// Opens nothing. `devicePath` is borrowed: it must outlive the object.
    explicit Serial_SDPLoader(const char* devicePath);
    /// Discards pending input and output and closes the port.
    ~Serial_SDPLoader() override;
    Serial_SDPLoader(const Serial_SDPLoader&) = delete;
    Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

    /// Opens and sets up the port (raw, 8N1, 115200); false when it cannot be
    /// opened, is no terminal or does not take the settings. Blocks 1 s.
    bool init() override;
    /// Sends the packet without its report ID. Retries every 1 ms while
    /// nothing goes out; -1 after 2 s without progress or on a hard error
    /// (a removed adapter), else the count sent.
    ssize_t writeData(const std::vector<uint8_t>& packet) override;
    /// Appends the answer's bytes as they come, until the answer is whole
    /// (the 4 status bytes and a data word) or `timeoutMs` (at most 2 s)
    /// from the call is over.
    ssize_t readData(std::vector<uint8_t>& buffer, uint32_t timeoutMs) override;
    /// The word at bytes 4-7 (after the security status), from an answer of
    /// at least 8 bytes.
    bool getDataFromBuffer(const std::vector<uint8_t>& answer, uint32_t offset,
                           uint32_t& word) override;

private:
    PrivateSerial_SDPLoader* d;
};

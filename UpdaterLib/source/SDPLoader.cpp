#include "UpdaterLib/source/SDPLoader.h"

#include "device/core/kLog.h"

#include <algorithm>

namespace
{

const uint8_t COMMAND_REPORT_ID = 1;
const uint8_t DATA_REPORT_ID = 2;
const size_t COMMAND_PACKET_SIZE = 17;
const uint8_t FORMAT_32_BIT = 0x20;
const int STATUS_PROBES = 5;
const uint32_t ANSWER_TIMEOUT_MS = 100;

const uint16_t READ_REGISTER = 0x0101;
const uint16_t WRITE_REGISTER = 0x0202;
const uint16_t WRITE_FILE = 0x0404;
const uint16_t ERROR_STATUS = 0x0505;
const uint16_t JUMP_ADDRESS = 0x0B0B;

void _put16(std::vector<uint8_t>& packet, size_t at, uint16_t value)
{
    packet[at] = (uint8_t)(value >> 8);
    packet[at + 1] = (uint8_t)value;
}

void _put32(std::vector<uint8_t>& packet, size_t at, uint32_t value)
{
    for (size_t i = 0; i < 4; i++)
        packet[at + i] = (uint8_t)(value >> (24 - 8 * i));
}

std::vector<uint8_t> _command(uint16_t type, uint32_t address, uint8_t format, uint32_t count,
                              uint32_t data)
{
    std::vector<uint8_t> packet(COMMAND_PACKET_SIZE, 0);
    packet[0] = COMMAND_REPORT_ID;
    _put16(packet, 1, type);
    _put32(packet, 3, address);
    packet[7] = format;
    _put32(packet, 8, count);
    _put32(packet, 12, data);
    return packet;
}

// One call per byte: a whole data packet would not fit in one log line.
void _dump(const std::vector<uint8_t>& bytes)
{
    for (uint8_t byte : bytes)
        Log::log(DEBUG_iMXSerial, "%X ", byte);
    Log::log(DEBUG_iMXSerial, "\n");
}

} // namespace

std::vector<uint8_t> SDPLoader::readRegisterPacket(uint32_t address)
{
    return _command(READ_REGISTER, address, FORMAT_32_BIT, 4, 0);
}

std::vector<uint8_t> SDPLoader::writeRegisterPacket(uint32_t address, uint32_t value)
{
    return _command(WRITE_REGISTER, address, FORMAT_32_BIT, 4, value);
}

std::vector<uint8_t> SDPLoader::writeFilePacket(uint32_t address, uint32_t length)
{
    return _command(WRITE_FILE, address, FORMAT_32_BIT, length, 0);
}

std::vector<uint8_t> SDPLoader::errorStatusPacket()
{
    return _command(ERROR_STATUS, 0, 0, 0, 0);
}

std::vector<uint8_t> SDPLoader::jumpAddressPacket(uint32_t address)
{
    return _command(JUMP_ADDRESS, address, 0, 0, 0);
}

std::vector<uint8_t> SDPLoader::dataPacket(const std::vector<uint8_t>& image, size_t offset)
{
    size_t count =
        offset < image.size() ? std::min(image.size() - offset, (size_t)MAX_WRITE_BYTES) : 0;
    std::vector<uint8_t> packet(1 + count);
    packet[0] = DATA_REPORT_ID;
    if (count > 0)
        std::copy_n(image.begin() + (std::ptrdiff_t)offset, count, packet.begin() + 1);
    return packet;
}

bool SDPLoader::setLoader(SDPLoader_Interface* loader)
{
    if (!loader || transport)
        return false;
    transport.reset(loader);
    return true;
}

int SDPLoader::init()
{
    if (!transport)
        return SDP_NO_TRANSPORT;
    return transport->init() ? SDP_OK : SDP_INIT_FAILED;
}

bool SDPLoader::statusProbe()
{
    const std::vector<uint8_t> packet = errorStatusPacket();
    for (int attempt = 0; attempt < STATUS_PROBES; attempt++) {
        ssize_t written = transport->writeData(packet);
        Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", (size_t)written);
        _dump(packet);
        std::vector<uint8_t> answer;
        ssize_t got = transport->readData(answer, ANSWER_TIMEOUT_MS);
        Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", got);
        _dump(answer);
        uint32_t word = 0;
        if (transport->getDataFromBuffer(answer, 0, word))
            return true;
    }
    Log::log(DEBUG_iMXSerial, "Error: No ack from iMX device\n");
    return false;
}

int SDPLoader::readFuseWord(uint32_t address, uint32_t& word)
{
    const std::vector<uint8_t> packet = readRegisterPacket(address);
    ssize_t written = transport->writeData(packet);
    Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", (size_t)written);
    _dump(packet);
    std::vector<uint8_t> answer;
    ssize_t got = transport->readData(answer, ANSWER_TIMEOUT_MS);
    Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", got);
    _dump(answer);
    return transport->getDataFromBuffer(answer, 0, word) ? SDP_OK : SDP_NO_DATA_WORD;
}

int SDPLoader::getFingerprint(uint64_t& fingerprint)
{
    if (!transport)
        return SDP_NO_TRANSPORT;
    if (!statusProbe())
        return SDP_NO_ANSWER;
    uint32_t cfg0 = 0;
    int result = readFuseWord(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG0_OFFSET, cfg0);
    if (result != SDP_OK)
        return result;
    fingerprint |= cfg0;
    uint32_t cfg1 = 0;
    result = readFuseWord(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG1_OFFSET, cfg1);
    if (result != SDP_OK)
        return result;
    fingerprint |= (uint64_t)cfg1 << 32;
    return SDP_OK;
}

// The ROM is silent while it takes file data: whatever it says then is an
// error, and it no longer expects the rest of the image.
int SDPLoader::sendImage(const std::vector<uint8_t>& image)
{
    int total = 0;
    size_t offset = 0;
    for (int loop = 0; offset < image.size(); loop++) {
        std::vector<uint8_t> answer;
        ssize_t got = transport->readData(answer, 0);
        Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", got);
        _dump(answer);
        if (got > 0) {
            Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
            return SDP_ANSWER_IN_DATA;
        }
        const std::vector<uint8_t> packet = dataPacket(image, offset);
        offset += packet.size() - 1;
        ssize_t written = transport->writeData(packet);
        total += (int)written;
        Log::log(DEBUG_iMXSerial, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n",
                 written, total, loop, (long)offset, (ssize_t)packet.size());
        _dump(packet);
        // A transport that gave up (unplugged, stalled) takes no more: the
        // image cannot complete, so do not spend the time on the rest.
        if (written <= 0) {
            Log::log(DEBUG_iMXSerial, "Error while writing loader. Aborting\n");
            return SDP_NOT_COMPLETED;
        }
    }
    Log::log(DEBUG_iMXSerial, "Written Bytes: %d\n", total);
    return SDP_OK;
}

int SDPLoader::writeLoader(const std::vector<uint8_t>& image, uint32_t address)
{
    if (!transport)
        return SDP_NO_TRANSPORT;
    if (!statusProbe())
        return SDP_NO_ANSWER;
    const std::vector<uint8_t> command = writeFilePacket(address, (uint32_t)image.size());
    ssize_t written = transport->writeData(command);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", written);
    _dump(command);
    int result = sendImage(image);
    if (result != SDP_OK)
        return result;
    std::vector<uint8_t> answer;
    transport->readData(answer, ANSWER_TIMEOUT_MS);
    Log::log(DEBUG_iMXSerial, "Data Read: \n");
    _dump(answer);
    uint32_t word = 0;
    if (transport->getDataFromBuffer(answer, 0, word) && word == STATUS_WRITE_COMPLETE) {
        Log::log(DEBUG_iMXSerial, "Loader Transfer Successful\n");
        return SDP_OK;
    }
    Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
    return SDP_NOT_COMPLETED;
}

void SDPLoader::startLoader(uint32_t address)
{
    if (!transport)
        return;
    const std::vector<uint8_t> packet = jumpAddressPacket(address);
    ssize_t written = transport->writeData(packet);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", written);
    _dump(packet);
    // The ROM hands over to the loader; what it says last does not matter.
    std::vector<uint8_t> answer;
    transport->readData(answer, ANSWER_TIMEOUT_MS);
    _dump(answer);
}

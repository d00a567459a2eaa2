// Stream keys and stream packets.
//
// A key holds five bytes: module address in bits 24-31, command 16-23,
// option 8-15, index 0-7 and subindex 32-39. A stream packet (length above
// 4, command not 8, no get or set bit, the stream bit in data[2]) ends in a
// sequence byte; a non-zero one marks a chunk of a bytes value (type 4).
// Otherwise data[3] is the sample type, and a sample has exactly its type's
// length:
//
//     type 1-3: [3] type, [4..7] time high, [8..11] time low, value, 0
//     type 5-7: [3] type, [4] subindex, [5..12] time, value, 0
//
// with a value of 1, 2 or 4 bytes, most significant first.

#include "device/core/kUEI.h"
#include "device/object/Link.h"

namespace Kelvane
{
namespace Vantor
{

static const uint8_t STREAM_PACKET_MIN = 5;
static const uint8_t STREAM_NOT_COMMAND = 8;

uint64_t Link::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                               uint8_t subindex)
{
    return ((uint64_t)subindex << 32) | ((uint64_t)module << 24) | ((uint64_t)command << 16) |
           ((uint64_t)option << 8) | (uint64_t)index;
}

uint8_t Link::getStreamKeyElement(uint64_t key, STREAM_KEY element)
{
    static const unsigned SHIFT[] = {24, 16, 8, 0, 32};
    if (element < STREAM_KEY_MODULE || element > STREAM_KEY_SUBINDEX)
        return 0;
    return (uint8_t)(key >> SHIFT[element]);
}

// Every non-empty combination of index, option, command and subindex; the
// module address is never made generic.
uint64_t Link::_getGenericStreamKeyMask(int i)
{
    static const uint64_t MASKS[] = {
        0xFF,         0xFF00,       0xFFFF,       0xFF0000,     0xFF00FF,
        0xFFFF00,     0xFFFFFF,     0xFF00000000, 0xFF000000FF, 0xFF0000FF00,
        0xFF0000FFFF, 0xFF00FF0000, 0xFF00FF00FF, 0xFF00FFFF00, 0xFF00FFFFFF,
    };
    if (i < 0 || i >= (int)(sizeof(MASKS) / sizeof(MASKS[0])))
        return 0;
    return MASKS[i];
}

bool Link::isStreamPacket(const kPacket* packet)
{
    return kVALIDPACKET(packet) && packet->length >= STREAM_PACKET_MIN &&
           packet->length <= kPACKET_DATA_MAX && packet->data[0] != STREAM_NOT_COMMAND &&
           packet->data[1] < UEI_OPTION_GET && (packet->data[2] & UEI_SPEC_STREAM);
}

bool Link::getStreamPacketType(const kPacket* packet, STREAM_PACKET* type)
{
    if (!type || !isStreamPacket(packet))
        return false;
    if (packet->data[packet->length - 1] != 0) {
        *type = STREAM_PACKET_BYTES;
        return true;
    }
    uint8_t t = packet->data[3];
    if (t < STREAM_PACKET_BYTE || t > STREAM_PACKET_SUBINDEX_INT)
        return false;
    *type = (STREAM_PACKET)t;
    return true;
}

bool Link::isSubindexType(STREAM_PACKET type)
{
    return type == STREAM_PACKET_SUBINDEX_BYTE || type == STREAM_PACKET_SUBINDEX_SHORT ||
           type == STREAM_PACKET_SUBINDEX_INT;
}

static uint8_t sValueWidth(Link::STREAM_PACKET type)
{
    switch (type) {
    case Link::STREAM_PACKET_BYTE:
    case Link::STREAM_PACKET_SUBINDEX_BYTE:
        return 1;
    case Link::STREAM_PACKET_SHORT:
    case Link::STREAM_PACKET_SUBINDEX_SHORT:
        return 2;
    case Link::STREAM_PACKET_INT:
    case Link::STREAM_PACKET_SUBINDEX_INT:
        return 4;
    default:
        return 0;
    }
}

// Type, [subindex], 8 time bytes, the value and the closing 0 after the
// three leading bytes.
bool Link::_checkStreamSampleLength(STREAM_PACKET type, uint8_t length)
{
    uint8_t width = sValueWidth(type);
    if (width == 0)
        return false;
    return length == 3 + 1 + (isSubindexType(type) ? 1 : 0) + 8 + width + 1;
}

bool Link::isStreamSample(const kPacket* packet)
{
    STREAM_PACKET type;
    return getStreamPacketType(packet, &type) && packet->data[packet->length - 1] == 0 &&
           _checkStreamSampleLength(type, packet->length);
}

kErr Link::getStreamSample(const kPacket* packet, uint64_t* timestamp, uint32_t* value,
                           uint8_t* subindex)
{
    STREAM_PACKET type;
    if (!getStreamPacketType(packet, &type))
        return kErrPacket;
    if (type == STREAM_PACKET_BYTES)
        return kErrSize;
    if (!isStreamSample(packet))
        return kErrPacket;
    const uint8_t* d = packet->data;
    bool indexed = isSubindexType(type);
    const uint8_t* at = d + (indexed ? 5 : 4);
    if (timestamp)
        *timestamp = ((uint64_t)kUEI_RetrieveInt(at) << 32) | kUEI_RetrieveInt(at + 4);
    if (value) {
        uint8_t width = sValueWidth(type);
        *value = width == 1   ? at[8]
                 : width == 2 ? kUEI_RetrieveShort(at + 8)
                              : kUEI_RetrieveInt(at + 8);
    }
    if (subindex)
        *subindex = indexed ? d[4] : 0;
    return kErrNone;
}

void Link::getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low)
{
    if (high)
        *high = (uint32_t)(timestamp >> 32);
    if (low)
        *low = (uint32_t)timestamp;
}

} // namespace Vantor
} // namespace Kelvane

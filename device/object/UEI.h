#pragma once
// The UEI record: one command addressed to one entity of a module (module
// address, command, option, index and a typed value), as the link packs it
// into a packet and unpacks it from a reply. Shared by the link object, the
// entity classes and their users.
//
// On the wire: data[0] command, data[1] option byte, data[2] specifier byte,
// then the value most significant byte first (byte: length 4, short: 5,
// int: 7; none: 3). A request with a subindex carries it in data[3] and the
// value from data[4]. A bytes value travels as a run of packets of up to 24
// value bytes each, closed by a sequence byte: the chunk number in bits 0-6,
// bit 7 set while more chunks follow.

#include "device/core/kError.h"
#include "device/core/kPacket.h"

#include <stdint.h>

namespace Kelvane
{
namespace Vantor
{

/// Option byte: the option code in bits 0-5 and the direction bits.
const uint8_t UEI_OPTION_MASK = 0x3F;
const uint8_t UEI_OPTION_GET = 0x40;
const uint8_t UEI_OPTION_SET = 0x80;
/// A set's reply carries both direction bits.
const uint8_t UEI_OPTION_REPLY = 0xC0;

/// Specifier byte: the entity index in bits 0-4 and three flags.
const uint8_t UEI_INDEX_MASK = 0x1F;
const uint8_t UEI_SPEC_REQUEST = 0x20;
const uint8_t UEI_SPEC_STREAM = 0x40;
/// Set by the module in a reply that carries an error code in data[3].
const uint8_t UEI_SPEC_ERROR = 0x80;

/// Sequence byte of a bytes value chunk.
const uint8_t UEI_SEQUENCE_MORE = 0x80;
const uint8_t UEI_SEQUENCE_NUMBER = 0x7F;
/// Value bytes in one chunk, and the most one value can span (128 chunks).
const uint32_t UEI_CHUNK_SIZE = 24;
const uint32_t UEI_BYTES_MAX = 3072;

/// The entity class of the system entity, which every module has.
const uint8_t UEI_CLASS_SYSTEM = 3;

/// Value types of a UEI record.
enum ueiType : int32_t {
    UEI_TYPE_NONE = 0,
    UEI_TYPE_BYTE = 1,
    UEI_TYPE_SHORT = 2,
    UEI_TYPE_INT = 4,
    UEI_TYPE_BYTES = 5,
};

/// A plain record, passed by value or by pointer.
struct uei {
    uint8_t module;    ///< module address (non-zero, even)
    uint8_t command;   ///< command byte; for entities the entity class
    uint8_t option;    ///< option code and the get/set bits
    uint8_t specifier; ///< index and the request, stream and error bits
    union {
        uint8_t byteVal;
        uint16_t shortVal;
        uint32_t intVal;
        /// A bytes value: read from when sending, written to when reading.
        uint8_t* bytes;
    } value;
    /// Sequence byte of a multi-packet bytes value (while reading).
    uint8_t sequence;
    /// Bytes to send, or the capacity of the buffer being read into.
    uint64_t bytesLength;
    /// Running count of the bytes received (reading only).
    uint64_t* bytesDone;
    ueiType type;
};

/// Whether a packet is a reply to the record's entity option: its address,
/// more than 2 data bytes, data[0] and data[1] equal to the record's command
/// and option, and the index of data[2] equal to the record's specifier
/// (which holds the plain index).
inline bool ueiPacketMatches(const kPacket* packet, const uei& u)
{
    return packet->address == u.module && packet->length > 2 && packet->data[0] == u.command &&
           packet->data[1] == u.option && (packet->data[2] & UEI_INDEX_MASK) == u.specifier;
}

/// Takes a matching reply with the error bit into the record: its specifier
/// and its code (0 when the reply holds none). False for any other reply.
inline bool ueiTakeErrorReply(const kPacket* packet, uei* u)
{
    if (!(packet->data[2] & UEI_SPEC_ERROR))
        return false;
    u->specifier = packet->data[2];
    u->value.byteVal = packet->length > 3 ? packet->data[3] : 0;
    return true;
}

/// What an error reply stands for: its code, or kErrUnknown for a code of
/// 0, which would otherwise read as success.
inline kErr ueiReplyError(const uei& u)
{
    return u.value.byteVal ? (kErr)u.value.byteVal : (kErr)kErrUnknown;
}

} // namespace Vantor
} // namespace Kelvane

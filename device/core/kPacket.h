#pragma once
// One packet frame of the module link: an address byte, a length byte and up
// to 28 data bytes, nothing else. A record is either built whole or framed
// byte by byte from a received stream with kPacket_AddByte.

#include "device/core/kError.h"

#include <stddef.h>
#include <stdint.h>

#define kPACKET_MAGIC 0xBEEF
#define kPACKET_DATA_MAX 28
#define kPACKET_FRAME_MAX (kPACKET_DATA_MAX + 2)

typedef struct kPacket {
    uint16_t magic;
    /// Frame bytes taken in so far; a complete packet has fill = length + 2.
    uint8_t fill;
    uint8_t address;
    uint8_t length;
    /// data[0] is the command, data[1] the option, data[2] the index byte.
    uint8_t data[kPACKET_DATA_MAX];
} kPacket;

// The frame is written from &address on in one piece.
static_assert(offsetof(kPacket, length) == offsetof(kPacket, address) + 1, "frame layout");
static_assert(offsetof(kPacket, data) == offsetof(kPacket, address) + 2, "frame layout");

/// The empty record every new packet starts from: magic set, all else 0.
extern const kPacket PACK;

/// True for a non-null record that carries the packet magic.
inline bool kVALIDPACKET(const kPacket* packet)
{
    return packet && packet->magic == kPACKET_MAGIC;
}

/// A new empty packet owned by the caller; null when memory runs out.
kPacket* kPacket_Create(void);

/// A new complete packet (fill = length + 2) with `length` bytes copied from
/// `bytes`; the address is not checked. Null when memory runs out, when
/// `length` is above 28 or when `bytes` is null with a non-zero length.
kPacket* kPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* bytes);

/// A complete copy of the packet's address, length and data; null for an
/// invalid packet, one whose length byte is above 28, or when memory runs out.
kPacket* kPacket_Copy(const kPacket* packet);

/// data[0]. kErrParam for a null `cmd`; kErrPacket for an invalid packet or
/// one without data.
kErr kPacket_GetCmd(const kPacket* packet, uint8_t* cmd);

/// data[1] & 0x3F. As kPacket_GetCmd, but the packet needs 2 data bytes.
kErr kPacket_GetOption(const kPacket* packet, uint8_t* option);

/// data[2] & 0x1F. As kPacket_GetCmd, but the packet needs 3 data bytes.
kErr kPacket_GetIndex(const kPacket* packet, uint8_t* index);

/// Empties the packet (address, length, fill and data become 0).
/// kErrParam for an invalid packet.
kErr kPacket_Reset(kPacket* packet);

/// Takes the next received frame byte. The byte's place in the frame (fill)
/// tells what it is: the first is the address (non-zero and even, else
/// kErrPacket), the second the length (above 28: kErrPacket, stored all the
/// same), the rest data (beyond the length: kErrPacket). A byte after the
/// 30th gives kErrOverrun. Fill counts every byte offered, failed ones too,
/// and stays at 31 beyond that; after an error the caller resets the packet.
/// kErrParam for an invalid packet.
kErr kPacket_AddByte(kPacket* packet, uint8_t byte);

/// True for a valid packet whose fill is length + 2.
bool kPacket_IsComplete(const kPacket* packet);

/// Frees the packet and clears the caller's pointer. kErrParam, with nothing
/// done, for a null pointer or an invalid packet.
kErr kPacket_Destroy(kPacket** packet);

#include "device/core/kPacket.h"

#include <stdlib.h>
#include <string.h>

const kPacket PACK = {kPACKET_MAGIC, 0, 0, 0, {0}};

kPacket* kPacket_Create(void)
{
    kPacket* packet = (kPacket*)malloc(sizeof(*packet));
    if (packet)
        *packet = PACK;
    return packet;
}

kPacket* kPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* bytes)
{
    if (length > kPACKET_DATA_MAX || (length > 0 && !bytes))
        return nullptr;
    kPacket* packet = kPacket_Create();
    if (!packet)
        return nullptr;
    packet->address = address;
    packet->length = length;
    if (length > 0)
        memcpy(packet->data, bytes, length);
    packet->fill = (uint8_t)(length + 2);
    return packet;
}

kPacket* kPacket_Copy(const kPacket* packet)
{
    if (!kVALIDPACKET(packet))
        return nullptr;
    return kPacket_CreateWithData(packet->address, packet->length, packet->data);
}

static kErr sGetDataByte(const kPacket* packet, uint8_t index, uint8_t mask, uint8_t* out)
{
    if (!out)
        return kErrParam;
    if (!kVALIDPACKET(packet) || packet->length <= index)
        return kErrPacket;
    *out = packet->data[index] & mask;
    return kErrNone;
}

kErr kPacket_GetCmd(const kPacket* packet, uint8_t* cmd)
{
    return sGetDataByte(packet, 0, 0xFF, cmd);
}

kErr kPacket_GetOption(const kPacket* packet, uint8_t* option)
{
    return sGetDataByte(packet, 1, 0x3F, option);
}

kErr kPacket_GetIndex(const kPacket* packet, uint8_t* index)
{
    return sGetDataByte(packet, 2, 0x1F, index);
}

kErr kPacket_Reset(kPacket* packet)
{
    if (!kVALIDPACKET(packet))
        return kErrParam;
    *packet = PACK;
    return kErrNone;
}

kErr kPacket_AddByte(kPacket* packet, uint8_t byte)
{
    if (!kVALIDPACKET(packet))
        return kErrParam;
    // Fill stops one past the longest frame so that a stream of garbage fed
    // without a reset can never wrap it back to a first-byte position.
    if (packet->fill <= kPACKET_FRAME_MAX)
        packet->fill++;
    if (packet->fill > kPACKET_FRAME_MAX)
        return kErrOverrun;
    // The position decides what the byte is, never its value: a length of 0
    // must not make the next byte a length again.
    if (packet->fill == 1) {
        if (byte == 0 || (byte & 1))
            return kErrPacket;
        packet->address = byte;
        return kErrNone;
    }
    if (packet->fill == 2) {
        packet->length = byte;
        return byte <= kPACKET_DATA_MAX ? kErrNone : kErrPacket;
    }
    if (packet->fill > packet->length + 2)
        return kErrPacket;
    packet->data[packet->fill - 3] = byte;
    return kErrNone;
}

bool kPacket_IsComplete(const kPacket* packet)
{
    return kVALIDPACKET(packet) && packet->fill == packet->length + 2;
}

kErr kPacket_Destroy(kPacket** packet)
{
    if (!packet || !kVALIDPACKET(*packet))
        return kErrParam;
    (*packet)->magic = 0;
    free(*packet);
    *packet = nullptr;
    return kErrNone;
}

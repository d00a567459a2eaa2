#include "device/core/kUEI.h"

#include <string.h>

uint16_t kUEI_RetrieveShort(const uint8_t* bytes)
{
    return (uint16_t)((bytes[0] << 8) | bytes[1]);
}

void kUEI_StoreShort(uint8_t* bytes, uint16_t value)
{
    bytes[0] = (uint8_t)(value >> 8);
    bytes[1] = (uint8_t)value;
}

uint32_t kUEI_RetrieveInt(const uint8_t* bytes)
{
    return ((uint32_t)bytes[0] << 24) | ((uint32_t)bytes[1] << 16) | ((uint32_t)bytes[2] << 8) |
           (uint32_t)bytes[3];
}

uint16_t kUEI_RetrieveShortLE(const uint8_t* bytes)
{
    return (uint16_t)(bytes[0] | bytes[1] << 8);
}

uint32_t kUEI_RetrieveIntLE(const uint8_t* bytes)
{
    return (uint32_t)bytes[0] | ((uint32_t)bytes[1] << 8) | ((uint32_t)bytes[2] << 16) |
           ((uint32_t)bytes[3] << 24);
}

void kUEI_StoreIntLE(uint8_t* bytes, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        bytes[i] = (uint8_t)(value >> (8 * i));
}

void kUEI_StoreInt(uint8_t* bytes, uint32_t value)
{
    bytes[0] = (uint8_t)(value >> 24);
    bytes[1] = (uint8_t)(value >> 16);
    bytes[2] = (uint8_t)(value >> 8);
    bytes[3] = (uint8_t)value;
}

void kUEI_ModifyIntBuffer(uint32_t* words, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        uint8_t bytes[4];
        memcpy(bytes, &words[i], sizeof(bytes));
        words[i] = kUEI_RetrieveInt(bytes);
    }
}

#pragma once
// Byte order of module packets and BIRD files: big-endian throughout. The
// few little-endian fields (discovery replies, words inside a firmware
// image) have their own readers.

#include <stddef.h>
#include <stdint.h>

uint16_t kUEI_RetrieveShort(const uint8_t* bytes);
void kUEI_StoreShort(uint8_t* bytes, uint16_t value);
uint32_t kUEI_RetrieveInt(const uint8_t* bytes);
void kUEI_StoreInt(uint8_t* bytes, uint32_t value);

uint16_t kUEI_RetrieveShortLE(const uint8_t* bytes);
uint32_t kUEI_RetrieveIntLE(const uint8_t* bytes);
void kUEI_StoreIntLE(uint8_t* bytes, uint32_t value);

/// Converts each of `count` words in place from big-endian byte order to the
/// host's.
void kUEI_ModifyIntBuffer(uint32_t* words, size_t count);

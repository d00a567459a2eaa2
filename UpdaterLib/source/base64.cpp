#include "UpdaterLib/source/base64.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

const char encoding_table[64] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M',
                                 'N', 'O', 'P', 'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z',
                                 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm',
                                 'n', 'o', 'p', 'q', 'r', 's', 't', 'u', 'v', 'w', 'x', 'y', 'z',
                                 '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '+', '/'};

namespace
{

const uint8_t INVALID = 0xFF;

// Indexed by the unsigned byte, so text with the high bit set cannot reach
// outside the table.
void _build_reverse(uint8_t reverse[256])
{
    memset(reverse, INVALID, 256);
    for (uint8_t i = 0; i < 64; i++)
        reverse[(unsigned char)encoding_table[i]] = i;
}

// Padding is one or two "=" at the very end; any other "=" or a character
// outside the alphabet would decode to bytes nobody sent.
bool _valid(const unsigned char* text, size_t length, const uint8_t reverse[256], size_t* padding)
{
    size_t pad = 0;
    if (length >= 1 && text[length - 1] == '=')
        pad = (length >= 2 && text[length - 2] == '=') ? 2 : 1;
    for (size_t i = 0; i < length - pad; i++) {
        if (reverse[text[i]] == INVALID)
            return false;
    }
    *padding = pad;
    return true;
}

} // namespace

unsigned char* base64_decode(const char* text, size_t length, size_t* decodedLength)
{
    if (length % 4 != 0 || (length > 0 && !text))
        return nullptr;
    uint8_t reverse[256];
    _build_reverse(reverse);
    const unsigned char* in = (const unsigned char*)text;
    size_t padding = 0;
    if (!_valid(in, length, reverse, &padding))
        return nullptr;
    size_t outLength = length / 4 * 3 - padding;
    unsigned char* out = (unsigned char*)malloc(outLength + 1);
    if (!out)
        return nullptr;
    size_t o = 0;
    for (size_t i = 0; i < length; i += 4) {
        uint32_t triple = 0;
        for (size_t k = 0; k < 4; k++)
            triple = (triple << 6) | (in[i + k] == '=' ? 0 : reverse[in[i + k]]);
        for (int shift = 16; shift >= 0 && o < outLength; shift -= 8)
            out[o++] = (unsigned char)(triple >> shift);
    }
    out[outLength] = 0;
    *decodedLength = outLength;
    return out;
}

char* base64_encode(const unsigned char* data, size_t length, size_t* textLength)
{
    size_t outLength = (length + 2) / 3 * 4;
    char* out = (char*)malloc(outLength + 1);
    if (!out)
        return nullptr;
    size_t o = 0;
    for (size_t i = 0; i < length; i += 3) {
        uint32_t triple = (uint32_t)data[i] << 16;
        if (i + 1 < length)
            triple |= (uint32_t)data[i + 1] << 8;
        if (i + 2 < length)
            triple |= data[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6)
            out[o++] = encoding_table[(triple >> shift) & 0x3F];
    }
    static const size_t padding[3] = {0, 2, 1};
    for (size_t k = 0; k < padding[length % 3]; k++)
        out[outLength - 1 - k] = '=';
    out[outLength] = 0;
    *textLength = outLength;
    return out;
}

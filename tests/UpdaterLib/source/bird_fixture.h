#pragma once
// BIRD file images made in the tests, including malformed ones.

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <zlib.h>

#include <string>
#include <vector>

namespace bird_fixture
{

using Bytes = std::vector<uint8_t>;

inline void PutBE32(Bytes& out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back((uint8_t)(value >> shift));
}

struct Block {
    uint8_t typeAndFlags;
    Bytes payload;
};

inline Block ImageBlock(uint8_t type, uint32_t address, const Bytes& content, uint8_t flags = 0)
{
    Block block{(uint8_t)(type | flags << 5), {}};
    PutBE32(block.payload, address);
    block.payload.insert(block.payload.end(), content.begin(), content.end());
    return block;
}

inline Block Firmware(uint32_t address, const Bytes& content, uint8_t flags = 0)
{
    return ImageBlock(1, address, content, flags);
}

inline Block Loader(uint32_t address, const Bytes& content, uint8_t flags = 0)
{
    return ImageBlock(0, address, content, flags);
}

inline Block SerialTemplate(uint32_t serialAddress, uint32_t descriptorAddress)
{
    Block block{2, {}};
    PutBE32(block.payload, serialAddress);
    PutBE32(block.payload, descriptorAddress);
    return block;
}

/// The four space-padded 16-byte fields of an identity block.
inline Block Identity(const char* build, const char* version, const char* serial, const char* model)
{
    Block block{4, Bytes(64, ' ')};
    const char* fields[4] = {build, version, serial, model};
    for (int i = 0; i < 4; i++)
        memcpy(block.payload.data() + 16 * i, fields[i], strnlen(fields[i], 16));
    return block;
}

/// Count, blocks, checksum; `reported` < 0 reports the true count.
inline Bytes Image(const std::vector<Block>& blocks, long reported = -1,
                   uint32_t checksum = 0x01020304)
{
    Bytes image;
    PutBE32(image, reported < 0 ? (uint32_t)blocks.size() : (uint32_t)reported);
    for (const Block& block : blocks) {
        image.push_back(block.typeAndFlags);
        PutBE32(image, (uint32_t)block.payload.size());
        image.insert(image.end(), block.payload.begin(), block.payload.end());
    }
    PutBE32(image, checksum);
    return image;
}

inline Bytes Compress(const Bytes& image)
{
    uLongf length = compressBound(image.size());
    Bytes out(length);
    compress2(out.data(), &length, image.data(), image.size(), 9);
    out.resize(length);
    return out;
}

/// A whole file: signature, version bytes and the compressed image.
inline Bytes File(const Bytes& image, const char* signature = "bird", uint8_t v0 = 1,
                  uint8_t v1 = 1)
{
    Bytes file(signature, signature + 4);
    file.push_back(v0);
    file.push_back(v1);
    Bytes stream = Compress(image);
    file.insert(file.end(), stream.begin(), stream.end());
    return file;
}

inline void Write(const std::string& path, const Bytes& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (f) {
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
    }
}

inline Bytes Counting(size_t size, uint8_t start = 0)
{
    Bytes bytes(size);
    for (size_t i = 0; i < size; i++)
        bytes[i] = (uint8_t)(start + i);
    return bytes;
}

} // namespace bird_fixture

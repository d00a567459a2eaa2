#include "UpdaterLib/source/BirdFile.h"

#include "device/core/kFile.h"
#include "device/core/kLog.h"
#include "device/core/kUEI.h"

#include <assert.h>
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include <new>
#include <stdexcept>
#include <utility>

// The identity block: four space-padded ASCII fields of 16 bytes.
enum { INFO_FIELD_SIZE = 16, INFO_BUILD = 0, INFO_VERSION = 1, INFO_SERIAL = 2, INFO_MODEL = 3 };
// A block's header: the type-and-flags byte and the 4-byte payload length.
enum { BLOCK_HEADER_SIZE = 5 };
enum { BIRD_HEADER_SIZE = 6, INFLATE_RATIO = 8 };

namespace
{

/// A big-endian word at `offset` in the payload, bytes past its end read as 0.
uint32_t _payload_word(const BirdBlock& block, uint32_t offset)
{
    uint32_t value = 0;
    for (uint32_t i = 0; i < 4; i++) {
        uint64_t at = (uint64_t)offset + i;
        value = value << 8 | (at < block.length ? block.data[at] : 0);
    }
    return value;
}

/// The content bytes that hold target addresses [address, address + size),
/// or null when they do not all lie inside the block's content.
uint8_t* _content_at(const BirdBlock& block, uint32_t address, uint32_t size)
{
    if (!block.HasAddress() || address < block.address)
        return nullptr;
    uint64_t offset = (uint64_t)address - block.address;
    if (offset + size > block.ContentLength())
        return nullptr;
    return block.Content() + offset;
}

} // namespace

BirdFile::BirdFile(const char* name) : filename(name ? name : "")
{
    assert(this->filename.length() > 0);
    if (!Load())
        throw std::runtime_error("Failed to load bird data");
}

BirdFile::BirdFile(BirdFile&& other) noexcept
{
    *this = std::move(other);
}

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept
{
    if (this == &other)
        return *this;
    filename = std::move(other.filename);
    signature = other.signature;
    version = other.version;
    checksum = other.checksum;
    blockCount = other.blockCount;
    blocks = std::move(other.blocks);
    serialNumberTemplate = other.serialNumberTemplate;
    serialNumberAddress = other.serialNumberAddress;
    descriptorAddress = other.descriptorAddress;
    // The buffer changes hands without being copied, so the blocks' payload
    // pointers stay valid.
    buffer = std::move(other.buffer);
    dataLength = other.dataLength;
    layoutMatched = other.layoutMatched;
    other.ResetAll();
    return *this;
}

void BirdFile::DiscardBlocks()
{
    blocks.clear();
    blockCount = 0;
    layoutMatched = false;
    checksum = 0;
    serialNumberTemplate = false;
    serialNumberAddress = 0;
    descriptorAddress = 0;
}

void BirdFile::DiscardImage()
{
    DiscardBlocks();
    buffer.reset();
    dataLength = 0;
}

void BirdFile::ResetAll()
{
    DiscardImage();
    filename.clear();
    signature = 0;
    version = 0;
}

namespace
{

/// Reads the whole file; logs and fails on an error or a short read.
bool _read_whole(kFile* file, const std::string& name, std::unique_ptr<uint8_t[]>& bytes,
                 uint64_t& size)
{
    kErr err = kFile_GetSize(file, &size);
    if (err) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", err,
                 name.c_str());
        return false;
    }
    bytes.reset(new (std::nothrow) uint8_t[size ? size : 1]);
    uint64_t count = 0;
    err = bytes ? (size ? kFile_Read(file, bytes.get(), size, &count) : kErrNone) : kErrMemory;
    if (err)
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", err, name.c_str());
    if (count < size)
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n",
                 name.c_str(), (size_t)count, (size_t)size);
    return !err && count == size;
}

} // namespace

bool BirdFile::Load()
{
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", filename.c_str());
    DiscardImage();
    signature = 0;
    version = 0;
    if (!kFile_Exists(filename.c_str())) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", filename.c_str());
        return false;
    }
    kFile* file = kFile_Open(filename.c_str(), kFileModeRead);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n",
                 filename.c_str());
        return false;
    }
    std::unique_ptr<uint8_t[]> bytes;
    uint64_t size = 0;
    bool read = _read_whole(file, filename, bytes, size);
    (void)kFile_Close(&file);
    return read && LoadData(bytes.get(), size);
}

bool BirdFile::LoadData(const uint8_t* bytes, uint64_t size)
{
    DiscardImage();
    signature = 0;
    version = 0;
    if (!bytes || size <= BIRD_HEADER_SIZE)
        return false;
    signature = kUEI_RetrieveInt(bytes);
    version = kUEI_RetrieveShort(bytes + 4);
    if (!DecompressData(bytes + BIRD_HEADER_SIZE, size - BIRD_HEADER_SIZE))
        return false;
    // A layout mismatch is only logged: the file loads with what was parsed,
    // and the flows that send or store a file ask LayoutMatched.
    ScanBlocks(buffer.get(), dataLength);
    FindSerialNumberOffsets();
    if (FirstBlock(BIRD_BLOCK_SERIAL_OFFSETS)) {
        serialNumberTemplate = true;
        FindSerialNumberOffsets();
    }
    return true;
}

bool BirdFile::DecompressData(const uint8_t* data, uint64_t length)
{
    DiscardImage();
    // The inflated image is addressed with 32-bit lengths.
    int rc = Z_MEM_ERROR;
    uLongf inflated = 0;
    if (!data) {
        rc = Z_STREAM_ERROR;
    } else if (length <= UINT32_MAX / INFLATE_RATIO) {
        inflated = (uLongf)(length * INFLATE_RATIO);
        buffer.reset(new (std::nothrow) uint8_t[inflated ? inflated : 1]);
        if (buffer)
            rc = uncompress(buffer.get(), &inflated, data, (uLong)length);
    }
    if (rc != Z_OK) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", rc);
        buffer.reset();
        dataLength = 0;
        return false;
    }
    dataLength = (uint32_t)inflated;
    return true;
}

namespace
{

void _log_info_fields(const BirdBlock& block)
{
    for (uint32_t field = 0; field < 4; field++) {
        char text[INFO_FIELD_SIZE + 1] = {0};
        for (uint32_t i = 0; i < INFO_FIELD_SIZE; i++) {
            uint64_t at = (uint64_t)field * INFO_FIELD_SIZE + i;
            if (at >= block.length)
                break;
            text[i] = (char)block.data[at];
        }
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", text);
    }
}

} // namespace

bool BirdFile::ScanBlocks(uint8_t* image, uint32_t length)
{
    DiscardBlocks();
    int64_t remaining = image ? length : 0;
    if (remaining < 4) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 (int)(remaining - 4));
        return false;
    }
    uint32_t reported = kUEI_RetrieveInt(image);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", (int)reported);
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");
    uint8_t* p = image + 4;
    remaining -= 4;
    bool truncated = false;
    while (remaining > 4) {
        BirdBlock block;
        block.type = p[0] & BIRD_FILE_TYPE_MASK;
        block.flags = (uint8_t)((p[0] & BIRD_FILE_FLAG_MASK) >> BIRD_FILE_FLAG_SHIFT);
        block.length = kUEI_RetrieveInt(p + 1);
        block.data = p + BLOCK_HEADER_SIZE;
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
                 (int)block.length);
        if (block.length > remaining - BLOCK_HEADER_SIZE) {
            truncated = true;
            break;
        }
        if ((block.type == BIRD_BLOCK_LOADER || block.type == BIRD_BLOCK_FIRMWARE) &&
            block.HasAddress())
            block.address = kUEI_RetrieveInt(block.data);
        if (block.type == BIRD_BLOCK_INFO)
            _log_info_fields(block);
        blocks.push_back(block);
        blockCount++;
        p += BLOCK_HEADER_SIZE + (uint64_t)block.length;
        remaining -= BLOCK_HEADER_SIZE + (int64_t)block.length;
    }
    // A truncated block leaves its bytes unparsed, and what follows it cannot
    // be taken for the checksum.
    if (!truncated) {
        if (remaining >= 4) {
            checksum = kUEI_RetrieveInt(p);
            Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);
        }
        remaining -= 4;
    }
    bool matched = true;
    if (remaining != 0) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 (int)remaining);
        matched = false;
    }
    if (blockCount != reported) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 (int)blockCount, (int)reported);
        matched = false;
    }
    layoutMatched = matched;
    return matched;
}

const BirdBlock* BirdFile::FirstBlock(uint8_t type) const
{
    for (const BirdBlock& block : blocks) {
        if (block.type == type)
            return &block;
    }
    return nullptr;
}

bool BirdFile::ValidateLayout(BLOCK_TYPE holding) const
{
    return layoutMatched && FirstBlock(holding) != nullptr;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const
{
    std::vector<BirdBlock> found;
    for (const BirdBlock& block : blocks) {
        if (block.type == type)
            found.push_back(block);
    }
    return found;
}

bool BirdFile::FindSerialNumberOffsets()
{
    const BirdBlock* block = FirstBlock(BIRD_BLOCK_SERIAL_OFFSETS);
    if (blockCount == 0 || !block)
        return false;
    serialNumberAddress = _payload_word(*block, 0);
    descriptorAddress = _payload_word(*block, 4);
    Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
             (int)serialNumberAddress, (int)descriptorAddress);
    return true;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serial)
{
    bool written = false;
    for (const BirdBlock& block : blocks) {
        if (block.type != BIRD_BLOCK_FIRMWARE)
            continue;
        uint8_t* word = serialNumberAddress ? _content_at(block, serialNumberAddress, 4) : nullptr;
        if (word) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                     kUEI_RetrieveIntLE(word), serial);
            kUEI_StoreIntLE(word, serial);
            written = true;
        }
        // The descriptor text is UTF-16LE: each digit goes into the low byte
        // of one character.
        uint8_t* text = descriptorAddress ? _content_at(block, descriptorAddress, 16) : nullptr;
        if (text) {
            char digits[9];
            snprintf(digits, sizeof(digits), "%08X", serial);
            for (size_t i = 0; i < 8; i++)
                text[2 * i] = (uint8_t)digits[i];
            written = true;
        }
    }
    return written;
}

enum { VECTOR_WORDS = 8, CHECK_WORD = 7, SKIPPED_WORD = 5 };

namespace
{

// The check word that the vector table at `words` must hold.
uint32_t _vector_check(const uint8_t* words)
{
    uint32_t sum = 0;
    for (size_t k = 0; k < CHECK_WORD; k++) {
        if (k != SKIPPED_WORD)
            sum += kUEI_RetrieveIntLE(words + 4 * k);
    }
    return 0u - sum;
}

bool _holds_vector_table(const BirdBlock& block)
{
    return block.type == BirdFile::BIRD_BLOCK_FIRMWARE && block.address == 0 &&
           block.ContentLength() >= VECTOR_WORDS * 4;
}

} // namespace

bool BirdFile::ReplaceVectorChecksum()
{
    for (const BirdBlock& block : blocks) {
        if (!_holds_vector_table(block))
            continue;
        uint8_t* words = block.Content();
        uint32_t check = _vector_check(words);
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n",
                 kUEI_RetrieveIntLE(words + (size_t)4 * CHECK_WORD), check);
        kUEI_StoreIntLE(words + (size_t)4 * CHECK_WORD, check);
    }
    return true;
}

bool BirdFile::ValidateVectorChecksum() const
{
    bool found = false;
    for (const BirdBlock& block : blocks) {
        if (!_holds_vector_table(block))
            continue;
        const uint8_t* words = block.Content();
        if (kUEI_RetrieveIntLE(words + (size_t)4 * CHECK_WORD) != _vector_check(words))
            return false;
        found = true;
    }
    return found;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t (&key)[4])
{
    uint8_t keyBytes[16];
    for (size_t i = 0; i < 4; i++)
        kUEI_StoreInt(keyBytes + 4 * i, key[i]);
    for (const BirdBlock& block : blocks) {
        if (block.type != BIRD_BLOCK_FIRMWARE)
            continue;
        uint8_t* content = block.Content();
        uint8_t previous = 0;
        for (uint32_t i = 0; i < block.ContentLength(); i++) {
            content[i] ^= keyBytes[i % 16] ^ previous;
            previous = content[i];
        }
    }
    return true;
}

bool BirdFile::ValidateData(const uint8_t* pattern, uint32_t length) const
{
    Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", filename.c_str());
    bool found = false;
    for (const BirdBlock& block : blocks) {
        if (block.type != BIRD_BLOCK_FIRMWARE || !pattern || length == 0 || length > block.length)
            continue;
        for (uint32_t i = 0; i <= block.length - length; i++) {
            if (memcmp(block.data + i, pattern, length) == 0) {
                Log::log(DEBUG_BirdFile, "Found data at %d\n", (int)i);
                found = true;
            }
        }
    }
    Log::log(DEBUG_BirdFile, "\n");
    return found;
}

/// Up to `maxLength` bytes of an identity field, ending early at a NUL or at
/// the end of a short payload.
std::string BirdFile::InfoField(unsigned index, size_t maxLength) const
{
    const BirdBlock* block = FirstBlock(BIRD_BLOCK_INFO);
    std::string text;
    if (!block)
        return text;
    for (size_t i = 0; i < maxLength && i < INFO_FIELD_SIZE; i++) {
        uint64_t at = (uint64_t)index * INFO_FIELD_SIZE + i;
        if (at >= block->length || block->data[at] == 0)
            break;
        text += (char)block->data[at];
    }
    return text;
}

bool BirdFile::ValidateModel(const char* model) const
{
    if (!FirstBlock(BIRD_BLOCK_INFO) || !model)
        return false;
    std::string fileModel = InfoField(INFO_MODEL, INFO_FIELD_SIZE);
    fileModel.erase(fileModel.find_last_not_of(' ') + 1);
    if (strncmp(fileModel.c_str(), model, strlen(model)) != 0)
        return false;
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", fileModel.c_str(),
             model);
    return true;
}

uint32_t BirdFile::GetSerialNumber() const
{
    return (uint32_t)strtoul(InfoField(INFO_SERIAL, 8).c_str(), nullptr, 16);
}

uint32_t BirdFile::GetBuild() const
{
    return (uint32_t)strtoul(InfoField(INFO_BUILD, 15).c_str(), nullptr, 10);
}

std::string BirdFile::GetVersion() const
{
    std::string text = InfoField(INFO_VERSION, 15);
    return text.substr(0, text.find(' '));
}

bool BirdFile::ValidateSerialNumber(uint32_t serial) const
{
    return GetSerialNumber() == serial;
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type) const
{
    printf("BIRDFILE: BLOCK DUMP [%s]\n", filename.c_str());
    std::string column;
    for (const BirdBlock& block : blocks) {
        if (block.type != type)
            continue;
        for (uint32_t i = 0; i < block.length; i++) {
            if (i % 50 == 0) {
                printf(" %s\r\n%06d: ", column.c_str(), (int)i);
                column.clear();
            }
            uint8_t byte = block.data[i];
            column += isprint(byte) ? (char)byte : ' ';
            printf("%02X ", byte);
        }
        printf(" %s\n", column.c_str());
        column.clear();
    }
    printf("\n");
    return true;
}

bool BirdFile::VerifyFile(const char* path)
{
    kFile* file = kFile_Open(path, kFileModeRead);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n",
                 path ? path : "");
        return false;
    }
    uint8_t header[BIRD_HEADER_SIZE];
    uint64_t count = 0;
    kErr err = kFile_Read(file, header, sizeof(header), &count);
    (void)kFile_Close(&file);
    return !err && VerifyHeader(header, count);
}

bool BirdFile::VerifyHeader(const uint8_t* bytes, uint64_t size)
{
    return bytes && size >= BIRD_HEADER_SIZE && memcmp(bytes, BIRD_FILE_SIGNATURE, 4) == 0 &&
           bytes[4] != 0 && bytes[5] != 0;
}

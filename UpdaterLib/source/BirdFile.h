#pragma once
// BIRD firmware files: the signature "bird", two version bytes and a zlib
// stream of typed blocks (loader and firmware images, the build's identity,
// the places where a unit's serial number goes). All integers in the file
// are big-endian.

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

/// The four bytes that begin every BIRD file.
inline constexpr char BIRD_FILE_SIGNATURE[] = "bird";
/// The version bytes files are written with; a loaded file's version is not
/// compared with them.
inline constexpr uint8_t BIRD_FILE_VERSION[2] = {0x01, 0x01};
/// Bits 0-4 of a block's first byte: its type.
inline constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
/// Bits 5-7 of a block's first byte: its flags, shifted down to 0-7.
inline constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;
inline constexpr unsigned BIRD_FILE_FLAG_SHIFT = 5;

/// One block of a loaded file, copied freely. The payload is not copied:
/// `data` points into the owning BirdFile's buffer, so a block is valid only
/// while that file lives (moving the file keeps it valid) and a change made
/// through one copy is seen through all.
struct BirdBlock {
    uint8_t type = 0;
    uint8_t flags = 0;
    uint32_t length = 0;     ///< payload length
    uint32_t address = 0;    ///< load address of a loader or firmware block, else 0
    uint8_t* data = nullptr; ///< first payload byte

    /// A payload shorter than 4 bytes has neither load address nor content.
    bool HasAddress() const { return length >= 4; }
    /// The image bytes after the load address; null when there are none.
    uint8_t* Content() const { return length > 4 ? data + 4 : nullptr; }
    uint32_t ContentLength() const { return length > 4 ? length - 4 : 0; }
};

class BirdFile
{
public:
    enum BLOCK_TYPE : uint8_t {
        BIRD_BLOCK_LOADER = 0,
        BIRD_BLOCK_FIRMWARE = 1,
        BIRD_BLOCK_SERIAL_OFFSETS = 2,
        BIRD_BLOCK_INFO = 4,
        BIRD_BLOCK_LOADER_START = 5,
    };

    /// An empty file object: no name, no blocks, no buffer.
    BirdFile() = default;
    /// Loads `filename`; throws std::runtime_error "Failed to load bird data"
    /// when Load fails. The name must not be empty.
    explicit BirdFile(const char* filename);
    ~BirdFile() = default;

    BirdFile(BirdFile&& other) noexcept;
    BirdFile& operator=(BirdFile&& other) noexcept;
    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;

    /// Reads, inflates and parses the named file. A block layout that does not
    /// match is logged and loads with the blocks that were parsed.
    bool Load();
    /// Load's work on a whole file's bytes already in memory (copied; the
    /// caller keeps `bytes`).
    bool LoadData(const uint8_t* bytes, uint64_t size);
    /// Inflates a zlib stream into a buffer of exactly 8 times its length,
    /// replacing the image and blocks held so far.
    bool DecompressData(const uint8_t* data, uint64_t length);
    /// Parses a block image; the blocks point into `image`, which must outlive
    /// them. True when the layout matched exactly.
    bool ScanBlocks(uint8_t* image, uint32_t length);

    /// Copies of every block of `type`, in file order.
    std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;
    /// Reads the two addresses of the first serial-number template block.
    bool FindSerialNumberOffsets();
    /// Writes `serial` into the firmware blocks at the template's addresses;
    /// true when at least one write happened.
    bool ReplaceSerialNumber(uint32_t serial);
    /// Recomputes the vector-table check word of firmware blocks loaded at 0.
    bool ReplaceVectorChecksum();
    /// Whether a firmware block loaded at 0 holds a vector table and every
    /// such table's check word is the one ReplaceVectorChecksum writes.
    bool ValidateVectorChecksum() const;
    /// Undoes the per-unit scrambling of the firmware blocks with the unit's
    /// fingerprint words.
    bool DecodeFirmwareBlocks(const uint32_t (&key)[4]);
    /// Whether the pattern occurs in a firmware block's payload (logged).
    bool ValidateData(const uint8_t* pattern, uint32_t length) const;
    /// Whether the identity block's model begins with `model`.
    bool ValidateModel(const char* model) const;

    /// Identity block fields; 0 or "" without an identity block.
    uint32_t GetSerialNumber() const;
    uint32_t GetBuild() const;
    std::string GetVersion() const;
    bool ValidateSerialNumber(uint32_t serial) const;

    /// Prints every block of `type` in hexadecimal to standard output.
    bool DumpBlocks(BLOCK_TYPE type) const;

    /// Quick header check of a file on disk: "bird" and two non-zero
    /// version bytes.
    static bool VerifyFile(const char* path);
    /// The same check on a file's first bytes in memory (`size` of them).
    static bool VerifyHeader(const uint8_t* bytes, uint64_t size);

    const std::string& GetFilename() const { return filename; }
    uint32_t GetSignature() const { return signature; }
    uint32_t GetFileVersion() const { return version; }
    uint32_t GetChecksum() const { return checksum; }
    /// The number of blocks actually parsed.
    uint32_t GetBlockCount() const { return blockCount; }
    /// Whether the last load's block scan matched the image exactly (no
    /// bytes left over, the block count the image reports).
    bool LayoutMatched() const { return layoutMatched; }
    /// Whether the file is whole enough to store or send: its layout matched
    /// and it holds at least one block of `holding`.
    bool ValidateLayout(BLOCK_TYPE holding = BIRD_BLOCK_FIRMWARE) const;
    const std::vector<BirdBlock>& GetBlocks() const { return blocks; }
    /// Set when the file holds a serial-number template block.
    bool IsSerialNumberTemplate() const { return serialNumberTemplate; }
    uint32_t GetSerialNumberAddress() const { return serialNumberAddress; }
    uint32_t GetDescriptorAddress() const { return descriptorAddress; }
    /// Valid bytes of the inflated image.
    uint32_t GetDataLength() const { return dataLength; }

private:
    void DiscardBlocks();
    void DiscardImage();
    void ResetAll();
    const BirdBlock* FirstBlock(uint8_t type) const;
    std::string InfoField(unsigned index, size_t maxLength) const;

    std::string filename;
    uint32_t signature = 0;
    uint32_t version = 0;
    uint32_t checksum = 0;
    uint32_t blockCount = 0;
    std::vector<BirdBlock> blocks;
    bool serialNumberTemplate = false;
    uint32_t serialNumberAddress = 0;
    uint32_t descriptorAddress = 0;
    std::unique_ptr<uint8_t[]> buffer;
    uint32_t dataLength = 0;
    bool layoutMatched = false;
};

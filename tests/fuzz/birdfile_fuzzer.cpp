// Feeds arbitrary bytes to the BIRD file parser and runs every consumer of
// the blocks over what it parsed. The first byte picks the entry point:
//   0  the rest is a block image, scanned in a buffer of exactly its size;
//   1  the rest is a whole file (header and zlib stream);
//   2  the rest is a block image, wrapped in a sound header and zlib stream
//      so that it reaches the scan through the whole load.

#include "UpdaterLib/source/BirdFile.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include <memory>
#include <utility>
#include <vector>

static void sExercise(BirdFile& file)
{
    static const uint32_t KEY[4] = {0x01020304, 0xA5A5A5A5, 0, 0xFFFFFFFF};
    static const uint8_t PATTERN[] = {0x12, 0x34};
    file.FindSerialNumberOffsets();
    file.ReplaceSerialNumber(0x12345678);
    file.ReplaceVectorChecksum();
    file.DecodeFirmwareBlocks(KEY);
    file.ValidateData(PATTERN, sizeof(PATTERN));
    file.ValidateModel("PodUsb");
    file.ValidateSerialNumber(file.GetSerialNumber());
    file.GetBuild();
    file.GetVersion();
    for (BirdBlock block : file.FindBlocks(BirdFile::BIRD_BLOCK_LOADER_START))
        (void)block.HasAddress();
}

/// Every block and the checksum must lie inside the image.
static void sCheckBounds(const BirdFile& file, const uint8_t* image, size_t size)
{
    for (const BirdBlock& block : file.GetBlocks()) {
        if (block.data < image + 4 || block.length > (size_t)(image + size - block.data))
            abort();
        if (!block.HasAddress() && (block.address != 0 || block.Content() != nullptr))
            abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 0x100000)
        return 0;
    uint8_t mode = data[0] % 3;
    data++;
    size--;
    BirdFile file;
    if (mode == 0) {
        std::unique_ptr<uint8_t[]> image(new uint8_t[size ? size : 1]);
        memcpy(image.get(), data, size);
        file.ScanBlocks(image.get(), (uint32_t)size);
        sCheckBounds(file, image.get(), size);
        sExercise(file);
        return 0;
    }
    if (mode == 1) {
        file.LoadData(data, size);
    } else {
        uLongf length = compressBound(size);
        std::vector<uint8_t> bytes(6 + length);
        memcpy(bytes.data(), "bird\x01\x01", 6);
        if (compress(bytes.data() + 6, &length, data, size) != Z_OK)
            abort();
        if (file.LoadData(bytes.data(), 6 + length) && file.GetDataLength() != size)
            abort();
    }
    BirdFile moved(std::move(file));
    sExercise(moved);
    return 0;
}

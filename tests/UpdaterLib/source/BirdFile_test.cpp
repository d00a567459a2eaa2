#include "UpdaterLib/source/BirdFile.h"

#include "tests/UpdaterLib/source/bird_fixture.h"
#include "tests/device/core/test_paths.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

using namespace bird_fixture;

class BirdFileTest : public ScratchDirTest
{
protected:
    std::string Store(const Bytes& bytes, const char* name = "test.bird")
    {
        std::string path = Path(name);
        Write(path, bytes);
        return path;
    }
    BirdFile LoadImage(const std::vector<Block>& blocks)
    {
        return BirdFile(Store(File(Image(blocks))).c_str());
    }
    /// A buffer of exactly the image's size, so that AddressSanitizer sees
    /// any read past its end.
    static std::unique_ptr<uint8_t[]> Exact(const Bytes& bytes)
    {
        std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size() ? bytes.size() : 1]);
        if (!bytes.empty())
            memcpy(copy.get(), bytes.data(), bytes.size());
        return copy;
    }
    static std::string ErrorOf(const std::string& path)
    {
        try {
            BirdFile file(path.c_str());
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "";
    }

    LogCapture log{DEBUG_BirdFile};
};

TEST_F(BirdFileTest, LoadsEveryBlockInFileOrder)
{
    std::vector<Block> blocks = {
        Loader(0x20000000, Counting(10), 3),
        Firmware(0x8000, Counting(6, 0x40), 7),
        Identity("1234", "1.2.3 beta", "0000ABCD", "PodUsb"),
        {3, {9, 9}},
        {5, {0x20, 0x00, 0x04, 0x00}},
    };
    BirdFile file = LoadImage(blocks);
    ASSERT_EQ(file.GetBlockCount(), 5u);
    const std::vector<BirdBlock>& got = file.GetBlocks();
    EXPECT_EQ(got[0].type, BirdFile::BIRD_BLOCK_LOADER);
    EXPECT_EQ(got[0].flags, 3);
    EXPECT_EQ(got[0].length, 14u);
    EXPECT_EQ(got[0].address, 0x20000000u);
    EXPECT_EQ(got[1].flags, 7);
    EXPECT_EQ(got[1].address, 0x8000u);
    EXPECT_EQ(got[1].ContentLength(), 6u);
    EXPECT_EQ(got[1].Content()[0], 0x40);
    EXPECT_EQ(got[2].address, 0u) << "only images have a load address";
    EXPECT_EQ(got[3].type, 3);
    EXPECT_EQ(got[4].type, BirdFile::BIRD_BLOCK_LOADER_START);
    EXPECT_EQ(file.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE).size(), 1u);
    EXPECT_TRUE(file.FindBlocks(BirdFile::BIRD_BLOCK_SERIAL_OFFSETS).empty());
    EXPECT_FALSE(file.IsSerialNumberTemplate());
    EXPECT_EQ(file.GetSignature(), 0x62697264u);
    EXPECT_EQ(file.GetFileVersion(), 0x0101u);
    EXPECT_EQ(file.GetChecksum(), 0x01020304u);
    EXPECT_EQ(file.GetBuild(), 1234u);
    EXPECT_EQ(file.GetVersion(), "1.2.3");
    EXPECT_EQ(file.GetSerialNumber(), 0xABCDu);

    std::string text = log.Text();
    EXPECT_EQ(text.find("BIRDFILE: Loading File [" + Path("test.bird") + "]\n"), 0u);
    EXPECT_TRUE(log.Contains("BIRDFILE:\t\t File reports 5 blocks\n"
                             "BIRDFILE: Bird file objects:\n"
                             "BIRDFILE: \t\tType Flags Length\n"
                             "BIRDFILE:\t\t 00   03   14\n"
                             "BIRDFILE:\t\t 01   07   10\n"
                             "BIRDFILE:\t\t 04   00   64\n"
                             "BIRDFILE:\t\t \t[1234            ]\n"
                             "BIRDFILE:\t\t \t[1.2.3 beta      ]\n"
                             "BIRDFILE:\t\t \t[0000ABCD        ]\n"
                             "BIRDFILE:\t\t \t[PodUsb          ]\n"
                             "BIRDFILE:\t\t 03   00   2\n"
                             "BIRDFILE:\t\t 05   00   4\n"
                             "BIRDFILE:\t\t File checksum 01020304\n"))
        << text;
    EXPECT_FALSE(log.Contains("mismatch"));
}

TEST_F(BirdFileTest, FilesThatCannotBeReadOrInflatedThrow)
{
    EXPECT_EQ(ErrorOf(Path("missing.bird")), "Failed to load bird data");
    EXPECT_TRUE(log.Contains("BIRDFILE: BIRD file not found [" + Path("missing.bird") + "]\n"));
    EXPECT_EQ(ErrorOf(dir), "Failed to load bird data") << "a directory is no file";

    Bytes file = File(Image({}));
    EXPECT_EQ(ErrorOf(Store(Bytes(file.begin(), file.begin() + 6))), "Failed to load bird data");
    EXPECT_EQ(ErrorOf(Store(Bytes(), "empty.bird")), "Failed to load bird data");

    // Zeros inflate far beyond eight times their compressed size.
    log.Clear();
    Bytes zeros = File(Bytes(100000, 0));
    ASSERT_LT(zeros.size() * 8, 100000u);
    EXPECT_EQ(ErrorOf(Store(zeros)), "Failed to load bird data");
    EXPECT_TRUE(log.Contains("BIRDFILE: Error (-5) decompressing bird file.\n")) << log.Text();

    log.Clear();
    Bytes corrupt = File(Image({Firmware(0, Counting(100))}));
    corrupt[6] ^= 0xFF;
    EXPECT_EQ(ErrorOf(Store(corrupt)), "Failed to load bird data");
    EXPECT_TRUE(log.Contains("BIRDFILE: Error (-3) decompressing bird file.\n")) << log.Text();
}

TEST_F(BirdFileTest, AnEmptyNameIsAProgrammingError)
{
    // Asserted in debug builds; a release build cannot find the file.
    EXPECT_DEBUG_DEATH(
        {
            try {
                BirdFile file("");
            } catch (const std::runtime_error&) {
            }
        },
        "this->filename.length\\(\\) > 0");
}

TEST_F(BirdFileTest, LayoutMismatchesAreLoggedAndTheFileStillLoads)
{
    std::vector<Block> two = {Firmware(0, Counting(8)), Loader(0, Counting(3))};
    EXPECT_TRUE(LoadImage(two).ValidateLayout());
    EXPECT_FALSE(LoadImage({Loader(0, Counting(3))}).ValidateLayout()) << "no firmware";
    BirdFile file(Store(File(Image(two, 3))).c_str());
    EXPECT_EQ(file.GetBlockCount(), 2u);
    EXPECT_FALSE(file.ValidateLayout());
    EXPECT_TRUE(log.Contains("BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n"));

    log.Clear();
    Bytes image = Image(two);
    image.insert(image.end(), {1, 2, 3});
    // The checksum and the bytes after it are taken for one more block
    // header, whose payload does not fit.
    BirdFile extra(Store(File(image)).c_str());
    EXPECT_EQ(extra.GetBlockCount(), 2u);
    EXPECT_EQ(extra.GetChecksum(), 0u);
    EXPECT_TRUE(
        log.Contains("BIRDFILE: Block parsing mismatch in data size. (7 bytes remaining)\n"))
        << log.Text();
}

TEST_F(BirdFileTest, ScanNeverReadsPastTheImage)
{
    BirdFile file;
    Bytes good = Image({Firmware(0x100, Counting(8)), SerialTemplate(0x104, 0)});

    // Without its checksum the image is four bytes short: nothing is read.
    Bytes noChecksum(good.begin(), good.end() - 4);
    auto exact = Exact(noChecksum);
    EXPECT_FALSE(file.ScanBlocks(exact.get(), (uint32_t)noChecksum.size()));
    EXPECT_EQ(file.GetBlockCount(), 2u);
    EXPECT_EQ(file.GetChecksum(), 0u);
    EXPECT_TRUE(
        log.Contains("BIRDFILE: Block parsing mismatch in data size. (-4 bytes remaining)\n"));

    // Every cut inside a block drops that block and leaves the rest alone.
    for (size_t cut = 0; cut < good.size(); cut++) {
        Bytes part(good.begin(), good.begin() + cut);
        auto bytes = Exact(part);
        EXPECT_FALSE(file.ScanBlocks(bytes.get(), (uint32_t)cut)) << cut;
        EXPECT_LE(file.GetBlockCount(), 2u);
        for (const BirdBlock& block : file.GetBlocks())
            EXPECT_LE(block.data + block.length, bytes.get() + cut);
        file.FindSerialNumberOffsets();
        file.ReplaceSerialNumber(0x12345678);
        file.ReplaceVectorChecksum();
        file.GetSerialNumber();
    }

    // A payload length that would wrap a 32-bit sum is refused, not trusted.
    Bytes huge = {0, 0, 0, 1, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0xBB, 0xCC, 0xDD};
    auto hugeBytes = Exact(huge);
    log.Clear();
    EXPECT_FALSE(file.ScanBlocks(hugeBytes.get(), (uint32_t)huge.size()));
    EXPECT_EQ(file.GetBlockCount(), 0u);
    EXPECT_EQ(file.GetChecksum(), 0u) << "a block's bytes are no checksum";
    EXPECT_TRUE(
        log.Contains("BIRDFILE: Block parsing mismatch in data size. (9 bytes remaining)\n"));
    EXPECT_TRUE(log.Contains("(0 != 1)"));
}

TEST_F(BirdFileTest, ShortPayloadsHaveNoAddressOrContent)
{
    BirdFile file =
        LoadImage({Firmware(0, {}), {1, {1, 2, 3}}, {0, {}}, {2, {0, 0, 1, 0, 0x12, 0x34}}});
    ASSERT_EQ(file.GetBlockCount(), 4u);
    const BirdBlock& shortBlock = file.GetBlocks()[1];
    EXPECT_FALSE(shortBlock.HasAddress());
    EXPECT_EQ(shortBlock.address, 0u);
    EXPECT_EQ(shortBlock.ContentLength(), 0u);
    EXPECT_EQ(shortBlock.Content(), nullptr);
    EXPECT_TRUE(file.GetBlocks()[0].HasAddress());
    EXPECT_EQ(file.GetBlocks()[0].ContentLength(), 0u);

    // The descriptor address runs past the template's payload: the missing
    // bytes read as zero.
    EXPECT_EQ(file.GetSerialNumberAddress(), 0x100u);
    EXPECT_EQ(file.GetDescriptorAddress(), 0x12340000u);
    EXPECT_FALSE(file.ReplaceSerialNumber(1));
    uint32_t key[4] = {1, 2, 3, 4};
    EXPECT_TRUE(file.DecodeFirmwareBlocks(key));
    EXPECT_EQ(shortBlock.data[0], 1) << "a block without content is not decoded";
    EXPECT_TRUE(file.ReplaceVectorChecksum());
}

TEST_F(BirdFileTest, SerialNumberGoesIntoTheFirmwareAsALittleEndianWord)
{
    BirdFile file = LoadImage({SerialTemplate(0x100, 0), Firmware(0, Counting(0x200))});
    EXPECT_TRUE(file.IsSerialNumberTemplate());
    EXPECT_EQ(file.GetSerialNumberAddress(), 0x100u);
    std::string offsets = "BIRDFILE: Offsets: Serial number: 256, Descriptor: 0\n";
    std::string text = log.Text();
    EXPECT_NE(text.find(offsets + offsets), std::string::npos) << "read once more for a template";

    EXPECT_TRUE(file.ReplaceSerialNumber(0x1234ABCD));
    const uint8_t* payload = file.GetBlocks()[1].data;
    EXPECT_EQ(payload[0x104], 0xCD);
    EXPECT_EQ(payload[0x105], 0xAB);
    EXPECT_EQ(payload[0x106], 0x34);
    EXPECT_EQ(payload[0x107], 0x12);
    EXPECT_EQ(payload[0x103], 0xFF) << "content byte 0xFF is untouched";
    EXPECT_EQ(payload[0x108], 0x04);
    EXPECT_TRUE(log.Contains("BIRDFILE: updating serial number from 03020100 ==> 1234ABCD\n"));

    // Loaded elsewhere, the block does not hold the address: nothing is
    // written and the result says so.
    BirdFile away = LoadImage({SerialTemplate(0x100, 0), Firmware(0x400, Counting(0x200))});
    EXPECT_FALSE(away.ReplaceSerialNumber(0x1234ABCD));
    EXPECT_EQ(away.GetBlocks()[1].data[0x104], 0x00);
}

TEST_F(BirdFileTest, SerialNumberWordMustLieWhollyInsideTheContent)
{
    // 16 content bytes at 0x1000: the last whole word starts at 0x100C.
    for (uint32_t address : {0x100Cu, 0x100Du, 0x0FFEu, 0xFFFFFFFEu}) {
        BirdFile file = LoadImage({SerialTemplate(address, 0), Firmware(0x1000, Bytes(16, 0))});
        bool inside = address == 0x100C;
        EXPECT_EQ(file.ReplaceSerialNumber(0xAABBCCDD), inside) << std::hex << address;
        if (inside) {
            EXPECT_EQ(file.GetBlocks()[1].Content()[15], 0xAA);
        }
    }
    // A block near the top of the address space must not wrap the bound.
    BirdFile top = LoadImage({SerialTemplate(0xFFFFFFFE, 0), Firmware(0xFFFFFFF0, Bytes(16, 0))});
    EXPECT_FALSE(top.ReplaceSerialNumber(1));
}

TEST_F(BirdFileTest, SerialNumberTextGoesIntoTheDescriptorsLowBytes)
{
    Bytes content(0x40, 0xEE);
    BirdFile file = LoadImage({SerialTemplate(0, 0x2010), Firmware(0x2000, content)});
    EXPECT_TRUE(file.ReplaceSerialNumber(0x00C0FFEE));
    const uint8_t* text = file.GetBlocks()[1].Content() + 0x10;
    const char digits[] = "00C0FFEE";
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(text[2 * i], (uint8_t)digits[i]);
        EXPECT_EQ(text[2 * i + 1], 0xEE) << "high bytes are left alone";
    }
    EXPECT_EQ(text[16], 0xEE);

    // Both addresses, each in its own block.
    BirdFile both = LoadImage({SerialTemplate(0x10, 0x2000), Firmware(0, Bytes(0x20, 0)),
                               Firmware(0x2000, Bytes(0x10, 0))});
    EXPECT_TRUE(both.ReplaceSerialNumber(0x11223344));
    EXPECT_EQ(both.GetBlocks()[1].Content()[0x10], 0x44);
    EXPECT_EQ(both.GetBlocks()[2].Content()[14], '4');

    // Only a descriptor address, and no block holds its 16 bytes.
    BirdFile none = LoadImage({SerialTemplate(0, 0x2008), Firmware(0x2000, Bytes(0x10, 0))});
    EXPECT_FALSE(none.ReplaceSerialNumber(1));
    BirdFile noFirmware = LoadImage({SerialTemplate(0x10, 0x20), Loader(0, Bytes(0x40, 0))});
    EXPECT_FALSE(noFirmware.ReplaceSerialNumber(1));
}

/// The update server's scrambling, the inverse of DecodeFirmwareBlocks.
static Bytes Scramble(const Bytes& plain, const uint8_t key[16])
{
    Bytes out(plain.size());
    uint8_t previous = 0;
    for (size_t i = 0; i < plain.size(); i++) {
        out[i] = plain[i] ^ key[i % 16] ^ previous;
        previous = plain[i];
    }
    return out;
}

TEST_F(BirdFileTest, DecodingUndoesTheScramblingBlockByBlock)
{
    uint32_t key[4] = {0x01020304, 0xA0B0C0D0, 0xDEADBEEF, 0x00FF00FF};
    uint8_t keyBytes[16] = {0x01, 0x02, 0x03, 0x04, 0xA0, 0xB0, 0xC0, 0xD0,
                            0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0xFF, 0x00, 0xFF};
    Bytes first = Counting(40, 7);
    Bytes second = Counting(21, 200);
    BirdFile file = LoadImage({Firmware(0, Scramble(first, keyBytes)), Loader(0, first),
                               Firmware(0x1000, Scramble(second, keyBytes))});
    EXPECT_TRUE(file.DecodeFirmwareBlocks(key));
    const std::vector<BirdBlock>& blocks = file.GetBlocks();
    EXPECT_EQ(Bytes(blocks[0].Content(), blocks[0].Content() + 40), first);
    EXPECT_EQ(Bytes(blocks[2].Content(), blocks[2].Content() + 21), second);
    EXPECT_EQ(blocks[2].address, 0x1000u);
    EXPECT_EQ(blocks[2].data[2], 0x10) << "the address bytes are not decoded";

    uint32_t zero[4] = {0, 0, 0, 0};
    BirdFile plain = LoadImage({Firmware(0, {5, 3, 3, 0xF0})});
    EXPECT_TRUE(plain.DecodeFirmwareBlocks(zero));
    const uint8_t* decoded = plain.GetBlocks()[0].Content();
    EXPECT_EQ(decoded[0], 5);
    EXPECT_EQ(decoded[1], 3 ^ 5);
    EXPECT_EQ(decoded[2], 3 ^ (3 ^ 5));
    EXPECT_EQ(decoded[3], 0xF0 ^ 5);
}

TEST_F(BirdFileTest, ModelMatchesByTheGivenNamesLength)
{
    BirdFile usb = LoadImage({Identity("1", "1.0", "00000001", "PodUsb")});
    EXPECT_TRUE(usb.ValidateModel("PodUsb"));
    EXPECT_TRUE(log.Contains("Model matches model number ([PodUsb] == [PodUsb])\n"));
    EXPECT_FALSE(usb.ValidateModel("PodNet"));
    EXPECT_FALSE(usb.ValidateModel("PodUsbX"));
    EXPECT_FALSE(usb.ValidateModel(nullptr));

    BirdFile longer = LoadImage({Identity("1", "1.0", "00000001", "PodUsbRev2")});
    EXPECT_TRUE(longer.ValidateModel("PodUsb"));
    BirdFile net = LoadImage({Identity("1", "1.0", "00000001", "PodNet")});
    EXPECT_FALSE(net.ValidateModel("PodUsb"));

    BirdFile anonymous = LoadImage({Firmware(0, Bytes(4, 0))});
    EXPECT_FALSE(anonymous.ValidateModel("PodUsb"));
    EXPECT_EQ(anonymous.GetSerialNumber(), 0u);
    EXPECT_EQ(anonymous.GetBuild(), 0u);
    EXPECT_EQ(anonymous.GetVersion(), "");
}

TEST_F(BirdFileTest, IdentityComesFromTheFirstIdentityBlock)
{
    BirdFile file = LoadImage({Identity("77", "2.9.29", "DEADDEADXYZ", "HubQuad"),
                               Identity("88", "9.9.9", "00000001", "PodNet")});
    EXPECT_EQ(file.GetBuild(), 77u);
    EXPECT_EQ(file.GetVersion(), "2.9.29");
    EXPECT_EQ(file.GetSerialNumber(), 0xDEADDEADu);
    EXPECT_TRUE(file.ValidateSerialNumber(0xDEADDEAD));
    EXPECT_FALSE(file.ValidateSerialNumber(1));
    EXPECT_TRUE(file.ValidateModel("HubQuad"));
    EXPECT_FALSE(file.ValidateModel("PodNet"));

    // Fields beyond a short identity payload read as empty.
    Block shortInfo = Identity("4321", "1.0.0", "0000ABCD", "PodUsb");
    shortInfo.payload.resize(36);
    BirdFile cut = LoadImage({shortInfo});
    EXPECT_EQ(cut.GetBuild(), 4321u);
    EXPECT_EQ(cut.GetVersion(), "1.0.0");
    EXPECT_EQ(cut.GetSerialNumber(), 0u);
    EXPECT_FALSE(cut.ValidateModel("PodUsb"));
    EXPECT_TRUE(log.Contains("BIRDFILE:\t\t \t[            0000]\n"));
    EXPECT_TRUE(log.Contains("BIRDFILE:\t\t \t[                ]\n"));
}

TEST_F(BirdFileTest, VerifyFileChecksOnlyTheHeader)
{
    Bytes image = Image({Firmware(0, Counting(4))});
    EXPECT_TRUE(BirdFile::VerifyFile(Store(File(image)).c_str()));

    std::string wrongSignature = Store(File(image, "BIRD"), "sig.bird");
    EXPECT_FALSE(BirdFile::VerifyFile(wrongSignature.c_str()));
    BirdFile loads(wrongSignature.c_str());
    EXPECT_EQ(loads.GetBlockCount(), 1u) << "the constructor does not look at the signature";

    EXPECT_FALSE(BirdFile::VerifyFile(Store(File(image, "bird", 1, 0), "v10.bird").c_str()));
    EXPECT_FALSE(BirdFile::VerifyFile(Store(File(image, "bird", 0, 1), "v01.bird").c_str()));
    EXPECT_FALSE(BirdFile::VerifyFile(Store({'b', 'i', 'r', 'd', 1}, "short.bird").c_str()));

    log.Clear();
    EXPECT_FALSE(BirdFile::VerifyFile(Path("none").c_str()));
    EXPECT_EQ(log.Text(), "BIRDFILE: Error - cannot open bird file: '" + Path("none") + "'\n");
}

TEST(BirdFileHeader, VerifyHeaderChecksBytesInMemoryAsVerifyFileDoes)
{
    const uint8_t sound[] = {'b', 'i', 'r', 'd', 1, 1};
    const uint8_t zeroMinor[] = {'b', 'i', 'r', 'd', 1, 0};
    const uint8_t zeroMajor[] = {'b', 'i', 'r', 'd', 0, 1};
    const uint8_t upper[] = {'B', 'I', 'R', 'D', 1, 1};
    EXPECT_TRUE(BirdFile::VerifyHeader(sound, sizeof(sound)));
    EXPECT_FALSE(BirdFile::VerifyHeader(sound, 5)) << "a header cut short";
    EXPECT_FALSE(BirdFile::VerifyHeader(zeroMinor, sizeof(zeroMinor)));
    EXPECT_FALSE(BirdFile::VerifyHeader(zeroMajor, sizeof(zeroMajor)));
    EXPECT_FALSE(BirdFile::VerifyHeader(upper, sizeof(upper)));
    EXPECT_FALSE(BirdFile::VerifyHeader(nullptr, 6));
}

TEST_F(BirdFileTest, MovingKeepsThePayloadPointersValid)
{
    BirdFile loaded = LoadImage({Firmware(0x10, Counting(64)), Identity("5", "1", "2", "3")});
    const uint8_t* payload = loaded.GetBlocks()[0].data;
    std::string name = loaded.GetFilename();

    BirdFile moved(std::move(loaded));
    EXPECT_EQ(moved.GetBlocks()[0].data, payload);
    EXPECT_EQ(moved.GetFilename(), name);
    EXPECT_EQ(moved.GetBuild(), 5u);
    EXPECT_EQ(loaded.GetBlockCount(), 0u);
    EXPECT_TRUE(loaded.GetBlocks().empty());
    EXPECT_EQ(loaded.GetFilename(), "");

    BirdFile target;
    target = std::move(moved);
    ASSERT_EQ(target.GetBlockCount(), 2u);
    EXPECT_EQ(target.GetBlocks()[0].data, payload);
    EXPECT_EQ(target.GetBlocks()[0].data[4], 0);
    EXPECT_EQ(target.GetBlocks()[0].data[67], 63);
    EXPECT_EQ(moved.GetBlockCount(), 0u);
}

TEST_F(BirdFileTest, DataPatternsAreSoughtInFirmwarePayloads)
{
    BirdFile file = LoadImage({Loader(0, {0xAB, 0xCD}), Firmware(0x0000ABCD, {0xAB, 0xCD, 0xAB})});
    const uint8_t pattern[] = {0xAB, 0xCD};
    EXPECT_TRUE(file.ValidateData(pattern, 2));
    EXPECT_TRUE(log.Contains("BIRDFILE: looking for data pattern in [" + Path("test.bird") +
                             "]\nFound data at 2\nFound data at 4\n\n"))
        << log.Text();
    EXPECT_FALSE(log.Contains("Found data at 0"));
    EXPECT_FALSE(file.ValidateData(pattern, 0));
    Bytes longer(8, 0xAB);
    EXPECT_FALSE(file.ValidateData(longer.data(), (uint32_t)longer.size()));
    EXPECT_FALSE(file.ValidateData(nullptr, 2));
}

TEST_F(BirdFileTest, VectorChecksumIsTheNegatedSumOfTheOtherWords)
{
    Bytes vectors = Counting(40);
    BirdFile file =
        LoadImage({Firmware(0, vectors), Firmware(0x100, vectors), Firmware(0, Counting(31))});
    EXPECT_FALSE(file.ValidateVectorChecksum());
    EXPECT_TRUE(file.ReplaceVectorChecksum());
    EXPECT_TRUE(file.ValidateVectorChecksum());
    EXPECT_FALSE(LoadImage({Firmware(0x100, vectors)}).ValidateVectorChecksum())
        << "no vector table at 0";
    auto word = [](const uint8_t* p, int k) {
        return (uint32_t)p[4 * k] | p[4 * k + 1] << 8 | p[4 * k + 2] << 16 |
               (uint32_t)p[4 * k + 3] << 24;
    };
    const uint8_t* at0 = file.GetBlocks()[0].Content();
    uint32_t sum =
        word(at0, 0) + word(at0, 1) + word(at0, 2) + word(at0, 3) + word(at0, 4) + word(at0, 6);
    EXPECT_EQ(word(at0, 7), 0u - sum);
    EXPECT_EQ(at0[32], 32) << "the words after the check word stay";
    EXPECT_EQ(file.GetBlocks()[1].Content()[28], 28);
    EXPECT_EQ(file.GetBlocks()[2].Content()[28], 28);
    EXPECT_TRUE(log.Contains("BIRDFILE: updating vector checksum from 1F1E1D1C ==> "));
}

TEST_F(BirdFileTest, DumpPrintsPayloadsInRowsOfFifty)
{
    BirdFile file = LoadImage({Loader(0x41424344, Bytes(47, 0x01))});
    testing::internal::CaptureStdout();
    EXPECT_TRUE(file.DumpBlocks(BirdFile::BIRD_BLOCK_LOADER));
    std::string out = testing::internal::GetCapturedStdout();
    std::string row0 = "41 42 43 44 ";
    for (int i = 0; i < 46; i++)
        row0 += "01 ";
    // Each row's text column follows the next row's marker; 0x01 shows as
    // a space.
    std::string expected = "BIRDFILE: BLOCK DUMP [" + Path("test.bird") + "]\n" +
                           " \r\n000000: " + row0 + " ABCD" + std::string(46, ' ') +
                           "\r\n000050: 01 " + "  \n" + "\n";
    EXPECT_EQ(out, expected);
}

// The same checks on files made by the project's BIRD tool, which the
// simulators and the update server serve too.
class BirdFileFromToolTest : public BirdFileTest
{
protected:
    std::string Build(const std::string& name, const std::string& options)
    {
        std::string path = Path(name);
        std::string command = "python3 " UPDATER_TEST_SOURCE_DIR "/tools/birdtool.py build -o " +
                              path + " " + options + " >/dev/null";
        EXPECT_EQ(system(command.c_str()), 0) << command;
        return path;
    }
    std::string Extract(const std::string& bird, const std::string& options)
    {
        std::string path = bird + ".out";
        std::string command = "python3 " UPDATER_TEST_SOURCE_DIR "/tools/birdtool.py extract " +
                              bird + " " + options + " -o " + path + " >/dev/null";
        EXPECT_EQ(system(command.c_str()), 0) << command;
        FILE* f = fopen(path.c_str(), "rb");
        std::string bytes;
        for (int c; f && (c = fgetc(f)) != EOF;)
            bytes += (char)c;
        if (f)
            fclose(f);
        return bytes;
    }
    const std::string unit = "--identity build=42,version=2.1.0,serial=0000ABCD,model=PodUsb "
                             "--loader address=0x20000000,pattern=counter,size=100,flags=2 "
                             "--firmware address=0,pattern=random,size=600,seed=1 ";
};

TEST_F(BirdFileFromToolTest, AToolMadeTemplateLoadsWhole)
{
    std::string path = Build("t.bird", unit + "--serial-template serial_address=0x100,"
                                              "descriptor_address=0x200 --loader-start 0x20000400");
    EXPECT_TRUE(BirdFile::VerifyFile(path.c_str()));
    BirdFile file(path.c_str());
    ASSERT_EQ(file.GetBlockCount(), 5u);
    EXPECT_FALSE(log.Contains("mismatch")) << log.Text();
    EXPECT_TRUE(file.IsSerialNumberTemplate());
    EXPECT_EQ(file.GetSerialNumberAddress(), 0x100u);
    EXPECT_EQ(file.GetDescriptorAddress(), 0x200u);
    EXPECT_EQ(file.GetBuild(), 42u);
    EXPECT_EQ(file.GetVersion(), "2.1.0");
    EXPECT_EQ(file.GetSerialNumber(), 0xABCDu);
    EXPECT_TRUE(file.ValidateModel("PodUsb"));
    std::vector<BirdBlock> loaders = file.FindBlocks(BirdFile::BIRD_BLOCK_LOADER);
    ASSERT_EQ(loaders.size(), 1u);
    EXPECT_EQ(loaders[0].flags, 2);
    EXPECT_EQ(loaders[0].address, 0x20000000u);
    EXPECT_EQ(loaders[0].ContentLength(), 100u);
    ASSERT_EQ(file.FindBlocks(BirdFile::BIRD_BLOCK_LOADER_START).size(), 1u);

    // The tool's checksum is the byte sum of the image in front of it.
    uint32_t sum = 5;
    for (const BirdBlock& block : file.GetBlocks()) {
        sum += (uint32_t)(block.type | block.flags << 5);
        for (int shift = 0; shift < 32; shift += 8)
            sum += (block.length >> shift) & 0xFF;
        for (uint32_t i = 0; i < block.length; i++)
            sum += block.data[i];
    }
    EXPECT_EQ(file.GetChecksum(), sum);

    EXPECT_TRUE(file.ReplaceSerialNumber(0x00C0FFEE));
    const uint8_t* content = file.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE)[0].Content();
    EXPECT_EQ(content[0x100], 0xEE);
    EXPECT_EQ(content[0x103], 0x00);
    EXPECT_EQ(content[0x200 + 14], 'E');
}

TEST_F(BirdFileFromToolTest, MalformedToolFilesAreLoggedOrRefused)
{
    struct Case {
        const char* options;
        const char* logged;
        bool loads;
        uint32_t blocks;
    } cases[] = {
        {"--block-count 5", "mismatch in number of blocks. (3 != 5)", true, 3},
        {"--trailing 3", "mismatch in data size. (7 bytes remaining)", true, 3},
        {"--truncate-block 10", "mismatch in data size. (15 bytes remaining)", true, 2},
        {"--checksum-bytes 2", "mismatch in data size. (-2 bytes remaining)", true, 3},
        {"--overinflate", "BIRDFILE: Error (-5) decompressing bird file.", false, 0},
        {"--corrupt-zlib header", "BIRDFILE: Error (-3) decompressing bird file.", false, 0},
        {"--corrupt-zlib adler", "BIRDFILE: Error (-3) decompressing bird file.", false, 0},
        {"--header-only", "BIRDFILE: Loading File", false, 0},
    };
    int n = 0;
    for (const Case& c : cases) {
        log.Clear();
        std::string path = Build("m" + std::to_string(n++) + ".bird", unit + c.options);
        if (c.loads) {
            BirdFile file(path.c_str());
            EXPECT_EQ(file.GetBlockCount(), c.blocks) << c.options;
        } else {
            EXPECT_EQ(ErrorOf(path), "Failed to load bird data") << c.options;
        }
        EXPECT_TRUE(log.Contains(c.logged)) << c.options << "\n" << log.Text();
    }

    std::string renamed = Build("sig.bird", unit + "--signature BIRD");
    EXPECT_FALSE(BirdFile::VerifyFile(renamed.c_str()));
    EXPECT_EQ(BirdFile(renamed.c_str()).GetBlockCount(), 3u);
    EXPECT_FALSE(BirdFile::VerifyFile(Build("v.bird", unit + "--version-bytes 0100").c_str()));
}

TEST_F(BirdFileFromToolTest, DecodingRestoresTheToolsPlainImage)
{
    std::string plain = Build("plain.bird", unit);
    std::string scrambled =
        Build("scrambled.bird", unit + "--scramble-key 01020304,A0B0C0D0,DEADBEEF,00FF00FF");
    BirdFile file(scrambled.c_str());
    uint32_t key[4] = {0x01020304, 0xA0B0C0D0, 0xDEADBEEF, 0x00FF00FF};
    EXPECT_TRUE(file.DecodeFirmwareBlocks(key));
    const BirdBlock firmware = file.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE)[0];
    std::string expected = Extract(plain, "--type firmware --content");
    ASSERT_EQ(expected.size(), 600u);
    EXPECT_EQ(std::string((const char*)firmware.Content(), firmware.ContentLength()), expected);
}

#include "UpdaterLib/source/SDPLoader.h"

#include "device/core/kLog.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <deque>
#include <stdio.h>
#include <string>

namespace
{

typedef std::vector<uint8_t> Bytes;

// Scripted transport: every readData call takes the next answer (none when
// the script has run out); answers carry the serial framing (4 status bytes,
// then the data word).
class ScriptedTransport : public SDPLoader_Interface
{
public:
    ScriptedTransport(std::vector<Bytes>* written, bool* destroyed)
        : written(written), destroyed(destroyed)
    {
    }
    ~ScriptedTransport() override
    {
        if (destroyed)
            *destroyed = true;
    }
    bool init() override { return opens; }
    ssize_t writeData(const Bytes& packet) override
    {
        written->push_back(packet);
        if (failWritesFrom >= 0 && (int)written->size() > failWritesFrom)
            return -1;
        return (ssize_t)packet.size();
    }
    ssize_t readData(Bytes& buffer, uint32_t timeoutMs) override
    {
        timeouts.push_back(timeoutMs);
        if (answers.empty())
            return 0;
        Bytes answer = answers.front();
        answers.pop_front();
        buffer.insert(buffer.end(), answer.begin(), answer.end());
        return (ssize_t)answer.size();
    }
    bool getDataFromBuffer(const Bytes& answer, uint32_t offset, uint32_t& word) override
    {
        if (answer.size() < 8 + offset)
            return false;
        for (int i = 3; i >= 0; i--)
            word |= (uint32_t)answer[4 + offset + i] << (8 * i);
        return true;
    }

    static Bytes Answer(uint32_t word)
    {
        return {0x56,
                0x78,
                0x78,
                0x56,
                (uint8_t)word,
                (uint8_t)(word >> 8),
                (uint8_t)(word >> 16),
                (uint8_t)(word >> 24)};
    }
    // An empty entry stands for a read that finds nothing.
    void Script(std::initializer_list<Bytes> list) { answers.assign(list); }

    bool opens = true;
    int failWritesFrom = -1; // writes after this many succeed no more
    std::deque<Bytes> answers;
    std::vector<uint32_t> timeouts;
    std::vector<Bytes>* written;
    bool* destroyed;
};

class SDPLoaderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        transport = new ScriptedTransport(&written, &destroyed);
        ASSERT_TRUE(loader.setLoader(transport));
    }

    size_t CountOf(const Bytes& packet) const
    {
        size_t n = 0;
        for (const Bytes& p : written)
            n += p == packet;
        return n;
    }

    std::vector<Bytes> written;
    bool destroyed = false;
    SDPLoader loader;
    ScriptedTransport* transport = nullptr;
};

Bytes Image(size_t size)
{
    Bytes image(size);
    for (size_t i = 0; i < size; i++)
        image[i] = (uint8_t)(i * 7 + i / 256);
    return image;
}

} // namespace

TEST(SDPLoaderPackets, CommandsAreSeventeenBigEndianBytes)
{
    EXPECT_EQ(SDPLoader::readRegisterPacket(0x401F4410),
              (Bytes{1, 0x01, 0x01, 0x40, 0x1F, 0x44, 0x10, 0x20, 0, 0, 0, 4, 0, 0, 0, 0, 0}));
    EXPECT_EQ(SDPLoader::writeRegisterPacket(0x400AC044, 0xA1B2C3D4),
              (Bytes{1, 0x02, 0x02, 0x40, 0x0A, 0xC0, 0x44, 0x20, 0, 0, 0, 4, 0xA1, 0xB2, 0xC3,
                     0xD4, 0}));
    EXPECT_EQ(SDPLoader::writeFilePacket(0x20000000, 0x000109C4),
              (Bytes{1, 0x04, 0x04, 0x20, 0, 0, 0, 0x20, 0, 0x01, 0x09, 0xC4, 0, 0, 0, 0, 0}));
    EXPECT_EQ(SDPLoader::errorStatusPacket(),
              (Bytes{1, 0x05, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(SDPLoader::jumpAddressPacket(0x20000400),
              (Bytes{1, 0x0B, 0x0B, 0x20, 0, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(SDPLoaderPackets, DataPacketsCarryAtMost1024Bytes)
{
    Bytes image = Image(2 * 1024 + 452);
    Bytes first = SDPLoader::dataPacket(image, 0);
    ASSERT_EQ(first.size(), 1025u);
    EXPECT_EQ(first[0], 2);
    EXPECT_EQ(Bytes(first.begin() + 1, first.end()), Bytes(image.begin(), image.begin() + 1024));
    Bytes last = SDPLoader::dataPacket(image, 2048);
    ASSERT_EQ(last.size(), 453u);
    EXPECT_EQ(Bytes(last.begin() + 1, last.end()), Bytes(image.begin() + 2048, image.end()));
    EXPECT_EQ(SDPLoader::dataPacket(image, image.size()), Bytes{2});
    EXPECT_EQ(SDPLoader::dataPacket(image, image.size() + 5), Bytes{2});
}

TEST(SDPLoaderSetUp, TransportIsTakenOnceAndDeleted)
{
    bool firstGone = false, secondGone = false;
    std::vector<Bytes> written;
    ScriptedTransport* second = new ScriptedTransport(&written, &secondGone);
    {
        SDPLoader loader;
        EXPECT_EQ(loader.init(), SDPLoader::SDP_NO_TRANSPORT);
        EXPECT_FALSE(loader.setLoader(nullptr));
        EXPECT_TRUE(loader.setLoader(new ScriptedTransport(&written, &firstGone)));
        EXPECT_FALSE(loader.setLoader(second));
        EXPECT_EQ(loader.init(), SDPLoader::SDP_OK);
    }
    EXPECT_TRUE(firstGone);
    EXPECT_FALSE(secondGone);
    delete second;
}

TEST(SDPLoaderSetUp, WithoutTransportNothingIsAttempted)
{
    SDPLoader loader;
    uint64_t fingerprint = 0;
    EXPECT_EQ(loader.getFingerprint(fingerprint), SDPLoader::SDP_NO_TRANSPORT);
    EXPECT_EQ(loader.writeLoader(Image(10), 0x20000000), SDPLoader::SDP_NO_TRANSPORT);
    loader.startLoader(0x20000400);
}

TEST_F(SDPLoaderTest, FailedTransportOpenIsSix)
{
    transport->opens = false;
    EXPECT_EQ(loader.init(), SDPLoader::SDP_INIT_FAILED);
}

TEST_F(SDPLoaderTest, FiveUnansweredProbesSendNothingElse)
{
    uint64_t fingerprint = 0;
    EXPECT_EQ(loader.getFingerprint(fingerprint), SDPLoader::SDP_NO_ANSWER);
    EXPECT_EQ(written.size(), 5u);
    EXPECT_EQ(CountOf(SDPLoader::errorStatusPacket()), 5u);
    EXPECT_EQ(transport->timeouts, std::vector<uint32_t>(5, 100));
    written.clear();
    EXPECT_EQ(loader.writeLoader(Image(3000), 0x20000000), SDPLoader::SDP_NO_ANSWER);
    EXPECT_EQ(written.size(), 5u);
    EXPECT_EQ(CountOf(SDPLoader::errorStatusPacket()), 5u);
}

TEST_F(SDPLoaderTest, AnyWordCountsAsProbeAnswer)
{
    transport->Script({{},
                       {1, 2, 3},
                       ScriptedTransport::Answer(0x12345678),
                       ScriptedTransport::Answer(0x5A3C0F1E),
                       ScriptedTransport::Answer(0x0B16212C)});
    uint64_t fingerprint = 0;
    EXPECT_EQ(loader.getFingerprint(fingerprint), SDPLoader::SDP_OK);
    EXPECT_EQ(fingerprint, 0x0B16212C5A3C0F1Eull);
    ASSERT_EQ(written.size(), 5u);
    EXPECT_EQ(CountOf(SDPLoader::errorStatusPacket()), 3u);
    EXPECT_EQ(written[3], SDPLoader::readRegisterPacket(0x401F4410));
    EXPECT_EQ(written[4], SDPLoader::readRegisterPacket(0x401F4420));
}

TEST_F(SDPLoaderTest, FingerprintIsOredIntoTheCallersValue)
{
    transport->Script({ScriptedTransport::Answer(0xF0F0F0F0), ScriptedTransport::Answer(0x1),
                       ScriptedTransport::Answer(0x100)});
    uint64_t fingerprint = 0x8000000000000002ull;
    EXPECT_EQ(loader.getFingerprint(fingerprint), SDPLoader::SDP_OK);
    EXPECT_EQ(fingerprint, 0x8000010000000003ull);
}

TEST_F(SDPLoaderTest, RegisterAnswerWithoutWordIsSeven)
{
    transport->Script({ScriptedTransport::Answer(0xF0F0F0F0),
                       ScriptedTransport::Answer(0x1),
                       {0x56, 0x78, 0x78, 0x56}});
    uint64_t fingerprint = 0;
    EXPECT_EQ(loader.getFingerprint(fingerprint), SDPLoader::SDP_NO_DATA_WORD);
    transport->Script({ScriptedTransport::Answer(0xF0F0F0F0), {}});
    EXPECT_EQ(loader.getFingerprint(fingerprint), SDPLoader::SDP_NO_DATA_WORD);
}

TEST_F(SDPLoaderTest, ImageGoesOutIn1024ByteChunks)
{
    Bytes image = Image(2 * 1024 + 452);
    transport->Script(
        {ScriptedTransport::Answer(0xF0F0F0F0), {}, {}, {}, ScriptedTransport::Answer(0x88888888)});
    EXPECT_EQ(loader.writeLoader(image, 0x20000000), SDPLoader::SDP_OK);
    ASSERT_EQ(written.size(), 5u);
    EXPECT_EQ(written[1], SDPLoader::writeFilePacket(0x20000000, 2500));
    EXPECT_EQ(written[2], SDPLoader::dataPacket(image, 0));
    EXPECT_EQ(written[3], SDPLoader::dataPacket(image, 1024));
    EXPECT_EQ(written[4], SDPLoader::dataPacket(image, 2048));
    EXPECT_EQ(written[4].size(), 453u);
    // Before each packet only what is already waiting is read.
    EXPECT_EQ(transport->timeouts, (std::vector<uint32_t>{100, 0, 0, 0, 100}));
}

TEST_F(SDPLoaderTest, AnswerDuringDataAborts)
{
    transport->Script({ScriptedTransport::Answer(0xF0F0F0F0), {}, ScriptedTransport::Answer(0)});
    EXPECT_EQ(loader.writeLoader(Image(4000), 0x20000000), SDPLoader::SDP_ANSWER_IN_DATA);
    EXPECT_EQ(written.size(), 3u); // probe, write file, one data packet
}

TEST_F(SDPLoaderTest, OtherCompletionWordIsFour)
{
    transport->Script(
        {ScriptedTransport::Answer(0xF0F0F0F0), {}, ScriptedTransport::Answer(0x128A8A12)});
    EXPECT_EQ(loader.writeLoader(Image(100), 0x20000000), SDPLoader::SDP_NOT_COMPLETED);
    transport->Script({ScriptedTransport::Answer(0xF0F0F0F0), {}, {}});
    EXPECT_EQ(loader.writeLoader(Image(100), 0x20000000), SDPLoader::SDP_NOT_COMPLETED);
}

TEST_F(SDPLoaderTest, FailedDataWriteEndsTheTransfer)
{
    transport->Script({ScriptedTransport::Answer(0xF0F0F0F0)});
    transport->failWritesFrom = 3; // probe, write file, first data packet
    EXPECT_EQ(loader.writeLoader(Image(10 * 1024), 0x20000000), SDPLoader::SDP_NOT_COMPLETED);
    EXPECT_EQ(written.size(), 4u);
}

TEST_F(SDPLoaderTest, JumpReadsOnceAndIgnoresTheAnswer)
{
    transport->Script({ScriptedTransport::Answer(0x0BADBADB)});
    loader.startLoader(0x20000400);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0], SDPLoader::jumpAddressPacket(0x20000400));
    EXPECT_EQ(transport->timeouts, std::vector<uint32_t>{100});
}

class SDPLoaderLogTest : public SDPLoaderTest
{
protected:
    std::string Written() { return log.Text(); }
    LogCapture log{DEBUG_iMXSerial};
};

TEST_F(SDPLoaderLogTest, WriteLoaderLogsEachStep)
{
    transport->Script(
        {ScriptedTransport::Answer(0xF0F0F0F0), {}, ScriptedTransport::Answer(0x88888888)});
    ASSERT_EQ(loader.writeLoader(Bytes{0xAB, 0x01}, 0x20000000), SDPLoader::SDP_OK);
    EXPECT_EQ(Written(), "bytesWritten: 17\n"
                         "1 5 5 0 0 0 0 0 0 0 0 0 0 0 0 0 0 \n"
                         "Read Data: 8\n"
                         "56 78 78 56 F0 F0 F0 F0 \n"
                         "Write Res: 17\n"
                         "1 4 4 20 0 0 0 20 0 0 0 2 0 0 0 0 0 \n"
                         "Read Data: 0\n"
                         "\n"
                         "Write Res: 3 , Total: 3, Loop: 0, tell: 2, size: 3\n"
                         "2 AB 1 \n"
                         "Written Bytes: 3\n"
                         "Data Read: \n"
                         "56 78 78 56 88 88 88 88 \n"
                         "Loader Transfer Successful\n");
}

TEST_F(SDPLoaderLogTest, SilentRomLogsTheMissingAck)
{
    uint64_t fingerprint = 0;
    ASSERT_EQ(loader.getFingerprint(fingerprint), SDPLoader::SDP_NO_ANSWER);
    std::string text = Written();
    const std::string last = "\n\nError: No ack from iMX device\n"; // after an empty answer
    ASSERT_GT(text.size(), last.size());
    EXPECT_EQ(text.substr(text.size() - last.size()), last);
    EXPECT_EQ(text.substr(0, 18), "bytesWritten: 17\n1");
}

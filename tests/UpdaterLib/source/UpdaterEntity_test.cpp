// The upgrade exchange against the simulated module over loopback TCP: the
// packets it sends (read back from the simulator's frame log), the replies
// it accepts and refuses, and what it shows.

#include "UpdaterLib/source/UpdaterEntity.h"

#include "tests/support/LogCapture.h"
#include "tests/support/RecordingDisplay.h"
#include "tests/support/VantorSim.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

using Kelvane::Vantor::Module;

namespace
{

const uint8_t ADDRESS = 2;

std::string Config(const char* mode, const std::string& faults = "{}")
{
    char text[1024];
    snprintf(text, sizeof(text),
             R"({"frame_timeout_ms": 100, "modules": [{"name": "hub", "serial": "40F5849A",
                 "address": %d, "mode": "%s", "faults": %s,
                 "upgrade": {"block_size": 512, "load_restart": false},
                 "transports": {"tcp": {"bind": "127.0.0.1", "port": 0}}}]})",
             ADDRESS, mode, faults.c_str());
    return text;
}

// A block payload: the load address, most significant first, then `size`
// image bytes.
std::vector<uint8_t> Block(uint32_t address, size_t size)
{
    std::vector<uint8_t> block = {(uint8_t)(address >> 24), (uint8_t)(address >> 16),
                                  (uint8_t)(address >> 8), (uint8_t)address};
    for (size_t i = 0; i < size; i++)
        block.push_back((uint8_t)(i * 7 + 3));
    return block;
}

class UpdaterEntityTest : public ::testing::Test
{
protected:
    // Starts the module and binds an entity on a link to it.
    void Start(const char* mode, const std::string& faults = "{}", bool validate = true)
    {
        ASSERT_TRUE(sim.Start(Config(mode, faults)));
        linkSpec spec = {};
        spec.type = kLinkTypeTCPIP;
        spec.serialNumber = 0x40F5849A;
        spec.tcpip.ipAddress = htonl(INADDR_LOOPBACK);
        spec.tcpip.ipPort = sim.TcpPort("hub");
        ASSERT_EQ(module.connectFromSpec(spec), kErrNone);
        ASSERT_EQ(entity.init(&module, 0, validate), kErrNone);
    }

    // The upgrade packets the module received, as "op:count" for DATA and
    // the operation's name otherwise.
    std::vector<std::string> Upgrade()
    {
        static const char* const NAMES[] = {"INIT", "DATA",  "LOAD",  "PREPARE",
                                            "SUM",  "WRITE", "REBOOT"};
        std::vector<std::string> ops;
        for (const std::string& line : sim.FrameLog()) {
            if (line.find("\"kind\": \"frame\"") == std::string::npos ||
                line.find("\"dir\": \"rx\"") == std::string::npos)
                continue;
            std::string hex = VantorSim::Text(line, "hex");
            if (hex.size() < 8 || hex.compare(4, 2, "5f") != 0)
                continue;
            int length = (int)strtol(hex.substr(2, 2).c_str(), nullptr, 16);
            int op = (int)strtol(hex.substr(6, 2).c_str(), nullptr, 16);
            std::string name = op < 7 ? NAMES[op] : "?";
            if (op == val_UPGRADE_DATA)
                name += ":" + std::to_string(length - 2);
            if (op == val_UPGRADE_WRITE && hex.size() >= 12)
                name += ":" + std::to_string(strtol(hex.substr(8, 4).c_str(), nullptr, 16));
            ops.push_back(name);
        }
        return ops;
    }

    static std::vector<std::string> Chunks(int full, int last)
    {
        std::vector<std::string> ops(full, "DATA:26");
        if (last)
            ops.push_back("DATA:" + std::to_string(last));
        return ops;
    }

    static std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts)
    {
        std::vector<std::string> all;
        for (const auto& part : parts)
            all.insert(all.end(), part.begin(), part.end());
        return all;
    }

    VantorSim sim;
    Module module{ADDRESS, 0};
    UpdaterEntity entity;
    RecordingDisplay display;
};

TEST_F(UpdaterEntityTest, LoaderGoesInChunksOf26ThenOneSum)
{
    Start("firmware");
    EXPECT_EQ(entity.LoaderInit(), kErrNone);
    std::vector<uint8_t> block = Block(0x10000000, 60);
    uint16_t size = 0;
    EXPECT_EQ(entity.TransferPrepare(block.data(), (uint32_t)block.size(), 0, size), kErrNone);
    EXPECT_EQ(size, 512) << "the reply 95 7 0 2 0";
    EXPECT_EQ(entity.LoaderTransfer(block.data(), (uint32_t)block.size()), kErrNone);
    EXPECT_EQ(entity.LoaderStart(), kErrNone);
    EXPECT_EQ(Upgrade(), Join({{"INIT", "PREPARE"}, Chunks(2, 8), {"SUM", "LOAD"}}));
    std::string memory = sim.Control(R"({"cmd": "memory", "module": "hub"})");
    std::string hex;
    for (uint8_t b : block) {
        char two[3];
        snprintf(two, sizeof(two), "%02x", b);
        hex += two;
    }
    EXPECT_NE(memory.find(hex), std::string::npos) << "the started loader is the block";
}

TEST_F(UpdaterEntityTest, FirmwareGoesInBlocksOfThePreparedSize)
{
    Start("loader");
    std::vector<uint8_t> block = Block(0x8000, 1000);
    uint16_t size = 0;
    ASSERT_EQ(entity.TransferPrepare(block.data(), (uint32_t)block.size(), 3, size), kErrNone);
    Log::timestamped = true;
    ASSERT_EQ(entity.FirmwareTransfer(block.data(), (uint32_t)block.size(), size, display),
              kErrNone);
    EXPECT_EQ(Upgrade(), Join({{"PREPARE"},
                               Chunks(19, 18),
                               {"SUM", "WRITE:512"},
                               Chunks(18, 20),
                               {"SUM", "WRITE:488"}}));
    ASSERT_EQ(display.progress.size(), 2u);
    EXPECT_DOUBLE_EQ(display.progress[0], 516.0 / 1004.0) << "over the length with the address";
    EXPECT_DOUBLE_EQ(display.progress[1], 1.0);
    EXPECT_EQ(display.events, (std::vector<std::string>{"progress on", "progress off"}));
    EXPECT_FALSE(Log::timestamped);
    std::string memory = sim.Control(R"({"cmd": "memory", "module": "hub"})");
    EXPECT_NE(memory.find("\"firmware\": [\"00008000"), std::string::npos);
}

TEST_F(UpdaterEntityTest, WithoutValidationNoSumIsAsked)
{
    Start("firmware", "{}", false);
    std::vector<uint8_t> block = Block(0x10000000, 30);
    EXPECT_EQ(entity.LoaderTransfer(block.data(), (uint32_t)block.size()), kErrNone);
    EXPECT_EQ(Upgrade(), (std::vector<std::string>{"DATA:26", "DATA:4"}));
}

TEST_F(UpdaterEntityTest, AChunkWithAWrongCountIsSentAgainThreeTimesAtMost)
{
    Start("firmware", R"({"data_count_wrong": "once"})");
    std::vector<uint8_t> block = Block(0x10000000, 30);
    EXPECT_EQ(entity.LoaderTransfer(block.data(), (uint32_t)block.size()), kErrNone);
    EXPECT_EQ(Upgrade(), (std::vector<std::string>{"DATA:26", "DATA:26", "DATA:4", "SUM"}));

    sim.Fault("hub", "data_count_wrong", "\"always\"");
    EXPECT_EQ(entity.LoaderTransfer(block.data(), (uint32_t)block.size()), kErrTimeout);
    std::vector<std::string> ops = Upgrade();
    ASSERT_EQ(ops.size(), 8u) << "the first send and three more, no SUM";
    EXPECT_EQ(ops.back(), "DATA:26");
}

TEST_F(UpdaterEntityTest, ABadSumFailsAtLevelZero)
{
    Start("firmware", R"({"sum_off": {"stage": "loader"}})");
    LogCapture log(0);
    std::vector<uint8_t> block = Block(0x10000000, 10);
    EXPECT_EQ(entity.LoaderTransfer(block.data(), (uint32_t)block.size()), kErrInvalidOption);
    EXPECT_TRUE(log.Contains("NETWORK: Unable to validate transfer [00] ["));
}

TEST_F(UpdaterEntityTest, ShortRepliesAreRefused)
{
    Start("firmware", R"({"upgrade_reply_length": {"0": 5, "3": 4, "4": 6}})");
    EXPECT_EQ(entity.LoaderInit(), kErrPacket) << "95 0 and three bytes of the base";
    std::vector<uint8_t> block = Block(0x10000000, 10);
    uint16_t size = 77;
    EXPECT_EQ(entity.TransferPrepare(block.data(), (uint32_t)block.size(), 0, size), kErrPacket);
    EXPECT_EQ(size, 77);
    EXPECT_EQ(entity.LoaderTransfer(block.data(), (uint32_t)block.size()), kErrPacket);
}

TEST_F(UpdaterEntityTest, PrepareRefusalsAndABlockSizeOfZero)
{
    Start("loader", R"({"prepare_status": 3})");
    std::vector<uint8_t> block = Block(0, 100);
    uint16_t size = 0;
    EXPECT_EQ(entity.TransferPrepare(block.data(), (uint32_t)block.size(), 0, size),
              kErrInvalidOption);
    sim.Fault("hub", "prepare_status", "null");
    sim.Fault("hub", "prepare_block_size", "0");
    EXPECT_EQ(entity.TransferPrepare(block.data(), (uint32_t)block.size(), 0, size),
              kErrInvalidOption);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(entity.FirmwareTransfer(block.data(), (uint32_t)block.size(), 0, display), kErrParam)
        << "never a loop without progress";
    EXPECT_EQ(entity.TransferPrepare(block.data(), 3, 0, size), kErrParam) << "no address";
}

TEST_F(UpdaterEntityTest, AWriteWithoutStatusFailsTheFirmware)
{
    Start("loader", R"({"write_no_status": true})");
    LogCapture log(0);
    std::vector<uint8_t> block = Block(0, 600);
    uint16_t size = 0;
    ASSERT_EQ(entity.TransferPrepare(block.data(), (uint32_t)block.size(), 0, size), kErrNone);
    EXPECT_EQ(entity.FirmwareTransfer(block.data(), (uint32_t)block.size(), size, display),
              kErrInvalidOption);
    std::vector<std::string> ops = Upgrade();
    EXPECT_EQ(ops.back(), "WRITE:512") << "the rest is not sent";
    EXPECT_TRUE(log.Contains("NETWORK: Failed to transfer firmware\n"));
    EXPECT_EQ(display.events.back(), "progress off");
}

TEST_F(UpdaterEntityTest, RebootWaitsForTheLinkToDrop)
{
    Start("loader");
    EXPECT_EQ(entity.LoaderReboot(display), kErrNone);
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ(display.events.back(), "spinner off Verifying Update");
    EXPECT_EQ(Upgrade().back(), "REBOOT");
}

} // namespace

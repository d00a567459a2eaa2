// Entity exchanges against the simulated module: the request bytes from
// its frame log, its replies, and odd replies it is made to send.

#include "device/object/Entity.h"

#include "device/core/kTime.h"
#include "device/object/Module.h"
#include "tests/device/object/object_sim.h"

#include <gtest/gtest.h>

#include <string.h>

#include <future>

using namespace Kelvane::Vantor;
using namespace objtest;

namespace
{

const uint8_t HUB = 6;

class Entity : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim.Start(HubConfig(HUB, extra)));
        ASSERT_EQ(module.connectFromSpec(TcpSpec(sim.TcpPort("hub"))), kErrNone);
        ASSERT_EQ(module.getModuleAddress(), HUB) << "learnt from the module";
        ASSERT_EQ(system.init(&module, UEI_CLASS_SYSTEM, 0), kErrNone);
    }

    std::string extra = R"("device_name": {"text": "Hub Nr 1"}, )";
    VantorSim sim;
    Module module{2, 0};
    EntityClass system;
};

TEST_F(Entity, GetsEachValueTypeWithTheGetBitAndTheRequestBit)
{
    uint32_t serial = 0;
    ASSERT_EQ(system.getUEI32(9, &serial), kErrNone);
    EXPECT_EQ(serial, HUB_SERIAL);
    EXPECT_EQ(Requests(sim).back(), Frame(HUB, {3, 0x49, 0x20}));
    uint8_t model = 0;
    ASSERT_EQ(system.getUEI8(8, &model), kErrNone);
    EXPECT_EQ(model, 17);
    uint16_t uptime = 0xFFFF;
    ASSERT_EQ(system.getUEI16(22, &uptime), kErrNone) << "a 32-bit reply cut to 16 bits";
    EXPECT_LT(uptime, 100);
    uint32_t word = 0;
    ASSERT_EQ(system.getUEI32(39, 2, &word), kErrNone);
    EXPECT_EQ(word, 33u);
    EXPECT_EQ(Requests(sim).back(), Frame(HUB, {3, 0x67, 0x20, 2}));
    uint8_t byte = 0;
    ASSERT_EQ(system.getUEI8(39, 3, &byte), kErrNone);
    EXPECT_EQ(byte, 44);
    EXPECT_EQ(system.getUEI32(39, 4, &word), kErrIndexRange) << "the module's code";
    EXPECT_EQ(system.getUEI32(9, nullptr), kErrParam);
    EXPECT_EQ(system.getUEI8(8, 1, nullptr), kErrParam);
}

TEST_F(Entity, SetsWithTheSetBitAndAwaitsTheSetReply)
{
    ASSERT_EQ(system.setUEI8(4, 1), kErrNone);
    EXPECT_EQ(Requests(sim).back(), Frame(HUB, {3, 0x84, 0x20, 1}));
    EXPECT_EQ(VantorSim::Number(sim.State("hub"), "led"), 1);
    ASSERT_EQ(system.setUEI32(34, 0x00C0FFEE), kErrNone);
    EXPECT_EQ(Requests(sim).back(), Frame(HUB, {3, 0xA2, 0x20, 0x00, 0xC0, 0xFF, 0xEE}));
    uint32_t limit = 0;
    ASSERT_EQ(system.getUEI32(34, &limit), kErrNone);
    EXPECT_EQ(limit, 0x00C0FFEEu);
    EXPECT_EQ(system.setUEI16(4, 1), kErrSize) << "the module wants one byte";
    EXPECT_EQ(Requests(sim).back(), Frame(HUB, {3, 0x84, 0x20, 0, 1}));
    ASSERT_EQ(system.callUEI(10), kErrNone);
    EXPECT_EQ(Requests(sim).back(), Frame(HUB, {3, 0x8A, 0x20}));
    EXPECT_EQ(system.setUEI32(39, 1, 0x0A0B0C0D), kErrInvalidOption) << "read-only";
    EXPECT_EQ(Requests(sim).back(), Frame(HUB, {3, 0xA7, 0x20, 1, 0x0A, 0x0B, 0x0C, 0x0D}));
    EXPECT_EQ(system.setUEI8(39, 1, 5), kErrInvalidOption);
    EXPECT_EQ(Requests(sim).back(), Frame(HUB, {3, 0xA7, 0x20, 1, 5}));

    // A set reply of the wrong direction is not the one awaited.
    sim.Fault("hub", "mute_commands", "[3]");
    SendFrame(sim, Frame(HUB, {3, 0x04, 0}));
    EXPECT_EQ(system.setUEI8(4, 0), kErrTimeout);
}

TEST_F(Entity, AnErrorReplyGivesTheModulesCode)
{
    sim.Fault("hub", "error_options", R"({"9": 18, "8": 0})");
    uint32_t serial = 0xDEADBEEF;
    EXPECT_EQ(system.getUEI32(9, &serial), 0x12);
    EXPECT_EQ(serial, 0xDEADBEEFu) << "untouched";
    EXPECT_EQ(sim.CountFrames("tx", Frame(HUB, {3, 9, 0x80, 0x12})), 1);
    uint8_t model = 0;
    EXPECT_EQ(system.getUEI8(8, &model), kErrUnknown) << "code 0 is no success";
    EXPECT_EQ(system.setUEI8(4, 1), kErrNone) << "other options still work";
}

TEST_F(Entity, AGetWhoseReplyHasNoValueFails)
{
    sim.Fault("hub", "mute_commands", "[3]");
    uint32_t serial = 0xDEADBEEF;
    SendFrame(sim, Frame(HUB, {3, 9, 0}));
    EXPECT_EQ(system.getUEI32(9, &serial), kErrPacket);
    SendFrame(sim, Frame(HUB, {3, 9, 0, 1, 2, 3}));
    EXPECT_EQ(system.getUEI32(9, &serial), kErrPacket) << "nor one of no value's length";
    EXPECT_EQ(serial, 0xDEADBEEFu);
    SendFrame(sim, Frame(HUB, {3, 9, 0, 0x2A}));
    ASSERT_EQ(system.getUEI32(9, &serial), kErrNone);
    EXPECT_EQ(serial, 0x2Au) << "a byte reply is a value too";
    EXPECT_EQ(system.getUEI32(9, &serial), kErrTimeout);
    SendFrame(sim, Frame(HUB, {3, 9, 0x80}));
    EXPECT_EQ(system.getUEI32(9, &serial), kErrUnknown) << "an error reply without its code";
}

TEST_F(Entity, BytesValuesAreSentInChunksAndReadBack)
{
    uint8_t name[50];
    for (size_t i = 0; i < sizeof(name); i++)
        name[i] = (uint8_t)('A' + i % 26);
    ASSERT_EQ(system.setUEIBytes(32, name, sizeof(name)), kErrNone);
    std::vector<std::string> frames = Requests(sim);
    ASSERT_GE(frames.size(), 3u);
    EXPECT_EQ(frames[frames.size() - 3], "061c03a020" + Hex(name, 24) + "80");
    EXPECT_EQ(frames[frames.size() - 2], "061c03a020" + Hex(name + 24, 24) + "81");
    EXPECT_EQ(frames.back(), "060603a020" + Hex(name + 48, 2) + "02");

    uint8_t back[64];
    uint64_t count = 99;
    ASSERT_EQ(system.getUEIBytes(32, back, sizeof(back), &count), kErrNone);
    EXPECT_EQ(count, 50u) << "counted from 0";
    EXPECT_EQ(Hex(back, 50), Hex(name, 50));
    EXPECT_EQ(Requests(sim).back(), Frame(HUB, {3, 0x60, 0x20}));

    ASSERT_EQ(system.setUEIBytes(32, name, 0), kErrNone);
    ASSERT_EQ(system.getUEIBytes(32, back, sizeof(back), &count), kErrNone);
    EXPECT_EQ(count, 0u);

    std::vector<uint8_t> longest(3072);
    for (size_t i = 0; i < longest.size(); i++)
        longest[i] = (uint8_t)(i * 7);
    ASSERT_EQ(system.setUEIBytes(32, longest.data(), longest.size()), kErrNone);
    std::vector<uint8_t> read(4000);
    ASSERT_EQ(system.getUEIBytes(32, read.data(), read.size(), &count), kErrNone) << count;
    ASSERT_EQ(count, 3072u) << "128 chunks";
    EXPECT_EQ(Hex(read.data(), 3072), Hex(longest.data(), 3072));

    std::vector<uint8_t> tooLong(3073, 'x');
    size_t before = Requests(sim).size();
    EXPECT_EQ(system.setUEIBytes(32, tooLong.data(), tooLong.size()), kErrParam);
    kTime_MSSleep(50);
    EXPECT_EQ(Requests(sim).size(), before) << "nothing was sent";
    EXPECT_EQ(system.getUEIBytes(32, nullptr, 10, &count), kErrParam);
    EXPECT_EQ(system.getUEIBytes(32, back, 0, &count), kErrParam);
}

TEST_F(Entity, AReadLargerThanTheBufferStoresNothingOfIt)
{
    uint8_t name[24];
    memset(name, 'n', sizeof(name));
    ASSERT_EQ(system.setUEIBytes(32, name, sizeof(name)), kErrNone);
    uint8_t back[10];
    memset(back, 0, sizeof(back));
    uint64_t count = 7;
    EXPECT_EQ(system.getUEIBytes(32, back, sizeof(back), &count), kErrMemory);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Hex(back, sizeof(back)), std::string(20, '0'));
}

TEST_F(Entity, AChunkOutOfSequenceStaysQueued)
{
    // The stray chunk (number 1) waits before the request; the module's
    // chunk 0 is the whole value, so the stray one is never due.
    SendFrame(sim, Frame(HUB, {3, 32, 0, 'z', 'z', 0x01}));
    kTime_MSSleep(100);
    uint8_t back[32];
    uint64_t count = 0;
    ASSERT_EQ(system.getUEIBytes(32, back, sizeof(back), &count), kErrNone);
    EXPECT_EQ(std::string((char*)back, count), "Hub Nr 1");
    uint8_t match[2] = {3, 32};
    uint8_t length = 2;
    uint8_t data[28];
    ASSERT_EQ(system.receivePacket(match, &length, data), kErrNone);
    EXPECT_EQ(Hex(data, length), "0320007a7a01");

    // Replies of the read's own are those that come after its request.
    sim.Fault("hub", "mute_commands", "[3]");
    auto readWithReply = [&](const std::string& reply) {
        size_t before = Requests(sim).size();
        auto read = std::async(std::launch::async,
                               [&] { return system.getUEIBytes(32, back, sizeof(back), &count); });
        AwaitRequests(sim, before + 1);
        SendFrame(sim, reply);
        return read.get();
    };
    EXPECT_EQ(readWithReply(Frame(HUB, {3, 32, 0, 'z', 0x01}) + Frame(HUB, {3, 32, 0, 'o', 0})),
              kErrNone);
    EXPECT_EQ(std::string((char*)back, count), "o") << "chunk 1 is not taken for chunk 0";
    EXPECT_EQ(readWithReply(Frame(HUB, {3, 32, 0})), kErrPacket)
        << "a reply too short for a sequence byte";
    EXPECT_EQ(readWithReply(Frame(HUB, {3, 32, 0x80, 15})), kErrOverrun);
    SendFrame(sim, Frame(HUB, {3, 32, 0, 'o', 'l', 'd', 0}));
    kTime_MSSleep(100);
    EXPECT_EQ(readWithReply(Frame(HUB, {3, 32, 0, 'n', 'e', 'w', 0})), kErrNone)
        << "a reply that waited from before is not taken";
    EXPECT_EQ(std::string((char*)back, count), "new");
}

TEST_F(Entity, ByteCountsBecomeElementCounts)
{
    uint64_t count = 8;
    EXPECT_EQ(system.getUEIBytesCheck(&count, 4), kErrNone);
    EXPECT_EQ(count, 2u);
    count = 10;
    EXPECT_EQ(system.getUEIBytesCheck(&count, 4), kErrSize);
    EXPECT_EQ(count, 10u);
    EXPECT_EQ(system.getUEIBytesCheck(nullptr, 4), kErrParam);
    EXPECT_EQ(system.getUEIBytesCheck(&count, 0), kErrParam);
}

TEST_F(Entity, AGetIsAnsweredFromAFreshStreamSampleWithoutAPacket)
{
    ASSERT_EQ(system.registerOptionCallback(4, true, streamCallback(), nullptr), kErrNone);
    EXPECT_EQ(Requests(sim).back(), Frame(HUB, {93, 0x81, 0x20, HUB, 3, 4, 0}));
    Sample(sim, 3, 4, 0, 1, 1);
    std::map<uint64_t, uint32_t> status;
    ASSERT_TRUE(VantorSim::WaitFor(
        [&] { return system.getStreamStatus(&status) == kErrNone && status.size() == 1; }));
    EXPECT_EQ(status.begin()->first, Link::createStreamKey(HUB, 3, 4, 0, 0));
    size_t before = Requests(sim).size();
    uint8_t led = 0;
    ASSERT_EQ(system.getUEI8(4, &led), kErrNone);
    EXPECT_EQ(led, 1);
    led = 0;
    EXPECT_EQ(system.getUEI8(4, &led), kErrStreamStale);
    EXPECT_EQ(led, 1) << "the same value";
    EXPECT_EQ(Requests(sim).size(), before) << "no packet went out";

    uint8_t name[16];
    uint64_t count = 0;
    ASSERT_EQ(system.getUEIBytes(32, name, sizeof(name), &count), kErrNone);
    Sample(sim, 3, 4, 0, 1, 0);
    ASSERT_TRUE(VantorSim::WaitFor([&] { return system.getUEI8(4, &led) == kErrNone; }))
        << "a bytes read leaves the stream filter in place";
    EXPECT_EQ(led, 0);

    ASSERT_EQ(system.setStreamEnabled(true), kErrNone);
    EXPECT_EQ(Requests(sim).back(), Frame(HUB, {93, 0x81, 0x20, HUB, 3, 255, 0}));
    ASSERT_EQ(system.setStreamEnabled(false), kErrNone);
    EXPECT_EQ(Requests(sim).back(), Frame(HUB, {93, 0x82, 0x20, HUB, 3, 255, 0}));
    ASSERT_EQ(system.getStreamStatus(&status), kErrNone);
    EXPECT_TRUE(status.empty());
}

TEST_F(Entity, AwaitsAUEIWithoutSendingAndDrainsStaleReplies)
{
    SendFrame(sim, Frame(HUB, {3, 22, 0, 0, 0, 1, 2}));
    uint32_t value = 0;
    ASSERT_EQ(system.awaitUEI32Val(22, &value, 0), kErrNone);
    EXPECT_EQ(value, 0x102u);
    EXPECT_TRUE(Requests(sim).empty()) << "nothing was sent";
    uint64_t start = kTime_GetMSTicks();
    EXPECT_EQ(system.awaitUEI32Val(22, &value, 100), kErrTimeout);
    EXPECT_LT(kTime_GetMSTicks() - start, 900u) << "the given time-out, not the usual 1000 ms";
    EXPECT_EQ(system.awaitUEI32Val(22, nullptr, 0), kErrParam);

    SendFrame(sim, Frame(HUB, {3, 22, 0, 0, 0, 0, 5}));
    SendFrame(sim, Frame(HUB, {3, 22, 0, 0, 0, 0, 6}));
    kTime_MSSleep(200);
    ASSERT_EQ(system.drainUEI(22), kErrNone);
    EXPECT_EQ(system.awaitUEI32Val(22, &value, 100), kErrTimeout) << "both were dropped";
}

TEST_F(Entity, PlainPacketsGoToTheModule)
{
    const uint8_t bytes[] = {0x5A, 0xA5};
    ASSERT_EQ(system.sendPacket(23, sizeof(bytes), bytes), kErrNone);
    uint8_t match[1] = {23};
    uint8_t length = 1;
    uint8_t data[28];
    ASSERT_EQ(system.receivePacket(match, &length, data), kErrNone);
    EXPECT_EQ(Hex(data, length), "175aa5");
    EXPECT_EQ(Requests(sim).back(), Frame(HUB, {23, 0x5A, 0xA5}));
}

TEST(EntityWithoutModule, NeedsAModuleWithALink)
{
    EntityClass entity;
    uint32_t value = 0;
    uint8_t buffer[4];
    uint64_t count = 0;
    EXPECT_EQ(entity.getUEI32(9, &value), kErrResource);
    EXPECT_EQ(entity.setUEI8(4, 1), kErrResource);
    EXPECT_EQ(entity.callUEI(10), kErrResource);
    EXPECT_EQ(entity.getUEIBytes(32, buffer, sizeof(buffer), &count), kErrResource);
    EXPECT_EQ(entity.awaitUEI32Val(9, &value, 0), kErrResource);
    EXPECT_EQ(entity.drainUEI(9), kErrResource);
    EXPECT_EQ(entity.sendPacket(23, 0, nullptr), kErrResource);
    EXPECT_EQ(entity.setStreamEnabled(true), kErrResource);
    Module module(2, 0);
    ASSERT_EQ(entity.init(&module, 3, 1), kErrNone);
    EXPECT_EQ(entity.getIndex(), 1);
    EXPECT_EQ(entity.getUEI32(9, &value), kErrConnection) << "a link, but not connected";
}

} // namespace

// Streams of the link object against the simulated module: registration
// (command 93), the samples the module is made to send, the cached values
// and the callbacks on the link's worker.

#include "device/object/Link.h"

#include "device/core/kTime.h"
#include "tests/device/object/object_sim.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

using namespace Kelvane::Vantor;
using namespace objtest;

namespace
{

const uint8_t HUB = 6;
const uint8_t CLASS = 18;

// What the callbacks saw. They run on the link's worker; each also looks a
// value up through the link (one that is never cached, so no test's value
// loses its freshness), which would never return if it ran under the link's
// table lock.
struct Seen {
    Link* link = nullptr;
    std::atomic<int> calls{0};
    std::atomic<int> valueReads{0};
    std::mutex lock;
    std::thread::id thread;
    std::vector<uint8_t> lastType;
};

kErr Record(const kPacket* packet, void* reference)
{
    Seen* seen = (Seen*)reference;
    uint32_t value = 0;
    if (seen->link->getStreamValue(HUB, CLASS, 63, 0, 0, &value) == kErrNotFound)
        seen->valueReads++;
    {
        std::lock_guard<std::mutex> guard(seen->lock);
        seen->thread = std::this_thread::get_id();
        seen->lastType.push_back(packet->data[3]);
    }
    seen->calls++;
    return kErrNone;
}

class LinkStreams : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim.Start(HubConfig(HUB)));
        link.reset(new Link(TcpSpec(sim.TcpPort("hub")), "streams"));
        ASSERT_EQ(link->connect(), kErrNone);
        seen.link = link.get();
    }

    /// Waits for the sample of (HUB, CLASS, option, 0, subindex) to be
    /// cached; its result and value.
    kErr AwaitValue(uint8_t option, uint32_t* value, uint8_t subindex = 0)
    {
        kErr err = kErrNotFound;
        VantorSim::WaitFor([&] {
            err = link->getStreamValue(HUB, CLASS, option, 0, subindex, value);
            return err != kErrNotFound;
        });
        return err;
    }

    std::vector<std::vector<long long>> ModuleStreams()
    {
        std::string answer = sim.Control(R"({"cmd": "streams", "module": "hub"})");
        std::vector<std::vector<long long>> streams;
        const std::string head = "\"streams\": [";
        size_t at = answer.find(head);
        if (at != std::string::npos)
            at += head.size() - 1;
        while (at != std::string::npos && (at = answer.find('[', at + 1)) != std::string::npos) {
            std::vector<long long> key;
            const char* p = answer.c_str() + at + 1;
            for (int i = 0; i < 4; i++) {
                char* end = nullptr;
                key.push_back(strtoll(p, &end, 10));
                p = end + 1;
            }
            streams.push_back(key);
        }
        return streams;
    }

    VantorSim sim;
    std::unique_ptr<Link> link;
    Seen seen;
};

TEST_F(LinkStreams, AGenericRegistrationGetsItsSpecificEntryFromTheFirstSample)
{
    ASSERT_EQ(link->registerStreamCallback(HUB, CLASS, 1, 0, true, Record, &seen), kErrNone);
    EXPECT_EQ(Requests(sim).back(), Frame(HUB, {93, 0x81, 0x20, HUB, CLASS, 1, 0}));
    EXPECT_EQ(ModuleStreams(), (std::vector<std::vector<long long>>{{HUB, CLASS, 1, 0}}));
    uint8_t streaming = 9;
    ASSERT_EQ(link->isLinkStreaming(HUB, &streaming), kErrNone);
    EXPECT_EQ(streaming, 1);

    uint32_t value = 0;
    EXPECT_EQ(link->getStreamValue(HUB, CLASS, 1, 0, 0, &value), kErrNotFound);
    Sample(sim, CLASS, 1, 0, 1, 42, 0, 0x0102030405060708ull);
    ASSERT_EQ(AwaitValue(1, &value), kErrNone) << "fresh";
    EXPECT_EQ(value, 42u);
    value = 0;
    EXPECT_EQ(link->getStreamValue(HUB, CLASS, 1, 0, 0, &value), kErrStreamStale);
    EXPECT_EQ(value, 42u) << "still given";
    Sample(sim, CLASS, 1, 0, 1, 43);
    ASSERT_TRUE(VantorSim::WaitFor(
        [&] { return link->getStreamValue(HUB, CLASS, 1, 0, 0, &value) == kErrNone; }));
    EXPECT_EQ(value, 43u) << "the next sample landed in the specific entry";

    std::vector<uint64_t> keys = link->filterActiveStreamKeys(255, 255, 255, 255, 255, true);
    EXPECT_EQ(keys, (std::vector<uint64_t>{Link::createStreamKey(HUB, CLASS, 1, 0, 0),
                                           Link::createStreamKey(HUB, CLASS, 1, 0, 255)}));
    ASSERT_TRUE(VantorSim::WaitFor([&] { return seen.calls >= 2; }));
    EXPECT_EQ(seen.valueReads.load(), seen.calls.load()) << "the table lock was free";
    std::lock_guard<std::mutex> guard(seen.lock);
    EXPECT_NE(seen.thread, std::this_thread::get_id());
}

TEST_F(LinkStreams, AnyOptionEntryQueuesItsCallbackAndStatusListsOnlySpecificEntries)
{
    ASSERT_EQ(link->registerStreamCallback(HUB, CLASS, 255, 0, true, Record, &seen), kErrNone);
    EXPECT_EQ(Requests(sim).back(), Frame(HUB, {93, 0x81, 0x20, HUB, CLASS, 255, 0}));
    Sample(sim, CLASS, 1, 0, 3, 0x11223344);
    Sample(sim, CLASS, 2, 0, 6, 0x5566, 4);
    uint32_t value = 0;
    ASSERT_EQ(AwaitValue(1, &value), kErrNone);
    EXPECT_EQ(value, 0x11223344u);
    ASSERT_EQ(AwaitValue(2, &value, 4), kErrNone) << "a subindexed sample has its own entry";
    EXPECT_EQ(value, 0x5566u);
    ASSERT_TRUE(VantorSim::WaitFor([&] { return seen.calls == 2; }));

    std::map<uint64_t, uint32_t> status = {{1, 1}};
    ASSERT_EQ(link->getStreamStatus(255, 255, 255, 255, 255, &status), kErrNone);
    EXPECT_EQ(status, (std::map<uint64_t, uint32_t>{
                          {Link::createStreamKey(HUB, CLASS, 1, 0, 0), 0x11223344},
                          {Link::createStreamKey(HUB, CLASS, 2, 0, 4), 0x5566}}))
        << "the generic entry is left out";
    ASSERT_EQ(link->getStreamStatus(HUB, CLASS, 2, 255, 255, &status), kErrNone);
    EXPECT_EQ(status.size(), 1u);
    EXPECT_EQ(link->getStreamStatus(HUB, CLASS, 2, 255, 255, nullptr), kErrParam);
}

TEST_F(LinkStreams, EveryStreamPacketIsKeptOutOfTheReceiveQueue)
{
    ASSERT_EQ(link->registerStreamCallback(HUB, CLASS, 1, 0, true, Record, &seen), kErrNone);
    Sample(sim, 40, 1, 0, 1, 5);                              // nobody registered this one
    SendFrame(sim, Frame(HUB, {CLASS, 0x41, 0x40, 1, 0, 0})); // a get reply with the stream bit
    uint8_t match[1] = {40};
    uint8_t length = 1;
    uint8_t data[28];
    EXPECT_EQ(link->receivePacket(HUB, match, &length, data), kErrTimeout);
    match[0] = CLASS;
    length = 1;
    ASSERT_EQ(link->receivePacket(HUB, match, &length, data), kErrNone);
    EXPECT_EQ(Hex(data, length), "1241400100"
                                 "00")
        << "not a stream packet";

    // A bytes value over 24 bytes goes in chunks whose sequence bytes are
    // not 0: each a type-4 packet, which has callbacks but no sample.
    sim.Control(R"({"cmd": "sample", "module": "hub", "command": 18, "option": 1, "type": 4, )"
                R"("hex": "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d"})");
    ASSERT_TRUE(VantorSim::WaitFor([&] { return seen.calls == 2; }));
    {
        std::lock_guard<std::mutex> guard(seen.lock);
        EXPECT_EQ(seen.lastType, (std::vector<uint8_t>{0, 0x18})) << "each chunk's data[3]";
    }
    uint32_t value = 0;
    EXPECT_EQ(link->getStreamValue(HUB, CLASS, 1, 0, 0, &value), kErrNotFound);
}

TEST_F(LinkStreams, DisablingRemovesEveryEntryOfTheOptionAndTheFilter)
{
    ASSERT_EQ(link->enableStream(HUB, CLASS, 1, 0, true), kErrNone);
    ASSERT_EQ(link->enableStream(HUB, CLASS, 2, 0, true), kErrNone);
    Sample(sim, CLASS, 1, 0, 5, 7, 3);
    uint32_t value = 0;
    ASSERT_EQ(AwaitValue(1, &value, 3), kErrNone);
    ASSERT_EQ(link->enableStream(HUB, CLASS, 1, 0, false), kErrNone);
    EXPECT_EQ(Requests(sim).back(), Frame(HUB, {93, 0x82, 0x20, HUB, CLASS, 1, 0}));
    EXPECT_EQ(link->filterActiveStreamKeys(HUB, CLASS, 1, 0, 255, true).size(), 0u);
    EXPECT_EQ(link->filterActiveStreamKeys(HUB, CLASS, 2, 0, 255, true).size(), 1u);
    EXPECT_EQ(ModuleStreams(), (std::vector<std::vector<long long>>{{HUB, CLASS, 2, 0}}));

    ASSERT_EQ(link->enableStream(HUB, CLASS, 2, 0, false), kErrNone);
    uint8_t streaming = 9;
    ASSERT_EQ(link->isLinkStreaming(HUB, &streaming), kErrNone);
    EXPECT_EQ(streaming, 0);
    Sample(sim, CLASS, 2, 0, 1, 1);
    uint8_t match[1] = {CLASS};
    uint8_t length = 1;
    uint8_t data[28];
    EXPECT_EQ(link->receivePacket(HUB, match, &length, data), kErrNone)
        << "with the table empty the filter is gone";
}

TEST_F(LinkStreams, AModuleThatRefusesLeavesNoEntry)
{
    sim.Fault("hub", "mute_commands", "[93]");
    auto refused = std::async(std::launch::async, [&] {
        return link->registerStreamCallback(HUB, CLASS, 1, 0, true, Record, &seen);
    });
    std::string request = Frame(HUB, {93, 0x81, 0x20, HUB, CLASS, 1, 0});
    ASSERT_TRUE(VantorSim::WaitFor([&] { return sim.CountFrames("rx", request) == 1; }));
    SendFrame(sim, Frame(HUB, {93, 0xC1, 0x80, 0x12}));
    EXPECT_EQ(refused.get(), 0x12);
    EXPECT_TRUE(link->filterActiveStreamKeys(255, 255, 255, 255, 255, true).empty());

    EXPECT_EQ(link->enableStream(HUB, CLASS, 1, 0, true), kErrTimeout) << "no answer at all";
    EXPECT_TRUE(link->filterActiveStreamKeys(255, 255, 255, 255, 255, true).empty());
    Sample(sim, CLASS, 1, 0, 1, 1);
    uint8_t match[1] = {CLASS};
    uint8_t length = 1;
    uint8_t data[28];
    EXPECT_EQ(link->receivePacket(HUB, match, &length, data), kErrNone) << "no filter is left";
}

TEST_F(LinkStreams, ARegistrationThatCannotInstallItsFilterChangesNothing)
{
    EXPECT_EQ(link->registerStreamCallback(HUB + 1, CLASS, 1, 0, true, Record, &seen), kErrParam);
    EXPECT_EQ(link->registerStreamCallback(255, CLASS, 1, 0, true, Record, &seen), kErrParam);
    Link idle("idle");
    EXPECT_EQ(idle.registerStreamCallback(HUB, CLASS, 1, 0, true, Record, &seen),
              kErrConfiguration);
    EXPECT_TRUE(idle.filterActiveStreamKeys(255, 255, 255, 255, 255, true).empty());
    EXPECT_EQ(idle.enableStream(HUB, CLASS, 1, 0, false), kErrConfiguration);
}

TEST_F(LinkStreams, LinkObjectsSharingAnEngineLinkKeepTheirOwnStreams)
{
    Link other(TcpSpec(sim.TcpPort("hub")), "other");
    ASSERT_EQ(other.connect(), kErrNone);
    ASSERT_TRUE(VantorSim::WaitFor([&] { return sim.CountFrames("rx", "af0101") > 0; }));
    kTime_MSSleep(50);
    ASSERT_EQ(sim.CountFrames("rx", "af0101"), 1) << "one engine link for both";
    ASSERT_EQ(link->enableStream(HUB, CLASS, 1, 0, true), kErrNone);
    ASSERT_EQ(other.enableStream(HUB, CLASS, 2, 0, true), kErrNone);
    Sample(sim, CLASS, 1, 0, 1, 11);
    Sample(sim, CLASS, 2, 0, 1, 22);
    uint32_t value = 0;
    ASSERT_EQ(AwaitValue(1, &value), kErrNone);
    EXPECT_EQ(value, 11u);
    ASSERT_TRUE(VantorSim::WaitFor(
        [&] { return other.getStreamValue(HUB, CLASS, 2, 0, 0, &value) == kErrNone; }));
    EXPECT_EQ(value, 22u);
    EXPECT_EQ(other.getStreamValue(HUB, CLASS, 1, 0, 0, &value), kErrNotFound)
        << "each table has its own entries";

    // A read that holds its replies on one object leaves the other's
    // streams alone, and so does the end of one object's use.
    uei u = {};
    u.module = HUB;
    u.command = 3;
    u.option = 32;
    ASSERT_EQ(other.holdReplies(u), kErrNone);
    other.releaseReplies();
    ASSERT_EQ(other.disconnect(), kErrNone);
    Sample(sim, CLASS, 1, 0, 1, 12);
    ASSERT_TRUE(VantorSim::WaitFor(
        [&] { return link->getStreamValue(HUB, CLASS, 1, 0, 0, &value) == kErrNone; }));
    EXPECT_EQ(value, 12u);
}

TEST_F(LinkStreams, StreamsSurviveAResetAndEndWithTheLink)
{
    ASSERT_EQ(link->registerStreamCallback(HUB, CLASS, 1, 0, true, Record, &seen), kErrNone);
    ASSERT_EQ(link->reset(), kErrNone);
    ASSERT_TRUE(VantorSim::WaitFor([&] { return link->isConnected(); }));
    Sample(sim, CLASS, 1, 0, 2, 0x1234);
    uint32_t value = 0;
    ASSERT_EQ(AwaitValue(1, &value), kErrNone) << "the filter was put back";
    EXPECT_EQ(value, 0x1234u);

    // Samples keep coming while the link goes; the worker must end before
    // the queue and callbacks go with it.
    for (int i = 0; i < 20; i++)
        Sample(sim, CLASS, 1, 0, 1, i);
    ASSERT_EQ(link->disconnect(), kErrNone);
    EXPECT_EQ(link->getStreamValue(HUB, CLASS, 1, 0, 0, &value), kErrNotFound);
    int calls = seen.calls;
    kTime_MSSleep(20);
    EXPECT_EQ(seen.calls.load(), calls) << "no callback after the worker ended";
    ASSERT_EQ(link->connect(), kErrNone);
    ASSERT_EQ(link->registerStreamCallback(HUB, CLASS, 1, 0, true, Record, &seen), kErrNone);
    for (int i = 0; i < 20; i++)
        Sample(sim, CLASS, 1, 0, 1, i);
    link.reset();
}

} // namespace

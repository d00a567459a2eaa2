// The reply matcher's rules, with packets offered by hand as the reader
// would; the engine link to the simulated hub only has to run.

#include "device/object/ReplyMatcher.h"

#include "device/core/kLink.h"
#include "device/core/kTime.h"
#include "tests/device/object/object_sim.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <thread>

using namespace Kelvane::Vantor;
using namespace objtest;

namespace
{

const uint8_t HUB = 6;

bool sAny(const kPacket*, void*)
{
    return true;
}

class Matcher : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim.Start(HubConfig(HUB)));
        linkId = kLink_CreateTCPIP(htonl(INADDR_LOOPBACK), sim.TcpPort("hub"));
        ASSERT_NE(linkId, 0u);
        for (int i = 0; i < 200 && kLink_GetStatus(linkId) != kLinkStatusRunning; i++)
            kTime_MSSleep(10);
        ASSERT_EQ(kLink_GetStatus(linkId), (uint32_t)kLinkStatusRunning);
        matcher.reset(new ReplyMatcher(linkId));
    }
    void TearDown() override
    {
        matcher.reset();
        if (linkId) {
            ASSERT_EQ(kLink_Destroy(&linkId), kErrNone);
        }
    }

    bool Offer(uint8_t address, std::initializer_list<uint8_t> data)
    {
        std::vector<uint8_t> bytes(data);
        kPacket* packet = kPacket_CreateWithData(address, (uint8_t)bytes.size(), bytes.data());
        bool taken = matcher->offer(packet);
        (void)kPacket_Destroy(&packet);
        return taken;
    }

    /// The second data byte of the packet awaited, or -1 for none.
    int Await(const ReplyKey& key, uint64_t timeoutMS = 50, const kCancel* cancel = nullptr)
    {
        kPacket* packet = matcher->await(key, sAny, nullptr, timeoutMS, cancel);
        int second = packet && packet->length > 1 ? packet->data[1] : -1;
        (void)kPacket_Destroy(&packet);
        return second;
    }

    uint32_t linkId = 0;
    std::unique_ptr<ReplyMatcher> matcher;
    VantorSim sim;
};

TEST_F(Matcher, UnknownPacketsNeverPushOutAnAwaitedReply)
{
    const ReplyKey reply = {HUB, 3, 9};
    matcher->expect(reply);
    EXPECT_TRUE(Offer(HUB, {3, 9, 0, 0x42}));
    for (uint8_t i = 0; i < 40; i++)
        EXPECT_TRUE(Offer(HUB, {0x7E, i}));
    EXPECT_EQ(Await(reply), 9) << "kept beyond the 20 unknown packets";
    EXPECT_EQ(Await({HUB, 0x7E, ReplyKey::ANY}), 20) << "the newest 20 unknown ones stay";
    ReplyMatcher::Counts counts = matcher->counts();
    EXPECT_EQ(counts.unknown, 40u);
    EXPECT_EQ(counts.dropped, 20u);
    EXPECT_FALSE(Offer(HUB, {0, 1})) << "a heartbeat is the engine's";
}

TEST_F(Matcher, OnlyTheAddressAskedAnswersAndDirectionBitsDoNotMatter)
{
    EXPECT_TRUE(Offer(8, {3, 9, 0, 1}));
    EXPECT_EQ(Await({HUB, 3, 9}), -1) << "address 8's reply is not the hub's";
    EXPECT_TRUE(Offer(HUB, {3, 0xC9, 0}));
    EXPECT_EQ(Await({HUB, 3, 0x49}), 0xC9) << "a set's reply answers by its option code";
    EXPECT_EQ(Await({8, 3, 9}), 9);
}

TEST_F(Matcher, AReplyAfterItsWaitGaveUpIsLateAndStaysForADrain)
{
    EXPECT_EQ(Await({HUB, 4, ReplyKey::ANY}), -1);
    EXPECT_TRUE(Offer(HUB, {4, 2, 1, 1}));
    EXPECT_EQ(matcher->counts().late, 1u);
    EXPECT_EQ(matcher->drain(sAny, nullptr), 1);
    EXPECT_EQ(Await({HUB, 4, ReplyKey::ANY}), -1);
}

TEST_F(Matcher, AWaiterIsHandedItsReplyFromTheReader)
{
    int got = -2;
    std::thread waiter([&] { got = Await({HUB, 3, 9}, 5000); });
    kTime_MSSleep(50);
    EXPECT_TRUE(Offer(HUB, {3, 9, 0, 7}));
    waiter.join();
    EXPECT_EQ(got, 9);
}

TEST_F(Matcher, AWaitLooksAtTheCancellationWithoutGivingUpItsRequest)
{
    kCancel cancel;
    ASSERT_EQ(kCancel_Init(&cancel), kErrNone);
    int got = -2;
    std::thread waiter([&] { got = Await({HUB, 3, 9}, 5000, &cancel); });
    kTime_MSSleep(3 * kCANCEL_SLICE_MS);
    EXPECT_TRUE(Offer(HUB, {3, 9, 0, 7}));
    waiter.join();
    EXPECT_EQ(got, 9) << "a reply after several slices is still the wait's";
    EXPECT_EQ(matcher->counts().late, 0u);

    std::thread cancelled([&] { got = Await({HUB, 3, 9}, 60000, &cancel); });
    kTime_MSSleep(kCANCEL_SLICE_MS);
    (void)kCancel_Request(&cancel);
    cancelled.join(); // a wait that ignored the request would take a minute
    EXPECT_EQ(got, -1);
}

} // namespace

// Store slots and factory data against the simulated module over loopback
// TCP: what goes on the wire (from the module's frame log), what the host
// reports, and what each transfer, good or failed, leaves in the module.

#include "device/object/Link.h"

#include "device/object/Module.h"
#include "device/object/SystemClass.h"
#include "tests/device/object/object_sim.h"

#include <gtest/gtest.h>

using namespace Kelvane::Vantor;
using namespace objtest;

namespace
{

const uint8_t HUB = 6;

std::vector<uint8_t> Pattern(size_t length, uint8_t seed = 1)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; i++)
        bytes[i] = (uint8_t)(seed + i * 37);
    return bytes;
}

std::string Hex(const std::vector<uint8_t>& bytes)
{
    return objtest::Hex(bytes.data(), bytes.size());
}

/// The frame of a request to the hub with these data bytes.
std::string Request(std::vector<uint8_t> data)
{
    std::vector<uint8_t> frame = {HUB, (uint8_t)data.size()};
    frame.insert(frame.end(), data.begin(), data.end());
    return Hex(frame);
}

std::string WriteChunk(uint8_t handle, const std::vector<uint8_t>& bytes, size_t from, size_t n)
{
    std::vector<uint8_t> data = {4, 7, handle};
    data.insert(data.end(), bytes.begin() + from, bytes.begin() + from + n);
    return Request(data);
}

class SlotTransfer : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim.Start(HubConfig(HUB, R"("stores": {"0": {"slots": 4, "capacity": 100}},
            "factory": {"0": ")" + Hex(Pattern(34)) +
                                                 R"(", "2": "a1a2"},
            "factory_capacity": 40, )")));
        link.reset(new Link(TcpSpec(sim.TcpPort("hub")), "store link"));
        ASSERT_EQ(link->connect(), kErrNone);
    }

    std::string Slot(int slot)
    {
        return VantorSim::Text(sim.Control("{\"cmd\": \"slot\", \"module\": \"hub\", \"store\": "
                                           "0, \"slot\": " +
                                           std::to_string(slot) + "}"),
                               "hex");
    }

    void SetSlot(int slot, const std::vector<uint8_t>& bytes)
    {
        sim.Control("{\"cmd\": \"set_slot\", \"module\": \"hub\", \"store\": 0, \"slot\": " +
                    std::to_string(slot) + ", \"hex\": \"" + Hex(bytes) + "\"}");
    }

    std::string Factory(int block)
    {
        return VantorSim::Text(sim.Control("{\"cmd\": \"factory\", \"module\": \"hub\", "
                                           "\"block\": " +
                                           std::to_string(block) + "}"),
                               "hex");
    }

    /// Reads the slot back whole.
    std::vector<uint8_t> Unload(uint8_t slot)
    {
        std::vector<uint8_t> buffer(200, 0xEE);
        uint64_t count = 0;
        EXPECT_EQ(link->unloadStoreSlot(HUB, 0, slot, buffer.data(), buffer.size(), &count),
                  kErrNone);
        buffer.resize(count);
        return buffer;
    }

    VantorSim sim;
    std::unique_ptr<Link> link;
};

TEST_F(SlotTransfer, WrittenSlotsReadBackByteForByte)
{
    for (size_t length : {0u, 10u, 60u, 100u}) {
        SCOPED_TRACE(length);
        std::vector<uint8_t> bytes = Pattern(length, (uint8_t)length);
        ASSERT_EQ(link->loadStoreSlot(HUB, 0, 1, bytes.data(), bytes.size()), kErrNone);
        EXPECT_EQ(Slot(1), Hex(bytes));
        uint64_t size = 0;
        ASSERT_EQ(link->storeSlotSize(HUB, 0, 1, &size), kErrNone);
        EXPECT_EQ(size, length);
        EXPECT_EQ(Hex(Unload(1)), Hex(bytes));
    }
    uint64_t capacity = 0;
    ASSERT_EQ(link->storeSlotCapacity(HUB, 0, 1, &capacity), kErrNone);
    EXPECT_EQ(capacity, 100u);
}

// Behind a router the modules share its link: a neighbour that answers for
// the module asked must not acknowledge its chunks.
TEST(SlotTransferBehindARouter, OnlyTheModuleAskedAnswers)
{
    VantorSim sim;
    ASSERT_TRUE(sim.Start(HubConfig(HUB, R"("behind": [
        {"name": "mimic", "address": 8, "faults": {"answer_for": [10]}},
        {"name": "far", "address": 10, "stores": {"0": {"slots": 2, "capacity": 100}}}], )")));
    sim.Control(R"({"cmd": "set", "module": "hub", "field": "route_to_me", "value": 1})");
    Link link(TcpSpec(sim.TcpPort("hub")), "router link");
    ASSERT_EQ(link.connect(), kErrNone);
    std::vector<uint8_t> bytes = Pattern(60);
    ASSERT_EQ(link.loadStoreSlot(10, 0, 1, bytes.data(), bytes.size()), kErrNone);
    const char* far = R"({"cmd": "slot", "module": "far", "store": 0, "slot": 1})";
    EXPECT_EQ(VantorSim::Text(sim.Control(far), "hex"), Hex(bytes));
}

TEST_F(SlotTransfer, SixtyBytesGoAsTwentyFiveTwentyFiveAndTen)
{
    std::vector<uint8_t> bytes = Pattern(60);
    ASSERT_EQ(link->loadStoreSlot(HUB, 0, 2, bytes.data(), bytes.size()), kErrNone);
    std::vector<std::string> requests = Requests(sim);
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[0], Request({4, 4, 0, 2})) << "open for writing";
    EXPECT_EQ(requests[1], WriteChunk(1, bytes, 0, 25));
    EXPECT_EQ(requests[2], WriteChunk(1, bytes, 25, 25));
    EXPECT_EQ(requests[3], WriteChunk(1, bytes, 50, 10));
    EXPECT_EQ(requests[4], Request({4, 8, 1}));
}

TEST_F(SlotTransfer, OneByteOverCapacityFailsWithTheModulesCode)
{
    std::vector<uint8_t> bytes = Pattern(101);
    EXPECT_EQ(link->loadStoreSlot(HUB, 0, 1, bytes.data(), bytes.size()), kErrOverrun);
    std::vector<std::string> requests = Requests(sim);
    ASSERT_EQ(requests.size(), 7u) << "open, five chunks, close";
    EXPECT_EQ(requests[5], WriteChunk(1, bytes, 100, 1));
    EXPECT_EQ(requests[6], Request({4, 8, 1}));
    bytes.resize(100);
    EXPECT_EQ(Slot(1), Hex(bytes)) << "the module keeps the chunks it took";
}

TEST_F(SlotTransfer, AWrongByteSumIsAnIOErrorAndTheSlotIsStillClosed)
{
    SetSlot(1, Pattern(5, 9));
    sim.Fault("hub", "slot_sum_off", "true");
    std::vector<uint8_t> bytes = Pattern(60);
    EXPECT_EQ(link->loadStoreSlot(HUB, 0, 1, bytes.data(), bytes.size()), kErrIO);
    std::vector<std::string> requests = Requests(sim);
    ASSERT_EQ(requests.size(), 3u) << "no chunk after the bad one";
    EXPECT_EQ(requests[1], WriteChunk(1, bytes, 0, 25));
    EXPECT_EQ(requests[2], Request({4, 8, 1}));
    bytes.resize(25);
    EXPECT_EQ(Slot(1), Hex(bytes)) << "the module took the chunk it acknowledged wrongly";
}

TEST_F(SlotTransfer, AModuleThatFallsSilentHalfWayTimesOut)
{
    std::vector<uint8_t> old = Pattern(7, 3);
    SetSlot(1, old);
    sim.Fault("hub", "slot_mute_after", "1");
    std::vector<uint8_t> bytes = Pattern(60);
    EXPECT_EQ(link->loadStoreSlot(HUB, 0, 1, bytes.data(), bytes.size()), kErrTimeout);
    std::vector<std::string> requests = AwaitRequests(sim, 4);
    EXPECT_EQ(requests.back(), Request({4, 8, 1})) << "the close was tried";
    EXPECT_EQ(Slot(1), Hex(old)) << "nothing was committed";

    sim.Fault("hub", "slot_mute_after", "1");
    SetSlot(2, Pattern(60));
    std::vector<uint8_t> buffer(60, 0);
    uint64_t count = 99;
    EXPECT_EQ(link->unloadStoreSlot(HUB, 0, 2, buffer.data(), buffer.size(), &count), kErrTimeout);
    EXPECT_EQ(count, 0u) << "no count without a good close";
}

TEST_F(SlotTransfer, ARefusedOpenIsAMediaErrorAndNothingElseIsSent)
{
    sim.Fault("hub", "slot_errors", R"({"4": 9, "3": 9})");
    std::vector<uint8_t> bytes = Pattern(10);
    EXPECT_EQ(link->loadStoreSlot(HUB, 0, 1, bytes.data(), bytes.size()), kErrMedia);
    std::vector<uint8_t> buffer(10);
    uint64_t count = 0;
    EXPECT_EQ(link->unloadStoreSlot(HUB, 0, 1, buffer.data(), buffer.size(), &count), kErrMedia);
    std::vector<std::string> requests = Requests(sim);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1], Request({4, 2, 0, 1})) << "the size comes first";
    EXPECT_EQ(requests[2], Request({4, 3, 0, 1}));
    sim.Fault("hub", "slot_errors", "null");
    EXPECT_EQ(link->loadStoreSlot(HUB, 9, 0, bytes.data(), bytes.size()), kErrMedia)
        << "no such store";
}

TEST_F(SlotTransfer, ARefusedCloseGivesItsCodeUnlessAChunkFailedFirst)
{
    std::vector<uint8_t> old = Pattern(4, 7);
    SetSlot(1, old);
    sim.Fault("hub", "slot_errors", R"({"8": 12})");
    std::vector<uint8_t> bytes = Pattern(30);
    EXPECT_EQ(link->loadStoreSlot(HUB, 0, 1, bytes.data(), bytes.size()), 12);
    EXPECT_EQ(Slot(1), Hex(old)) << "the module dropped what it could not commit";

    std::vector<uint8_t> buffer(10);
    uint64_t count = 0;
    EXPECT_EQ(link->unloadStoreSlot(HUB, 0, 1, buffer.data(), buffer.size(), &count), 12);
    EXPECT_EQ(count, 0u);

    sim.Fault("hub", "slot_sum_off", "true");
    EXPECT_EQ(link->loadStoreSlot(HUB, 0, 1, bytes.data(), bytes.size()), kErrIO)
        << "the first chunk error wins";

    sim.Fault("hub", "slot_errors", R"({"8": 0})");
    sim.Fault("hub", "slot_sum_off", "null");
    EXPECT_EQ(link->loadStoreSlot(HUB, 0, 1, bytes.data(), bytes.size()), kErrUnknown)
        << "an error reply with code 0 is no success";
}

TEST_F(SlotTransfer, UnloadingIntoAShortBufferStopsAtItsEnd)
{
    std::vector<uint8_t> content = Pattern(100);
    SetSlot(1, content);
    std::vector<uint8_t> buffer(48, 0xEE);
    uint64_t count = 0;
    EXPECT_EQ(link->unloadStoreSlot(HUB, 0, 1, buffer.data(), 40, &count), kErrOverrun);
    EXPECT_EQ(count, 40u);
    EXPECT_EQ(Hex(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 40)),
              Hex(std::vector<uint8_t>(content.begin(), content.begin() + 40)));
    EXPECT_EQ(Hex(std::vector<uint8_t>(buffer.begin() + 40, buffer.end())), std::string(16, 'e'))
        << "nothing beyond the buffer's length";
    std::vector<std::string> requests = Requests(sim);
    ASSERT_EQ(requests.size(), 5u) << "size, open, two reads, close";
    EXPECT_EQ(requests[2], Request({4, 6, 1}));
    EXPECT_EQ(requests[3], Request({4, 6, 1}));
    EXPECT_EQ(requests[4], Request({4, 8, 1}));
}

TEST_F(SlotTransfer, SizeAndCapacityWithoutAReplyTimeOut)
{
    uint64_t value = 77;
    EXPECT_EQ(link->storeSlotSize(HUB, 9, 0, &value), kErrNotFound) << "no such store";
    EXPECT_EQ(link->storeSlotCapacity(HUB, 0, 4, &value), kErrIndexRange) << "no such slot";
    sim.Fault("hub", "mute_commands", "[4]");
    EXPECT_EQ(link->storeSlotSize(HUB, 0, 1, &value), kErrTimeout);
    EXPECT_EQ(link->storeSlotCapacity(HUB, 0, 1, &value), kErrTimeout);
    EXPECT_EQ(value, 77u) << "untouched";
}

TEST_F(SlotTransfer, FactoryDataGathersFullRepliesAndClosesWithTheCount)
{
    std::vector<uint8_t> buffer(64, 0);
    uint64_t count = 0;
    ASSERT_EQ(link->getFactoryData(HUB, 0, buffer.data(), buffer.size(), &count), kErrNone);
    ASSERT_EQ(count, 34u) << "26 + 8";
    buffer.resize(count);
    EXPECT_EQ(Hex(buffer), Hex(Pattern(34)));
    std::vector<std::string> requests = Requests(sim);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0], Request({0x5E, 0x40}));
    EXPECT_EQ(requests[1], Request({0x5E, 0x00}));
    EXPECT_EQ(requests[2], Request({0x5E, 0x20, 0, 34}));

    buffer.assign(34, 0);
    count = 5;
    EXPECT_EQ(link->getFactoryData(HUB, 0, buffer.data(), buffer.size(), &count), kErrOverrun)
        << "the buffer must be longer than the data";
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Requests(sim).size(), 5u) << "no close after the overrun";

    EXPECT_EQ(link->getFactoryData(HUB, 5, buffer.data(), buffer.size(), &count), kErrNotFound);
    EXPECT_EQ(link->getFactoryData(HUB, 16, buffer.data(), buffer.size(), &count), kErrParam);
}

TEST_F(SlotTransfer, FactoryDataWrittenIsReadBack)
{
    std::vector<uint8_t> bytes = Pattern(40, 5);
    ASSERT_EQ(link->setFactoryData(HUB, 2, bytes.data(), bytes.size()), kErrNone);
    std::vector<std::string> requests = Requests(sim);
    ASSERT_EQ(requests.size(), 3u);
    std::vector<uint8_t> first = {0x5E, 0x52};
    first.insert(first.end(), bytes.begin(), bytes.begin() + 26);
    std::vector<uint8_t> second = {0x5E, 0x12};
    second.insert(second.end(), bytes.begin() + 26, bytes.end());
    EXPECT_EQ(requests[0], Request(first));
    EXPECT_EQ(requests[1], Request(second));
    EXPECT_EQ(requests[2], Request({0x5E, 0x20, 0, 40}));
    EXPECT_EQ(Factory(2), Hex(bytes));

    std::vector<uint8_t> buffer(41, 0);
    uint64_t count = 0;
    ASSERT_EQ(link->getFactoryData(HUB, 2, buffer.data(), buffer.size(), &count), kErrNone);
    buffer.resize(count);
    EXPECT_EQ(Hex(buffer), Hex(bytes));
}

TEST_F(SlotTransfer, AFailedFactoryWriteLeavesTheBlockAsItWas)
{
    std::vector<uint8_t> bytes = Pattern(60);
    EXPECT_EQ(link->setFactoryData(HUB, 2, bytes.data(), bytes.size()), kErrOverrun)
        << "the module's code for a block above its capacity";
    EXPECT_EQ(Requests(sim).size(), 2u) << "no close after the refused chunk";
    EXPECT_EQ(Factory(2), "a1a2");

    sim.Fault("hub", "mute_commands", "[94]");
    EXPECT_EQ(link->setFactoryData(HUB, 2, bytes.data(), 20), kErrTimeout);
    std::vector<uint8_t> buffer(64);
    uint64_t count = 0;
    EXPECT_EQ(link->getFactoryData(HUB, 2, buffer.data(), buffer.size(), &count), kErrTimeout);
    EXPECT_EQ(Factory(2), "a1a2");
}

TEST_F(SlotTransfer, NothingGoesOutWithoutALinkOrToABadAddress)
{
    std::vector<uint8_t> bytes = Pattern(10);
    uint64_t value = 0;
    EXPECT_EQ(link->loadStoreSlot(3, 0, 1, bytes.data(), bytes.size()), kErrPacket);
    EXPECT_EQ(link->storeSlotSize(0, 0, 1, &value), kErrPacket);
    EXPECT_EQ(link->loadStoreSlot(HUB, 0, 1, nullptr, 5), kErrParam);
    EXPECT_EQ(link->setFactoryData(HUB, 2, bytes.data(), 0x10000), kErrParam);
    EXPECT_TRUE(Requests(sim).empty());
    (void)link->disconnect();
    EXPECT_EQ(link->loadStoreSlot(HUB, 0, 1, bytes.data(), bytes.size()), kErrConnection);
    EXPECT_EQ(link->unloadStoreSlot(HUB, 0, 1, bytes.data(), bytes.size(), &value), kErrConnection);
    EXPECT_EQ(link->storeSlotCapacity(HUB, 0, 1, &value), kErrConnection);
    EXPECT_EQ(link->getFactoryData(HUB, 0, bytes.data(), bytes.size(), &value), kErrConnection);
    EXPECT_EQ(link->setFactoryData(HUB, 0, bytes.data(), bytes.size()), kErrConnection);
}

TEST_F(SlotTransfer, ModuleAndSystemEntityForwardWithTheModulesAddress)
{
    Module module(2, 0);
    ASSERT_EQ(module.connectFromSpec(TcpSpec(sim.TcpPort("hub"))), kErrNone);
    ASSERT_EQ(module.getModuleAddress(), HUB) << "learnt from the module";
    SystemClass system;
    uint64_t value = 0;
    EXPECT_EQ(system.storeSlotSize(0, 1, &value), kErrResource) << "no module yet";
    ASSERT_EQ(system.init(&module, 0), kErrNone);

    std::vector<uint8_t> bytes = Pattern(30);
    ASSERT_EQ(module.loadStoreSlot(0, 3, bytes.data(), bytes.size()), kErrNone);
    ASSERT_EQ(system.storeSlotSize(0, 3, &value), kErrNone);
    EXPECT_EQ(value, 30u);
    ASSERT_EQ(module.storeSlotCapacity(0, 3, &value), kErrNone);
    EXPECT_EQ(value, 100u);
    std::vector<uint8_t> buffer(30);
    ASSERT_EQ(system.unloadStoreSlot(0, 3, buffer.data(), buffer.size(), &value), kErrNone);
    EXPECT_EQ(Hex(buffer), Hex(bytes));
    ASSERT_EQ(system.loadStoreSlot(0, 3, bytes.data(), 5), kErrNone);
    ASSERT_EQ(module.unloadStoreSlot(0, 3, buffer.data(), buffer.size(), &value), kErrNone);
    EXPECT_EQ(value, 5u);
    ASSERT_EQ(system.storeSlotCapacity(0, 3, &value), kErrNone);

    ASSERT_EQ(system.setFactoryData(2, bytes.data(), 12), kErrNone);
    ASSERT_EQ(module.getFactoryData(2, buffer.data(), buffer.size(), &value), kErrNone);
    EXPECT_EQ(value, 12u);
    ASSERT_EQ(module.setFactoryData(2, bytes.data(), 3), kErrNone);
    ASSERT_EQ(system.getFactoryData(2, buffer.data(), buffer.size(), &value), kErrNone);
    EXPECT_EQ(value, 3u);
    EXPECT_EQ(Factory(2), Hex(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 3)));
    for (const std::string& frame : Requests(sim))
        EXPECT_EQ(frame.compare(0, 2, "06"), 0) << frame;
}

} // namespace

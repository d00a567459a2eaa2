#include "device/core/kPacketFifo.h"
#include "device/core/kTime.h"
#include "tests/device/core/test_packets.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

namespace
{

// A queue that is destroyed however the test ends.
struct Fifo {
    explicit Fifo(bool outbound = false)
        : ref(outbound ? kPacketFifo_CreateOutbound() : kPacketFifo_Create())
    {
    }
    ~Fifo()
    {
        if (ref)
            (void)kPacketFifo_Destroy(&ref);
    }
    uint64_t ref;
};

kErr put(uint64_t fifo, std::initializer_list<uint8_t> data)
{
    PacketPtr packet = makePacket(data);
    return kPacketFifo_Put(fifo, packet.get());
}

// data[0] of the next packet, or -1 for none.
int takeFirstByte(kPacket* taken)
{
    PacketPtr packet(taken);
    return packet ? packet->data[0] : -1;
}

bool firstByteIs(const kPacket* packet, void* reference)
{
    return packet->data[0] == *(const uint8_t*)reference;
}

int64_t monotonicNS()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

} // namespace

TEST(kPacketFifo, KeepsOrderAndHandsOutCopies)
{
    Fifo fifo;
    ASSERT_NE(fifo.ref, 0u);
    PacketPtr mine = makePacket({1});
    ASSERT_EQ(kPacketFifo_Put(fifo.ref, mine.get()), kErrNone);
    mine->data[0] = 9;
    ASSERT_EQ(put(fifo.ref, {2}), kErrNone);
    EXPECT_EQ(kPacketFifo_GetLength(fifo.ref), 2);

    PacketPtr first(kPacketFifo_Get(fifo.ref));
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first.get(), mine.get());
    EXPECT_EQ(first->data[0], 1) << "the queue keeps its own copy";
    EXPECT_TRUE(kPacket_IsComplete(first.get()));
    EXPECT_EQ(takeFirstByte(kPacketFifo_Await(fifo.ref, 0)), 2);
    EXPECT_EQ(kPacketFifo_Get(fifo.ref), nullptr);
    EXPECT_EQ(kPacketFifo_GetLength(fifo.ref), 0);
}

TEST(kPacketFifo, RefusesBadArguments)
{
    Fifo fifo;
    kPacket forged = PACK;
    forged.magic = 0;
    EXPECT_EQ(kPacketFifo_Put(fifo.ref, &forged), kErrParam);
    EXPECT_EQ(kPacketFifo_Put(fifo.ref, nullptr), kErrParam);
    EXPECT_EQ(put(0, {1}), kErrParam);
    EXPECT_EQ(kPacketFifo_Get(0), nullptr);
    EXPECT_EQ(kPacketFifo_GetLength(0), 0);
    ASSERT_EQ(put(fifo.ref, {1}), kErrNone);
    EXPECT_EQ(kPacketFifo_GetFirst(fifo.ref, nullptr, nullptr), nullptr);
    EXPECT_EQ(kPacketFifo_AwaitFirst(fifo.ref, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(kPacketFifo_DrainPackets(fifo.ref, nullptr, nullptr), 0);
    EXPECT_EQ(kPacketFifo_GetLength(fifo.ref), 1);
    EXPECT_EQ(kPacketFifo_Destroy(nullptr), kErrParam);
    uint64_t none = 0;
    EXPECT_EQ(kPacketFifo_Destroy(&none), kErrNotFound);
}

TEST(kPacketFifo, DestroyedReferencesStayDeadAndAreNeverReused)
{
    uint64_t a = kPacketFifo_Create();
    ASSERT_NE(a, 0u);
    ASSERT_EQ(put(a, {1}), kErrNone);
    uint64_t kept = a;
    EXPECT_EQ(kPacketFifo_Destroy(&a), kErrNone);
    EXPECT_EQ(a, 0u);
    EXPECT_EQ(kPacketFifo_Get(kept), nullptr);
    EXPECT_EQ(kPacketFifo_Await(kept, 10), nullptr);
    EXPECT_EQ(put(kept, {1}), kErrParam);
    uint64_t again = kept;
    EXPECT_EQ(kPacketFifo_Destroy(&again), kErrNotFound);
    EXPECT_EQ(again, kept) << "an unknown reference is left alone";

    uint64_t b = kPacketFifo_CreateOutbound();
    uint64_t c = kPacketFifo_Create();
    EXPECT_GT(b, kept);
    EXPECT_EQ(c, b + 1);
    EXPECT_EQ(kPacketFifo_Get(kept), nullptr);
    (void)kPacketFifo_Destroy(&c);
    (void)kPacketFifo_Destroy(&b);
}

// Removing the last node must move the tail to its predecessor, or the
// next put would hang off the freed node.
TEST(kPacketFifo, GetFirstOfTheLastMendsTheTail)
{
    Fifo fifo;
    for (uint8_t i = 1; i <= 3; i++)
        ASSERT_EQ(put(fifo.ref, {i}), kErrNone);
    uint8_t wanted = 3;
    EXPECT_EQ(takeFirstByte(kPacketFifo_GetFirst(fifo.ref, firstByteIs, &wanted)), 3);
    EXPECT_EQ(kPacketFifo_GetLength(fifo.ref), 2);
    ASSERT_EQ(put(fifo.ref, {4}), kErrNone);
    wanted = 4;
    EXPECT_EQ(takeFirstByte(kPacketFifo_GetFirst(fifo.ref, firstByteIs, &wanted)), 4);
    ASSERT_EQ(put(fifo.ref, {5}), kErrNone);
    std::vector<int> rest;
    for (int b; (b = takeFirstByte(kPacketFifo_Get(fifo.ref))) >= 0;)
        rest.push_back(b);
    EXPECT_EQ(rest, (std::vector<int>{1, 2, 5}));
    wanted = 1;
    EXPECT_EQ(kPacketFifo_GetFirst(fifo.ref, firstByteIs, &wanted), nullptr);
}

TEST(kPacketFifo, DrainTakesOnlyWhatTheFilterAccepts)
{
    Fifo fifo;
    for (uint8_t b : {7, 1, 7, 2, 7})
        ASSERT_EQ(put(fifo.ref, {b}), kErrNone);
    uint8_t seven = 7;
    EXPECT_EQ(kPacketFifo_DrainPackets(fifo.ref, firstByteIs, &seven), 3);
    EXPECT_EQ(kPacketFifo_GetLength(fifo.ref), 2);
    ASSERT_EQ(put(fifo.ref, {3}), kErrNone);
    EXPECT_EQ(takeFirstByte(kPacketFifo_Get(fifo.ref)), 1);
    EXPECT_EQ(takeFirstByte(kPacketFifo_Get(fifo.ref)), 2);
    EXPECT_EQ(takeFirstByte(kPacketFifo_Get(fifo.ref)), 3);
    ASSERT_EQ(put(fifo.ref, {4}), kErrNone);
    EXPECT_EQ(kPacketFifo_DrainPackets(fifo.ref, drainAll, nullptr), 1);
    EXPECT_EQ(kPacketFifo_DrainPackets(fifo.ref, drainAll, nullptr), 0);
    EXPECT_EQ(kPacketFifo_DrainPackets(0, drainAll, nullptr), 0);
}

TEST(kPacketFifo, AReceivedQueueEmptiesOnThe21stPacket)
{
    Fifo fifo;
    for (uint8_t i = 0; i < 20; i++)
        ASSERT_EQ(put(fifo.ref, {i}), kErrNone);
    EXPECT_EQ(kPacketFifo_GetLength(fifo.ref), 20);
    EXPECT_EQ(put(fifo.ref, {20}), kErrNone);
    EXPECT_EQ(kPacketFifo_GetLength(fifo.ref), 0);
    EXPECT_EQ(kPacketFifo_Get(fifo.ref), nullptr);
    EXPECT_EQ(put(fifo.ref, {21}), kErrNone);
    EXPECT_EQ(takeFirstByte(kPacketFifo_Get(fifo.ref)), 21);
}

TEST(kPacketFifo, AnOutboundQueueIsNeverDrained)
{
    Fifo fifo(true);
    for (int i = 0; i < kPACKETFIFO_OUTBOUND_LIMIT; i++)
        ASSERT_EQ(put(fifo.ref, {(uint8_t)i}), kErrNone) << i;
    EXPECT_EQ(put(fifo.ref, {0xEE}), kErrOverrun);
    EXPECT_EQ(kPacketFifo_GetLength(fifo.ref), kPACKETFIFO_OUTBOUND_LIMIT);
    EXPECT_EQ(takeFirstByte(kPacketFifo_Get(fifo.ref)), 0);
    EXPECT_EQ(put(fifo.ref, {0xEF}), kErrNone);
    int last = -1;
    for (int b; (b = takeFirstByte(kPacketFifo_Get(fifo.ref))) >= 0;)
        last = b;
    EXPECT_EQ(last, 0xEF);
}

// Started a few milliseconds before a whole second, so that adding the
// 999 ms part of the time-out carries into the seconds.
TEST(kPacketFifo, AwaitWaitsTheWholeTimeOut)
{
    Fifo fifo;
    while (monotonicNS() % 1000000000 < 990000000)
        kTime_MSSleep(1);
    int64_t start = monotonicNS();
    EXPECT_EQ(kPacketFifo_Await(fifo.ref, 1999), nullptr);
    EXPECT_GE(monotonicNS() - start, 1999 * 1000000LL);
}

TEST(kPacketFifo, AwaitTakesAPacketPutMeanwhile)
{
    Fifo fifo;
    std::thread producer([&] {
        kTime_MSSleep(50);
        (void)put(fifo.ref, {0x31});
    });
    EXPECT_EQ(takeFirstByte(kPacketFifo_Await(fifo.ref, 10000)), 0x31);
    producer.join();
}

// Packets that the filter rejects wake the waiter, which must go back to
// waiting for the time that is left instead of giving up.
TEST(kPacketFifo, AwaitFirstWaitsUntilItsOwnDeadline)
{
    Fifo fifo;
    uint8_t wanted = 0xAA;
    std::thread producer([&] {
        for (uint8_t i = 1; i <= 5; i++) {
            kTime_MSSleep(40);
            (void)put(fifo.ref, {i});
        }
    });
    int64_t start = monotonicNS();
    EXPECT_EQ(kPacketFifo_AwaitFirst(fifo.ref, firstByteIs, &wanted, 400), nullptr);
    EXPECT_GE(monotonicNS() - start, 400 * 1000000LL);
    producer.join();
    EXPECT_EQ(kPacketFifo_GetLength(fifo.ref), 5) << "rejected packets stay queued";

    std::thread matcher([&] {
        for (uint8_t b : {6, 7, 0xAA, 8}) {
            kTime_MSSleep(40);
            (void)put(fifo.ref, {b});
        }
    });
    EXPECT_EQ(takeFirstByte(kPacketFifo_AwaitFirst(fifo.ref, firstByteIs, &wanted, 10000)), 0xAA);
    matcher.join();
    EXPECT_EQ(takeFirstByte(kPacketFifo_Get(fifo.ref)), 1);
}

// A put that wakes only the filtered waiter, which does not want the
// packet, would leave the plain waiter asleep with a packet queued.
TEST(kPacketFifo, AFilteredWaiterDoesNotSwallowAWakeUp)
{
    Fifo fifo;
    uint8_t wanted = 0xAA;
    int filtered = -2, plain = -2;
    std::thread a([&] {
        filtered = takeFirstByte(kPacketFifo_AwaitFirst(fifo.ref, firstByteIs, &wanted, 5000));
    });
    // The older waiter is the likelier one to be woken by a single signal.
    kTime_MSSleep(50);
    std::thread b([&] { plain = takeFirstByte(kPacketFifo_Await(fifo.ref, 5000)); });
    kTime_MSSleep(50);
    ASSERT_EQ(put(fifo.ref, {0x01}), kErrNone);
    b.join();
    EXPECT_EQ(plain, 0x01);
    ASSERT_EQ(put(fifo.ref, {0xAA}), kErrNone);
    a.join();
    EXPECT_EQ(filtered, 0xAA);
}

TEST(kPacketFifo, ManyProducersAndConsumersLoseAndDuplicateNothing)
{
    const int producers = 3, consumers = 3, each = 2000;
    Fifo fifo(true);
    std::atomic<int> done{0};
    std::vector<std::vector<std::pair<int, int>>> seen(consumers);
    std::vector<std::thread> threads;
    for (int c = 0; c < consumers; c++) {
        threads.emplace_back([&, c] {
            while (done.load() < producers || kPacketFifo_GetLength(fifo.ref) > 0) {
                PacketPtr p(kPacketFifo_Await(fifo.ref, 20));
                if (p)
                    seen[c].push_back({p->data[0], p->data[1] << 8 | p->data[2]});
            }
        });
    }
    for (int p = 0; p < producers; p++) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < each; i++) {
                while (put(fifo.ref, {(uint8_t)p, (uint8_t)(i >> 8), (uint8_t)i}) == kErrOverrun)
                    std::this_thread::yield();
            }
            done++;
        });
    }
    for (std::thread& t : threads)
        t.join();
    std::set<std::pair<int, int>> all;
    size_t total = 0;
    for (const auto& list : seen) {
        std::vector<int> last(producers, -1);
        for (const auto& [producer, sequence] : list) {
            EXPECT_GT(sequence, last[producer]) << "each consumer sees a producer's order";
            last[producer] = sequence;
            all.insert({producer, sequence});
        }
        total += list.size();
    }
    EXPECT_EQ(total, (size_t)(producers * each));
    EXPECT_EQ(all.size(), (size_t)(producers * each));
}

// The waiters must wake, return none and leave before the storage goes;
// AddressSanitizer and ThreadSanitizer see any touch of freed memory.
TEST(kPacketFifo, DestroyWakesEveryWaiter)
{
    for (int round = 0; round < 200; round++) {
        uint64_t fifo = kPacketFifo_Create();
        ASSERT_NE(fifo, 0u);
        const uint64_t ref = fifo;
        std::atomic<int> started{0}, returnedNone{0};
        std::atomic<bool> stop{false};
        uint8_t wanted = 0xAA;
        std::vector<std::thread> threads;
        // The producer's packets keep the plain waiter busy and are
        // rejected by the filtered ones, so only the close ends them.
        auto plain = [&] {
            started++;
            while (PacketPtr(kPacketFifo_Await(ref, 10000)) != nullptr) {
            }
            returnedNone++;
        };
        auto filtered = [&] {
            started++;
            if (!kPacketFifo_AwaitFirst(ref, firstByteIs, &wanted, 10000))
                returnedNone++;
        };
        threads.emplace_back(plain);
        threads.emplace_back(filtered);
        threads.emplace_back(filtered);
        threads.emplace_back([&] {
            started++;
            while (!stop.load())
                (void)put(ref, {0x01});
        });
        while (started.load() < 4)
            std::this_thread::yield();
        if (round % 2)
            kTime_MSSleep(1);
        ASSERT_EQ(kPacketFifo_Destroy(&fifo), kErrNone);
        stop = true;
        for (std::thread& t : threads)
            t.join();
        EXPECT_EQ(returnedNone.load(), 3) << round;
        EXPECT_EQ(kPacketFifo_Get(ref), nullptr);
        EXPECT_EQ(put(ref, {0x01}), kErrParam);
    }
}

#include "device/core/kPacketLog.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <vector>

namespace
{

struct LogDeleter {
    void operator()(kPacketLog* log) const { (void)kPacketLog_Destroy(&log); }
};
using LogPtr = std::unique_ptr<kPacketLog, LogDeleter>;

struct Entry {
    uint32_t kind;
    std::vector<uint8_t> bytes;
    bool operator==(const Entry& other) const { return kind == other.kind && bytes == other.bytes; }
};

std::vector<uint8_t> bytesFrom(uint8_t first, size_t n)
{
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; i++)
        bytes[i] = (uint8_t)(first + i);
    return bytes;
}

kErr putEntry(kPacketLog* log, uint8_t kind, const std::vector<uint8_t>& bytes)
{
    return kPacketLog_Put(log, kind, (uint32_t)bytes.size(), bytes.data());
}

// The next entry, with kind 0 and no bytes once the log is empty.
Entry getEntry(kPacketLog* log)
{
    Entry entry{0, std::vector<uint8_t>(255)};
    uint32_t length = 255;
    kErr err = kPacketLog_Get(log, &entry.kind, &length, entry.bytes.data());
    EXPECT_TRUE(err == kErrNone || err == kErrNotFound) << err;
    entry.bytes.resize(err ? 0 : length);
    if (err)
        entry.kind = 0;
    return entry;
}

} // namespace

TEST(kPacketLog, CreatesAnEmptyDisabledRing)
{
    LogPtr log(kPacketLog_Create(64));
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(log->enabled, 0);
    EXPECT_EQ(log->size, 64u);
    uint32_t kind = 9, length = 0;
    EXPECT_EQ(kPacketLog_Get(log.get(), &kind, &length, nullptr), kErrNotFound);
    EXPECT_EQ(kPacketLog_Create(0), nullptr);
}

// An entry needs its length + 2 strictly below the free count, so one byte
// always stays free and a full ring is never taken for an empty one.
TEST(kPacketLog, FitRuleOfATenByteRing)
{
    LogPtr log(kPacketLog_Create(10));
    EXPECT_EQ(putEntry(log.get(), 2, bytesFrom(0x10, 7)), kErrNone);
    EXPECT_EQ(putEntry(log.get(), 2, bytesFrom(0x30, 8)), kErrOverrun);
    EXPECT_EQ(getEntry(log.get()), (Entry{2, bytesFrom(0x10, 7)})) << "the ring was untouched";

    EXPECT_EQ(putEntry(log.get(), 1, bytesFrom(0x10, 7)), kErrNone);
    EXPECT_EQ(putEntry(log.get(), 2, bytesFrom(0x20, 7)), kErrNone);
    EXPECT_EQ(getEntry(log.get()), (Entry{2, bytesFrom(0x20, 7)}));
    EXPECT_EQ(getEntry(log.get()).kind, 0u);
}

TEST(kPacketLog, DropsTheOldestEntriesFirst)
{
    LogPtr log(kPacketLog_Create(20));
    for (uint8_t i = 1; i <= 4; i++)
        ASSERT_EQ(putEntry(log.get(), i, bytesFrom(i, 3)), kErrNone);
    for (uint8_t i = 2; i <= 4; i++)
        EXPECT_EQ(getEntry(log.get()), (Entry{i, bytesFrom(i, 3)}));
    EXPECT_EQ(getEntry(log.get()).kind, 0u);
    // One large entry pushes out several small ones at once.
    for (uint8_t i = 1; i <= 3; i++)
        ASSERT_EQ(putEntry(log.get(), i, bytesFrom(i, 2)), kErrNone);
    ASSERT_EQ(putEntry(log.get(), 7, bytesFrom(0x70, 12)), kErrNone);
    EXPECT_EQ(getEntry(log.get()), (Entry{3, bytesFrom(3, 2)}));
    EXPECT_EQ(getEntry(log.get()), (Entry{7, bytesFrom(0x70, 12)}));
}

// Entries whose bytes, length byte or kind byte lie across the end of the
// ring come back whole, and dropping them finds the next entry.
TEST(kPacketLog, EntriesStraddleTheEnd)
{
    LogPtr log(kPacketLog_Create(16));
    ASSERT_EQ(putEntry(log.get(), 1, bytesFrom(0, 10)), kErrNone);
    getEntry(log.get());
    ASSERT_EQ(putEntry(log.get(), 2, bytesFrom(0x40, 10)), kErrNone);
    EXPECT_LT(log->head, log->tail) << "the entry wrapped";
    EXPECT_EQ(getEntry(log.get()), (Entry{2, bytesFrom(0x40, 10)}));

    for (uint32_t head = 0; head < 16; head++) {
        log->head = log->tail = head;
        ASSERT_EQ(putEntry(log.get(), 3, bytesFrom(0x50, 4)), kErrNone);
        ASSERT_EQ(putEntry(log.get(), 4, bytesFrom(0x60, 4)), kErrNone);
        ASSERT_EQ(putEntry(log.get(), 5, bytesFrom(0x70, 4)), kErrNone) << head;
        EXPECT_EQ(getEntry(log.get()), (Entry{4, bytesFrom(0x60, 4)})) << head;
        EXPECT_EQ(getEntry(log.get()), (Entry{5, bytesFrom(0x70, 4)})) << head;
        EXPECT_EQ(getEntry(log.get()).kind, 0u) << head;
    }
}

TEST(kPacketLog, ShortBufferReportsTheLengthForARetry)
{
    LogPtr log(kPacketLog_Create(64));
    ASSERT_EQ(putEntry(log.get(), 2, bytesFrom(0x80, 5)), kErrNone);
    ASSERT_EQ(putEntry(log.get(), 1, bytesFrom(0x90, 2)), kErrNone);
    uint32_t kind = 0, length = 4;
    uint8_t buffer[8] = {};
    EXPECT_EQ(kPacketLog_Get(log.get(), &kind, &length, buffer), kErrOverrun);
    EXPECT_EQ(kind, 2u);
    EXPECT_EQ(length, 5u);
    length = 0;
    EXPECT_EQ(kPacketLog_Get(log.get(), &kind, &length, nullptr), kErrOverrun);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(kPacketLog_Get(log.get(), &kind, &length, buffer), kErrNone);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + length), bytesFrom(0x80, 5));
    EXPECT_EQ(getEntry(log.get()), (Entry{1, bytesFrom(0x90, 2)}));
}

TEST(kPacketLog, RefusesEntriesItCannotDescribe)
{
    LogPtr log(kPacketLog_Create(4096));
    ASSERT_EQ(putEntry(log.get(), 3, bytesFrom(1, 1)), kErrNone);
    EXPECT_EQ(putEntry(log.get(), 3, std::vector<uint8_t>(256, 0xAB)), kErrOverrun);
    EXPECT_EQ(kPacketLog_Put(log.get(), 3, UINT32_MAX, bytesFrom(0, 1).data()), kErrOverrun);
    EXPECT_EQ(putEntry(log.get(), 3, std::vector<uint8_t>(255, 0xAB)), kErrNone);
    EXPECT_EQ(putEntry(log.get(), 9, {}), kErrNone);
    EXPECT_EQ(getEntry(log.get()), (Entry{3, bytesFrom(1, 1)}));
    EXPECT_EQ(getEntry(log.get()), (Entry{3, std::vector<uint8_t>(255, 0xAB)}));
    EXPECT_EQ(getEntry(log.get()), (Entry{9, {}})) << "any kind, and empty entries";
    EXPECT_EQ(kPacketLog_Put(nullptr, 1, 0, nullptr), kErrParam);
    EXPECT_EQ(kPacketLog_Put(log.get(), 1, 3, nullptr), kErrParam);
}

// A long random run against a plain list of entries.
TEST(kPacketLog, MatchesAModelOverManyOperations)
{
    for (uint32_t size : {3u, 17u, 64u, 300u}) {
        LogPtr log(kPacketLog_Create(size));
        std::deque<Entry> model;
        uint32_t used = 0, seed = size;
        for (int step = 0; step < 5000; step++) {
            seed = seed * 1103515245u + 12345u;
            uint32_t n = (seed >> 8) % 40;
            if ((seed >> 20) % 3 == 0) {
                Entry expected = model.empty() ? Entry{0, {}} : model.front();
                if (!model.empty()) {
                    used -= (uint32_t)expected.bytes.size() + 2;
                    model.pop_front();
                }
                ASSERT_EQ(getEntry(log.get()), expected) << size << " " << step;
                continue;
            }
            Entry entry{(uint8_t)step, bytesFrom((uint8_t)seed, n)};
            bool fits = n + 2 < size;
            ASSERT_EQ(putEntry(log.get(), (uint8_t)step, entry.bytes),
                      fits ? kErrNone : kErrOverrun);
            if (!fits)
                continue;
            while (n + 2 >= size - used) {
                used -= (uint32_t)model.front().bytes.size() + 2;
                model.pop_front();
            }
            model.push_back(entry);
            used += n + 2;
        }
    }
}

TEST(kPacketLog, DestroyClearsTheCallersPointer)
{
    kPacketLog* log = kPacketLog_Create(8);
    EXPECT_EQ(kPacketLog_Destroy(&log), kErrNone);
    EXPECT_EQ(log, nullptr);
    EXPECT_EQ(kPacketLog_Destroy(&log), kErrNone);
    EXPECT_EQ(kPacketLog_Destroy(nullptr), kErrNone);
}

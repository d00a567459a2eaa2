#include "device/object/LocklessQueue.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

using Kelvane::Vantor::LocklessQueue_SPSC;

TEST(LocklessQueue, FiveHundredSlotsHoldFourHundredNinetyNine)
{
    LocklessQueue_SPSC<int> queue(500);
    int out = -1;
    EXPECT_FALSE(queue.pop(out));
    for (int i = 0; i < 499; i++) {
        int v = i;
        ASSERT_TRUE(queue.push(v)) << i;
    }
    int refused = 499;
    EXPECT_FALSE(queue.push(refused)) << "one slot always stays empty";
    EXPECT_EQ(refused, 499) << "a refused element is left to the caller";
    for (int i = 0; i < 499; i++) {
        ASSERT_TRUE(queue.pop(out));
        EXPECT_EQ(out, i);
    }
    EXPECT_FALSE(queue.pop(out));
}

TEST(LocklessQueue, KeepsItsOrderAcrossTheWrap)
{
    LocklessQueue_SPSC<int> queue(3);
    int out = -1;
    for (int round = 0; round < 10; round++) {
        int a = 2 * round, b = 2 * round + 1, c = -1;
        ASSERT_TRUE(queue.push(a));
        ASSERT_TRUE(queue.push(b));
        ASSERT_FALSE(queue.push(c));
        ASSERT_TRUE(queue.pop(out));
        EXPECT_EQ(out, 2 * round);
        ASSERT_TRUE(queue.pop(out));
        EXPECT_EQ(out, 2 * round + 1);
    }
    LocklessQueue_SPSC<int> tiny(1);
    int v = 1;
    EXPECT_FALSE(tiny.push(v)) << "a single slot holds nothing";
}

TEST(LocklessQueue, MovesElementsInAndOut)
{
    LocklessQueue_SPSC<std::unique_ptr<int>> queue(4);
    std::unique_ptr<int> in(new int(7));
    ASSERT_TRUE(queue.push(in));
    EXPECT_EQ(in, nullptr);
    std::unique_ptr<int> out;
    ASSERT_TRUE(queue.pop(out));
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(*out, 7);
}

// One producer and one consumer at full speed: every element arrives once,
// in order, whole. Run under ThreadSanitizer this also checks that the
// slots are handed over without a race.
TEST(LocklessQueue, OneProducerAndOneConsumerMeetWithoutLoss)
{
    const int count = 200000;
    LocklessQueue_SPSC<std::unique_ptr<int>> queue(500);
    std::thread producer([&] {
        for (int i = 0; i < count;) {
            std::unique_ptr<int> element(new int(i));
            if (queue.push(element))
                i++;
            else
                std::this_thread::yield();
        }
    });
    int expected = 0;
    bool inOrder = true;
    while (expected < count) {
        std::unique_ptr<int> element;
        if (queue.pop(element)) {
            inOrder = inOrder && element && *element == expected;
            expected++;
        } else {
            std::this_thread::yield();
        }
    }
    producer.join();
    EXPECT_TRUE(inOrder);
    std::unique_ptr<int> none;
    EXPECT_FALSE(queue.pop(none));
}

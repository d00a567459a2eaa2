#pragma once
// A bounded queue for exactly one producer thread and one consumer thread,
// without locks: the producer alone writes the tail, the consumer alone the
// head, and each publishes its index only after it is done with the slot.
// The slots are allocated once, with the queue; one always stays empty, so
// a queue of n slots holds at most n - 1 elements.

#include <stdint.h>

#include <atomic>
#include <memory>
#include <new>
#include <utility>

namespace Kelvane
{
namespace Vantor
{

template <typename T>
class LocklessQueue_SPSC
{
public:
    /// A queue of `capacity` slots. When they cannot be allocated the queue
    /// has none and refuses every push.
    explicit LocklessQueue_SPSC(uint16_t capacity)
        : slots(new (std::nothrow) T[capacity]), capacity(slots ? capacity : 0), tail(0), head(0)
    {
    }

    LocklessQueue_SPSC(const LocklessQueue_SPSC&) = delete;
    LocklessQueue_SPSC& operator=(const LocklessQueue_SPSC&) = delete;

    /// Producer only. False, with the element untouched, when the queue is
    /// full.
    bool push(T& element)
    {
        if (capacity < 2)
            return false;
        uint16_t n = next(tail.load());
        if (n == head.load())
            return false;
        slots[n] = std::move(element);
        tail.store(n);
        return true;
    }

    /// Consumer only. False when the queue is empty. The slot is moved out,
    /// so it keeps nothing of the element alive.
    bool pop(T& element)
    {
        uint16_t h = head.load();
        if (h == tail.load())
            return false;
        h = next(h);
        // The producer never writes the slot that head names, so the
        // element stays whole while it is moved out.
        head.store(h);
        element = std::move(slots[h]);
        return true;
    }

private:
    uint16_t next(uint16_t i) const { return (uint16_t)(i + 1 < capacity ? i + 1 : 0); }

    std::unique_ptr<T[]> slots;
    uint16_t capacity;
    std::atomic<uint16_t> tail;
    std::atomic<uint16_t> head;
};

} // namespace Vantor
} // namespace Kelvane

#pragma once
// The replies of one engine link, matched on its reader thread to the
// requests that await them. Every Link object on the engine link (a router
// and the modules behind it share one) waits here, so the rule that a reply
// comes from the module asked is kept in one place: a wait names the source
// address, command and option of its reply, and only such packets reach its
// filter.
//
// A packet that no wait takes is kept for the waits to come: one that
// answers a request still outstanding (expect) in a store of its own, any
// other (unknown) among at most UNKNOWN_KEPT, the oldest of which goes
// first. Unknown packets therefore never push out an awaited reply. A
// packet for a wait that gave up is late: it is counted, logged and kept
// as an unknown one, for a caller that drops stale replies to find.
//
// A reply goes from the reader to its waiter with one wake-up: the waiter
// sleeps on a condition of its own until its packet is handed over or its
// deadline passes. Any thread may call any operation.

#include "device/core/internal/kThreadAnnotations.h"
#include "device/core/kCancel.h"
#include "device/core/kError.h"
#include "device/core/kPacket.h"
#include "device/core/kPacketFifo.h"

#include <stdint.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace Kelvane
{
namespace Vantor
{

/// std::mutex with the capability annotations, so clang checks the locking
/// of the stream table and of the matcher.
class K_CAPABILITY("mutex") StreamLock
{
public:
    void lock() K_ACQUIRE() { mutex.lock(); }
    void unlock() K_RELEASE() { mutex.unlock(); }

private:
    std::mutex mutex;
};

class K_SCOPED_CAPABILITY StreamGuard
{
public:
    explicit StreamGuard(StreamLock& held) K_ACQUIRE(held) : held(held) { held.lock(); }
    ~StreamGuard() K_RELEASE() { held.unlock(); }
    StreamGuard(const StreamGuard&) = delete;
    StreamGuard& operator=(const StreamGuard&) = delete;

private:
    StreamLock& held;
};

/// Which packets a request is answered by. ANY in a field matches every
/// value; options are compared by their code alone (bits 0-5), without the
/// direction and error bits.
struct ReplyKey {
    static const uint16_t ANY = 0x100;
    uint16_t address;
    uint16_t command;
    uint16_t option;

    bool operator==(const ReplyKey& other) const
    {
        return address == other.address && command == other.command && option == other.option;
    }
    /// True when the packet has the key's address, command and option.
    bool matches(const kPacket* packet) const;
};

class ReplyMatcher
{
public:
    /// The packets kept that no request is outstanding for.
    static const size_t UNKNOWN_KEPT = 20;
    /// The packets kept for outstanding requests: twice the longest bytes
    /// value.
    static const size_t EXPECTED_KEPT = 256;
    /// How long after a wait gave up its reply still counts as late, and
    /// how long a request stays outstanding without a wait.
    static const uint64_t LATE_WINDOW_MS = 10000;

    /// A key and when it was marked.
    struct Mark {
        ReplyKey key;
        uint64_t at;
    };

    struct Counts {
        uint64_t matched;
        uint64_t late;
        uint64_t unknown;
        /// Kept packets dropped for room.
        uint64_t dropped;
    };

    explicit ReplyMatcher(uint32_t linkId);
    /// Logs the counts.
    ~ReplyMatcher();
    ReplyMatcher(const ReplyMatcher&) = delete;
    ReplyMatcher& operator=(const ReplyMatcher&) = delete;

    /// A request with replies of that key was sent: they are kept for the
    /// next wait of the key, which ends the request.
    void expect(const ReplyKey& key);
    /// The oldest kept packet of the key that `filter` accepts, else the
    /// first such packet to arrive within `timeoutMS`; null at the deadline,
    /// within kCANCEL_SLICE_MS of the run's cancellation (`cancel` may be
    /// null) and at once while the engine link does not run. The filter runs
    /// under the matcher's lock (on the reader thread too) and must not call
    /// it.
    kPacket* await(const ReplyKey& key, kPacketFilter filter, void* reference, uint64_t timeoutMS,
                   const kCancel* cancel = nullptr);
    /// On the reader: hands the packet to the wait it answers or keeps it;
    /// false only for a heartbeat, which the engine answers.
    bool offer(const kPacket* packet);
    /// Removes every kept packet the filter accepts; their number.
    int64_t drain(kPacketFilter filter, void* reference);
    /// Drops what is kept and ends the outstanding requests (after the
    /// engine link was reset).
    void clear();
    Counts counts();

private:
    struct Waiter {
        ReplyKey key;
        kPacketFilter filter;
        void* reference;
        kPacket* taken;
        std::condition_variable_any wake;
    };
    struct Kept {
        kPacket* packet;
        bool expected;
    };

    kPacket* takeKept(const ReplyKey& key, kPacketFilter filter, void* reference) K_REQUIRES(lock);
    bool handOver(const kPacket* packet) K_REQUIRES(lock);
    void keep(const kPacket* packet, bool expected) K_REQUIRES(lock);
    void endRequest(const ReplyKey& key, bool answered) K_REQUIRES(lock);
    void logPacket(const char* what, const kPacket* packet, uint64_t count);

    uint32_t linkId;
    StreamLock lock;
    std::vector<Waiter*> waiters K_GUARDED_BY(lock);
    std::deque<Kept> kept K_GUARDED_BY(lock);
    size_t expectedKept K_GUARDED_BY(lock);
    /// Requests outstanding, and waits that gave up, within the late
    /// window.
    std::deque<Mark> requests K_GUARDED_BY(lock);
    std::deque<Mark> ended K_GUARDED_BY(lock);
    Counts tally K_GUARDED_BY(lock);
};

/// What a request needs of its Link object: the engine link, its matcher
/// and the run's cancellation. Without a matcher (it could not be made) the
/// engine's received-packet queue serves, through the same key.
struct ReplyPath {
    uint32_t linkId;
    ReplyMatcher* matcher;
    const kCancel* cancel;

    /// Calls `wait` with at most kCANCEL_SLICE_MS at a time until it gives a
    /// packet, `timeoutMS` have passed or the run is cancelled (null then),
    /// for the queues that keep what arrives between two calls.
    static kPacket* awaitInSlices(const kCancel* cancel, uint64_t timeoutMS,
                                  const std::function<kPacket*(uint64_t ms)>& wait);

    /// Queues the packet; with `expected`, its replies are kept for the
    /// wait to come. kErrResource when the packet cannot be made.
    kErr put(uint8_t address, uint8_t length, const uint8_t* data, const ReplyKey* expected) const;
    /// ReplyMatcher::await, after the packets the engine queued before the
    /// matcher took over.
    kPacket* await(const ReplyKey& key, kPacketFilter filter, void* reference,
                   uint64_t timeoutMS) const;
};

} // namespace Vantor
} // namespace Kelvane

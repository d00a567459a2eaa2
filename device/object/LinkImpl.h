#pragma once
// Inside the link object: its state and the stream machinery that the
// link's source files share. Not for use outside them.
//
// Threads: the caller's (every Link operation), the engine's reader (the
// link's filter, the only producer of the callback queue) and the worker
// (the callbacks, the only consumer). The stream table and the held replies
// are guarded by streamLock; the filter holds it for its whole run, which
// the engine makes under the link's filter lock, so the order is filter
// lock, then streamLock. No operation holds streamLock while it calls the
// engine or waits for the worker, and callbacks never run under it.
//
// The filter does three jobs: it takes the stream packets while the table
// is in use; during a multi-packet read it moves the replies of the entity
// option being read into a queue of the link's own, which is never emptied
// for its size: a bytes value of 128 packets arrives faster than a caller
// can take them one by one; and it hands every other packet to the reply
// matcher of the engine link, where the requests of all its Link objects
// wait (ReplyMatcher.h). The engine calls one dispatcher for all Link
// objects on an engine link (LinkFilter.cpp), which take part from connect
// to disconnect.

#include "device/core/internal/kThreadAnnotations.h"
#include "device/core/kLogger.h"
#include "device/object/Link.h"
#include "device/object/LocklessQueue.h"
#include "device/object/ReplyMatcher.h"

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

namespace Kelvane
{
namespace Vantor
{

struct PacketDeleter {
    void operator()(kPacket* packet) const { (void)kPacket_Destroy(&packet); }
};
typedef std::unique_ptr<kPacket, PacketDeleter> PacketCopy;

/// One stream of the table: a specific one (no element 255) caches the last
/// sample; a generic one only has a callback.
struct StreamEntry {
    uint64_t key;
    /// 1 when a sample came since the value was last read.
    uint8_t fresh;
    streamCallback callback;
    void* ref;
    uint32_t sample;
};

/// A callback to run on the worker, with its own copy of the packet.
struct asyncPacket {
    streamCallback callback;
    void* ref;
    PacketCopy packet;
};

const uint16_t ASYNC_QUEUE_SLOTS = 500;

/// Wakes the callback worker: the filter rings after each push, a stop
/// after its signal. A ring while the worker is busy is kept, so none is
/// lost between its last pop and its next wait.
class WorkerBell
{
public:
    void ring()
    {
        {
            StreamGuard guard(lock);
            rung = true;
        }
        wake.notify_one();
    }

    /// Returns once rung since the last return.
    void await()
    {
        StreamGuard guard(lock);
        while (!rung)
            wake.wait(lock);
        rung = false;
    }

private:
    StreamLock lock;
    std::condition_variable_any wake;
    bool rung K_GUARDED_BY(lock) = false;
};

struct Link::impl {
    impl(Link& owner, const linkSpec* spec, const char* name);
    ~impl();

    Link& owner;
    uint32_t linkId;
    kLogger* logger;
    std::map<uint64_t, StreamEntry> streams K_GUARDED_BY(streamLock);
    std::unique_ptr<std::thread> worker;
    LocklessQueue_SPSC<asyncPacket> asyncQueue;
    WorkerBell asyncBell;
    std::promise<void> stopSignal;
    StreamLock streamLock;
    char* name;
    linkSpec* spec;
    /// Set while this object takes part in the filter of the engine link
    /// `filterLinkId`, and the matcher of that link meanwhile.
    bool filterInstalled;
    uint32_t filterLinkId;
    std::shared_ptr<ReplyMatcher> matcher;
    /// Set from connect to disconnect: the object's requests await their
    /// replies in the matcher, so it stays in the filter.
    bool awaitsReplies;
    /// The filter takes stream packets.
    bool streamsOn K_GUARDED_BY(streamLock);
    /// The reply whose packets the filter holds, and the queue it holds
    /// them in (0: none held).
    uei held K_GUARDED_BY(streamLock);
    uint64_t heldQueue K_GUARDED_BY(streamLock);

    /// On: installs the stream filter and starts the worker. Off: removes
    /// the filter, clears the table and stops the worker, also without an
    /// engine link (kErrConfiguration all the same).
    kErr installStreamFilter(bool on);
    /// Queues the entry's callback (if any) with a copy of the packet; on
    /// the reader thread.
    void queueAsyncCallback(const StreamEntry& entry, const kPacket* packet) K_REQUIRES(streamLock);
    /// The worker: runs queued callbacks as the bell rings, until `stop` is
    /// ready.
    static void asyncWork(LocklessQueue_SPSC<asyncPacket>* queue, WorkerBell* bell,
                          std::future<void> stop);
    /// Takes the stream packet for the table of the object `reference` while
    /// its table is in use.
    static bool linkStreamFilter(const kPacket* packet, void* reference);
    /// Takes the packet into the held queue when it is a reply being held.
    bool takeHeldReply(const kPacket* packet) K_EXCLUDES(streamLock);
    /// Keeps the last sample of the stream and queues the callbacks of every
    /// entry that matches it, the specific one and the generic ones.
    void takeStreamPacket(const kPacket* packet, STREAM_PACKET type) K_REQUIRES(streamLock);

    /// The Link objects that take part in the filter of each engine link,
    /// and its matcher.
    struct FilterRegistry {
        /// Serialises the decisions to install or remove the dispatcher.
        std::mutex decide;
        StreamLock lock;
        std::map<uint32_t, std::vector<impl*>> byLink K_GUARDED_BY(lock);
        std::map<uint32_t, std::shared_ptr<ReplyMatcher>> matchers K_GUARDED_BY(lock);
    };
    static FilterRegistry& filters();
    /// The engine's user filter; `reference` is the engine link id.
    static bool dispatchFilter(const kPacket* packet, void* reference);
    /// Joins this object to, or takes it out of, the filter of its engine
    /// link, installing or removing the dispatcher as the first joins or the
    /// last leaves. Other Link objects on the engine link keep theirs.
    kErr setEngineFilter(bool on);
    /// After connect: joins the filter for the replies (a failure leaves the
    /// requests to the engine's queue).
    void awaitReplies();
    /// Before the engine link goes: leaves the filter unless a hold keeps it.
    void stopAwaitingReplies();
    /// The run's cancellation, which ends this object's waits.
    const kCancel* cancel;
    /// The path of this object's requests.
    ReplyPath path() const { return ReplyPath{linkId, matcher.get(), cancel}; }
    bool holding() K_EXCLUDES(streamLock);
    /// The queue that holds the replies for `u`, or 0.
    uint64_t heldQueueFor(const uei& u) K_EXCLUDES(streamLock);
    kErr startWorker();
    void stopWorker();
    /// After the engine reset the link, which drops its user filter: puts
    /// the dispatcher back for the Link objects that take part. The engine's
    /// error (logged) when it cannot.
    kErr restoreStreamFilter();
    bool streamTableEmpty() K_EXCLUDES(streamLock);
    /// The table's keys that match (STREAM_ANY matches every value) into
    /// `keys`; kErrMemory, with `keys` empty, when the list cannot be made.
    kErr matchingKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                      uint8_t subindex, std::vector<uint64_t>& keys) K_REQUIRES(streamLock);
};

/// What an exception caught at the layer's boundary becomes: a log line
/// naming `where`, and kErrMemory for std::bad_alloc, kErrUnknown for
/// anything else. Only ever called from a catch block.
kErr caughtException(const char* where) noexcept;

} // namespace Vantor
} // namespace Kelvane

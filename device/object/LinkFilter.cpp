// The link object's filter on the engine's reader thread: it takes the
// stream packets (caching samples, queueing callbacks), the replies that a
// multi-packet read holds, and hands every other packet to the engine
// link's reply matcher.
//
// The engine has one user filter a link, and Link objects share engine
// links (a module behind a router uses the router's), so the engine's
// filter is a dispatcher over every Link object that takes part on that
// engine link: each one's stream table sees every stream packet, and the
// first hold that matches takes a reply. Locks: the engine's filter lock,
// then the registry's, then a link object's streamLock. Decisions to
// install or remove the dispatcher are serialised by a mutex of their own,
// which no reader ever takes.

#include "device/core/kLink.h"
#include "device/core/kLog.h"
#include "device/object/LinkImpl.h"

#include <stdint.h>

#include <algorithm>

namespace Kelvane
{
namespace Vantor
{

static const int GENERIC_MASKS = 15;

// Never freed: a reader of a link still running at exit may look at it.
Link::impl::FilterRegistry& Link::impl::filters()
{
    static FilterRegistry* registry = new FilterRegistry();
    return *registry;
}

// The engine hands the reference back untouched: it only carries the id.
static void* sReference(uint32_t linkId)
{
    return (void*)(uintptr_t)linkId; // NOLINT(performance-no-int-to-ptr)
}

bool Link::impl::dispatchFilter(const kPacket* packet, void* reference)
{
    uint32_t linkId = (uint32_t)(uintptr_t)reference;
    FilterRegistry& registry = filters();
    StreamGuard guard(registry.lock);
    auto entry = registry.byLink.find(linkId);
    if (entry == registry.byLink.end())
        return false;
    bool taken = false;
    for (impl* d : entry->second)
        taken = linkStreamFilter(packet, d) || taken;
    if (taken)
        return true;
    for (impl* d : entry->second)
        if (d->takeHeldReply(packet))
            return true;
    auto matcher = registry.matchers.find(linkId);
    return matcher != registry.matchers.end() && matcher->second->offer(packet);
}

kErr Link::impl::setEngineFilter(bool on)
{
    FilterRegistry& registry = filters();
    std::lock_guard<std::mutex> decide(registry.decide);
    if (on == filterInstalled)
        return kErrNone;
    if (on && linkId == 0)
        return kErrConfiguration;
    uint32_t id = on ? linkId : filterLinkId;
    bool alone = false;
    // The last reference to a matcher goes outside the lock: it logs.
    std::shared_ptr<ReplyMatcher> gone = std::move(matcher);
    {
        StreamGuard guard(registry.lock);
        try {
            // The engine link's matcher is there before this object is.
            std::shared_ptr<ReplyMatcher>& shared = registry.matchers[id];
            if (on && !shared)
                shared = std::make_shared<ReplyMatcher>(id);
            std::vector<impl*>& list = registry.byLink[id];
            if (on)
                list.push_back(this);
            else
                list.erase(std::remove(list.begin(), list.end(), this), list.end());
            alone = on ? list.size() == 1 : list.empty();
            if (on)
                matcher = shared;
            if (list.empty()) {
                registry.byLink.erase(id);
                registry.matchers.erase(id);
            }
        } catch (...) {
            return caughtException("registering the stream filter");
        }
    }
    kErr err = kErrNone;
    if (alone)
        err = kLink_InstallUserPacketFilter(id, on ? dispatchFilter : nullptr,
                                            on ? sReference(id) : nullptr);
    if (on && err) {
        StreamGuard guard(registry.lock);
        registry.byLink.erase(id);
        registry.matchers.erase(id);
        matcher.reset();
    }
    filterInstalled = on && err == kErrNone;
    filterLinkId = filterInstalled ? id : 0;
    return on ? err : kErrNone;
}

void Link::impl::awaitReplies()
{
    awaitsReplies = true;
    (void)setEngineFilter(true);
}

void Link::impl::stopAwaitingReplies()
{
    awaitsReplies = false;
    if (!holding())
        (void)setEngineFilter(false);
}

kErr Link::impl::restoreStreamFilter()
{
    FilterRegistry& registry = filters();
    std::lock_guard<std::mutex> decide(registry.decide);
    bool used;
    {
        StreamGuard guard(registry.lock);
        used = registry.byLink.count(linkId) != 0;
    }
    if (!used)
        return kErrNone;
    kErr err = kLink_InstallUserPacketFilter(linkId, dispatchFilter, sReference(linkId));
    if (matcher)
        matcher->clear();
    if (err)
        Log::log(DEBUG_Network, "OBJECT: link %u lost its stream filter in a reset (%d)\n",
                 (unsigned)linkId, (int)err);
    return err;
}

// ---------------------------------------------------------------------------
// Stream packets

void Link::impl::queueAsyncCallback(const StreamEntry& entry, const kPacket* packet)
{
    if (!entry.callback)
        return;
    asyncPacket element;
    try {
        element.callback = entry.callback;
    } catch (...) {
        (void)caughtException("queueing a stream callback");
        return;
    }
    element.ref = entry.ref;
    element.packet.reset(kPacket_Copy(packet));
    // When the queue is full the element, and its packet copy, go here.
    if (element.packet && asyncQueue.push(element))
        asyncBell.ring();
}

void Link::impl::takeStreamPacket(const kPacket* packet, STREAM_PACKET type)
{
    const uint8_t* data = packet->data;
    uint8_t subindex = isSubindexType(type) ? data[4] : 0;
    uint64_t key = createStreamKey(packet->address, data[0], data[1] & UEI_OPTION_MASK,
                                   data[2] & UEI_INDEX_MASK, subindex);
    uint32_t sample = 0;
    bool decoded = getStreamSample(packet, nullptr, &sample, nullptr) == kErrNone;
    auto specific = streams.find(key);
    if (specific != streams.end()) {
        queueAsyncCallback(specific->second, packet);
        if (decoded) {
            specific->second.sample = sample;
            specific->second.fresh = 1;
        }
    }
    bool generic = false;
    for (int i = 0; i < GENERIC_MASKS; i++) {
        uint64_t wider = key | _getGenericStreamKeyMask(i);
        auto entry = wider == key ? streams.end() : streams.find(wider);
        if (entry != streams.end()) {
            queueAsyncCallback(entry->second, packet);
            generic = true;
        }
    }
    // A stream registered generically gets its specific entry with the first
    // sample; the later ones then land in it.
    if (specific == streams.end() && generic && decoded) {
        try {
            streams.emplace(key, StreamEntry{key, 1, streamCallback(), nullptr, sample});
        } catch (...) {
            (void)caughtException("adding a specific stream entry");
        }
    }
}

// While the table is in use every stream packet is taken, whether an entry
// wants it or not.
bool Link::impl::linkStreamFilter(const kPacket* packet, void* reference)
{
    impl* d = (impl*)reference;
    STREAM_PACKET type;
    if (!getStreamPacketType(packet, &type))
        return false;
    StreamGuard guard(d->streamLock);
    if (!d->streamsOn)
        return false;
    d->takeStreamPacket(packet, type);
    return true;
}

// ---------------------------------------------------------------------------
// Held replies

bool Link::impl::takeHeldReply(const kPacket* packet)
{
    StreamGuard guard(streamLock);
    if (!heldQueue || !ueiPacketMatches(packet, held))
        return false;
    // A reply beyond the queue's room is dropped, and the read that holds
    // the queue then comes up short.
    (void)kPacketFifo_Put(heldQueue, packet);
    return true;
}

bool Link::impl::holding()
{
    StreamGuard guard(streamLock);
    return heldQueue != 0;
}

uint64_t Link::impl::heldQueueFor(const uei& u)
{
    StreamGuard guard(streamLock);
    bool same = heldQueue && held.module == u.module && held.command == u.command &&
                held.option == u.option && held.specifier == u.specifier;
    return same ? heldQueue : 0;
}

kErr Link::holdReplies(const uei& u)
{
    if (!m_impl)
        return kErrMemory;
    impl& d = *m_impl;
    if (d.linkId == 0)
        return kErrConfiguration;
    // An outbound queue is never emptied for its size; 256 packets is twice
    // the longest bytes value.
    uint64_t queue = kPacketFifo_CreateOutbound();
    if (!queue)
        return kErrResource;
    {
        StreamGuard guard(d.streamLock);
        if (d.heldQueue) {
            (void)kPacketFifo_Destroy(&queue);
            return kErrBusy;
        }
        d.held = u;
        d.heldQueue = queue;
    }
    kErr err = d.setEngineFilter(true);
    if (err)
        releaseReplies();
    return err;
}

// Once the lock is given back no filter run touches the queue any more.
void Link::releaseReplies()
{
    if (!m_impl)
        return;
    impl& d = *m_impl;
    uint64_t queue;
    bool streams;
    {
        StreamGuard guard(d.streamLock);
        queue = d.heldQueue;
        d.heldQueue = 0;
        streams = d.streamsOn;
    }
    if (!streams && !d.awaitsReplies)
        (void)d.setEngineFilter(false);
    if (queue)
        (void)kPacketFifo_Destroy(&queue);
}

} // namespace Vantor
} // namespace Kelvane

// Streams of the link object: the stream filter on the engine's reader
// thread keeps the last sample of each stream and queues the callbacks,
// which the worker runs; the stream operations keep the table and tell the
// module what to stream. Keys and packet decoding are in
// LinkStreamPacket.cpp.

#include "device/core/kLink.h"
#include "device/object/LinkImpl.h"

#include <chrono>

namespace Kelvane
{
namespace Vantor
{

static const int GENERIC_MASKS = 15;
static const uint8_t CMD_STREAM = 93;
static const uint8_t STREAM_ENABLE = 0x81;
static const uint8_t STREAM_DISABLE = 0x82;
static const uint8_t STREAM_QUERY = 0x41;

// ---------------------------------------------------------------------------
// Filter, queue and worker

void Link::impl::queueAsyncCallback(const StreamEntry& entry, const kPacket* packet)
{
    if (!entry.callback)
        return;
    asyncPacket element;
    try {
        element.callback = entry.callback;
    } catch (...) {
        return;
    }
    element.ref = entry.ref;
    element.packet.reset(kPacket_Copy(packet));
    // When the queue is full the element, and its packet copy, go here.
    if (element.packet)
        asyncQueue.push(element);
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
        }
    }
}

bool Link::impl::linkStreamFilter(const kPacket* packet, void* reference)
{
    impl* d = (impl*)reference;
    StreamGuard guard(d->streamLock);
    STREAM_PACKET type;
    if (d->streamsOn && getStreamPacketType(packet, &type)) {
        // Every stream packet is taken, whether an entry wants it or not.
        d->takeStreamPacket(packet, type);
        return true;
    }
    if (d->heldQueue && ueiPacketMatches(packet, d->held)) {
        kPacketFifo_Put(d->heldQueue, packet);
        return true;
    }
    return false;
}

// A callback's exception must not end the thread; its result is not used.
void Link::impl::asyncWork(LocklessQueue_SPSC<asyncPacket>* queue, std::future<void> stop)
{
    while (stop.wait_for(std::chrono::nanoseconds(1)) != std::future_status::ready) {
        asyncPacket element;
        while (queue->pop(element)) {
            try {
                element.callback(element.packet.get(), element.ref);
            } catch (...) {
            }
            element = asyncPacket();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

static bool sRenew(std::promise<void>& signal)
{
    try {
        signal = std::promise<void>();
        return true;
    } catch (...) {
        return false;
    }
}

kErr Link::impl::startWorker()
{
    try {
        std::future<void> stop = stopSignal.get_future();
        worker.reset(new std::thread(asyncWork, &asyncQueue, std::move(stop)));
    } catch (...) {
        // The future may have been taken: a later start needs a new promise.
        sRenew(stopSignal);
        return kErrResource;
    }
    return kErrNone;
}

// A callback that empties the table runs on the worker itself, which cannot
// wait for itself: it goes on idling until a later stop from another thread.
void Link::impl::stopWorker()
{
    if (!worker || worker->get_id() == std::this_thread::get_id())
        return;
    try {
        stopSignal.set_value();
    } catch (...) {
    }
    worker->join();
    worker.reset();
    sRenew(stopSignal);
    // What the worker left must not reach the callbacks of a later table;
    // with the worker gone this thread is the only consumer.
    asyncPacket left;
    while (asyncQueue.pop(left))
        left = asyncPacket();
}

// Other Link objects may share the engine link: only a filter of this
// object's own is ever removed.
kErr Link::impl::setEngineFilter(bool on)
{
    if (linkId == 0) {
        filterInstalled = false;
        return kErrConfiguration;
    }
    if (!on && !filterInstalled)
        return kErrNone;
    kErr err =
        kLink_InstallUserPacketFilter(linkId, on ? linkStreamFilter : nullptr, on ? this : nullptr);
    filterInstalled = on && err == kErrNone;
    return err;
}

kErr Link::impl::installStreamFilter(bool on)
{
    if (on) {
        kErr err = setEngineFilter(true);
        if (err)
            return err;
        {
            StreamGuard guard(streamLock);
            streamsOn = true;
        }
        if (!worker && (err = startWorker()) != kErrNone) {
            StreamGuard guard(streamLock);
            streamsOn = false;
        }
        if (err && !holding())
            setEngineFilter(false);
        return err;
    }
    bool held;
    {
        StreamGuard guard(streamLock);
        streamsOn = false;
        streams.clear();
        held = heldQueue != 0;
    }
    kErr err = held ? (linkId ? kErrNone : kErrConfiguration) : setEngineFilter(false);
    stopWorker();
    return err;
}

void Link::impl::restoreStreamFilter()
{
    if (filterInstalled)
        kLink_InstallUserPacketFilter(linkId, linkStreamFilter, this);
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
            kPacketFifo_Destroy(&queue);
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
    if (!streams)
        d.setEngineFilter(false);
    if (queue)
        kPacketFifo_Destroy(&queue);
}

bool Link::impl::streamTableEmpty()
{
    StreamGuard guard(streamLock);
    return streams.empty();
}

std::vector<uint64_t> Link::impl::matchingKeys(uint8_t module, uint8_t command, uint8_t option,
                                               uint8_t index, uint8_t subindex)
{
    const uint8_t wanted[5] = {module, command, option, index, subindex};
    std::vector<uint64_t> keys;
    try {
        for (const auto& entry : streams) {
            bool match = true;
            for (int e = STREAM_KEY_MODULE; e <= STREAM_KEY_SUBINDEX && match; e++) {
                uint8_t element = getStreamKeyElement(entry.first, (STREAM_KEY)e);
                match = wanted[e] == STREAM_ANY || wanted[e] == element;
            }
            if (match)
                keys.push_back(entry.first);
        }
    } catch (...) {
    }
    return keys;
}

// ---------------------------------------------------------------------------
// Stream operations

std::vector<uint64_t> Link::filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option,
                                                   uint8_t index, uint8_t subindex,
                                                   bool lock) K_NO_THREAD_SAFETY_ANALYSIS
{
    if (!m_impl)
        return std::vector<uint64_t>();
    if (!lock)
        return m_impl->matchingKeys(module, command, option, index, subindex);
    StreamGuard guard(m_impl->streamLock);
    return m_impl->matchingKeys(module, command, option, index, subindex);
}

namespace
{

// A registration's change to the table, kept so that it can be undone.
struct TableChange {
    bool enable;
    uint64_t key;
    /// The entries the change replaced or removed.
    std::vector<StreamEntry> before;
};

} // namespace

static kErr sApplyChange(std::map<uint64_t, StreamEntry>& streams,
                         const std::vector<uint64_t>& matching, TableChange& change,
                         const streamCallback& callback, void* ref)
{
    try {
        if (change.enable) {
            auto entry = streams.find(change.key);
            if (entry != streams.end()) {
                change.before.push_back(entry->second);
                entry->second.callback = callback;
                entry->second.ref = ref;
            } else {
                streams.emplace(change.key, StreamEntry{change.key, 0, callback, ref, 0});
            }
            return kErrNone;
        }
        for (uint64_t key : matching) {
            change.before.push_back(streams[key]);
            streams.erase(key);
        }
    } catch (...) {
        return kErrMemory;
    }
    return kErrNone;
}

static void sUndoChange(std::map<uint64_t, StreamEntry>& streams, const TableChange& change)
{
    if (change.enable)
        streams.erase(change.key);
    for (const StreamEntry& entry : change.before) {
        try {
            streams[entry.key] = entry;
        } catch (...) {
        }
    }
}

static kErr sAskStream(Link& link, uint8_t module, uint64_t key, bool enable)
{
    uei u = {};
    u.module = module;
    u.command = CMD_STREAM;
    u.option = enable ? STREAM_ENABLE : STREAM_DISABLE;
    u.specifier = UEI_SPEC_REQUEST;
    u.type = UEI_TYPE_INT;
    // On the wire: module, command, option, index.
    u.value.intVal = (uint32_t)key;
    kErr err = link.sendUEI(u);
    if (err)
        return err;
    uei reply = {};
    reply.module = module;
    reply.command = CMD_STREAM;
    reply.option = (uint8_t)(u.option | UEI_OPTION_REPLY);
    reply.specifier = 0;
    err = link.receiveUEI(module, CMD_STREAM, reply.option, 0, &reply);
    if (!err && (reply.specifier & UEI_SPEC_ERROR))
        err = ueiReplyError(reply);
    return err;
}

kErr Link::registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                  bool enable, streamCallback callback, void* reference)
{
    if (!m_impl)
        return kErrMemory;
    if ((module & 1) || module == STREAM_ANY)
        return kErrParam;
    impl& d = *m_impl;
    TableChange change = {enable, createStreamKey(module, command, option, index, STREAM_ANY), {}};
    kErr err;
    {
        StreamGuard guard(d.streamLock);
        std::vector<uint64_t> matching =
            enable ? std::vector<uint64_t>()
                   : d.matchingKeys(module, command, option, index, STREAM_ANY);
        err = sApplyChange(d.streams, matching, change, callback, reference);
    }
    if (!err)
        err = d.installStreamFilter(!d.streamTableEmpty());
    if (err) {
        StreamGuard guard(d.streamLock);
        sUndoChange(d.streams, change);
        return err;
    }
    err = sAskStream(*this, module, change.key, enable);
    if (err) {
        {
            StreamGuard guard(d.streamLock);
            for (uint64_t key : d.matchingKeys(module, command, option, index, STREAM_ANY))
                d.streams.erase(key);
        }
        if (d.streamTableEmpty())
            d.installStreamFilter(false);
    }
    return err;
}

kErr Link::enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable)
{
    return registerStreamCallback(module, command, option, index, enable, streamCallback(),
                                  nullptr);
}

kErr Link::isLinkStreaming(uint8_t module, uint8_t* streaming)
{
    if (!streaming)
        return kErrParam;
    uei u = {};
    u.module = module;
    u.command = CMD_STREAM;
    u.option = STREAM_QUERY;
    u.specifier = UEI_SPEC_REQUEST;
    u.type = UEI_TYPE_NONE;
    kErr err = sendUEI(u);
    if (err)
        return err;
    uei reply = {};
    reply.module = module;
    reply.command = CMD_STREAM;
    reply.option = STREAM_QUERY & UEI_OPTION_MASK;
    reply.specifier = 0;
    err = receiveUEI(module, CMD_STREAM, reply.option, 0, &reply);
    if (err)
        return err;
    if (reply.specifier & UEI_SPEC_ERROR)
        return ueiReplyError(reply);
    if (reply.type != UEI_TYPE_BYTE)
        return kErrPacket;
    *streaming = reply.value.byteVal;
    return kErrNone;
}

kErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                          uint8_t subindex, uint32_t* value)
{
    if (!value)
        return kErrParam;
    if (!m_impl)
        return kErrNotFound;
    StreamGuard guard(m_impl->streamLock);
    auto entry = m_impl->streams.find(createStreamKey(module, command, option, index, subindex));
    if (entry == m_impl->streams.end())
        return kErrNotFound;
    *value = entry->second.sample;
    if (!entry->second.fresh)
        return kErrStreamStale;
    entry->second.fresh = 0;
    return kErrNone;
}

static bool sIsSpecific(uint64_t key)
{
    for (int e = Link::STREAM_KEY_MODULE; e <= Link::STREAM_KEY_SUBINDEX; e++)
        if (Link::getStreamKeyElement(key, (Link::STREAM_KEY)e) == Link::STREAM_ANY)
            return false;
    return true;
}

kErr Link::getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                           uint8_t subindex, std::map<uint64_t, uint32_t>* status)
{
    if (!status)
        return kErrParam;
    status->clear();
    if (!m_impl)
        return kErrNone;
    std::vector<uint64_t> keys =
        filterActiveStreamKeys(module, command, option, index, subindex, true);
    StreamGuard guard(m_impl->streamLock);
    try {
        for (uint64_t key : keys) {
            auto entry = m_impl->streams.find(key);
            if (entry != m_impl->streams.end() && sIsSpecific(key))
                (*status)[key] = entry->second.sample;
        }
    } catch (...) {
        return kErrMemory;
    }
    return kErrNone;
}

} // namespace Vantor
} // namespace Kelvane

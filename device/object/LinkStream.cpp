// Streams of the link object: the worker that runs the callbacks which the
// filter (LinkFilter.cpp) queues, and the stream operations, which keep the
// table and tell the module what to stream. Keys and packet decoding are in
// LinkStreamPacket.cpp.

#include "device/core/kLink.h"
#include "device/object/LinkImpl.h"

#include <chrono>

namespace Kelvane
{
namespace Vantor
{

static const uint8_t CMD_STREAM = 93;
static const uint8_t STREAM_ENABLE = 0x81;
static const uint8_t STREAM_DISABLE = 0x82;
static const uint8_t STREAM_QUERY = 0x41;

// ---------------------------------------------------------------------------
// Worker

// A callback's exception must not end the thread; its result is not used.
void Link::impl::asyncWork(LocklessQueue_SPSC<asyncPacket>* queue, WorkerBell* bell,
                           std::future<void> stop)
{
    for (;;) {
        bell->await();
        if (stop.wait_for(std::chrono::seconds(0)) == std::future_status::ready)
            return;
        asyncPacket element;
        while (queue->pop(element)) {
            try {
                (void)element.callback(element.packet.get(), element.ref);
            } catch (...) {
                (void)caughtException("stream callback");
            }
            element = asyncPacket();
        }
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
        worker.reset(new std::thread(asyncWork, &asyncQueue, &asyncBell, std::move(stop)));
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
        (void)caughtException("stopping the stream worker");
    }
    asyncBell.ring();
    worker->join();
    worker.reset();
    sRenew(stopSignal);
    // What the worker left must not reach the callbacks of a later table;
    // with the worker gone this thread is the only consumer.
    asyncPacket left;
    while (asyncQueue.pop(left))
        left = asyncPacket();
}

kErr Link::impl::installStreamFilter(bool on)
{
    if (on) {
        if (linkId == 0)
            return kErrConfiguration;
        kErr err = setEngineFilter(true);
        if (err)
            return err;
        {
            StreamGuard guard(streamLock);
            streamsOn = true;
        }
        if (!worker && (err = startWorker()) != kErrNone) {
            {
                StreamGuard guard(streamLock);
                streamsOn = false;
            }
            if (!holding() && !awaitsReplies)
                (void)setEngineFilter(false);
        }
        return err;
    }
    bool held;
    {
        StreamGuard guard(streamLock);
        streamsOn = false;
        streams.clear();
        held = heldQueue != 0;
    }
    kErr err = linkId ? kErrNone : kErrConfiguration;
    if (!held && !awaitsReplies) {
        kErr removed = setEngineFilter(false);
        err = err ? err : removed;
    }
    stopWorker();
    return err;
}

bool Link::impl::streamTableEmpty()
{
    StreamGuard guard(streamLock);
    return streams.empty();
}

kErr Link::impl::matchingKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                              uint8_t subindex, std::vector<uint64_t>& keys)
{
    const uint8_t wanted[5] = {module, command, option, index, subindex};
    keys.clear();
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
        // A part of the list would be taken for all of it.
        keys.clear();
        return caughtException("matching stream keys");
    }
    return kErrNone;
}

// ---------------------------------------------------------------------------
// Stream operations

std::vector<uint64_t> Link::filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option,
                                                   uint8_t index, uint8_t subindex,
                                                   bool lock) K_NO_THREAD_SAFETY_ANALYSIS
{
    std::vector<uint64_t> keys;
    if (!m_impl)
        return keys;
    if (!lock) {
        (void)m_impl->matchingKeys(module, command, option, index, subindex, keys);
        return keys;
    }
    StreamGuard guard(m_impl->streamLock);
    (void)m_impl->matchingKeys(module, command, option, index, subindex, keys);
    return keys;
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
        return caughtException("changing the stream table");
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
            (void)caughtException("restoring the stream table");
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
                                  bool enable, const streamCallback& callback, void* reference)
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
        std::vector<uint64_t> matching;
        err = enable ? kErrNone
                     : d.matchingKeys(module, command, option, index, STREAM_ANY, matching);
        if (!err)
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
            std::vector<uint64_t> added;
            if (d.matchingKeys(module, command, option, index, STREAM_ANY, added) == kErrNone) {
                for (uint64_t key : added)
                    d.streams.erase(key);
            }
        }
        if (d.streamTableEmpty())
            (void)d.installStreamFilter(false);
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

// The reply matcher of an engine link: waits, the packets kept for them,
// and the counts of late and unknown packets.

#include "device/object/ReplyMatcher.h"

#include "device/core/kLink.h"
#include "device/core/kLog.h"
#include "device/core/kTime.h"

#include <algorithm>
#include <chrono>

namespace Kelvane
{
namespace Vantor
{

// The option code without its direction bits, which differ between a
// request and its reply (and carry the error bit of sub-command replies).
static const uint8_t OPTION_BITS = 0x3F;
// Late packets are logged one by one up to this many; unknown ones once.
static const uint64_t LATE_LOGGED = 10;
// Room for the requests of a router scan (126 at once) and more.
static const size_t MARKS_KEPT = 256;
// A day: far beyond any reply, and far from the clock's end.
static const uint64_t WAIT_MAX_MS = 86400000;

static bool sHeartbeat(const kPacket* packet)
{
    return packet->length == 2 && packet->data[0] == 0;
}

bool ReplyKey::matches(const kPacket* packet) const
{
    if (address != ANY && packet->address != address)
        return false;
    if (command != ANY && (packet->length < 1 || packet->data[0] != command))
        return false;
    return option == ANY ||
           (packet->length >= 2 && (packet->data[1] & OPTION_BITS) == (option & OPTION_BITS));
}

ReplyMatcher::ReplyMatcher(uint32_t linkId) : linkId(linkId), expectedKept(0), tally() {}

ReplyMatcher::~ReplyMatcher()
{
    for (Kept& k : kept)
        (void)kPacket_Destroy(&k.packet);
    Log::log(DEBUG_Network,
             "OBJECT: link %u: %llu replies matched, %llu late and %llu unknown packets, %llu "
             "dropped for room\n",
             (unsigned)linkId, (unsigned long long)tally.matched, (unsigned long long)tally.late,
             (unsigned long long)tally.unknown, (unsigned long long)tally.dropped);
}

void ReplyMatcher::logPacket(const char* what, const kPacket* packet, uint64_t count)
{
    Log::log(DEBUG_Network, "OBJECT: link %u: %s packet %llu from %u (%u bytes, command %u)\n",
             (unsigned)linkId, what, (unsigned long long)count, (unsigned)packet->address,
             (unsigned)packet->length, packet->length ? (unsigned)packet->data[0] : 0u);
}

// Two keys overlap when each field is equal or ANY in either.
static bool sOverlap(const ReplyKey& a, const ReplyKey& b)
{
    auto same = [](uint16_t x, uint16_t y) {
        return x == y || x == ReplyKey::ANY || y == ReplyKey::ANY;
    };
    return same(a.address, b.address) && same(a.command, b.command) &&
           same(a.option & OPTION_BITS, b.option & OPTION_BITS);
}

// Marks older than the window, and beyond the room, go first. Without
// memory for a mark its packets count as unknown.
static void sMark(std::deque<ReplyMatcher::Mark>& marks, const ReplyKey& key)
{
    uint64_t now = kTime_GetMSTicks();
    while (!marks.empty() &&
           (marks.size() >= MARKS_KEPT || now - marks.front().at > ReplyMatcher::LATE_WINDOW_MS))
        marks.pop_front();
    try {
        marks.push_back(ReplyMatcher::Mark{key, now});
    } catch (...) {
        return;
    }
}

static bool sMarked(const std::deque<ReplyMatcher::Mark>& marks, const kPacket* packet)
{
    uint64_t now = kTime_GetMSTicks();
    return std::any_of(marks.begin(), marks.end(), [packet, now](const ReplyMatcher::Mark& m) {
        return now - m.at <= ReplyMatcher::LATE_WINDOW_MS && m.key.matches(packet);
    });
}

void ReplyMatcher::expect(const ReplyKey& key)
{
    StreamGuard guard(lock);
    sMark(requests, key);
}

// The request of the key ends with the wait; one that gave up leaves its
// key to tell late replies by.
void ReplyMatcher::endRequest(const ReplyKey& key, bool answered)
{
    auto request = std::find_if(requests.begin(), requests.end(),
                                [&key](const Mark& m) { return sOverlap(m.key, key); });
    if (request != requests.end())
        requests.erase(request);
    if (!answered)
        sMark(ended, key);
}

kPacket* ReplyMatcher::takeKept(const ReplyKey& key, kPacketFilter filter, void* reference)
{
    for (auto k = kept.begin(); k != kept.end(); ++k) {
        if (!key.matches(k->packet) || !filter(k->packet, reference))
            continue;
        kPacket* packet = k->packet;
        if (k->expected)
            expectedKept--;
        kept.erase(k);
        return packet;
    }
    return nullptr;
}

kPacket* ReplyMatcher::await(const ReplyKey& key, kPacketFilter filter, void* reference,
                             uint64_t timeoutMS, const kCancel* cancel)
{
    if (kLink_GetStatus(linkId) != kLinkStatusRunning)
        return nullptr;
    StreamGuard guard(lock);
    kPacket* packet = takeKept(key, filter, reference);
    if (packet) {
        tally.matched++;
        endRequest(key, true);
        return packet;
    }
    Waiter waiter{key, filter, reference, nullptr, {}};
    try {
        waiters.push_back(&waiter);
    } catch (...) {
        return nullptr;
    }
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(std::min(timeoutMS, WAIT_MAX_MS));
    // The request stays outstanding through the slices: a reply that comes
    // between two looks at the cancellation is handed over all the same.
    const auto slice = std::chrono::milliseconds(kCANCEL_SLICE_MS);
    while (!waiter.taken && kCancel_Check(cancel) == kErrNone) {
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            break;
        waiter.wake.wait_until(lock, cancel ? std::min(deadline, now + slice) : deadline);
    }
    waiters.erase(std::find(waiters.begin(), waiters.end(), &waiter));
    endRequest(key, waiter.taken != nullptr);
    return waiter.taken;
}

bool ReplyMatcher::handOver(const kPacket* packet)
{
    for (Waiter* waiter : waiters) {
        if (waiter->taken || !waiter->key.matches(packet) ||
            !waiter->filter(packet, waiter->reference))
            continue;
        waiter->taken = kPacket_Copy(packet);
        if (!waiter->taken)
            return false;
        waiter->wake.notify_one();
        tally.matched++;
        return true;
    }
    return false;
}

// The oldest packet of the same kind makes room: an unknown one never
// takes the place of one that a request awaits.
void ReplyMatcher::keep(const kPacket* packet, bool expected)
{
    size_t count = expected ? expectedKept : kept.size() - expectedKept;
    if (count >= (expected ? EXPECTED_KEPT : UNKNOWN_KEPT)) {
        auto oldest = std::find_if(kept.begin(), kept.end(),
                                   [expected](const Kept& k) { return k.expected == expected; });
        (void)kPacket_Destroy(&oldest->packet);
        kept.erase(oldest);
        expectedKept -= expected ? 1 : 0;
        tally.dropped++;
    }
    Kept k{kPacket_Copy(packet), expected};
    if (!k.packet)
        return;
    try {
        kept.push_back(k);
        expectedKept += expected ? 1 : 0;
    } catch (...) {
        (void)kPacket_Destroy(&k.packet);
    }
}

bool ReplyMatcher::offer(const kPacket* packet)
{
    if (sHeartbeat(packet))
        return false;
    StreamGuard guard(lock);
    if (handOver(packet))
        return true;
    if (sMarked(requests, packet)) {
        keep(packet, true);
    } else if (sMarked(ended, packet)) {
        if (++tally.late <= LATE_LOGGED)
            logPacket("late", packet, tally.late);
        keep(packet, false);
    } else {
        if (++tally.unknown == 1)
            logPacket("unknown", packet, tally.unknown);
        keep(packet, false);
    }
    return true;
}

int64_t ReplyMatcher::drain(kPacketFilter filter, void* reference)
{
    StreamGuard guard(lock);
    int64_t drained = 0;
    for (auto k = kept.begin(); k != kept.end();) {
        if (!filter(k->packet, reference)) {
            ++k;
            continue;
        }
        expectedKept -= k->expected ? 1 : 0;
        (void)kPacket_Destroy(&k->packet);
        k = kept.erase(k);
        drained++;
    }
    return drained;
}

void ReplyMatcher::clear()
{
    StreamGuard guard(lock);
    for (Kept& k : kept)
        (void)kPacket_Destroy(&k.packet);
    kept.clear();
    expectedKept = 0;
    requests.clear();
}

ReplyMatcher::Counts ReplyMatcher::counts()
{
    StreamGuard guard(lock);
    return tally;
}

// ---------------------------------------------------------------------------
// The path of a Link object's requests

kErr ReplyPath::put(uint8_t address, uint8_t length, const uint8_t* data,
                    const ReplyKey* expected) const
{
    kPacket* packet = kPacket_CreateWithData(address, length, data);
    if (!packet)
        return kErrResource;
    if (expected && matcher)
        matcher->expect(*expected);
    kErr err = kLink_PutPacket(linkId, packet);
    (void)kPacket_Destroy(&packet);
    return err;
}

struct sKeyedFilter {
    const ReplyKey* key;
    kPacketFilter filter;
    void* reference;
};

static bool sKeyed(const kPacket* packet, void* reference)
{
    const sKeyedFilter* keyed = (const sKeyedFilter*)reference;
    return keyed->key->matches(packet) && keyed->filter(packet, keyed->reference);
}

kPacket* ReplyPath::await(const ReplyKey& key, kPacketFilter filter, void* reference,
                          uint64_t timeoutMS) const
{
    sKeyedFilter keyed = {&key, filter, reference};
    if (!matcher)
        return awaitInSlices(cancel, timeoutMS, [&](uint64_t ms) {
            return kLink_AwaitFirst(linkId, sKeyed, &keyed, ms);
        });
    if (kLink_GetStatus(linkId) != kLinkStatusRunning)
        return nullptr;
    kPacket* packet = kLink_GetFirst(linkId, sKeyed, &keyed);
    return packet ? packet : matcher->await(key, filter, reference, timeoutMS, cancel);
}

struct sSlicedAwait {
    const std::function<kPacket*(uint64_t ms)>* wait;
    kPacket* packet;
};

static bool sAwaitPart(uint32_t ms, void* reference)
{
    sSlicedAwait* sliced = (sSlicedAwait*)reference;
    sliced->packet = (*sliced->wait)(ms);
    return sliced->packet != nullptr;
}

kPacket* ReplyPath::awaitInSlices(const kCancel* cancel, uint64_t timeoutMS,
                                  const std::function<kPacket*(uint64_t ms)>& wait)
{
    sSlicedAwait sliced = {&wait, nullptr};
    (void)kCancel_Wait(cancel, std::min(timeoutMS, WAIT_MAX_MS), sAwaitPart, &sliced);
    return sliced.packet;
}

} // namespace Vantor
} // namespace Kelvane

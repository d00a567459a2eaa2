// The link object: its life, connecting, the specifier, the module-address
// query, UEI packing and plain command packets. Streams are in
// LinkStream.cpp, the packet log in LinkLog.cpp.

#include "device/core/kLink.h"
#include "device/core/kLog.h"
#include "device/core/kTime.h"
#include "device/core/kUEI.h"
#include "device/object/LinkImpl.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <exception>
#include <new>

namespace Kelvane
{
namespace Vantor
{

static const size_t NAME_COPY_MAX = 1024;
static const int CONNECT_POLLS = 200;
static const uint64_t CONNECT_POLL_MS = 10;
static const uint32_t STATUS_NO_LINK = 8;
static const uint8_t MAGIC_ADDRESS = 0xAD;
static const uint8_t PLAIN_BYTES_MAX = kPACKET_DATA_MAX - 1;

static bool sValidAddress(uint8_t address)
{
    return address != 0 && (address & 1) == 0;
}

static char* sCopyName(const char* name)
{
    size_t length = name ? strnlen(name, NAME_COPY_MAX) : 0;
    char* copy = (char*)malloc(length + 1);
    if (copy) {
        if (length)
            memcpy(copy, name, length);
        copy[length] = '\0';
    }
    return copy;
}

// ---------------------------------------------------------------------------
// Life

Link::impl::impl(Link& owner, const linkSpec* given, const char* givenName)
    : owner(owner), linkId(0), logger(nullptr), asyncQueue(ASYNC_QUEUE_SLOTS),
      name(sCopyName(givenName)), spec(given ? kLinkSpec_Copy(*given) : nullptr),
      filterInstalled(false), filterLinkId(0), awaitsReplies(false), streamsOn(false), held(),
      heldQueue(0), cancel(nullptr)
{
}

// The worker must have ended before the queue and the callbacks it runs go
// with the members, and the logger before the engine link it reads.
Link::impl::~impl()
{
    (void)installStreamFilter(false);
    // A hold left behind must not keep this object in the filter.
    (void)setEngineFilter(false);
    if (heldQueue)
        (void)kPacketFifo_Destroy(&heldQueue);
    (void)kLogger_Destroy(&logger);
    if (linkId)
        (void)kLink_Destroy(&linkId);
    if (spec)
        (void)kLinkSpec_Destroy(&spec);
    free(name);
    name = nullptr;
}

kErr caughtException(const char* where) noexcept
{
    try {
        throw;
    } catch (const std::bad_alloc&) {
        Log::log(DEBUG_Network, "OBJECT: %s: out of memory\n", where);
        return kErrMemory;
    } catch (const std::exception& e) {
        Log::log(DEBUG_Network, "OBJECT: %s: %s\n", where, e.what());
    } catch (...) {
        Log::log(DEBUG_Network, "OBJECT: %s: an unknown exception\n", where);
    }
    return kErrUnknown;
}

// Without memory for the impl the link stays empty and every operation
// reports kErrMemory.
Link::Link(linkSpec spec, const char* name)
{
    try {
        m_impl.reset(new impl(*this, &spec, name));
    } catch (...) {
        (void)caughtException("creating a link");
        m_impl.reset();
    }
}

Link::Link(const char* name)
{
    try {
        m_impl.reset(new impl(*this, nullptr, name));
    } catch (...) {
        (void)caughtException("creating a link");
        m_impl.reset();
    }
}

// Callbacks still running on the worker may use this object: the worker
// ends before the impl pointer changes.
Link::~Link()
{
    if (m_impl)
        (void)m_impl->installStreamFilter(false);
    m_impl.reset();
}

// ---------------------------------------------------------------------------
// Connecting

static uint32_t sCreateEngineLink(const linkSpec& spec)
{
    char port[kLINKSPEC_PORT_NAME_SIZE];
    switch (spec.type) {
    case kLinkTypeUSB:
        return kLink_CreateUSB(spec.serialNumber);
    case kLinkTypeTCPIP:
        return kLink_CreateTCPIP(spec.tcpip.ipAddress, (uint16_t)spec.tcpip.ipPort);
    case kLinkTypeSerial:
        // The record's name need not be terminated.
        snprintf(port, sizeof(port), "%.*s", (int)sizeof(port) - 1, spec.serial.portName);
        return kLink_CreateSerial(spec.serialNumber, port, spec.serial.baudRate);
    default:
        return 0;
    }
}

static kErr sAwaitRunning(uint32_t linkId, const kCancel* cancel)
{
    switch (kLink_GetStatus(linkId)) {
    case kLinkStatusStopped:
    case kLinkStatusStarting:
    case kLinkStatusSyncing:
        for (int poll = 0; poll < CONNECT_POLLS; poll++) {
            if (kCancel_Check(cancel) != kErrNone)
                return kErrCancel;
            kTime_MSSleep(CONNECT_POLL_MS);
            if (kLink_GetStatus(linkId) == kLinkStatusRunning)
                return kErrNone;
        }
        return kErrConnection;
    case kLinkStatusRunning:
        return kErrNone;
    case kLinkStatusStopping:
        return kErrBusy;
    case kLinkStatusNoStream:
    case kLinkStatusIOError:
    case kLinkStatusPacketError:
        return kErrConnection;
    default:
        return kErrDuplicate;
    }
}

kErr Link::connect()
{
    if (!m_impl)
        return kErrMemory;
    impl& d = *m_impl;
    if (d.linkId == 0) {
        if (!d.spec)
            return kErrConfiguration;
        d.linkId = sCreateEngineLink(*d.spec);
        if (d.linkId == 0)
            return kErrConnection;
        d.awaitReplies();
    }
    return sAwaitRunning(d.linkId, d.cancel);
}

kErr Link::attachEngineLink(uint32_t linkId)
{
    if (!m_impl)
        return kErrMemory;
    if (m_impl->linkId)
        return kErrBusy;
    m_impl->linkId = linkId;
    m_impl->awaitReplies();
    return sAwaitRunning(linkId, m_impl->cancel);
}

void Link::setCancel(const kCancel* cancel)
{
    if (m_impl)
        m_impl->cancel = cancel;
}

// A wait that got nothing: the run's cancellation, else `otherwise`.
static kErr sNoReply(const ReplyPath& path, kErr otherwise)
{
    return kCancel_Check(path.cancel) != kErrNone ? kErrCancel : otherwise;
}

// Goes on while the offered module is not of the wanted model (0: any);
// the first that is replaces the wanted record and ends the walk.
static bool cbModelCallback(const linkSpec* offered, bool* count, void* reference)
{
    linkSpec* wanted = (linkSpec*)reference;
    if (wanted->model != 0 && offered->model != wanted->model)
        return true;
    *wanted = *offered;
    *count = true;
    return false;
}

kErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model)
{
    if (!m_impl)
        return kErrMemory;
    linkSpec* found = nullptr;
    kErr err = kErrNone;
    if (serialNumber == 0) {
        found = kLinkSpec_Create(type);
        if (!found)
            return kErrMemory;
        found->serialNumber = 0;
        found->module = 0;
        found->router = 0;
        found->model = model;
        uint8_t counted = 0;
        err = kDiscovery_Enumerate(type, cbModelCallback, found, &counted, m_impl->cancel);
        if (err || counted == 0)
            (void)kLinkSpec_Destroy(&found);
    } else {
        err = kDiscovery_Find(type, serialNumber, &found, m_impl->cancel);
    }
    // A reply port held by another program and an interrupt are told
    // apart: nothing could be found.
    if (!found)
        return err == kErrBusy || err == kErrCancel ? err : kErrNotFound;
    // While connected the old specifier stays, and connect reports on the
    // link that runs.
    (void)setLinkSpecifier(*found);
    (void)kLinkSpec_Destroy(&found);
    return connect();
}

bool Link::isConnected() const
{
    if (!m_impl || m_impl->linkId == 0)
        return false;
    uint32_t status = kLink_GetStatus(m_impl->linkId);
    return status == kLinkStatusRunning || status == kLinkStatusStarting;
}

uint32_t Link::getStatus() const
{
    if (!m_impl || m_impl->linkId == 0)
        return STATUS_NO_LINK;
    return kLink_GetStatus(m_impl->linkId);
}

// The engine link may be shared with other Link objects and outlive this
// one's use of it, so the filter that refers to this object goes first.
// The logger reads the engine link, which the destroy may free: it ends
// before, and a later enablePacketLog makes a new one.
kErr Link::disconnect()
{
    if (m_impl && m_impl->linkId) {
        (void)m_impl->installStreamFilter(false);
        m_impl->stopAwaitingReplies();
        (void)kLogger_Destroy(&m_impl->logger);
        (void)kLink_Destroy(&m_impl->linkId);
        m_impl->linkId = 0;
    }
    return kErrNone;
}

kErr Link::reset()
{
    // The reset itself succeeded; a filter that could not be put back is
    // logged where it failed.
    if (m_impl && m_impl->linkId && kLink_Reset(m_impl->linkId) == kErrNone)
        (void)m_impl->restoreStreamFilter();
    return kErrNone;
}

// ---------------------------------------------------------------------------
// Name and specifier

const char* Link::getName() const
{
    return m_impl && m_impl->name ? m_impl->name : "";
}

kErr Link::getLinkSpecifier(linkSpec* spec) const
{
    if (!spec)
        return kErrParam;
    if (!m_impl || !m_impl->spec)
        return kErrNotFound;
    *spec = *m_impl->spec;
    return kErrNone;
}

kErr Link::setLinkSpecifier(linkSpec spec)
{
    if (!m_impl)
        return kErrMemory;
    if (isConnected())
        return kErrBusy;
    linkSpec* copy = kLinkSpec_Copy(spec);
    if (!copy)
        return kErrMemory;
    if (m_impl->spec)
        (void)kLinkSpec_Destroy(&m_impl->spec);
    m_impl->spec = copy;
    return kErrNone;
}

// ---------------------------------------------------------------------------
// Packets

// Every packet of a reply starts with the command and option of its request.
static ReplyKey sReplyKey(uint8_t address, uint16_t command, uint16_t option)
{
    return ReplyKey{address, command, option};
}

// The module answers the query with an empty packet from its address.
static bool MatchMagic(const kPacket* packet, void*)
{
    return packet->length == 0;
}

kErr Link::getModuleAddress(uint8_t* address)
{
    if (!address)
        return kErrParam;
    *address = 0;
    if (!isConnected())
        return kErrNotReady;
    ReplyPath path = m_impl->path();
    kErr err = path.put(MAGIC_ADDRESS, 0, nullptr, nullptr);
    if (err)
        return err;
    // The answer comes from the address asked for, so from any.
    const ReplyKey any = {ReplyKey::ANY, ReplyKey::ANY, ReplyKey::ANY};
    kPacket* answer = path.await(any, MatchMagic, nullptr, REPLY_TIMEOUT_MS);
    if (!answer)
        return sNoReply(path, kErrNotReady);
    *address = answer->address;
    (void)kPacket_Destroy(&answer);
    return kErrNone;
}

kErr Link::sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data)
{
    if (!isConnected())
        return kErrConnection;
    if (length > PLAIN_BYTES_MAX || (length && !data))
        return kErrParam;
    if (!sValidAddress(address))
        return kErrPacket;
    uint8_t bytes[kPACKET_DATA_MAX];
    bytes[0] = command;
    if (length)
        memcpy(bytes + 1, data, length);
    const ReplyKey expected = sReplyKey(address, command, ReplyKey::ANY);
    return m_impl->path().put(address, (uint8_t)(length + 1), bytes, &expected);
}

struct sCommandMatch {
    uint8_t count;
    const uint8_t* bytes;
};

// A packet shorter than the match cannot hold it.
static bool sCommandFilter(const kPacket* packet, void* reference)
{
    const sCommandMatch* match = (const sCommandMatch*)reference;
    return match->count == 0 || (packet->length >= match->count &&
                                 memcmp(packet->data, match->bytes, match->count) == 0);
}

kErr Link::receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* data)
{
    if (!isConnected())
        return kErrConnection;
    if (!sValidAddress(address))
        return kErrPacket;
    if (!length || !data || *length > kPACKET_DATA_MAX || (*length && !match))
        return kErrParam;
    sCommandMatch reference = {*length, match};
    // Only the module asked can answer: behind a router, others share the
    // link.
    const ReplyKey key = sReplyKey(address, *length > 0 ? match[0] : ReplyKey::ANY,
                                   *length > 1 ? match[1] : ReplyKey::ANY);
    ReplyPath path = m_impl->path();
    kPacket* packet = path.await(key, sCommandFilter, &reference, REPLY_TIMEOUT_MS);
    if (!packet)
        return sNoReply(path, kErrTimeout);
    *length = packet->length;
    memcpy(data, packet->data, packet->length);
    (void)kPacket_Destroy(&packet);
    return kErrNone;
}

// ---------------------------------------------------------------------------
// UEI

// The value after data[at] by type; the packet's length, or 0 for a type
// that has no single-packet form.
static uint8_t sPackValue(const uei& u, uint8_t* data, uint8_t at)
{
    switch (u.type) {
    case UEI_TYPE_NONE:
        return at;
    case UEI_TYPE_BYTE:
        data[at] = u.value.byteVal;
        return (uint8_t)(at + 1);
    case UEI_TYPE_SHORT:
        kUEI_StoreShort(data + at, u.value.shortVal);
        return (uint8_t)(at + 2);
    case UEI_TYPE_INT:
        kUEI_StoreInt(data + at, u.value.intVal);
        return (uint8_t)(at + 4);
    default:
        return 0;
    }
}

// Chunks of up to 24 bytes, each closed by its sequence byte; an empty
// value is one chunk without bytes. Stops at the first packet not queued.
static kErr sSendBytes(const ReplyPath& path, const uei& u)
{
    if (u.bytesLength > UEI_BYTES_MAX || (u.bytesLength && !u.value.bytes))
        return kErrParam;
    const ReplyKey expected = sReplyKey(u.module, u.command, u.option);
    uint64_t sent = 0;
    uint8_t chunk = 0;
    bool more = false;
    kErr err = kErrNone;
    do {
        uint8_t data[kPACKET_DATA_MAX] = {u.command, u.option, u.specifier};
        uint64_t n = u.bytesLength - sent < UEI_CHUNK_SIZE ? u.bytesLength - sent : UEI_CHUNK_SIZE;
        more = sent + n < u.bytesLength;
        if (n)
            memcpy(data + 3, u.value.bytes + sent, (size_t)n);
        data[3 + n] = (uint8_t)(chunk | (more ? UEI_SEQUENCE_MORE : 0));
        err = path.put(u.module, (uint8_t)(n + 4), data, chunk == 0 ? &expected : nullptr);
        sent += n;
        chunk++;
    } while (more && err == kErrNone);
    return err;
}

kErr Link::sendUEI(uei u)
{
    if (!isConnected())
        return kErrConnection;
    if (!sValidAddress(u.module))
        return kErrPacket;
    if (u.type == UEI_TYPE_BYTES)
        return sSendBytes(m_impl->path(), u);
    uint8_t data[kPACKET_DATA_MAX] = {u.command, u.option, u.specifier};
    uint8_t length = sPackValue(u, data, 3);
    if (length == 0)
        return kErrParam;
    const ReplyKey expected = sReplyKey(u.module, u.command, u.option);
    return m_impl->path().put(u.module, length, data, &expected);
}

kErr Link::sendUEI(uei u, uint8_t subindex)
{
    if (!isConnected())
        return kErrConnection;
    if (!sValidAddress(u.module))
        return kErrPacket;
    uint8_t data[kPACKET_DATA_MAX] = {u.command, u.option, u.specifier, subindex};
    uint8_t length = sPackValue(u, data, 4);
    if (length == 0)
        return kErrParam;
    const ReplyKey expected = sReplyKey(u.module, u.command, u.option);
    return m_impl->path().put(u.module, length, data, &expected);
}

// Accepts the reply to the record's entity option and fills the record: an
// error reply's code, or the value by the reply's length. A reply of any
// other length is taken with the record's type and value as they were.
static bool sUEIFilter(const kPacket* packet, void* reference)
{
    uei* r = (uei*)reference;
    if (!ueiPacketMatches(packet, *r))
        return false;
    if (ueiTakeErrorReply(packet, r))
        return true;
    const uint8_t* d = packet->data;
    switch (packet->length) {
    case 3:
        r->type = UEI_TYPE_NONE;
        break;
    case 4:
        memset(&r->value, 0, sizeof(r->value));
        r->type = UEI_TYPE_BYTE;
        r->value.byteVal = d[3];
        break;
    case 5:
        memset(&r->value, 0, sizeof(r->value));
        r->type = UEI_TYPE_SHORT;
        r->value.shortVal = kUEI_RetrieveShort(d + 3);
        break;
    case 7:
        memset(&r->value, 0, sizeof(r->value));
        r->type = UEI_TYPE_INT;
        r->value.intVal = kUEI_RetrieveInt(d + 3);
        break;
    default:
        break;
    }
    return true;
}

kErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei* u)
{
    return receiveUEI(module, command, option, specifier, u, sUEIFilter, REPLY_TIMEOUT_MS);
}

// The record already names the reply; of the leading arguments only the
// module address is checked.
kErr Link::receiveUEI(uint8_t module, uint8_t, uint8_t, uint8_t, uei* u, kPacketFilter filter,
                      uint64_t timeoutMS)
{
    if (!isConnected())
        return kErrConnection;
    if (!sValidAddress(module))
        return kErrPacket;
    if (!u)
        return kErrParam;
    if (!filter)
        filter = sUEIFilter;
    uint64_t held = m_impl->heldQueueFor(*u);
    ReplyPath path = m_impl->path();
    kPacket* packet =
        held ? ReplyPath::awaitInSlices(
                   path.cancel, timeoutMS,
                   [&](uint64_t ms) { return kPacketFifo_AwaitFirst(held, filter, u, ms); })
             : path.await(sReplyKey(u->module, u->command, u->option), filter, u, timeoutMS);
    if (!packet)
        return sNoReply(path, kErrTimeout);
    (void)kPacket_Destroy(&packet);
    return kErrNone;
}

kErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index)
{
    if (!isConnected())
        return kErrConnection;
    if (!sValidAddress(module))
        return kErrPacket;
    uei reference = {};
    reference.module = module;
    reference.command = command;
    reference.option = option;
    reference.specifier = index;
    kLink_DrainPackets(m_impl->linkId, sUEIFilter, &reference);
    if (m_impl->matcher)
        (void)m_impl->matcher->drain(sUEIFilter, &reference);
    return kErrNone;
}

} // namespace Vantor
} // namespace Kelvane

#include "device/object/Entity.h"

#include "device/object/Module.h"

#include <string.h>

#include <new>

namespace Kelvane
{
namespace Vantor
{

struct EntityClass::impl {
    explicit impl(EntityClass& owner)
        : owner(owner), module(nullptr), command(0), index(0),
          replyTimeoutMS(Link::REPLY_TIMEOUT_MS)
    {
    }

    Link* link() const { return module ? module->getLink() : nullptr; }
    /// Addresses `u` as a request to this entity: `option` with its
    /// direction bit (get or set) already in it.
    void request(uei& u, uint8_t option) const
    {
        u.module = module->getModuleAddress();
        u.command = command;
        u.option = option;
        u.specifier = (uint8_t)(index | UEI_SPEC_REQUEST);
    }

    kErr get(uint8_t option, uei* u);
    kErr set(uint8_t option, bool indexed, uint8_t subindex, uei* u);

    EntityClass& owner;
    Module* module;
    uint8_t command;
    uint8_t index;
    uint64_t replyTimeoutMS;
};

EntityClass::EntityClass() : m_impl(new (std::nothrow) impl(*this)) {}

EntityClass::~EntityClass() = default;

kErr EntityClass::init(Module* module, uint8_t command, uint8_t index)
{
    if (!m_impl)
        return kErrMemory;
    m_impl->module = module;
    m_impl->command = command;
    m_impl->index = index;
    return kErrNone;
}

uint8_t EntityClass::getIndex() const
{
    return m_impl ? m_impl->index : 0;
}

void EntityClass::setReplyTimeout(uint64_t timeoutMS)
{
    if (m_impl)
        m_impl->replyTimeoutMS = timeoutMS;
}

Module* EntityClass::boundModule() const
{
    return m_impl ? m_impl->module : nullptr;
}

// The record's value as the reply (or the stream cache) typed it.
static uint32_t sValueOf(const uei& u)
{
    switch (u.type) {
    case UEI_TYPE_BYTE:
        return u.value.byteVal;
    case UEI_TYPE_SHORT:
        return u.value.shortVal;
    default:
        return u.value.intVal;
    }
}

static bool sGotValue(kErr err)
{
    return err == kErrNone || err == kErrStreamStale;
}

// ---------------------------------------------------------------------------
// Get and set

kErr EntityClass::impl::get(uint8_t option, uei* u)
{
    Link* link = this->link();
    if (!link)
        return kErrResource;
    uint8_t address = module->getModuleAddress();
    uint8_t subindex = u->type == UEI_TYPE_BYTE ? u->value.byteVal : 0;
    uint32_t cached = 0;
    kErr err = link->getStreamValue(address, command, option, index, subindex, &cached);
    if (err != kErrNotFound) {
        if (sGotValue(err)) {
            memset(&u->value, 0, sizeof(u->value));
            u->value.intVal = cached;
            u->type = UEI_TYPE_INT;
        }
        return err;
    }
    request(*u, (uint8_t)(option | UEI_OPTION_GET));
    err = link->sendUEI(*u);
    if (err)
        return err;
    u->option = option;
    u->specifier = index;
    // The reply sets the type; one that carried no value leaves it at none.
    u->type = UEI_TYPE_NONE;
    err = link->receiveUEI(address, command, option, index, u, nullptr, replyTimeoutMS);
    if (err)
        return err;
    if (u->specifier & UEI_SPEC_ERROR)
        return ueiReplyError(*u);
    return u->type == UEI_TYPE_NONE ? kErrPacket : kErrNone;
}

kErr EntityClass::impl::set(uint8_t option, bool indexed, uint8_t subindex, uei* u)
{
    Link* link = this->link();
    if (!link)
        return kErrResource;
    uint8_t address = module->getModuleAddress();
    request(*u, (uint8_t)(option | UEI_OPTION_SET));
    kErr err = indexed ? link->sendUEI(*u, subindex) : link->sendUEI(*u);
    if (err)
        return err;
    u->option = (uint8_t)(option | UEI_OPTION_REPLY);
    u->specifier = index;
    err = link->receiveUEI(address, command, u->option, index, u, nullptr, replyTimeoutMS);
    if (!err && (u->specifier & UEI_SPEC_ERROR))
        return ueiReplyError(*u);
    return err;
}

kErr EntityClass::getUEI(uint8_t option, uei* u)
{
    if (!u)
        return kErrParam;
    return m_impl ? m_impl->get(option, u) : kErrResource;
}

kErr EntityClass::setUEI(uint8_t option, uei* u)
{
    if (!u)
        return kErrParam;
    return m_impl ? m_impl->set(option, false, 0, u) : kErrResource;
}

kErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* u)
{
    if (!u)
        return kErrParam;
    return m_impl ? m_impl->set(option, true, subindex, u) : kErrResource;
}

kErr EntityClass::callUEI(uint8_t option)
{
    uei u = {};
    u.type = UEI_TYPE_NONE;
    return setUEI(option, &u);
}

static uei sTyped(ueiType type, uint32_t value)
{
    uei u = {};
    u.type = type;
    if (type == UEI_TYPE_BYTE)
        u.value.byteVal = (uint8_t)value;
    else if (type == UEI_TYPE_SHORT)
        u.value.shortVal = (uint16_t)value;
    else
        u.value.intVal = value;
    return u;
}

kErr EntityClass::setUEI8(uint8_t option, uint8_t value)
{
    uei u = sTyped(UEI_TYPE_BYTE, value);
    return setUEI(option, &u);
}

kErr EntityClass::setUEI16(uint8_t option, uint16_t value)
{
    uei u = sTyped(UEI_TYPE_SHORT, value);
    return setUEI(option, &u);
}

kErr EntityClass::setUEI32(uint8_t option, uint32_t value)
{
    uei u = sTyped(UEI_TYPE_INT, value);
    return setUEI(option, &u);
}

kErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value)
{
    uei u = sTyped(UEI_TYPE_BYTE, value);
    return setUEI(option, subindex, &u);
}

kErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value)
{
    uei u = sTyped(UEI_TYPE_INT, value);
    return setUEI(option, subindex, &u);
}

// Sending never writes through the pointer.
kErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* bytes, uint64_t count)
{
    uei u = {};
    u.type = UEI_TYPE_BYTES;
    u.value.bytes = const_cast<uint8_t*>(bytes);
    u.bytesLength = count;
    return setUEI(option, &u);
}

// A plain get asks with no value, one with a subindex with it as a byte.
static kErr sGet(EntityClass& entity, uint8_t option, bool indexed, uint8_t subindex,
                 uint32_t* value)
{
    uei u = indexed ? sTyped(UEI_TYPE_BYTE, subindex) : sTyped(UEI_TYPE_NONE, 0);
    kErr err = entity.getUEI(option, &u);
    if (sGotValue(err))
        *value = sValueOf(u);
    return err;
}

template <typename T>
static kErr sGetTyped(EntityClass& entity, uint8_t option, bool indexed, uint8_t subindex, T* value)
{
    if (!value)
        return kErrParam;
    uint32_t got = 0;
    kErr err = sGet(entity, option, indexed, subindex, &got);
    if (sGotValue(err))
        *value = (T)got;
    return err;
}

kErr EntityClass::getUEI8(uint8_t option, uint8_t* value)
{
    return sGetTyped(*this, option, false, 0, value);
}

kErr EntityClass::getUEI16(uint8_t option, uint16_t* value)
{
    return sGetTyped(*this, option, false, 0, value);
}

kErr EntityClass::getUEI32(uint8_t option, uint32_t* value)
{
    return sGetTyped(*this, option, false, 0, value);
}

kErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value)
{
    return sGetTyped(*this, option, true, subindex, value);
}

kErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value)
{
    return sGetTyped(*this, option, true, subindex, value);
}

kErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value)
{
    return sGetTyped(*this, option, true, subindex, value);
}

// ---------------------------------------------------------------------------
// Bytes values

static bool sFailRead(uei* r, kErr code)
{
    r->specifier |= UEI_SPEC_ERROR;
    r->value.byteVal = (uint8_t)code;
    return true;
}

// Takes the next chunk of the value being read into the record's buffer;
// a chunk with another number stays queued. A chunk that does not fit, or
// a reply too short to hold a sequence byte, ends the read.
static bool sUEIBytesFilter(const kPacket* packet, void* reference)
{
    uei* r = (uei*)reference;
    if (!ueiPacketMatches(packet, *r))
        return false;
    if (ueiTakeErrorReply(packet, r))
        return true;
    const uint8_t* d = packet->data;
    if (packet->length < 4)
        return sFailRead(r, kErrPacket);
    uint8_t sequence = d[packet->length - 1];
    if ((sequence & UEI_SEQUENCE_NUMBER) != (r->sequence & UEI_SEQUENCE_NUMBER))
        return false;
    uint64_t n = (uint64_t)packet->length - 4;
    if (*r->bytesDone + n > r->bytesLength)
        return sFailRead(r, kErrMemory);
    if (n)
        memcpy(r->value.bytes, d + 3, (size_t)n);
    r->value.bytes += n;
    *r->bytesDone += n;
    r->sequence = sequence;
    return true;
}

// Takes the chunks into the record until the last one, an error reply or
// a missing chunk.
static kErr sReadChunks(Link* link, uei* r)
{
    kErr err = kErrNone;
    while (err == kErrNone) {
        err = link->receiveUEI(r->module, r->command, r->option, r->specifier, r, sUEIBytesFilter);
        if (err)
            break;
        if (r->specifier & UEI_SPEC_ERROR)
            return ueiReplyError(*r);
        if (!(r->sequence & UEI_SEQUENCE_MORE))
            break;
        // Chunk 127 is the last one a value can have.
        if ((r->sequence & UEI_SEQUENCE_NUMBER) == UEI_SEQUENCE_NUMBER)
            return kErrPacket;
        r->sequence++;
    }
    return err;
}

kErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, uint64_t capacity, uint64_t* count)
{
    if (!buffer || !count || capacity == 0)
        return kErrParam;
    Link* link = m_impl ? m_impl->link() : nullptr;
    if (!link)
        return kErrResource;
    *count = 0;
    uei r = {};
    m_impl->request(r, (uint8_t)(option | UEI_OPTION_GET));
    r.type = UEI_TYPE_NONE;
    uei request = r;
    r.option = option;
    r.specifier = m_impl->index;
    r.sequence = 0;
    r.value.bytes = buffer;
    r.bytesLength = capacity;
    r.bytesDone = count;
    // The chunks come in a burst; held from before the request, none is lost.
    bool held = link->holdReplies(r) == kErrNone;
    kErr err = link->sendUEI(request);
    if (!err)
        err = sReadChunks(link, &r);
    if (held)
        link->releaseReplies();
    return err;
}

kErr EntityClass::getUEIBytesCheck(uint64_t* count, uint64_t size)
{
    if (!count || size == 0)
        return kErrParam;
    if (*count % size)
        return kErrSize;
    *count /= size;
    return kErrNone;
}

kErr EntityClass::requestUEI(uint8_t option)
{
    Link* link = m_impl ? m_impl->link() : nullptr;
    if (!link)
        return kErrResource;
    uei u = {};
    m_impl->request(u, (uint8_t)(option | UEI_OPTION_GET));
    u.type = UEI_TYPE_NONE;
    return link->sendUEI(u);
}

kErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t timeoutMS)
{
    if (!value)
        return kErrParam;
    Link* link = m_impl ? m_impl->link() : nullptr;
    if (!link)
        return kErrResource;
    uei r = {};
    r.module = m_impl->module->getModuleAddress();
    r.command = m_impl->command;
    r.option = option;
    r.specifier = m_impl->index;
    r.type = UEI_TYPE_NONE;
    kErr err = link->receiveUEI(r.module, r.command, option, r.specifier, &r, nullptr,
                                timeoutMS ? timeoutMS : Link::REPLY_TIMEOUT_MS);
    if (err)
        return err;
    if (r.specifier & UEI_SPEC_ERROR)
        return ueiReplyError(r);
    if (r.type == UEI_TYPE_NONE)
        return kErrPacket;
    *value = sValueOf(r);
    return kErrNone;
}

// ---------------------------------------------------------------------------
// Packets and streams

kErr EntityClass::drainUEI(uint8_t option)
{
    Link* link = m_impl ? m_impl->link() : nullptr;
    if (!link)
        return kErrResource;
    return link->dropMatchingUEIPackets(m_impl->module->getModuleAddress(), m_impl->command, option,
                                        m_impl->index);
}

kErr EntityClass::sendPacket(uint8_t command, uint8_t count, const uint8_t* bytes)
{
    Link* link = m_impl ? m_impl->link() : nullptr;
    if (!link)
        return kErrResource;
    return link->sendPacket(m_impl->module->getModuleAddress(), command, count, bytes);
}

kErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer)
{
    Link* link = m_impl ? m_impl->link() : nullptr;
    if (!link)
        return kErrResource;
    return link->receivePacket(m_impl->module->getModuleAddress(), match, length, buffer);
}

kErr EntityClass::setStreamEnabled(bool enable)
{
    Link* link = m_impl ? m_impl->link() : nullptr;
    if (!link)
        return kErrResource;
    return link->enableStream(m_impl->module->getModuleAddress(), m_impl->command, Link::STREAM_ANY,
                              m_impl->index, enable);
}

kErr EntityClass::registerOptionCallback(uint8_t option, bool enable,
                                         const streamCallback& callback, void* reference)
{
    Link* link = m_impl ? m_impl->link() : nullptr;
    if (!link)
        return kErrResource;
    return link->registerStreamCallback(m_impl->module->getModuleAddress(), m_impl->command, option,
                                        m_impl->index, enable, callback, reference);
}

kErr EntityClass::getStreamStatus(std::map<uint64_t, uint32_t>* status)
{
    Link* link = m_impl ? m_impl->link() : nullptr;
    if (!link)
        return kErrResource;
    return link->getStreamStatus(m_impl->module->getModuleAddress(), m_impl->command,
                                 Link::STREAM_ANY, m_impl->index, Link::STREAM_ANY, status);
}

} // namespace Vantor
} // namespace Kelvane

// The link object's block transfers of store slots and factory data. Both
// speak plain packets of their own: each request goes to the engine link,
// and its reply is awaited with a filter that knows the request.
//
//     slot (4):     4, sub, store, slot            -> 4, sub, store, slot, value
//                   4, sub, handle [, bytes]       -> 4, sub, handle, ...
//     factory (94): 94, flags | block [, bytes]    -> 94, block [, bytes]
//
// A reply with bit 7 of its second byte set is an error reply; it counts at
// whatever length it comes.

#include "device/core/kLink.h"
#include "device/core/kUEI.h"
#include "device/object/LinkImpl.h"

#include <string.h>

namespace Kelvane
{
namespace Vantor
{

/// Bit 7 of a reply's second byte, slot and factory replies alike.
static const uint8_t REPLY_ERROR = 0x80;

static const uint8_t CMD_SLOT = 4;
static const uint8_t SLOT_CAPACITY = 1;
static const uint8_t SLOT_SIZE = 2;
static const uint8_t SLOT_OPEN_READ = 3;
static const uint8_t SLOT_OPEN_WRITE = 4;
static const uint8_t SLOT_READ = 6;
static const uint8_t SLOT_WRITE = 7;
static const uint8_t SLOT_CLOSE = 8;
/// sOpenSlot's failure.
static const uint8_t SLOT_NO_HANDLE = 255;
static const uint8_t SLOT_CHUNK_MAX = 25;
/// Data bytes before a read reply's bytes.
static const uint8_t SLOT_READ_HEAD = 3;
/// A module may take a while to find and open a slot.
static const uint64_t SLOT_OPEN_TIMEOUT_MS = 3000;

static const uint8_t CMD_FACTORY = 0x5E;
static const uint8_t FACTORY_BLOCK = 0x0F;
static const uint8_t FACTORY_WRITE = 0x10;
static const uint8_t FACTORY_CLOSE = 0x20;
static const uint8_t FACTORY_FIRST = 0x40;
/// The command byte and the block byte of every factory packet.
static const uint8_t COMMAND_OVERHEAD = 2;
static const uint8_t FACTORY_CHUNK_MAX = kPACKET_DATA_MAX - COMMAND_OVERHEAD;
/// The closing packet carries the byte count in two bytes.
static const uint64_t FACTORY_COUNT_MAX = 0xFFFF;

static uint64_t sMin(uint64_t a, uint64_t b)
{
    return a < b ? a : b;
}

static kErr sUsable(const Link& link, uint8_t module)
{
    if (!link.isConnected())
        return kErrConnection;
    if (module == 0 || (module & 1))
        return kErrPacket;
    return kErrNone;
}

// An error reply whose code is missing or 0 must not read as success.
static kErr sReplyCode(const kPacket* reply, uint8_t at)
{
    uint8_t code = reply->length > at ? reply->data[at] : 0;
    return code ? (kErr)code : (kErr)kErrUnknown;
}

/// What a reply filter knows of its request.
struct sAsked {
    const uint8_t* request;
};

// Queues the request (its first byte is the command) and awaits the reply
// that `filter` takes with the request as its reference. kErrTimeout when
// none comes in time; the queue's error when it cannot be sent; for an error
// reply, its code at `codeAt`.
static kErr sRequest(const ReplyPath& path, uint8_t module, uint8_t* request, uint8_t length,
                     kPacketFilter filter, uint64_t timeoutMS, uint8_t codeAt, PacketCopy* reply)
{
    // Only the module asked can answer: behind a router others share the
    // link. The sub-command or block is the filter's to check.
    const ReplyKey key = {module, request[0], ReplyKey::ANY};
    kErr err = path.put(module, length, request, &key);
    if (err)
        return err;
    sAsked asked = {request};
    reply->reset(path.await(key, filter, &asked, timeoutMS));
    if (!*reply)
        return kErrTimeout;
    return ((*reply)->data[1] & REPLY_ERROR) ? sReplyCode(reply->get(), codeAt) : kErrNone;
}

// ---------------------------------------------------------------------------
// Store slots

// The reply to the request: its sub-command with or without the error bit,
// and the same store and slot (capacity, size, open) or handle (the rest).
static bool sSlotFilter(const kPacket* packet, void* reference)
{
    const sAsked* asked = (const sAsked*)reference;
    const uint8_t* request = asked->request;
    const uint8_t* d = packet->data;
    if (packet->length <= 3 || d[0] != CMD_SLOT || (d[1] & ~REPLY_ERROR) != request[1])
        return false;
    if (request[1] <= SLOT_OPEN_WRITE)
        return d[2] == request[2] && d[3] == request[3];
    return d[2] == request[2];
}

static uint8_t sOpenSlot(const ReplyPath& path, uint8_t module, uint8_t store, uint8_t slot,
                         uint8_t sub)
{
    uint8_t request[] = {CMD_SLOT, sub, store, slot};
    PacketCopy reply;
    if (sRequest(path, module, request, sizeof(request), sSlotFilter, SLOT_OPEN_TIMEOUT_MS, 3,
                 &reply) ||
        reply->length < 5)
        return SLOT_NO_HANDLE;
    return reply->data[4];
}

static kErr sCloseSlot(const ReplyPath& path, uint8_t module, uint8_t handle)
{
    uint8_t request[] = {CMD_SLOT, SLOT_CLOSE, handle};
    PacketCopy reply;
    kErr err = sRequest(path, module, request, sizeof(request), sSlotFilter, Link::REPLY_TIMEOUT_MS,
                        3, &reply);
    if (err)
        return err;
    return reply->length == 4 ? kErrNone : kErrIO;
}

static uint8_t sByteSum(const uint8_t* bytes, uint8_t length)
{
    uint8_t sum = 0;
    for (uint8_t i = 0; i < length; i++)
        sum = (uint8_t)(sum + bytes[i]);
    return sum;
}

// An acknowledgement of another length than 4 carries no sum to check.
static kErr sWriteChunks(const ReplyPath& path, uint8_t module, uint8_t handle,
                         const uint8_t* bytes, uint64_t length)
{
    for (uint64_t sent = 0; sent < length;) {
        uint8_t n = (uint8_t)sMin(length - sent, SLOT_CHUNK_MAX);
        uint8_t request[kPACKET_DATA_MAX] = {CMD_SLOT, SLOT_WRITE, handle};
        memcpy(request + 3, bytes + sent, n);
        PacketCopy reply;
        kErr err = sRequest(path, module, request, (uint8_t)(3 + n), sSlotFilter,
                            Link::REPLY_TIMEOUT_MS, 3, &reply);
        if (err)
            return err;
        if (reply->length == 4 && reply->data[3] != sByteSum(bytes + sent, n))
            return kErrIO;
        sent += n;
    }
    return kErrNone;
}

// Every reply the filter takes holds at least one byte, so each one brings
// the read forward; bytes beyond `wanted` are not taken.
static kErr sReadChunks(const ReplyPath& path, uint8_t module, uint8_t handle, uint8_t* buffer,
                        uint64_t wanted, uint64_t* done)
{
    while (*done < wanted) {
        uint8_t request[] = {CMD_SLOT, SLOT_READ, handle};
        PacketCopy reply;
        kErr err = sRequest(path, module, request, sizeof(request), sSlotFilter,
                            Link::REPLY_TIMEOUT_MS, 3, &reply);
        if (err)
            return err;
        uint64_t n = sMin(reply->length - SLOT_READ_HEAD, wanted - *done);
        memcpy(buffer + *done, reply->data + SLOT_READ_HEAD, (size_t)n);
        *done += n;
    }
    return kErrNone;
}

kErr Link::loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* bytes,
                         uint64_t length)
{
    kErr err = sUsable(*this, module);
    if (err)
        return err;
    if (length && !bytes)
        return kErrParam;
    ReplyPath path = m_impl->path();
    uint8_t handle = sOpenSlot(path, module, store, slot, SLOT_OPEN_WRITE);
    if (handle == SLOT_NO_HANDLE)
        return kErrMedia;
    err = sWriteChunks(path, module, handle, bytes, length);
    kErr closed = sCloseSlot(path, module, handle);
    return err ? err : closed;
}

kErr Link::unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer,
                           uint64_t bufferLength, uint64_t* count)
{
    kErr err = sUsable(*this, module);
    if (err)
        return err;
    if (!count || (bufferLength && !buffer))
        return kErrParam;
    *count = 0;
    uint64_t size = 0;
    err = storeSlotSize(module, store, slot, &size);
    if (err)
        return err;
    ReplyPath path = m_impl->path();
    uint8_t handle = sOpenSlot(path, module, store, slot, SLOT_OPEN_READ);
    if (handle == SLOT_NO_HANDLE)
        return kErrMedia;
    uint64_t done = 0;
    err = sReadChunks(path, module, handle, buffer, sMin(bufferLength, size), &done);
    kErr closed = sCloseSlot(path, module, handle);
    if (!closed)
        *count = done;
    if (err || closed)
        return err ? err : closed;
    return bufferLength < size ? kErrOverrun : kErrNone;
}

// Capacity and size come as two bytes, most significant first.
static kErr sSlotValue(const ReplyPath& path, uint8_t module, uint8_t sub, uint8_t store,
                       uint8_t slot, uint64_t* value)
{
    uint8_t request[] = {CMD_SLOT, sub, store, slot};
    PacketCopy reply;
    kErr err = sRequest(path, module, request, sizeof(request), sSlotFilter, Link::REPLY_TIMEOUT_MS,
                        4, &reply);
    if (err)
        return err;
    if (reply->length != 6)
        return kErrUnknown;
    *value = kUEI_RetrieveShort(reply->data + 4);
    return kErrNone;
}

kErr Link::storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, uint64_t* size)
{
    kErr err = sUsable(*this, module);
    if (err)
        return err;
    if (!size)
        return kErrParam;
    return sSlotValue(m_impl->path(), module, SLOT_SIZE, store, slot, size);
}

kErr Link::storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, uint64_t* capacity)
{
    kErr err = sUsable(*this, module);
    if (err)
        return err;
    if (!capacity)
        return kErrParam;
    return sSlotValue(m_impl->path(), module, SLOT_CAPACITY, store, slot, capacity);
}

// ---------------------------------------------------------------------------
// Factory data

// The reply names the request's block, or the block
// with the error bit; the closing packet names none, so its reply carries
// block 0.
static bool sFactoryFilter(const kPacket* packet, void* reference)
{
    const sAsked* asked = (const sAsked*)reference;
    uint8_t block = asked->request[1] & FACTORY_BLOCK;
    return packet->length > 1 && packet->data[0] == CMD_FACTORY &&
           (packet->data[1] == block || packet->data[1] == (block | REPLY_ERROR));
}

static kErr sCloseFactory(const ReplyPath& path, uint8_t module, uint64_t count)
{
    uint8_t request[4] = {CMD_FACTORY, FACTORY_CLOSE};
    kUEI_StoreShort(request + 2, (uint16_t)count);
    PacketCopy reply;
    return sRequest(path, module, request, sizeof(request), sFactoryFilter, Link::REPLY_TIMEOUT_MS,
                    2, &reply);
}

// A full reply (28 data bytes) says that more may follow. The data must
// leave room in the buffer, and its count must fit the closing packet.
static kErr sReadFactory(const ReplyPath& path, uint8_t module, uint8_t block, uint8_t* buffer,
                         uint64_t bufferLength, uint64_t* gathered)
{
    uint64_t room = sMin(bufferLength, FACTORY_COUNT_MAX + 1);
    bool full = true;
    for (bool first = true; full; first = false) {
        uint8_t request[] = {CMD_FACTORY, (uint8_t)(block | (first ? FACTORY_FIRST : 0))};
        PacketCopy reply;
        kErr err = sRequest(path, module, request, sizeof(request), sFactoryFilter,
                            Link::REPLY_TIMEOUT_MS, 2, &reply);
        if (err)
            return err;
        uint8_t n = (uint8_t)(reply->length - COMMAND_OVERHEAD);
        if (*gathered + n >= room)
            return kErrOverrun;
        memcpy(buffer + *gathered, reply->data + COMMAND_OVERHEAD, n);
        *gathered += n;
        full = reply->length == kPACKET_DATA_MAX;
    }
    return kErrNone;
}

kErr Link::getFactoryData(uint8_t module, uint8_t block, uint8_t* buffer, uint64_t bufferLength,
                          uint64_t* count)
{
    kErr err = sUsable(*this, module);
    if (err)
        return err;
    if (!count || (bufferLength && !buffer) || block > FACTORY_BLOCK)
        return kErrParam;
    *count = 0;
    uint64_t gathered = 0;
    err = sReadFactory(m_impl->path(), module, block, buffer, bufferLength, &gathered);
    if (!err)
        err = sCloseFactory(m_impl->path(), module, gathered);
    if (!err)
        *count = gathered;
    return err;
}

static kErr sWriteFactory(const ReplyPath& path, uint8_t module, uint8_t block,
                          const uint8_t* bytes, uint64_t length)
{
    for (uint64_t sent = 0; sent < length;) {
        uint8_t n = (uint8_t)sMin(length - sent, FACTORY_CHUNK_MAX);
        uint8_t flags = (uint8_t)(block | FACTORY_WRITE | (sent == 0 ? FACTORY_FIRST : 0));
        uint8_t request[kPACKET_DATA_MAX] = {CMD_FACTORY, flags};
        memcpy(request + COMMAND_OVERHEAD, bytes + sent, n);
        PacketCopy reply;
        kErr err = sRequest(path, module, request, (uint8_t)(COMMAND_OVERHEAD + n), sFactoryFilter,
                            Link::REPLY_TIMEOUT_MS, 2, &reply);
        if (err)
            return err;
        if (reply->length != COMMAND_OVERHEAD)
            return kErrSize;
        sent += n;
    }
    return kErrNone;
}

kErr Link::setFactoryData(uint8_t module, uint8_t block, const uint8_t* bytes, uint64_t length)
{
    kErr err = sUsable(*this, module);
    if (err)
        return err;
    if ((length && !bytes) || block > FACTORY_BLOCK || length > FACTORY_COUNT_MAX)
        return kErrParam;
    err = sWriteFactory(m_impl->path(), module, block, bytes, length);
    return err ? err : sCloseFactory(m_impl->path(), module, length);
}

} // namespace Vantor
} // namespace Kelvane

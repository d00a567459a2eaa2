#pragma once
// One entity of a module, named by its entity class (the command byte) and
// index: typed get, set and call of its UEI options, multi-packet byte
// values, plain command packets and its streams.
//
//     get o:  class, o | 0x40, index | 0x20 [, subindex]  -> class, o, index, value
//     set o:  class, o | 0x80, index | 0x20 [, subindex], value
//                                                  -> class, o | 0xC0, index
//
// A reply with the error bit in its index byte makes the operation return
// the module's code. Each awaited reply waits at most 1000 ms. An entity is
// unusable until init binds it to a module, which it never owns and which
// must outlive it; every operation that needs the module's link returns
// kErrResource without one. Operations return a kErr and never throw; out
// values are written only on kErrNone (or kErrStreamStale).

#include "device/core/kError.h"
#include "device/object/Link.h"
#include "device/object/UEI.h"

#include <stdint.h>

#include <map>
#include <memory>

namespace Kelvane
{
namespace Vantor
{

class Module;

class EntityClass
{
public:
    EntityClass();
    virtual ~EntityClass();

    EntityClass(const EntityClass&) = delete;
    EntityClass& operator=(const EntityClass&) = delete;

    kErr init(Module* module, uint8_t command, uint8_t index);
    uint8_t getIndex() const;
    /// How long get and set await their reply (Link::REPLY_TIMEOUT_MS until
    /// changed): a poll that asks again soon waits less.
    void setReplyTimeout(uint64_t timeoutMS);

    /// The get exchange for the record, answered from a cached stream sample
    /// when the link holds one (kErrNone fresh, kErrStreamStale read
    /// before). u->type 1 with the subindex in the value byte asks for that
    /// subindex. kErrPacket when the reply carries no value.
    kErr getUEI(uint8_t option, uei* u);
    /// The set exchange with the record's value.
    kErr setUEI(uint8_t option, uei* u);
    kErr setUEI(uint8_t option, uint8_t subindex, uei* u);
    /// A set without a value.
    kErr callUEI(uint8_t option);

    kErr setUEI8(uint8_t option, uint8_t value);
    kErr setUEI16(uint8_t option, uint16_t value);
    kErr setUEI32(uint8_t option, uint32_t value);
    kErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
    kErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
    /// A bytes value of at most 3072 bytes (kErrParam beyond).
    kErr setUEIBytes(uint8_t option, const uint8_t* bytes, uint64_t count);

    kErr getUEI8(uint8_t option, uint8_t* value);
    kErr getUEI16(uint8_t option, uint16_t* value);
    kErr getUEI32(uint8_t option, uint32_t* value);
    kErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
    kErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
    kErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);
    /// Reads a bytes value into the buffer; *count (set to 0 first) is the
    /// number of bytes read. kErrMemory when the value does not fit,
    /// kErrPacket for a malformed reply; a waiting chunk out of sequence is
    /// left where it is.
    kErr getUEIBytes(uint8_t option, uint8_t* buffer, uint64_t capacity, uint64_t* count);
    /// Turns a byte count into a count of elements of `size` bytes;
    /// kErrSize when it is not a whole number of them.
    kErr getUEIBytesCheck(uint64_t* count, uint64_t size);
    /// Sends the get of the option without awaiting its reply, so that
    /// several can be in flight at once; awaitUEI32Val takes the reply.
    kErr requestUEI(uint8_t option);
    /// Awaits, without sending, a UEI of this entity option with a 32-bit
    /// value, up to `timeoutMS` (0: the usual 1000 ms).
    kErr awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t timeoutMS);
    /// Drops the replies of this option that are waiting.
    kErr drainUEI(uint8_t option);

    /// A plain command packet to the module.
    kErr sendPacket(uint8_t command, uint8_t count, const uint8_t* bytes);
    /// Link::receivePacket for the module's address.
    kErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer);

    /// Streams of every option of this entity.
    kErr setStreamEnabled(bool enable);
    kErr registerOptionCallback(uint8_t option, bool enable, const streamCallback& callback,
                                void* reference);
    /// The cached samples of this entity's streams.
    kErr getStreamStatus(std::map<uint64_t, uint32_t>* status);

protected:
    /// The module bound by init, or null.
    Module* boundModule() const;

private:
    struct impl;
    std::unique_ptr<impl> m_impl;
};

} // namespace Vantor
} // namespace Kelvane

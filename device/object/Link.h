#pragma once
// One packet link to a module and the module command protocol over it: a
// link specifier becomes a running link of the link engine, UEI commands
// are packed, sent and awaited, stale replies are dropped, the module is
// asked for its address, and the traffic can be written to a packet log.
// The link can also keep a table of streams: the module then sends samples
// unasked, the link caches the last one of each stream and hands the
// packets to callbacks on a worker thread of its own.
//
// A Link is used by one caller thread at a time. Stream callbacks run on the
// worker, never under the link's locks; a callback may read the cached
// values (getStreamValue, getStreamStatus, filterActiveStreamKeys), but
// leaves every other operation to the caller's thread and must not destroy
// its link. Every operation returns a kErr and never throws.

#include "device/core/kCancel.h"
#include "device/core/kDiscovery.h"
#include "device/core/kError.h"
#include "device/core/kPacket.h"
#include "device/core/kPacketFifo.h"
#include "device/object/UEI.h"

#include <stdint.h>

#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace Kelvane
{
namespace Vantor
{

/// Called on the link's worker thread with a copy of a stream packet (valid
/// during the call) and the reference given at registration. Its result is
/// not looked at.
typedef std::function<kErr(const kPacket* packet, void* reference)> streamCallback;

class Link
{
public:
    /// Elements of a stream key (getStreamKeyElement).
    enum STREAM_KEY {
        STREAM_KEY_MODULE = 0,
        STREAM_KEY_COMMAND = 1,
        STREAM_KEY_OPTION = 2,
        STREAM_KEY_INDEX = 3,
        STREAM_KEY_SUBINDEX = 4,
    };

    /// Sample types of stream packets (data[3]); 4 is a bytes value, which
    /// carries no sample.
    enum STREAM_PACKET {
        STREAM_PACKET_NONE = 0,
        STREAM_PACKET_BYTE = 1,
        STREAM_PACKET_SHORT = 2,
        STREAM_PACKET_INT = 3,
        STREAM_PACKET_BYTES = 4,
        STREAM_PACKET_SUBINDEX_BYTE = 5,
        STREAM_PACKET_SUBINDEX_SHORT = 6,
        STREAM_PACKET_SUBINDEX_INT = 7,
    };

    /// A key element of 255 stands for any value.
    static const uint8_t STREAM_ANY = 255;
    /// How long a reply is awaited.
    static const uint64_t REPLY_TIMEOUT_MS = 1000;

    /// A link that connects by `spec`; `name` is copied (at most 1024
    /// characters).
    Link(linkSpec spec, const char* name);
    /// A link without a specifier: give it one before connecting.
    explicit Link(const char* name);
    /// Turns the stream filter off (ending the worker), gives back the
    /// engine link and stops the packet log.
    ~Link();

    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    /// From now on every wait of this object (connecting, replies) ends
    /// within kCANCEL_SLICE_MS of the run's cancellation, with kErrCancel;
    /// null, the default, lets each wait run to its time-out.
    void setCancel(const kCancel* cancel);

    /// Creates the engine link from the stored specifier, unless one exists,
    /// and waits up to about 2 s for it to run. kErrConfiguration without a
    /// specifier; kErrConnection when the link cannot be made, has failed or
    /// does not reach running; kErrBusy while it stops.
    kErr connect();
    /// Takes over one use of an engine link the caller made (kLink_Create
    /// over a stream of its own, for one), which disconnect gives back, and
    /// waits as connect does. kErrBusy, with nothing taken, while connected.
    kErr attachEngineLink(uint32_t linkId);
    /// Finds a module by serial number, or with serial number 0 the first
    /// one of `model` (0: any), stores its specifier (kept as it is while
    /// connected) and connects. kErrNotFound when none answers, kErrBusy
    /// when another program holds the discovery reply port. Blocks for the
    /// discovery (seconds over TCP/IP).
    kErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model);
    /// True while the engine link is starting or running.
    bool isConnected() const;
    /// The engine link's status; 8 without an engine link.
    uint32_t getStatus() const;
    /// Gives back the engine link (turning the stream filter off first).
    kErr disconnect();
    /// Asks the engine to restart the link on a new stream; the stream
    /// filter is put back afterwards. Always kErrNone.
    kErr reset();

    /// Asks the module for its address. kErrNotReady when not connected or
    /// when no answer comes within 1000 ms.
    kErr getModuleAddress(uint8_t* address);

    /// Packs and queues a UEI; a bytes value (at most 3072 bytes) goes as a
    /// run of packets. kErrConnection when not connected, kErrPacket for a
    /// module address that is 0 or odd, kErrParam for an unknown type or an
    /// over-long bytes value, kErrResource when a packet cannot be made,
    /// else the queue's result.
    kErr sendUEI(uei u);
    /// As sendUEI with a subindex byte before the value; one packet (types
    /// none, byte, short and int only).
    kErr sendUEI(uei u, uint8_t subindex);
    /// Awaits, up to 1000 ms, the reply that matches the record (module,
    /// command, option and the plain index in `specifier`) and fills its
    /// value; an error reply leaves the error bit in u->specifier and the
    /// code in the value byte. kErrTimeout without one.
    kErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei* u);
    /// As above with the caller's filter (null: the standard one), which
    /// gets `u` as its reference, and a time-out of the caller's choice.
    kErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei* u,
                    kPacketFilter filter, uint64_t timeoutMS = REPLY_TIMEOUT_MS);
    /// Until releaseReplies, the packets that would match the reply for the
    /// record (its module, command, option and plain index) are taken as
    /// they arrive and kept, however many come, for the receiveUEI calls
    /// with that record: the engine's receive queue gives up its packets
    /// beyond 20, which a bytes value of up to 128 packets passes. One hold
    /// at a time; kErrConfiguration without an engine link, kErrBusy while
    /// another is held.
    kErr holdReplies(const uei& u);
    /// Ends the hold; the packets still held are dropped.
    void releaseReplies();
    /// Removes every received packet waiting that would match the reply of
    /// that entity option.
    kErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);

    /// Queues one packet: `command` then `length` (at most 27) bytes.
    kErr sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data);
    /// Awaits, up to 1000 ms, the first packet from `address` whose leading
    /// *length data bytes equal `match` (0: any packet from it). Then
    /// *length is its length and `data` (28 bytes) holds its data bytes.
    kErr receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* data);

    /// The name given at construction.
    const char* getName() const;
    /// A copy of the stored specifier; kErrNotFound without one.
    kErr getLinkSpecifier(linkSpec* spec) const;
    /// Replaces the stored specifier; kErrBusy while connected.
    kErr setLinkSpecifier(linkSpec spec);

    /// Records the link's packets and writes them, one line each, to the
    /// file at `path` on a logger thread. kErrConfiguration without an
    /// engine link; kErrResource when the logger cannot be made.
    kErr enablePacketLog(const char* path);
    kErr disablePacketLog();

    // Streams.

    /// Adds (or updates) the stream entry for the entity option, any
    /// subindex, with its callback, or removes every entry of it, and tells
    /// the module to start or stop streaming (command 93). A module that
    /// refuses gives its code, and no entry of that option is left.
    /// kErrParam for a module address that is odd or 255.
    kErr registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                bool enable, const streamCallback& callback, void* reference);
    /// registerStreamCallback without a callback.
    kErr enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable);
    /// Asks the module whether it streams anything.
    kErr isLinkStreaming(uint8_t module, uint8_t* streaming);
    /// The last sample of the stream: kErrNone the first time it is read,
    /// kErrStreamStale after (the value is given in both cases), kErrNotFound
    /// without an entry.
    kErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                        uint8_t subindex, uint32_t* value);
    /// Every specific entry matching the elements (255: any) with its sample.
    kErr getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                         uint8_t subindex, std::map<uint64_t, uint32_t>* status);
    /// The keys of the table matching the elements (255: any), in key order.
    /// `lock` false is only for callers that hold the table's lock already.
    std::vector<uint64_t> filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option,
                                                 uint8_t index, uint8_t subindex, bool lock);

    static uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                    uint8_t subindex);
    static uint8_t getStreamKeyElement(uint64_t key, STREAM_KEY element);
    /// Mask i (0 to 14) sets one of the 15 non-empty combinations of index,
    /// option, command and subindex to 255; any other i gives 0.
    static uint64_t _getGenericStreamKeyMask(int i);

    static bool isStreamPacket(const kPacket* packet);
    /// A stream packet of a valid type whose length is that of its sample.
    static bool isStreamSample(const kPacket* packet);
    /// False for a packet that is no stream packet or has no valid type.
    static bool getStreamPacketType(const kPacket* packet, STREAM_PACKET* type);
    static bool isSubindexType(STREAM_PACKET type);
    /// Decodes a sample; each out may be null. kErrPacket for a packet that
    /// is not a sample, kErrSize for a bytes value.
    static kErr getStreamSample(const kPacket* packet, uint64_t* timestamp, uint32_t* value,
                                uint8_t* subindex);
    static void getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low);
    static bool _checkStreamSampleLength(STREAM_PACKET type, uint8_t length);

    // Store slots and factory data: block transfers in plain packets
    // (command 4 and command 94). Each needs the link connected
    // (kErrConnection) and a module address that is neither 0 nor odd
    // (kErrPacket); a reply that does not come is kErrTimeout, and an error
    // reply gives the module's code (kErrUnknown for a code of 0).

    /// Writes the bytes into the slot in chunks of up to 25, each
    /// acknowledged with its 8-bit byte sum (kErrIO for another). kErrMedia
    /// when the slot cannot be opened. An opened slot is always closed
    /// again; a failed chunk's error wins over the close's result.
    kErr loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* bytes,
                       uint64_t length);
    /// Reads the slot's content, at most `bufferLength` bytes of it; *count
    /// is the number of bytes read once the slot was closed again.
    /// kErrOverrun, with the buffer full, when the content is longer.
    kErr unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer,
                         uint64_t bufferLength, uint64_t* count);
    /// The length of the slot's content; kErrUnknown for a malformed reply.
    kErr storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, uint64_t* size);
    /// The most the slot can hold; kErrUnknown for a malformed reply.
    kErr storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, uint64_t* capacity);
    /// Reads factory block `block` (0 to 15) into the buffer; *count is its
    /// length. kErrOverrun unless the buffer is longer than the data.
    kErr getFactoryData(uint8_t module, uint8_t block, uint8_t* buffer, uint64_t bufferLength,
                        uint64_t* count);
    /// Writes factory block `block` (0 to 15) in chunks of up to 26 bytes;
    /// the module takes it at the closing packet, which carries the length
    /// (at most 65535). kErrSize for a malformed acknowledgement.
    kErr setFactoryData(uint8_t module, uint8_t block, const uint8_t* bytes, uint64_t length);

private:
    struct impl;
    std::unique_ptr<impl> m_impl;
};

} // namespace Vantor
} // namespace Kelvane

#pragma once
// The link engine: one packet link per connected module. A link owns its
// stream, a reader thread that frames the received bytes into packets, a
// writer thread that sends queued packets, a queue of received packets and
// a queue of packets to send. It answers heartbeats by itself, regains the
// framing after a corrupted byte with a synchronisation exchange, lets a
// user filter take packets before they are queued, and can record every
// packet in a packet log.
//
// Links live in a process-wide table and are shared: a second create for the
// same module (same identifier, port and kind) returns the same link id with
// a higher use count, and only the destroy that matches the last create
// tears it down. Ids start at 1 and are never reused; 0 names no link.
//
// Every operation may be called from any thread. The last destroy of a link
// must not race with other calls on the same id: it frees the link.

#include "device/core/kError.h"
#include "device/core/kPacket.h"
#include "device/core/kPacketFifo.h"
#include "device/core/kStream.h"

#include <stdint.h>

#define kLINK_CHECK 0xCEED

/// Link status, as kLink_GetStatus reports it. 7 is never used.
enum {
    kLinkStatusStopped = 0,
    kLinkStatusStarting = 1,
    kLinkStatusRunning = 2,
    kLinkStatusStopping = 3,
    kLinkStatusSyncing = 4,
    /// Also reported for an id that names no link.
    kLinkStatusNoStream = 5,
    /// A stream read failed; persists until a synchronisation, stop or reset.
    kLinkStatusIOError = 6,
    /// A received packet could not be queued; persists likewise.
    kLinkStatusPacketError = 8,
};

/// Identifier of the links over a stream supplied by the caller.
#define kLINK_STREAM_IDENTIFIER 0xFFFFFFFFu

/// The running link to the USB module with that serial number, made and
/// started if there is none yet; 0 on failure (no entry is left behind).
/// The stream is opened without the link table held: a create for another
/// module goes on meanwhile, one for the same module waits and shares.
uint32_t kLink_CreateUSB(uint32_t serialNumber);

/// The running link to the module at `ipAddress` (network byte order, as a
/// link specifier carries it) and `port`. A connection that cannot be made
/// still gives a started link without a stream: its status turns to
/// kLinkStatusIOError, and kLink_Reset tries to connect again.
uint32_t kLink_CreateTCPIP(uint32_t ipAddress, uint16_t port);

/// The running link to the module with that serial number over the serial
/// port at `portPath`, at `baudRate` bit/s (2400, 4800, 9600, 19200, 38400,
/// 57600, 115200 or 230400; any other rate gives 0 and changes nothing),
/// 8 data bits, no parity, one stop bit.
uint32_t kLink_CreateSerial(uint32_t serialNumber, const char* portPath, uint32_t baudRate);

/// A new running link over the caller's stream, which the link owns from
/// now on (it is destroyed with the link, also when this fails). Never
/// shared: every call makes a new link. 0 for an invalid stream or on
/// failure.
uint32_t kLink_Create(kStream* stream);

/// Gives back one use of the link; the last one stops the link (the stop
/// notice is sent), joins its threads and frees it with its queues, log and
/// stream. The caller's id becomes 0. kErrParam for an unknown id; kErrBusy,
/// with nothing changed, from the link's own user filter.
kErr kLink_Destroy(uint32_t* linkID);

/// Stops the link and starts it again on a new stream of its kind, with
/// empty queues, no packet log and no user filter; the id and the use count
/// stay. Never waits for another caller: kErrBusy when the link table is in
/// use, while another reset works on the link, or from the link's own user
/// filter. The table is not held while the stream is remade, so other
/// links are used and made meanwhile. kErrParam for an
/// unknown id, and for a serial link or one over a caller's stream, which
/// cannot be remade; the error of the last attempt when no stream could be
/// made in 20 attempts 100 ms apart. When no new stream was made the link
/// is left stopped, without a stream or queues, until a later reset.
kErr kLink_Reset(uint32_t linkID);

/// The link's status; kLinkStatusNoStream for an unknown id.
uint32_t kLink_GetStatus(uint32_t linkID);

/// The oldest received packet (the caller owns it), or null.
kPacket* kLink_GetPacket(uint32_t linkID);

/// As kLink_GetPacket, waiting up to `timeoutMS`.
kPacket* kLink_AwaitPacket(uint32_t linkID, uint64_t timeoutMS);

/// The oldest received packet that the filter accepts, or null.
kPacket* kLink_GetFirst(uint32_t linkID, kPacketFilter filter, void* reference);

/// As kLink_GetFirst, waiting up to `timeoutMS` while the link runs. Null at
/// once while the link is not running or its status is not
/// kLinkStatusRunning (during a synchronisation, for instance).
kPacket* kLink_AwaitFirst(uint32_t linkID, kPacketFilter filter, void* reference,
                          uint64_t timeoutMS);

/// Removes and frees every received packet that the filter accepts and
/// returns their number; 0 for an unknown id.
int64_t kLink_DrainPackets(uint32_t linkID, kPacketFilter filter, void* reference);

/// Queues a copy of the packet for the writer. kErrParam for an unknown id,
/// else the queue's result (kErrOverrun when 256 packets already wait).
kErr kLink_PutPacket(uint32_t linkID, const kPacket* packet);

/// Installs (or, with a null filter, removes) the filter that sees every
/// completed received packet first, on the reader thread; true means the
/// filter took the packet, which is then neither answered as a heartbeat nor
/// queued. Once this returns, the reader no longer calls the filter it
/// replaced. kErrParam for an unknown id.
///
/// The filter runs under the link's filter lock. It may use the status,
/// queue and log operations of its own link, which then leave the link
/// table alone; installing a filter (kErrDuplicate), destroying or resetting
/// its link (kErrBusy) are refused there. It must not create links or use
/// another link: a reset holding the table while it waits for the reader
/// would never see it end.
kErr kLink_InstallUserPacketFilter(uint32_t linkID, kPacketFilter filter, void* reference);

/// Largest packet log ring.
#define kLINK_LOG_SIZE_MAX 0x4000000
/// Ring size of a log enabled without a size set.
#define kLINK_LOG_SIZE_DEFAULT 0x10000

/// Sets the ring size of the packet log to come (a negative size means the
/// default). kErrParam for an unknown id or a size above kLINK_LOG_SIZE_MAX;
/// kErrBusy once the log exists.
kErr kLink_PacketDebug_SetLogSize(uint32_t linkID, int32_t size);

/// Creates the packet log on first use and enables it; from then on the
/// reader and writer record every packet (kPacketLogReceived,
/// kPacketLogSent) until the link is destroyed or reset. kErrParam for an
/// unknown id, kErrResource when the log cannot be made.
kErr kLink_PacketDebug_Enable(uint32_t linkID);

/// Clears the log's enabled flag. kErrParam for an unknown id, kErrNotReady
/// without a log.
kErr kLink_PacketDebug_Disable(uint32_t linkID);

/// Takes the oldest log entry, as kPacketLog_Get. kErrParam for an unknown
/// id, kErrNotReady without a log.
kErr kLink_PacketDebug_Read(uint32_t linkID, uint32_t* kind, uint32_t* length, uint8_t* buffer);

/// Records an entry, as kPacketLog_Put. kErrParam for an unknown id,
/// kErrNotReady without a log.
kErr kLink_PacketDebug_Write(uint32_t linkID, uint8_t kind, uint32_t length, const uint8_t* bytes);

/// Waits until the log holds an entry or `timeoutMS` has passed: kErrNone,
/// kErrTimeout. kErrParam for an unknown id, kErrNotReady without a log.
kErr kLink_PacketDebug_Await(uint32_t linkID, uint64_t timeoutMS);

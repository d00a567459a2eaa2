#pragma once
// Thread-safe packet queues, named by references that a process-wide
// registry hands out: 1, 2, 3, ... in creation order, never reused; 0 never
// names a queue. A queue holds copies: a put copies the caller's packet, and
// every packet that leaves the queue is a new record owned by the caller,
// who frees it with kPacket_Destroy.
//
// Two kinds of queue, chosen at creation:
// - a received-packet queue (kPacketFifo_Create) keeps at most
//   kPACKETFIFO_RECEIVED_BOUND packets: the put that goes beyond it empties
//   the queue, so packets that nobody collects cannot pile up;
// - an outbound queue (kPacketFifo_CreateOutbound) never drops a packet: a
//   put while kPACKETFIFO_OUTBOUND_LIMIT packets wait is refused with
//   kErrOverrun and leaves the queue as it was.
//
// Any thread may use any operation at any time, also while another thread
// destroys the queue: a waiter then returns none, and no operation touches
// the queue's storage after it is gone.

#include "device/core/kError.h"
#include "device/core/kPacket.h"

#include <stdint.h>

#define kPACKETFIFO_RECEIVED_BOUND 20
#define kPACKETFIFO_OUTBOUND_LIMIT 256

/// A filter says true for the packet it wants. It runs with the queue
/// locked, so it must not call back into the same queue.
typedef bool (*kPacketFilter)(const kPacket* packet, void* reference);

/// The filter that accepts every packet.
bool drainAll(const kPacket* packet, void* reference);

/// A new, empty received-packet queue; 0 when memory runs out.
uint64_t kPacketFifo_Create(void);

/// A new, empty outbound queue; 0 when memory runs out.
uint64_t kPacketFifo_CreateOutbound(void);

/// Closes the queue, frees its packets, wakes every waiter (they return none)
/// and sets the caller's reference to 0. kErrParam for a null pointer;
/// kErrNotFound, with the reference left as it is, when it names no queue.
kErr kPacketFifo_Destroy(uint64_t* fifo);

/// Number of queued packets; 0 for an unknown reference.
int64_t kPacketFifo_GetLength(uint64_t fifo);

/// Queues a copy of the packet and wakes a waiter. kErrParam for an unknown
/// queue or an invalid packet; kErrResource when memory runs out; kErrCancel
/// when the queue was closed meanwhile; kErrOverrun when an outbound queue is
/// full.
kErr kPacketFifo_Put(uint64_t fifo, const kPacket* packet);

/// The oldest packet, or null (unknown queue, empty queue, no memory; the
/// packet then stays queued).
kPacket* kPacketFifo_Get(uint64_t fifo);

/// As kPacketFifo_Get, waiting up to `timeoutMS` for a packet. Null only at
/// the deadline, when the queue is closed or when memory runs out.
kPacket* kPacketFifo_Await(uint64_t fifo, uint64_t timeoutMS);

/// The oldest packet that the filter accepts, taken out of the queue; null
/// when none does, for a null filter, or as for kPacketFifo_Get.
kPacket* kPacketFifo_GetFirst(uint64_t fifo, kPacketFilter filter, void* reference);

/// As kPacketFifo_GetFirst, waiting up to `timeoutMS` for an accepted packet
/// while packets that the filter rejects come and go. Null only at the
/// deadline, when the queue is closed or when memory runs out.
kPacket* kPacketFifo_AwaitFirst(uint64_t fifo, kPacketFilter filter, void* reference,
                                uint64_t timeoutMS);

/// Removes and frees every packet that the filter accepts and returns their
/// number; 0 for an unknown queue or a null filter.
int64_t kPacketFifo_DrainPackets(uint64_t fifo, kPacketFilter filter, void* reference);

#pragma once
// Inside the link engine: the link record and the steps that the link
// table (unix_link.cpp) asks of a link's threads (unix_linkthreads.cpp).
// Not for use outside the engine.

#include "device/core/internal/kMutex.h"
#include "device/core/internal/kThreadAnnotations.h"
#include "device/core/kLink.h"
#include "device/core/kPacketLog.h"

#include <pthread.h>

#include <atomic>

/// Rung whenever an entry goes into the packet log, so that a reader of the
/// log can wait for the next one instead of polling.
typedef struct kLinkLogBell kLinkLogBell;

// Status, running flag, queue references, sync and heartbeat state are read
// by callers while the threads write them, hence atomics. The thread
// handles and their flags are only touched by start and stop, which the
// table serialises.
typedef struct kLinkRecord {
    uint16_t check;
    uint32_t linkID;
    std::atomic<uint8_t> running;
    std::atomic<uint32_t> status;
    std::atomic<uint64_t> inbound;
    /// The packet being framed: the reader's alone while it runs.
    kPacket* assembly;
    std::atomic<uint64_t> outbound;
    pthread_t reader;
    /// Set only while a reader thread exists to be joined.
    bool readerRunning;
    pthread_t writer;
    bool writerRunning;
    kStream* stream;
    std::atomic<uint32_t> heartbeatBusy;
    std::atomic<uint32_t> syncState;
    uint8_t syncAddress;
    /// Both locks live as long as the record, so the threads never see one
    /// come or go.
    kMutex* logLock;
    kLinkLogBell* logBell;
    kPacketLog* log K_GUARDED_BY(logLock);
    uint32_t logSize K_GUARDED_BY(logLock);
    kMutex* filterLock;
    /// Written by a stop so that the reader's wait for a byte ends at once;
    /// made with the locks (wakeOpen: it could be).
    int wakeFd;
    bool wakeOpen;
    kPacketFilter userFilter K_GUARDED_BY(filterLock);
    void* filterReference K_GUARDED_BY(filterLock);
} kLink;

inline bool kVALIDLINK(const kLink* link)
{
    return link && link->check == kLINK_CHECK;
}

/// The link whose reader or writer thread this is, or null. Such a thread
/// must never wait for itself to end, nor take the table mutex.
kLink* kLink_OwnThreadLink(void);

/// Gives the link fresh queues, assembly packet and state around `stream`
/// (may be null: status no-stream), with no user filter; makes the log and
/// filter locks once. The link id, or 0 when a part could not be made.
uint32_t kLink_Init(kLink* link, uint32_t linkID, kStream* stream);

/// Starts the reader, then the writer, then queues the start notice; a
/// running link is left alone. When a thread cannot be made, the one that
/// runs is ended again (kErrResource).
kErr kLink_Start(kLink* link);

/// Queues the stop notice, ends and joins both threads; a stopped link is
/// left alone. Never called on the link's own threads. kErrUnknown when a
/// join fails.
kErr kLink_Stop(kLink* link);

/// The log bell's ring count, to wait for the rings after it.
uint64_t kLink_LogRings(kLinkLogBell* bell);

/// Rings the log bell after an entry went into the log.
void kLink_RingLog(kLinkLogBell* bell);

/// Waits until the bell has rung since it counted `seen`, or `timeoutMS`
/// has passed; true when it rang.
bool kLink_AwaitLogRing(kLinkLogBell* bell, uint64_t seen, uint64_t timeoutMS);

/// Frees the bell and clears the caller's pointer; null is accepted.
void kLink_DestroyLogBell(kLinkLogBell** bell);

/// Frees queues, assembly packet, stream and packet log and removes the
/// user filter, keeping the record and its locks. Only while no thread
/// runs. The result of destroying the outbound queue.
kErr kLink_ReleaseParts(kLink* link);

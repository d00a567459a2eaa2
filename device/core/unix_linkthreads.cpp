// A link's two threads: the reader frames the stream's bytes into packets,
// answers heartbeats and resynchronises after a framing error; the writer
// sends queued packets one frame per write, paced. Both look at the running
// flag between two waits of at most a few milliseconds: the reader waits in
// its stream's wait for a byte (a stream that cannot wait is polled), the
// writer in its queue for a packet and then until the module's pause after
// the last frame is over. Neither waits for a link table entry to settle,
// since a reset marks its entry busy while it joins them, nor takes the
// table mutex: a filter that asks for its own link is handed the record
// directly. The reader calls the user filter under the link's filter lock,
// which installing or removing a filter also takes, so a removed filter is
// never called again; both threads record into the packet log under the
// log lock.

#include "device/core/internal/kDescriptor.h"
#include "device/core/internal/kLinkRecord.h"
#include "device/core/kTime.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

// A stream without a wait procedure is polled this often.
#define kLINK_READER_IDLE_NS 5000
// The longest wait for a byte: the reader looks at the running flag between
// two waits, so a stop is seen within this where the stop cannot wake it
// (a stream that does not wait on a descriptor). Nothing else is timed on
// the reader (heartbeats come as bytes), so an idle link wakes 5 times a
// second.
#define kLINK_READER_WAIT_MS 200
// A wait that says a byte is there while none comes twice in a row (a
// descriptor at its end) must not make the reader spin.
#define kLINK_READER_IDLE_PAUSE_MS 1
#define kLINK_IO_ERROR_PAUSE_MS 100
// The writer is woken by each packet put, the stop notice among them; the
// bound only matters when that notice could not be queued.
#define kLINK_WRITER_AWAIT_MS 1000
// The module takes a frame only this long after the end of the last one.
#define kLINK_WRITER_PAUSE_NS 1000000L
// The writer's timer slack: the default 50 us would stretch every pause.
#define kLINK_WRITER_SLACK_NS 1000
// A wake-up comes some tens of microseconds late: the writer sleeps to this
// much before the end of the pause and watches the clock for the rest.
#define kLINK_WRITER_SPIN_NS 60000L
#define kLINK_SYNC_PAUSE_MS 2
#define kLINK_NOTICE_ADDRESS 0xAF
// How long a stopping writer waits for the stop notice, which only a
// failed allocation keeps from coming.
#define kLINK_STOP_NOTICE_WAIT_MS 100
#define kLINK_SYNC_REQUEST_SIZE 12
#define kLINK_LOCK_NAME_SIZE 64

static const uint8_t SYNC_REQUEST[kLINK_SYNC_REQUEST_SIZE] = {0xAD, 0, 0xAD, 0, 0xAD, 0,
                                                              0xAD, 0, 0xAD, 0, 0xAD, 0};

// The link whose reader or writer runs on this thread, if any. A thread
// that was never started leaves nothing here, so a missing thread is never
// taken for the caller.
static thread_local kLink* tThreadLink = nullptr;

kLink* kLink_OwnThreadLink(void)
{
    return tThreadLink;
}

static void sSleepNS(long ns)
{
    struct timespec pause = {0, ns};
    nanosleep(&pause, nullptr);
}

static void sNow(struct timespec* now)
{
    clock_gettime(CLOCK_MONOTONIC, now);
}

static void sAddNS(struct timespec* t, long ns)
{
    t->tv_nsec += ns;
    while (t->tv_nsec >= 1000000000L) {
        t->tv_nsec -= 1000000000L;
        t->tv_sec++;
    }
}

static bool sBefore(const struct timespec* a, const struct timespec* b)
{
    return a->tv_sec < b->tv_sec || (a->tv_sec == b->tv_sec && a->tv_nsec < b->tv_nsec);
}

static void sSleepUntil(const struct timespec* due)
{
    struct timespec early = *due;
    early.tv_nsec -= kLINK_WRITER_SPIN_NS;
    if (early.tv_nsec < 0) {
        early.tv_nsec += 1000000000L;
        early.tv_sec--;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &early, nullptr) == EINTR)
        ;
    struct timespec now;
    sNow(&now);
    while (sBefore(&now, due))
        sNow(&now);
}

// ---------------------------------------------------------------------------
// Packet log and user filter

// A pthread mutex that the thread-safety analysis can follow; the
// condition variable needs the pthread mutex itself.
struct K_CAPABILITY("mutex") sBellMutex {
    pthread_mutex_t mutex;
};

struct kLinkLogBell {
    sBellMutex lock;
    pthread_cond_t rung;
    uint64_t rings K_GUARDED_BY(lock);
};

static void sLockBell(kLinkLogBell* bell) K_ACQUIRE(bell->lock) K_NO_THREAD_SAFETY_ANALYSIS
{
    pthread_mutex_lock(&bell->lock.mutex);
}

static void sUnlockBell(kLinkLogBell* bell) K_RELEASE(bell->lock) K_NO_THREAD_SAFETY_ANALYSIS
{
    pthread_mutex_unlock(&bell->lock.mutex);
}

// False at the deadline (or on any failure, so that no wait can spin).
static bool sWaitBell(kLinkLogBell* bell, const struct timespec* deadline)
    K_REQUIRES(bell->lock) K_NO_THREAD_SAFETY_ANALYSIS
{
    return pthread_cond_timedwait(&bell->rung, &bell->lock.mutex, deadline) == 0;
}

static kLinkLogBell* sCreateLogBell(void)
{
    kLinkLogBell* bell = (kLinkLogBell*)calloc(1, sizeof(*bell));
    if (!bell)
        return nullptr;
    pthread_condattr_t attr;
    bool made = pthread_condattr_init(&attr) == 0;
    // Deadlines come from kTime_GetDeadline, on the monotonic clock.
    bool cond = made && pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0 &&
                pthread_cond_init(&bell->rung, &attr) == 0;
    if (made)
        pthread_condattr_destroy(&attr);
    if (!cond || pthread_mutex_init(&bell->lock.mutex, nullptr) != 0) {
        if (cond)
            pthread_cond_destroy(&bell->rung);
        free(bell);
        return nullptr;
    }
    return bell;
}

void kLink_DestroyLogBell(kLinkLogBell** bell)
{
    if (!bell || !*bell)
        return;
    pthread_cond_destroy(&(*bell)->rung);
    pthread_mutex_destroy(&(*bell)->lock.mutex);
    free(*bell);
    *bell = nullptr;
}

uint64_t kLink_LogRings(kLinkLogBell* bell)
{
    sLockBell(bell);
    uint64_t rings = bell->rings;
    sUnlockBell(bell);
    return rings;
}

void kLink_RingLog(kLinkLogBell* bell)
{
    sLockBell(bell);
    bell->rings++;
    pthread_cond_broadcast(&bell->rung);
    sUnlockBell(bell);
}

bool kLink_AwaitLogRing(kLinkLogBell* bell, uint64_t seen, uint64_t timeoutMS)
{
    struct timespec deadline;
    kTime_GetDeadline(timeoutMS, &deadline);
    sLockBell(bell);
    bool waiting = true;
    while (bell->rings == seen && waiting)
        waiting = sWaitBell(bell, &deadline);
    bool rang = bell->rings != seen;
    sUnlockBell(bell);
    return rang;
}

static void sRecord(kLink* link, uint8_t kind, const kPacket* packet)
{
    kMutex_Enter(link->logLock);
    bool recorded = link->log && kPacketLog_Put(link->log, kind, (uint32_t)packet->length + 2u,
                                                &packet->address) == kErrNone;
    kMutex_Leave(link->logLock);
    if (recorded)
        kLink_RingLog(link->logBell);
}

static bool sUserFilterTakes(kLink* link, const kPacket* packet)
{
    kMutex_Enter(link->filterLock);
    bool taken = link->userFilter && link->userFilter(packet, link->filterReference);
    kMutex_Leave(link->filterLock);
    return taken;
}

// ---------------------------------------------------------------------------
// Reader: heartbeats, synchronisation, packets

// A heartbeat is answered with v + 2 on the reader thread. While an answer
// could not be made, the busy mark stays and later heartbeats go to the
// callers instead, until the link is started again.
static bool sHandleHBBackChannel(kLink* link, const kPacket* packet)
{
    uint32_t busy = link->heartbeatBusy;
    if (packet->length != 2 || packet->data[0] != 0 || busy > 1)
        return false;
    uint8_t v = packet->data[1];
    if (v == 0)
        link->heartbeatBusy = 2;
    else if (v == 1)
        link->heartbeatBusy = 3;
    const uint8_t answer[2] = {0, (uint8_t)(v + 2)};
    kPacket* reply = kPacket_CreateWithData(packet->address, 2, answer);
    if (!reply)
        return true;
    // A full queue drops the answer; the module asks again.
    (void)kPacketFifo_Put(link->outbound, reply);
    link->heartbeatBusy = 0;
    (void)kPacket_Destroy(&reply);
    return true;
}

static kErr sHandlePacket(kLink* link)
{
    kPacket* packet = link->assembly;
    if (!kPacket_IsComplete(packet))
        return kErrNone;
    sRecord(link, kPacketLogReceived, packet);
    kErr err = kErrNone;
    if (!sUserFilterTakes(link, packet) && !sHandleHBBackChannel(link, packet))
        err = kPacketFifo_Put(link->inbound, packet);
    (void)kPacket_Reset(packet);
    return err;
}

static void sStartSync(kLink* link)
{
    kTime_MSSleep(kLINK_SYNC_PAUSE_MS);
    link->status = kLinkStatusSyncing;
    link->syncState = 1;
    (void)kPacket_Reset(link->assembly);
    if (kStream_Write(link->stream, SYNC_REQUEST, sizeof(SYNC_REQUEST)) == kErrNone)
        link->syncState = 2;
}

// The answer to the request is A, 0, A, 0 with A the module's (even,
// non-zero) address; after a mismatch the next byte sends a new request.
// While the address is awaited, zero bytes are passed over: the module
// answers every request with A, 0 pairs, and a mismatch that leaves the
// reader on the zero of a pair would otherwise meet every later answer out
// of step, sending a new request for every pair it reads, without end.
static void sSyncByte(kLink* link, uint8_t byte)
{
    switch (link->syncState) {
    case 1:
        sStartSync(link);
        break;
    case 2:
        if (byte == 0)
            break;
        if ((byte & 1) == 0) {
            link->syncAddress = byte;
            link->syncState = 3;
        } else {
            link->syncState = 1;
        }
        break;
    case 3:
        link->syncState = byte == 0 ? 4 : 1;
        break;
    case 4:
        link->syncState = byte == link->syncAddress ? 5 : 1;
        break;
    case 5:
        if (byte == 0) {
            link->syncState = 0;
            link->status = kLinkStatusRunning;
        } else {
            link->syncState = 1;
        }
        break;
    default:
        break;
    }
}

static void sInByte(kLink* link, uint8_t byte)
{
    if (link->status == kLinkStatusSyncing) {
        sSyncByte(link, byte);
        return;
    }
    if (kPacket_AddByte(link->assembly, byte) != kErrNone) {
        sStartSync(link);
        return;
    }
    if (sHandlePacket(link) != kErrNone)
        link->status = kLinkStatusPacketError;
}

// Sleeps until the stream has a byte, at most the reader's wait. `empty`
// counts the waits in a row that said a byte was there when none was.
static void sAwaitByte(kLink* link, int* empty)
{
    if (!kStream_CanWait(link->stream)) {
        sSleepNS(kLINK_READER_IDLE_NS);
        return;
    }
    kErr err = kStream_Wait(link->stream, kLINK_READER_WAIT_MS);
    if (err == kErrTimeout)
        *empty = 0;
    else if (err || ++*empty > 1)
        kTime_MSSleep(kLINK_READER_IDLE_PAUSE_MS);
}

static void* sInPipeProcess(void* argument)
{
    kLink* link = (kLink*)argument;
    tThreadLink = link;
    kDescriptor_SetWake(link->wakeOpen ? link->wakeFd : -1);
    link->heartbeatBusy = 0;
    link->status = kLinkStatusRunning;
    link->syncState = 0;
    link->syncAddress = 1;
    int empty = 0;
    while (link->running) {
        uint8_t byte;
        kErr err = kStream_Read(link->stream, &byte, 1);
        if (err == kErrNotReady) {
            sAwaitByte(link, &empty);
        } else if (err) {
            link->status = kLinkStatusIOError;
            kTime_MSSleep(kLINK_IO_ERROR_PAUSE_MS);
        } else {
            empty = 0;
            sInByte(link, byte);
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Writer

static void sSend(kLink* link, kPacket** packet)
{
    (void)kStream_Write(link->stream, &(*packet)->address, (size_t)(*packet)->length + 2u);
    (void)kPacket_Destroy(packet);
}

static bool sIsStopNotice(const kPacket* packet)
{
    return packet->address == kLINK_NOTICE_ADDRESS && packet->length == 1 &&
           packet->data[0] == 0x00;
}

// Each frame waits until the pause after the one before is over, on the
// monotonic clock to an absolute deadline: the time spent meanwhile
// (logging, awaiting the packet) counts towards the pause, and the sleep
// ends on time rather than a slice later. After running is cleared,
// whatever is still queued (the stop notice among it) goes out without
// pause.
static void* sOutPipeProcess(void* argument)
{
    kLink* link = (kLink*)argument;
    tThreadLink = link;
    prctl(PR_SET_TIMERSLACK, kLINK_WRITER_SLACK_NS, 0, 0, 0);
    struct timespec due;
    sNow(&due);
    bool stopSent = false;
    while (link->running) {
        kPacket* packet = kPacketFifo_Await(link->outbound, kLINK_WRITER_AWAIT_MS);
        if (!packet)
            continue;
        stopSent = sIsStopNotice(packet);
        sSleepUntil(&due);
        // A frame that cannot be written is lost like one the module never
        // answered: its requester's wait ends it, and the stream repairs
        // itself where it can.
        (void)kStream_Write(link->stream, &packet->address, (size_t)packet->length + 2u);
        sNow(&due);
        sAddNS(&due, kLINK_WRITER_PAUSE_NS);
        sRecord(link, kPacketLogSent, packet);
        (void)kPacket_Destroy(&packet);
    }
    // The stop clears running before it queues its notice, so the notice
    // may still be on its way: the drain goes on until it has gone out.
    kPacket* packet;
    while (!stopSent &&
           (packet = kPacketFifo_Await(link->outbound, kLINK_STOP_NOTICE_WAIT_MS)) != nullptr) {
        stopSent = sIsStopNotice(packet);
        sSend(link, &packet);
    }
    while ((packet = kPacketFifo_Get(link->outbound)) != nullptr)
        sSend(link, &packet);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Init, start, stop

static kErr sPutNotice(kLink* link, uint8_t on)
{
    kPacket* notice = kPacket_CreateWithData(kLINK_NOTICE_ADDRESS, 1, &on);
    if (!notice)
        return kErrMemory;
    kErr err = kPacketFifo_Put(link->outbound, notice);
    (void)kPacket_Destroy(&notice);
    return err;
}

static void sCreateLocks(kLink* link)
{
    char name[kLINK_LOCK_NAME_SIZE];
    if (!link->logLock) {
        snprintf(name, sizeof(name), "LOG_SEMA_%p", (void*)link);
        link->logLock = kMutex_Create(name);
    }
    if (!link->filterLock) {
        snprintf(name, sizeof(name), "FILTER_SEMA_%p", (void*)link);
        link->filterLock = kMutex_Create(name);
    }
    if (!link->logBell)
        link->logBell = sCreateLogBell();
    // Without it a stop waits out the reader's wait.
    if (!link->wakeOpen) {
        link->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        link->wakeOpen = link->wakeFd >= 0;
    }
}

// The count is the state: non-zero from a stop until the next start.
static void sSetWake(kLink* link, bool on)
{
    if (!link->wakeOpen)
        return;
    uint64_t count = 1;
    ssize_t done =
        on ? write(link->wakeFd, &count, sizeof(count)) : read(link->wakeFd, &count, sizeof(count));
    (void)done;
}

// Gives the link fresh queues, packet and state around `stream` (which may
// be null). The locks are made once and kept. The link id, or 0 when a
// part could not be made.
uint32_t kLink_Init(kLink* link, uint32_t linkID, kStream* stream)
{
    if (!link)
        return 0;
    link->check = kLINK_CHECK;
    link->linkID = linkID;
    link->running = 0;
    link->stream = stream;
    link->status = stream ? kLinkStatusStopped : kLinkStatusNoStream;
    link->readerRunning = link->writerRunning = false;
    link->inbound = kPacketFifo_Create();
    link->outbound = kPacketFifo_CreateOutbound();
    link->assembly = kPacket_Create();
    link->heartbeatBusy = 0;
    link->syncState = 0;
    sCreateLocks(link);
    if (!link->inbound || !link->outbound || !link->assembly || !link->logLock ||
        !link->filterLock || !link->logBell)
        return 0;
    kMutex_Enter(link->logLock);
    link->logSize = 0;
    kMutex_Leave(link->logLock);
    kMutex_Enter(link->filterLock);
    link->userFilter = nullptr;
    link->filterReference = nullptr;
    kMutex_Leave(link->filterLock);
    return link->linkID;
}

// Ends the threads that run: the stop notice is queued for the writer's
// final drain, running is cleared, and both are joined. Destroy and reset
// refuse to come here from the link's own threads, which cannot wait for
// themselves.
kErr kLink_Stop(kLink* link)
{
    if (!kVALIDLINK(link))
        return kErrParam;
    uint32_t status = link->status;
    if (status == kLinkStatusStopped || status == kLinkStatusStopping)
        return kErrNone;
    link->status = kLinkStatusStopping;
    kErr err = kErrNone;
    // Running goes first: the notice then wakes a waiting writer into its
    // final drain, which sends it.
    link->running = 0;
    sSetWake(link, true);
    if (link->writerRunning)
        err = sPutNotice(link, 0x00);
    if (link->readerRunning && pthread_join(link->reader, nullptr) != 0)
        err = kErrUnknown;
    if (link->writerRunning && pthread_join(link->writer, nullptr) != 0)
        err = kErrUnknown;
    link->readerRunning = link->writerRunning = false;
    if (link->assembly)
        (void)kPacket_Reset(link->assembly);
    link->status = kLinkStatusStopped;
    link->heartbeatBusy = 0;
    return err;
}

// Starts the reader, then the writer, then queues the start notice. When a
// thread cannot be made, the one that runs is ended again: a link runs both
// threads or none.
kErr kLink_Start(kLink* link)
{
    if (!kVALIDLINK(link))
        return kErrParam;
    if (link->running)
        return kErrNone;
    sSetWake(link, false);
    link->running = 1;
    link->status = kLinkStatusStarting;
    link->heartbeatBusy = 0;
    link->readerRunning = pthread_create(&link->reader, nullptr, sInPipeProcess, link) == 0;
    if (link->readerRunning)
        link->writerRunning = pthread_create(&link->writer, nullptr, sOutPipeProcess, link) == 0;
    if (!link->readerRunning || !link->writerRunning) {
        (void)kLink_Stop(link);
        return kErrResource;
    }
    return sPutNotice(link, 0x01);
}

// Frees everything the link holds apart from the record and its locks.
// Only while no thread runs.
kErr kLink_ReleaseParts(kLink* link)
{
    uint64_t inbound = link->inbound.exchange(0);
    uint64_t outbound = link->outbound.exchange(0);
    kErr err = kErrNone;
    if (inbound)
        (void)kPacketFifo_Destroy(&inbound);
    if (outbound)
        err = kPacketFifo_Destroy(&outbound);
    if (link->assembly)
        (void)kPacket_Destroy(&link->assembly);
    if (link->stream)
        (void)kStream_Destroy(&link->stream);
    if (link->logLock) {
        kMutex_Enter(link->logLock);
        (void)kPacketLog_Destroy(&link->log);
        kMutex_Leave(link->logLock);
    }
    if (link->filterLock) {
        kMutex_Enter(link->filterLock);
        link->userFilter = nullptr;
        link->filterReference = nullptr;
        kMutex_Leave(link->filterLock);
    }
    return err;
}

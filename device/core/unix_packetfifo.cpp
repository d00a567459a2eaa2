#include "device/core/internal/kThreadAnnotations.h"
#include "device/core/kPacketFifo.h"
#include "device/core/kTime.h"

#include <pthread.h>
#include <stdlib.h>

#define VALIDFIFO 0xFEED

// A pthread mutex that the thread-safety analysis can follow; the condition
// variables need the pthread mutex itself, so kMutex does not serve here.
struct K_CAPABILITY("mutex") sMutex {
    pthread_mutex_t mutex;
};

static void sLock(sMutex* lock) K_ACQUIRE(lock) K_NO_THREAD_SAFETY_ANALYSIS
{
    pthread_mutex_lock(&lock->mutex);
}

static void sUnlock(sMutex* lock) K_RELEASE(lock) K_NO_THREAD_SAFETY_ANALYSIS
{
    pthread_mutex_unlock(&lock->mutex);
}

// Guards the registry and every queue's user count. Lock order: gpFifo is
// never taken while a queue's mutex is held.
static sMutex gpFifo = {PTHREAD_MUTEX_INITIALIZER};

struct sNode {
    kPacket packet;
    sNode* next;
};

struct packetFifo {
    sNode* head K_GUARDED_BY(mutex);
    sNode* tail K_GUARDED_BY(mutex);
    /// -1 once the queue is closed.
    int64_t count K_GUARDED_BY(mutex);
    pthread_cond_t condition;
    sMutex mutex;
    uint16_t check K_GUARDED_BY(mutex);
    /// Fixed at creation: an outbound queue is never drained.
    bool outbound;
    /// Waiters with a filter: a put then wakes them all, since one woken for
    /// a packet it does not want would swallow the wake-up of another.
    uint32_t filteredWaiters K_GUARDED_BY(mutex);
    /// The registry's hold plus one per operation in progress; the last user
    /// to let go frees the queue, so a waiter outlives a concurrent destroy.
    uint32_t users K_GUARDED_BY(gpFifo);
};

struct sEntry {
    uint64_t reference;
    packetFifo* fifo;
    sEntry* next;
};

static sEntry* gpHead K_GUARDED_BY(gpFifo) = nullptr;
static sEntry* gpTail K_GUARDED_BY(gpFifo) = nullptr;
static uint64_t gpCount K_GUARDED_BY(gpFifo) = 1;

bool drainAll(const kPacket*, void*)
{
    return true;
}

static void sFreeNodes(sNode* node)
{
    while (node) {
        sNode* next = node->next;
        free(node);
        node = next;
    }
}

static kErr sInitFifo(packetFifo* fifo, bool outbound) K_NO_THREAD_SAFETY_ANALYSIS
{
    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) != 0)
        return kErrResource;
    // Deadlines come from kTime_GetDeadline, on the monotonic clock, so that
    // setting the wall clock neither stretches nor cuts a wait.
    int rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    if (rc == 0)
        rc = pthread_cond_init(&fifo->condition, &attr);
    pthread_condattr_destroy(&attr);
    if (rc != 0)
        return kErrResource;
    if (pthread_mutex_init(&fifo->mutex.mutex, nullptr) != 0) {
        pthread_cond_destroy(&fifo->condition);
        return kErrResource;
    }
    fifo->outbound = outbound;
    fifo->check = VALIDFIFO;
    fifo->users = 1;
    return kErrNone;
}

static uint64_t sCreate(bool outbound)
{
    uint64_t reference = 0;
    sEntry* entry = (sEntry*)calloc(1, sizeof(*entry));
    packetFifo* fifo = (packetFifo*)calloc(1, sizeof(*fifo));
    if (!entry || !fifo || sInitFifo(fifo, outbound) != kErrNone)
        goto out;
    entry->fifo = fifo;
    sLock(&gpFifo);
    reference = entry->reference = gpCount++;
    if (gpTail)
        gpTail->next = entry;
    else
        gpHead = entry;
    gpTail = entry;
    sUnlock(&gpFifo);
out:
    if (!reference) {
        free(entry);
        free(fifo);
    }
    return reference;
}

uint64_t kPacketFifo_Create(void)
{
    return sCreate(false);
}

uint64_t kPacketFifo_CreateOutbound(void)
{
    return sCreate(true);
}

// The queue named by `reference` with a user count taken, or null; the
// caller hands it back with sRelease.
static packetFifo* sAcquire(uint64_t reference) K_EXCLUDES(gpFifo)
{
    packetFifo* fifo = nullptr;
    sLock(&gpFifo);
    for (sEntry* entry = gpHead; entry; entry = entry->next) {
        if (entry->reference == reference) {
            fifo = entry->fifo;
            fifo->users++;
            break;
        }
    }
    sUnlock(&gpFifo);
    return fifo;
}

static void sRelease(packetFifo* fifo) K_EXCLUDES(gpFifo)
{
    sLock(&gpFifo);
    bool last = --fifo->users == 0;
    sUnlock(&gpFifo);
    if (!last)
        return;
    pthread_cond_destroy(&fifo->condition);
    pthread_mutex_destroy(&fifo->mutex.mutex);
    free(fifo);
}

// Takes the entry out of the registry; the queue keeps the registry's hold
// for the caller to release.
static packetFifo* sExtract(uint64_t reference) K_EXCLUDES(gpFifo)
{
    packetFifo* fifo = nullptr;
    sEntry* prev = nullptr;
    sLock(&gpFifo);
    sEntry* entry = gpHead;
    while (entry && entry->reference != reference) {
        prev = entry;
        entry = entry->next;
    }
    if (entry) {
        if (prev)
            prev->next = entry->next;
        else
            gpHead = entry->next;
        if (gpTail == entry)
            gpTail = prev;
        fifo = entry->fifo;
    }
    sUnlock(&gpFifo);
    free(entry);
    return fifo;
}

kErr kPacketFifo_Destroy(uint64_t* fifo)
{
    if (!fifo)
        return kErrParam;
    packetFifo* queue = sExtract(*fifo);
    if (!queue)
        return kErrNotFound;
    sLock(&queue->mutex);
    sNode* nodes = queue->head;
    queue->head = queue->tail = nullptr;
    queue->count = -1;
    queue->check = 0;
    pthread_cond_broadcast(&queue->condition);
    sUnlock(&queue->mutex);
    sFreeNodes(nodes);
    sRelease(queue);
    *fifo = 0;
    return kErrNone;
}

static bool sIsOpen(const packetFifo* fifo) K_REQUIRES(fifo->mutex)
{
    return fifo->check == VALIDFIFO && fifo->count >= 0;
}

int64_t kPacketFifo_GetLength(uint64_t fifo)
{
    packetFifo* queue = sAcquire(fifo);
    if (!queue)
        return 0;
    sLock(&queue->mutex);
    int64_t count = sIsOpen(queue) ? queue->count : 0;
    sUnlock(&queue->mutex);
    sRelease(queue);
    return count;
}

// Links the node at the tail, or hands it back through `dropped` when the
// queue refuses it. A received-packet queue that goes beyond its bound gives
// up all its packets, the new one too.
static kErr sAppend(packetFifo* fifo, sNode* node, sNode** dropped) K_REQUIRES(fifo->mutex)
{
    if (!sIsOpen(fifo)) {
        *dropped = node;
        return kErrCancel;
    }
    if (fifo->outbound && fifo->count >= kPACKETFIFO_OUTBOUND_LIMIT) {
        *dropped = node;
        return kErrOverrun;
    }
    if (fifo->count > 0)
        fifo->tail->next = node;
    else
        fifo->head = node;
    fifo->tail = node;
    fifo->count++;
    if (fifo->filteredWaiters > 0)
        pthread_cond_broadcast(&fifo->condition);
    else
        pthread_cond_signal(&fifo->condition);
    if (!fifo->outbound && fifo->count > kPACKETFIFO_RECEIVED_BOUND) {
        *dropped = fifo->head;
        fifo->head = fifo->tail = nullptr;
        fifo->count = 0;
    }
    return kErrNone;
}

kErr kPacketFifo_Put(uint64_t fifo, const kPacket* packet)
{
    if (!kVALIDPACKET(packet))
        return kErrParam;
    packetFifo* queue = sAcquire(fifo);
    if (!queue)
        return kErrParam;
    kErr err = kErrNone;
    sNode* dropped = nullptr;
    sNode* node = (sNode*)malloc(sizeof(*node));
    if (!node) {
        err = kErrResource;
        goto out;
    }
    node->packet = *packet;
    node->next = nullptr;
    sLock(&queue->mutex);
    err = sAppend(queue, node, &dropped);
    sUnlock(&queue->mutex);
out:
    sFreeNodes(dropped);
    sRelease(queue);
    return err;
}

static void sUnlink(packetFifo* fifo, sNode* prev, sNode* node) K_REQUIRES(fifo->mutex)
{
    if (prev)
        prev->next = node->next;
    else
        fifo->head = node->next;
    if (fifo->tail == node)
        fifo->tail = prev;
    fifo->count--;
    node->next = nullptr;
}

// The first node that the filter accepts (the head without a filter),
// unlinked; null when there is none.
static sNode* sUnlinkFirst(packetFifo* fifo, kPacketFilter filter, void* reference)
    K_REQUIRES(fifo->mutex)
{
    sNode* prev = nullptr;
    for (sNode* node = fifo->head; node; prev = node, node = node->next) {
        if (!filter || filter(&node->packet, reference)) {
            sUnlink(fifo, prev, node);
            return node;
        }
    }
    return nullptr;
}

// Looks for a node after every wake-up until one is found, the queue closes
// or the deadline passes; without a deadline it looks once.
static sNode* sWaitForNode(packetFifo* fifo, kPacketFilter filter, void* reference,
                           const struct timespec* deadline) K_REQUIRES(fifo->mutex)
{
    bool timedOut = !deadline;
    for (;;) {
        if (!sIsOpen(fifo))
            return nullptr;
        sNode* node = sUnlinkFirst(fifo, filter, reference);
        if (node || timedOut)
            return node;
        if (filter)
            fifo->filteredWaiters++;
        // Any failure counts as the deadline, so that the loop cannot spin.
        timedOut = pthread_cond_timedwait(&fifo->condition, &fifo->mutex.mutex, deadline) != 0;
        if (filter)
            fifo->filteredWaiters--;
    }
}

static kPacket* sTake(uint64_t fifo, kPacketFilter filter, void* reference, bool wait,
                      uint64_t timeoutMS)
{
    struct timespec deadline;
    if (wait)
        kTime_GetDeadline(timeoutMS, &deadline);
    packetFifo* queue = sAcquire(fifo);
    if (!queue)
        return nullptr;
    sNode* node = nullptr;
    // The record is made first so that a lack of memory leaves the packet
    // queued instead of losing it.
    kPacket* result = kPacket_Create();
    if (!result)
        goto out;
    sLock(&queue->mutex);
    node = sWaitForNode(queue, filter, reference, wait ? &deadline : nullptr);
    sUnlock(&queue->mutex);
    if (node)
        *result = node->packet;
    else
        (void)kPacket_Destroy(&result);
    free(node);
out:
    sRelease(queue);
    return result;
}

kPacket* kPacketFifo_Get(uint64_t fifo)
{
    return sTake(fifo, nullptr, nullptr, false, 0);
}

kPacket* kPacketFifo_Await(uint64_t fifo, uint64_t timeoutMS)
{
    return sTake(fifo, nullptr, nullptr, true, timeoutMS);
}

kPacket* kPacketFifo_GetFirst(uint64_t fifo, kPacketFilter filter, void* reference)
{
    return filter ? sTake(fifo, filter, reference, false, 0) : nullptr;
}

kPacket* kPacketFifo_AwaitFirst(uint64_t fifo, kPacketFilter filter, void* reference,
                                uint64_t timeoutMS)
{
    return filter ? sTake(fifo, filter, reference, true, timeoutMS) : nullptr;
}

// Unlinks every node that the filter accepts onto `dropped`.
static int64_t sUnlinkAll(packetFifo* fifo, kPacketFilter filter, void* reference, sNode** dropped)
    K_REQUIRES(fifo->mutex)
{
    int64_t taken = 0;
    if (!sIsOpen(fifo))
        return 0;
    sNode* prev = nullptr;
    sNode* node = fifo->head;
    while (node) {
        sNode* next = node->next;
        if (filter(&node->packet, reference)) {
            sUnlink(fifo, prev, node);
            node->next = *dropped;
            *dropped = node;
            taken++;
        } else {
            prev = node;
        }
        node = next;
    }
    return taken;
}

int64_t kPacketFifo_DrainPackets(uint64_t fifo, kPacketFilter filter, void* reference)
{
    if (!filter)
        return 0;
    packetFifo* queue = sAcquire(fifo);
    if (!queue)
        return 0;
    sNode* dropped = nullptr;
    sLock(&queue->mutex);
    int64_t drained = sUnlinkAll(queue, filter, reference, &dropped);
    sUnlock(&queue->mutex);
    sFreeNodes(dropped);
    sRelease(queue);
    return drained;
}

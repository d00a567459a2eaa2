// The link engine's table of shared links and the operations callers use;
// the links' threads are in unix_linkthreads.cpp.
//
// Locks, in the order they may nest: the table mutex (list, ids, use
// counts), then a link's filter or log lock, or a queue's own lock. No
// stream is ever opened, and no thread joined, under the table mutex: a
// connection to an address that does not answer may take seconds. Create
// and reset mark their entry busy instead, and work on it without the
// mutex; whoever wants that entry meanwhile (a create for the same module,
// a destroy) waits until it is settled. Lookups take the mutex only to find
// the record.

#include "device/core/internal/kLinkRecord.h"
#include "device/core/kDiscovery.h"
#include "device/core/kTime.h"

#include <stdlib.h>
#include <unistd.h>

#define kLINK_RESET_ATTEMPTS 20
#define kLINK_RESET_PAUSE_MS 100

static const uint32_t BAUD_RATES[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

struct K_CAPABILITY("mutex") sTableMutex {
    pthread_mutex_t mutex;
};

struct _linkEntry;

// Broadcast whenever an entry stops being busy.
static pthread_cond_t sSettled = PTHREAD_COND_INITIALIZER;

static struct {
    _linkEntry* head;
    uint32_t nextID;
    sTableMutex mutex;
} _links = {nullptr, 1, {PTHREAD_MUTEX_INITIALIZER}};

struct _linkEntry {
    uint32_t linkID;
    uint32_t identifier;
    uint32_t port;
    linkType type;
    int16_t useCount K_GUARDED_BY(_links.mutex);
    /// Set while a create or reset works on the link without the mutex.
    bool busy K_GUARDED_BY(_links.mutex);
    kLink* link;
    _linkEntry* next K_GUARDED_BY(_links.mutex);
};

static void sLockTable(void) K_ACQUIRE(_links.mutex) K_NO_THREAD_SAFETY_ANALYSIS
{
    pthread_mutex_lock(&_links.mutex.mutex);
}

static bool sTryLockTable(void) K_TRY_ACQUIRE(true, _links.mutex) K_NO_THREAD_SAFETY_ANALYSIS
{
    return pthread_mutex_trylock(&_links.mutex.mutex) == 0;
}

static void sUnlockTable(void) K_RELEASE(_links.mutex) K_NO_THREAD_SAFETY_ANALYSIS
{
    pthread_mutex_unlock(&_links.mutex.mutex);
}

static void sAwaitSettled(void) K_REQUIRES(_links.mutex) K_NO_THREAD_SAFETY_ANALYSIS
{
    pthread_cond_wait(&sSettled, &_links.mutex.mutex);
}

static void sSettle(_linkEntry* entry) K_REQUIRES(_links.mutex);

// ---------------------------------------------------------------------------
// Link table

static _linkEntry* sLookupEntryByID(uint32_t linkID) K_REQUIRES(_links.mutex)
{
    for (_linkEntry* entry = _links.head; entry; entry = entry->next)
        if (linkID != 0 && entry->linkID == linkID)
            return entry;
    return nullptr;
}

// Two modules behind one address but on different ports are two links.
static _linkEntry* sLookupEntryByIdentifier(uint32_t identifier, uint32_t port, linkType type)
    K_REQUIRES(_links.mutex)
{
    for (_linkEntry* entry = _links.head; entry; entry = entry->next)
        if (entry->identifier == identifier && entry->port == port && entry->type == type)
            return entry;
    return nullptr;
}

static void sSettle(_linkEntry* entry)
{
    entry->busy = false;
    pthread_cond_broadcast(&sSettled);
}

// The entry once no create or reset works on it; null when there is none
// (any more).
static _linkEntry* sSettledEntryByID(uint32_t linkID) K_REQUIRES(_links.mutex)
{
    _linkEntry* entry;
    while ((entry = sLookupEntryByID(linkID)) != nullptr && entry->busy)
        sAwaitSettled();
    return entry;
}

static _linkEntry* sSettledEntryByIdentifier(uint32_t identifier, uint32_t port, linkType type)
    K_REQUIRES(_links.mutex)
{
    _linkEntry* entry;
    while ((entry = sLookupEntryByIdentifier(identifier, port, type)) != nullptr && entry->busy)
        sAwaitSettled();
    return entry;
}

static void sExtractEntry(_linkEntry* gone) K_REQUIRES(_links.mutex)
{
    for (_linkEntry** at = &_links.head; *at; at = &(*at)->next) {
        if (*at == gone) {
            *at = gone->next;
            gone->next = nullptr;
            return;
        }
    }
}

static int16_t sChangeUseCount(_linkEntry* entry, int16_t by) K_REQUIRES(_links.mutex)
{
    entry->useCount = (int16_t)(entry->useCount + by);
    return entry->useCount;
}

static kErr sCreate(uint32_t identifier, uint32_t port, linkType type, _linkEntry** out)
    K_REQUIRES(_links.mutex)
{
    _linkEntry* entry = (_linkEntry*)calloc(1, sizeof(*entry));
    kLink* link = (kLink*)calloc(1, sizeof(*link));
    if (!entry || !link) {
        free(entry);
        free(link);
        return kErrMemory;
    }
    if (_links.nextID == 0)
        _links.nextID = 1;
    entry->linkID = _links.nextID++;
    entry->identifier = identifier;
    entry->port = port;
    entry->type = type;
    entry->useCount = 0;
    entry->busy = true;
    entry->link = link;
    entry->next = _links.head;
    _links.head = entry;
    *out = entry;
    return kErrNone;
}

// Stops and frees a link that is no longer in the table. The result is that
// of destroying the outbound queue.
static kErr sTeardown(_linkEntry* entry)
{
    kLink* link = entry->link;
    kErr err = kErrNone;
    if (link) {
        (void)kLink_Stop(link);
        err = kLink_ReleaseParts(link);
        if (link->logLock)
            (void)kMutex_Destroy(&link->logLock);
        if (link->filterLock)
            (void)kMutex_Destroy(&link->filterLock);
        kLink_DestroyLogBell(&link->logBell);
        if (link->wakeOpen)
            close(link->wakeFd);
        link->check = 0;
        free(link);
    }
    free(entry);
    return err;
}

// Looks the link up under the table mutex; what it returns is used without.
static kLink* sGetLink(uint32_t linkID)
{
    // A filter using its own link: the record cannot go while its reader
    // runs, and the reader never takes the table mutex.
    kLink* own = kLink_OwnThreadLink();
    if (own && own->linkID == linkID)
        return own;
    sLockTable();
    _linkEntry* entry = sLookupEntryByID(linkID);
    kLink* link = entry && kVALIDLINK(entry->link) ? entry->link : nullptr;
    sUnlockTable();
    return link;
}

// ---------------------------------------------------------------------------
// Create, destroy, reset

typedef struct {
    linkType type;
    uint32_t identifier; ///< serial number, or IPv4 address in network order
    uint16_t port;
    const char* portPath;
    uint32_t baudIndex;
} sStreamSpec;

static kErr sOpenStream(const sStreamSpec* spec, kStream** stream)
{
    switch (spec->type) {
    case kLinkTypeUSB:
        return kStream_CreateUSB(spec->identifier, stream);
    case kLinkTypeTCPIP:
        return kStream_CreateSocket(spec->identifier, spec->port, stream);
    case kLinkTypeSerial:
        return kStream_CreateSerial(spec->portPath, spec->baudIndex, false, kSerialBits8,
                                    kSerialStopBits1, stream);
    default:
        return kErrParam;
    }
}

// Opens the stream, initialises and starts the new link, without the table
// mutex: the entry is busy meanwhile. A TCP/IP link starts even without a
// connection: its reader reports the I/O error and a reset may connect it
// later.
static kErr sStartNew(_linkEntry* entry, const sStreamSpec* spec, kStream* given)
{
    kStream* stream = given;
    kErr err = given ? kErrNone : sOpenStream(spec, &stream);
    bool initialised = kLink_Init(entry->link, entry->linkID, stream) == entry->linkID;
    if (spec->type == kLinkTypeTCPIP)
        return initialised ? kLink_Start(entry->link) : kErrConnection;
    if (!err && !initialised)
        err = kErrConnection;
    return err ? err : kLink_Start(entry->link);
}

static uint32_t sCreateLink(const sStreamSpec* spec, kStream* given)
{
    uint32_t port = spec->type == kLinkTypeTCPIP ? spec->port : 0;
    _linkEntry* entry = nullptr;
    sLockTable();
    if (!given) {
        entry = sSettledEntryByIdentifier(spec->identifier, port, spec->type);
        if (entry) {
            sChangeUseCount(entry, 1);
            uint32_t shared = entry->linkID;
            sUnlockTable();
            return shared;
        }
    }
    kErr err = sCreate(spec->identifier, port, spec->type, &entry);
    sUnlockTable();
    if (err) {
        if (given)
            (void)kStream_Destroy(&given);
        return 0;
    }
    err = sStartNew(entry, spec, given);
    sLockTable();
    // A failed link leaves the table before anyone else can use it.
    if (err)
        sExtractEntry(entry);
    else
        sChangeUseCount(entry, 1);
    uint32_t linkID = entry->linkID;
    sSettle(entry);
    sUnlockTable();
    if (err) {
        (void)sTeardown(entry);
        return 0;
    }
    return linkID;
}

uint32_t kLink_CreateUSB(uint32_t serialNumber)
{
    sStreamSpec spec = {kLinkTypeUSB, serialNumber, 0, nullptr, 0};
    return sCreateLink(&spec, nullptr);
}

uint32_t kLink_CreateTCPIP(uint32_t ipAddress, uint16_t port)
{
    sStreamSpec spec = {kLinkTypeTCPIP, ipAddress, port, nullptr, 0};
    return sCreateLink(&spec, nullptr);
}

uint32_t kLink_CreateSerial(uint32_t serialNumber, const char* portPath, uint32_t baudRate)
{
    const uint32_t rates = sizeof(BAUD_RATES) / sizeof(BAUD_RATES[0]);
    uint32_t index = 0;
    while (index < rates && BAUD_RATES[index] != baudRate)
        index++;
    if (index == rates)
        return 0;
    sStreamSpec spec = {kLinkTypeSerial, serialNumber, 0, portPath, index};
    return sCreateLink(&spec, nullptr);
}

uint32_t kLink_Create(kStream* stream)
{
    if (!stream || stream->check != kSTREAMCHECK)
        return 0;
    sStreamSpec spec = {kLinkTypeStream, kLINK_STREAM_IDENTIFIER, 0, nullptr, 0};
    return sCreateLink(&spec, stream);
}

kErr kLink_Destroy(uint32_t* linkID)
{
    if (!linkID)
        return kErrParam;
    // The link's own thread can neither wait for itself to end nor for its
    // entry to settle while a reset of it joins that very thread.
    kLink* own = kLink_OwnThreadLink();
    if (own && own->linkID == *linkID)
        return kErrBusy;
    sLockTable();
    _linkEntry* entry = sSettledEntryByID(*linkID);
    if (!entry) {
        sUnlockTable();
        *linkID = 0;
        return kErrParam;
    }
    *linkID = 0;
    if (sChangeUseCount(entry, -1) > 0) {
        sUnlockTable();
        return kErrNone;
    }
    sExtractEntry(entry);
    sUnlockTable();
    return sTeardown(entry);
}

static kErr sRemakeStream(const _linkEntry* entry, kStream** stream)
{
    if (entry->type != kLinkTypeUSB && entry->type != kLinkTypeTCPIP)
        return kErrParam;
    sStreamSpec spec = {entry->type, entry->identifier, (uint16_t)entry->port, nullptr, 0};
    kErr err = kErrNone;
    for (int attempt = 0; attempt < kLINK_RESET_ATTEMPTS; attempt++) {
        err = sOpenStream(&spec, stream);
        if (!err)
            break;
        kTime_MSSleep(kLINK_RESET_PAUSE_MS);
    }
    return err;
}

// Without a new stream the link stays stopped, with neither stream nor
// queues: it is never started on the stream that was destroyed. Runs
// without the table mutex, on a busy entry.
static kErr kLink_ResetLink(_linkEntry* entry)
{
    kLink* link = entry->link;
    kErr err = kLink_Stop(link);
    if (err)
        return err;
    (void)kLink_ReleaseParts(link);
    kStream* stream = nullptr;
    err = sRemakeStream(entry, &stream);
    if (err)
        return err;
    if (kLink_Init(entry->link, entry->linkID, stream) != entry->linkID)
        return kErrResource;
    return kLink_Start(link);
}

kErr kLink_Reset(uint32_t linkID)
{
    kLink* own = kLink_OwnThreadLink();
    if (own && own->linkID == linkID)
        return kErrBusy;
    if (!sTryLockTable())
        return kErrBusy;
    _linkEntry* entry = sLookupEntryByID(linkID);
    kErr err = entry && kVALIDLINK(entry->link) ? kErrNone : kErrParam;
    if (!err && entry->busy)
        err = kErrBusy;
    if (err) {
        sUnlockTable();
        return err;
    }
    entry->busy = true;
    sUnlockTable();
    err = kLink_ResetLink(entry);
    sLockTable();
    sSettle(entry);
    sUnlockTable();
    return err;
}

// ---------------------------------------------------------------------------
// Status and queues

uint32_t kLink_GetStatus(uint32_t linkID)
{
    kLink* link = sGetLink(linkID);
    return link ? (uint32_t)link->status : (uint32_t)kLinkStatusNoStream;
}

kPacket* kLink_GetPacket(uint32_t linkID)
{
    kLink* link = sGetLink(linkID);
    return link ? kPacketFifo_Get(link->inbound) : nullptr;
}

kPacket* kLink_AwaitPacket(uint32_t linkID, uint64_t timeoutMS)
{
    kLink* link = sGetLink(linkID);
    return link ? kPacketFifo_Await(link->inbound, timeoutMS) : nullptr;
}

kPacket* kLink_GetFirst(uint32_t linkID, kPacketFilter filter, void* reference)
{
    kLink* link = sGetLink(linkID);
    return link ? kPacketFifo_GetFirst(link->inbound, filter, reference) : nullptr;
}

static bool sRunning(const kLink* link)
{
    return link->running && link->status == kLinkStatusRunning;
}

kPacket* kLink_AwaitFirst(uint32_t linkID, kPacketFilter filter, void* reference,
                          uint64_t timeoutMS)
{
    kLink* link = sGetLink(linkID);
    if (!link)
        return nullptr;
    uint64_t now = kTime_GetMSTicks();
    uint64_t deadline = timeoutMS > UINT64_MAX - now ? UINT64_MAX : now + timeoutMS;
    kPacket* packet = nullptr;
    while (!packet && sRunning(link) && now <= deadline) {
        packet = kPacketFifo_AwaitFirst(link->inbound, filter, reference, deadline - now);
        now = kTime_GetMSTicks();
    }
    return packet;
}

int64_t kLink_DrainPackets(uint32_t linkID, kPacketFilter filter, void* reference)
{
    kLink* link = sGetLink(linkID);
    return link ? kPacketFifo_DrainPackets(link->inbound, filter, reference) : 0;
}

kErr kLink_PutPacket(uint32_t linkID, const kPacket* packet)
{
    kLink* link = sGetLink(linkID);
    return link ? kPacketFifo_Put(link->outbound, packet) : kErrParam;
}

kErr kLink_InstallUserPacketFilter(uint32_t linkID, kPacketFilter filter, void* reference)
{
    kLink* link = sGetLink(linkID);
    if (!link)
        return kErrParam;
    // Only a filter runs caller code on the reader, and it runs with the
    // filter lock held.
    if (link == kLink_OwnThreadLink())
        return kErrDuplicate;
    kMutex_Enter(link->filterLock);
    link->userFilter = filter;
    link->filterReference = filter ? reference : nullptr;
    kMutex_Leave(link->filterLock);
    return kErrNone;
}

// ---------------------------------------------------------------------------
// Packet log

kErr kLink_PacketDebug_SetLogSize(uint32_t linkID, int32_t size)
{
    kLink* link = sGetLink(linkID);
    if (!link || size > kLINK_LOG_SIZE_MAX)
        return kErrParam;
    kErr err = kErrNone;
    kMutex_Enter(link->logLock);
    if (link->log)
        err = kErrBusy;
    else
        link->logSize = size < 0 ? 0 : (uint32_t)size;
    kMutex_Leave(link->logLock);
    return err;
}

kErr kLink_PacketDebug_Enable(uint32_t linkID)
{
    kLink* link = sGetLink(linkID);
    if (!link)
        return kErrParam;
    kErr err = kErrNone;
    kMutex_Enter(link->logLock);
    if (link->logSize == 0)
        link->logSize = kLINK_LOG_SIZE_DEFAULT;
    if (!link->log)
        link->log = kPacketLog_Create(link->logSize);
    if (link->log)
        link->log->enabled = 1;
    else
        err = kErrResource;
    kMutex_Leave(link->logLock);
    return err;
}

kErr kLink_PacketDebug_Disable(uint32_t linkID)
{
    kLink* link = sGetLink(linkID);
    if (!link)
        return kErrParam;
    kErr err = kErrNone;
    kMutex_Enter(link->logLock);
    if (link->log)
        link->log->enabled = 0;
    else
        err = kErrNotReady;
    kMutex_Leave(link->logLock);
    return err;
}

kErr kLink_PacketDebug_Read(uint32_t linkID, uint32_t* kind, uint32_t* length, uint8_t* buffer)
{
    kLink* link = sGetLink(linkID);
    if (!link)
        return kErrParam;
    kMutex_Enter(link->logLock);
    kErr err = link->log ? kPacketLog_Get(link->log, kind, length, buffer) : kErrNotReady;
    kMutex_Leave(link->logLock);
    return err;
}

kErr kLink_PacketDebug_Write(uint32_t linkID, uint8_t kind, uint32_t length, const uint8_t* bytes)
{
    kLink* link = sGetLink(linkID);
    if (!link)
        return kErrParam;
    kMutex_Enter(link->logLock);
    kErr err = link->log ? kPacketLog_Put(link->log, kind, length, bytes) : kErrNotReady;
    kMutex_Leave(link->logLock);
    if (!err)
        kLink_RingLog(link->logBell);
    return err;
}

// The rings are counted before the log is looked at, so an entry put in
// between rings after the count and ends the wait at once.
kErr kLink_PacketDebug_Await(uint32_t linkID, uint64_t timeoutMS)
{
    kLink* link = sGetLink(linkID);
    if (!link)
        return kErrParam;
    uint64_t seen = kLink_LogRings(link->logBell);
    kMutex_Enter(link->logLock);
    bool exists = link->log != nullptr;
    bool waiting = exists && !kPacketLog_IsEmpty(link->log);
    kMutex_Leave(link->logLock);
    if (!exists)
        return kErrNotReady;
    if (waiting)
        return kErrNone;
    return kLink_AwaitLogRing(link->logBell, seen, timeoutMS) ? kErrNone : kErrTimeout;
}

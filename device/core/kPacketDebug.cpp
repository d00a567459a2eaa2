#include "device/core/kPacketLog.h"

#include <stdlib.h>
#include <string.h>

kPacketLog* kPacketLog_Create(uint32_t size)
{
    if (size == 0)
        return nullptr;
    kPacketLog* log = (kPacketLog*)calloc(1, sizeof(*log));
    if (!log)
        return nullptr;
    log->buffer = (uint8_t*)malloc(size);
    if (!log->buffer) {
        free(log);
        return nullptr;
    }
    log->size = size;
    return log;
}

// Computed without going through head + size, which could pass 2^32.
static uint32_t sFree(const kPacketLog* log)
{
    uint32_t used =
        log->head >= log->tail ? log->head - log->tail : log->size - (log->tail - log->head);
    return log->size - used;
}

static uint32_t sAdvance(const kPacketLog* log, uint32_t index, uint32_t by)
{
    uint32_t room = log->size - index;
    return by < room ? index + by : by - room;
}

// Writes at head, in two pieces when the bytes straddle the end of the ring.
static void sWrite(kPacketLog* log, const uint8_t* bytes, uint32_t n)
{
    uint32_t first = log->size - log->head;
    if (first > n)
        first = n;
    memcpy(log->buffer + log->head, bytes, first);
    memcpy(log->buffer, bytes + first, n - first);
    log->head = sAdvance(log, log->head, n);
}

static void sRead(kPacketLog* log, uint8_t* bytes, uint32_t n)
{
    uint32_t first = log->size - log->tail;
    if (first > n)
        first = n;
    memcpy(bytes, log->buffer + log->tail, first);
    memcpy(bytes + first, log->buffer, n - first);
    log->tail = sAdvance(log, log->tail, n);
}

static void sDropOldest(kPacketLog* log)
{
    uint32_t lengthAt = sAdvance(log, log->tail, 1);
    log->tail = sAdvance(log, lengthAt, (uint32_t)log->buffer[lengthAt] + 1);
}

kErr kPacketLog_Put(kPacketLog* log, uint8_t kind, uint32_t length, const uint8_t* bytes)
{
    if (!log || (length > 0 && !bytes))
        return kErrParam;
    // A longer entry could not be told by its one-byte length.
    if (length > kPACKETLOG_ENTRY_MAX || length + 2 >= log->size)
        return kErrOverrun;
    while (length + 2 >= sFree(log))
        sDropOldest(log);
    uint8_t header[2] = {kind, (uint8_t)length};
    sWrite(log, header, 2);
    if (length > 0)
        sWrite(log, bytes, length);
    return kErrNone;
}

kErr kPacketLog_Get(kPacketLog* log, uint32_t* kind, uint32_t* length, uint8_t* buffer)
{
    if (!log || !kind || !length || (!buffer && *length > 0))
        return kErrParam;
    if (log->head == log->tail)
        return kErrNotFound;
    *kind = log->buffer[log->tail];
    uint32_t capacity = *length;
    uint32_t n = log->buffer[sAdvance(log, log->tail, 1)];
    *length = n;
    if (capacity < n)
        return kErrOverrun;
    log->tail = sAdvance(log, log->tail, 2);
    if (n > 0)
        sRead(log, buffer, n);
    return kErrNone;
}

bool kPacketLog_IsEmpty(const kPacketLog* log)
{
    return !log || log->head == log->tail;
}

kErr kPacketLog_Destroy(kPacketLog** log)
{
    if (!log || !*log)
        return kErrNone;
    free((*log)->buffer);
    free(*log);
    *log = nullptr;
    return kErrNone;
}

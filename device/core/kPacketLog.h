#pragma once
// The packet log: a byte ring of entries (kind, length byte, bytes) that
// records the packets crossing a link. When an entry does not fit, the
// oldest entries give way. The log has no lock: its owner serialises every
// put and get.

#include "device/core/kError.h"

#include <stdint.h>

enum {
    kPacketLogSent = 1,
    kPacketLogReceived = 2,
    kPacketLogText = 3,
};

/// Longest entry: its length is stored in one byte.
#define kPACKETLOG_ENTRY_MAX 255

typedef struct kPacketLog {
    /// A plain switch kept for the owner; the log itself never reads it.
    uint8_t enabled;
    uint8_t* buffer;
    uint32_t size;
    /// Read index.
    uint32_t tail;
    /// Write index; head = tail means empty, and one byte always stays free.
    uint32_t head;
} kPacketLog;

/// A new, empty, disabled log whose ring holds `size` bytes; null when size
/// is 0 or memory runs out.
kPacketLog* kPacketLog_Create(uint32_t size);

/// Records an entry of `length` bytes, dropping the oldest entries until it
/// fits (length + 2 must stay below the free count). kErrOverrun, with the
/// ring untouched, when the entry can never fit (length + 2 not below the
/// ring size, or length above kPACKETLOG_ENTRY_MAX); kErrParam for a null
/// log, or null bytes with a non-zero length.
kErr kPacketLog_Put(kPacketLog* log, uint8_t kind, uint32_t length, const uint8_t* bytes);

/// Takes the oldest entry: its kind into `kind`, its length into `length`
/// and its bytes into `buffer`, which holds `length` bytes on entry.
/// kErrNotFound when the log is empty; kErrOverrun when the buffer is too
/// small: `kind` and `length` then tell the entry, which stays in the log for
/// a retry with a buffer of that length. kErrParam for null arguments.
kErr kPacketLog_Get(kPacketLog* log, uint32_t* kind, uint32_t* length, uint8_t* buffer);

/// True when no entry is waiting (a null log has none).
bool kPacketLog_IsEmpty(const kPacketLog* log);

/// Frees the log and clears the caller's pointer; a null log is accepted.
/// Always kErrNone.
kErr kPacketLog_Destroy(kPacketLog** log);

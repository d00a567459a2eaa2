#pragma once
// One run's cancellation: a request that a signal handler may make, an
// optional deadline, and the sections that must not be cut. Every wait of a
// cancellable operation asks kCancel_Check at least every kCANCEL_SLICE_MS
// and ends with kErrCancel once it fails.

#include "device/core/kError.h"

#include <stdint.h>

#include <atomic>

/// How long a wait may go on before it looks at the cancellation again.
#define kCANCEL_SLICE_MS 50

typedef struct {
    uint32_t check;
    std::atomic<uint32_t> requests; ///< how many requests came
    std::atomic<uint32_t> sections; ///< how many sections are open
    uint64_t deadline;              ///< kTime_GetMSTicks value; 0 for none
} kCancel;

/// A record with no request, no section and no deadline.
kErr kCancel_Init(kCancel* cancel);

/// Asks the operations to stop at their next safe point. Async-signal-safe;
/// the number of requests before this one (0 for the first).
uint32_t kCancel_Request(kCancel* cancel);

/// Ends the operations `ms` from now as a request would (0: no deadline).
kErr kCancel_SetDeadline(kCancel* cancel, uint64_t ms);

/// kErrCancel once a request came or the deadline passed, unless a section
/// is open; kErrNone otherwise, and for a null record (nothing to stop).
kErr kCancel_Check(const kCancel* cancel);

/// Whether a request came, section or not: what the run is to report.
bool kCancel_Requested(const kCancel* cancel);

/// Opens and closes a section that must not be cut (a store write, a chunk
/// being copied into flash): meanwhile a request is held, and seen by the
/// first check after the last section closed. Null records are ignored.
void kCancel_EnterSection(kCancel* cancel);
void kCancel_LeaveSection(kCancel* cancel);
/// Whether a section is open. Async-signal-safe.
bool kCancel_InSection(const kCancel* cancel);

/// The part of a wait of `ms` to make before the next check: at most
/// kCANCEL_SLICE_MS.
uint32_t kCancel_Slice(uint32_t ms);

/// Sleeps `ms` in slices: kErrCancel as soon as a check fails, else
/// kErrNone.
kErr kCancel_Sleep(const kCancel* cancel, uint64_t ms);

/// One part of a wait, of at most `ms`: true when what was awaited came.
typedef bool (*kCancelWaitProc)(uint32_t ms, void* reference);

/// Waits up to `ms` with `wait`, called with at most kCANCEL_SLICE_MS at a
/// time and a check before each call (a null record: one call for the whole
/// time). kErrNone when `wait` reported that it came, kErrCancel once a
/// check fails, kErrTimeout after `ms`.
kErr kCancel_Wait(const kCancel* cancel, uint64_t ms, kCancelWaitProc wait, void* reference);

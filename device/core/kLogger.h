#pragma once
// A background writer: one worker thread that calls a callback with an open
// file over and over while the logger is enabled. The callback waits for its
// own work (and sleeps when there is none).

#include "device/core/kError.h"
#include "device/core/kFile.h"

#include <stdint.h>

typedef struct kLoggerRecord kLogger;

typedef void (*kLoggerCallback)(kFile* file, int32_t identifier);

/// Opens `path` for appending, unbuffered; the logger starts disabled. Null
/// when memory or the file cannot be had.
kLogger* kLogger_Create(int32_t identifier, kLoggerCallback callback, const char* path);

/// Starts the worker thread; kErrResource when it cannot be started.
kErr kLogger_Enable(kLogger* logger);

/// Stops the worker and joins it. Called from the worker itself it does
/// nothing (kErrNone): a thread cannot join itself.
kErr kLogger_Disable(kLogger* logger);

/// Disables the logger and, when that succeeded, closes its file, frees it
/// and clears the caller's pointer. Returns the result of disabling;
/// kErrBusy, with nothing done, when called from the worker itself. An
/// invalid logger is kErrNone.
kErr kLogger_Destroy(kLogger** logger);

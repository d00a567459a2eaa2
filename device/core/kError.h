#pragma once
// The one error convention of the device library: every operation that can
// fail returns a kErr, 0 meaning success. Codes are never renumbered or
// reused; new ones go at the end, before kErrLast is moved.

#include <stdint.h>

/// A result that is dropped without a word fails the build: handle it, or
/// discard it on purpose with (void). The attribute has a declaration of its
/// own so that the codes below stay one to a line.
enum [[nodiscard]] kErr : int32_t;

enum kErr : int32_t {
    kErrNone = 0,
    kErrMemory = 1,
    kErrParam = 2,
    kErrNotFound = 3,
    kErrFileNameLength = 4,
    kErrBusy = 5,
    kErrIO = 6,
    kErrMode = 7,
    kErrWrite = 8,
    kErrRead = 9,
    kErrEOF = 10,
    kErrNotReady = 11,
    kErrPermission = 12,
    kErrRange = 13,
    kErrSize = 14,
    kErrOverrun = 15,
    kErrParse = 16,
    kErrConfiguration = 17,
    kErrTimeout = 18,
    kErrInitialization = 19,
    kErrVersion = 20,
    kErrUnimplemented = 21,
    kErrDuplicate = 22,
    kErrCancel = 23,
    kErrPacket = 24,
    kErrConnection = 25,
    kErrIndexRange = 26,
    kErrShortCommand = 27,
    kErrInvalidEntity = 28,
    kErrInvalidOption = 29,
    kErrResource = 30,
    kErrMedia = 31,
    kErrAsyncReturn = 32,
    kErrStreamStale = 33,
    kErrUnknown = 34,
    kErrLast = kErrUnknown,
};

/// The code's name ("kErrTimeout"). Codes below 0 or above kErrLast give the
/// texts of kErrUnknown. The text is static and never freed.
const char* kError_GetErrorText(kErr err);

/// The code's description ("Timeout occurred"), with the same fallback.
const char* kError_GetErrorDescription(kErr err);

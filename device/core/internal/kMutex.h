#pragma once
// Named process-local mutexes. A mutex reports misuse (locking it twice from
// one thread, unlocking it from another) instead of deadlocking.

#include "device/core/internal/kThreadAnnotations.h"
#include "device/core/kError.h"

#include <assert.h>

#define kMUTEX_NAME_MAX 255

typedef struct K_CAPABILITY("mutex") kMutexRecord kMutex;

/// A new mutex named `name` (may be null: empty name); null when the name is
/// longer than kMUTEX_NAME_MAX, memory runs out or initialisation fails.
kMutex* kMutex_Create(const char* name);

const char* kMutex_Identifier(const kMutex* mutex);

/// Destroys the mutex and clears the caller's pointer in every case.
/// kErrBusy while it is locked.
kErr kMutex_Destroy(kMutex** mutex);

/// kErrDuplicate when this thread already holds it.
kErr kMutex_Lock(kMutex* mutex) K_ACQUIRE(mutex);

/// kErrBusy when another thread holds it.
kErr kMutex_TryLock(kMutex* mutex) K_TRY_ACQUIRE(kErrNone, mutex);

/// kErrPermission when this thread does not hold it.
kErr kMutex_Unlock(kMutex* mutex) K_RELEASE(mutex);

/// Lock and Unlock where the lock order rules misuse out: a failure is a
/// programming error, which stops a debug build.
inline void kMutex_Enter(kMutex* mutex) K_ACQUIRE(mutex)
{
    kErr err = kMutex_Lock(mutex);
    assert(err == kErrNone);
    (void)err;
}

inline void kMutex_Leave(kMutex* mutex) K_RELEASE(mutex)
{
    kErr err = kMutex_Unlock(mutex);
    assert(err == kErrNone);
    (void)err;
}

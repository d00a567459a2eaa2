#include "device/core/internal/kMutex.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

struct kMutexRecord {
    pthread_mutex_t mutex;
    char name[kMUTEX_NAME_MAX + 1];
};

static kErr sTranslate(int rc)
{
    switch (rc) {
    case 0:
        return kErrNone;
    case EBUSY:
        return kErrBusy;
    case EAGAIN:
    case ENOMEM:
        return kErrResource;
    case EINVAL:
        return kErrParam;
    case EDEADLK:
        return kErrDuplicate;
    case EPERM:
        return kErrPermission;
    default:
        return kErrUnknown;
    }
}

kMutex* kMutex_Create(const char* name)
{
    if (name && strnlen(name, kMUTEX_NAME_MAX + 1) > kMUTEX_NAME_MAX)
        return nullptr;
    kMutex* mutex = (kMutex*)calloc(1, sizeof(*mutex));
    if (!mutex)
        return nullptr;
    snprintf(mutex->name, sizeof(mutex->name), "%s", name ? name : "");
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc == 0) {
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
        rc = pthread_mutex_init(&mutex->mutex, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    if (rc != 0) {
        free(mutex);
        return nullptr;
    }
    return mutex;
}

const char* kMutex_Identifier(const kMutex* mutex)
{
    return mutex ? mutex->name : "";
}

kErr kMutex_Destroy(kMutex** mutex)
{
    if (!mutex || !*mutex)
        return kErrParam;
    kErr err = sTranslate(pthread_mutex_destroy(&(*mutex)->mutex));
    free(*mutex);
    *mutex = nullptr;
    return err;
}

kErr kMutex_Lock(kMutex* mutex) K_NO_THREAD_SAFETY_ANALYSIS
{
    if (!mutex)
        return kErrParam;
    return sTranslate(pthread_mutex_lock(&mutex->mutex));
}

kErr kMutex_TryLock(kMutex* mutex) K_NO_THREAD_SAFETY_ANALYSIS
{
    if (!mutex)
        return kErrParam;
    return sTranslate(pthread_mutex_trylock(&mutex->mutex));
}

kErr kMutex_Unlock(kMutex* mutex) K_NO_THREAD_SAFETY_ANALYSIS
{
    if (!mutex)
        return kErrParam;
    return sTranslate(pthread_mutex_unlock(&mutex->mutex));
}

#include "device/core/kLogger.h"

#include <pthread.h>
#include <stdlib.h>

#include <atomic>
#include <new>

#define kLOGGER_CHECK 0xDEED

struct kLoggerRecord {
    int32_t identifier;
    kLoggerCallback callback;
    kFile* file;
    pthread_t worker;
    std::atomic<bool> enabled;
    uint16_t check;
};

static bool kVALIDLOGGER(const kLogger* logger)
{
    return logger && logger->check == kLOGGER_CHECK;
}

static void* sWork(void* arg)
{
    kLogger* logger = (kLogger*)arg;
    while (logger->enabled.load())
        logger->callback(logger->file, logger->identifier);
    return nullptr;
}

kLogger* kLogger_Create(int32_t identifier, kLoggerCallback callback, const char* path)
{
    if (!callback)
        return nullptr;
    kLogger* logger = new (std::nothrow) kLogger();
    if (!logger)
        return nullptr;
    logger->file = kFile_Open(path, kFileModeAppend);
    if (!logger->file) {
        delete logger;
        return nullptr;
    }
    (void)kFile_SetUnbuffered(logger->file);
    logger->identifier = identifier;
    logger->callback = callback;
    logger->enabled = false;
    logger->check = kLOGGER_CHECK;
    return logger;
}

kErr kLogger_Enable(kLogger* logger)
{
    if (!kVALIDLOGGER(logger))
        return kErrParam;
    if (logger->enabled.load())
        return kErrNone;
    logger->enabled = true;
    if (pthread_create(&logger->worker, nullptr, sWork, logger) != 0) {
        logger->enabled = false;
        return kErrResource;
    }
    return kErrNone;
}

kErr kLogger_Disable(kLogger* logger)
{
    if (!kVALIDLOGGER(logger))
        return kErrParam;
    if (!logger->enabled.load())
        return kErrNone;
    if (pthread_equal(pthread_self(), logger->worker))
        return kErrNone;
    logger->enabled = false;
    return pthread_join(logger->worker, nullptr) == 0 ? kErrNone : kErrUnknown;
}

kErr kLogger_Destroy(kLogger** logger)
{
    if (!logger || !kVALIDLOGGER(*logger))
        return kErrNone;
    kLogger* l = *logger;
    // The worker cannot free the record it is running on.
    if (l->enabled.load() && pthread_equal(pthread_self(), l->worker))
        return kErrBusy;
    kErr err = kLogger_Disable(l);
    if (err)
        return err;
    (void)kFile_Close(&l->file);
    l->check = 0;
    delete l;
    *logger = nullptr;
    return kErrNone;
}

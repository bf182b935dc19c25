// A background thread that runs one logging callback against an output file.
#include "common/kxLogger.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <pthread.h>

static const uint16_t kLoggerCheck = 0xDEED;

// Threads: the controlling thread (the one that creates, enables, disables and
// destroys the logger) writes every field; the logging thread reads
// `callback`, `file` and `value`, and polls `running` until it is cleared.
// There is no lock: enabling and disabling are made by one controlling thread.
// The record is freed only after the logging thread has been joined.
struct kxLogger
{
    int32_t value;
    kxLoggerCallback callback;
    kxFileRef file;
    pthread_t thread;
    std::atomic<uint8_t> running;
    uint16_t check;
};

static bool sValid(const kxLogger* logger)
{
    return logger && logger->check == kLoggerCheck;
}

static void* sLoggerThread(void* context)
{
    kxLogger* logger = static_cast<kxLogger*>(context);
    while (sValid(logger) && logger->running.load())
        logger->callback(logger->file, logger->value);
    return nullptr;
}

kxLogger* kxLogger_Create(int32_t value, kxLoggerCallback callback, const char* path)
{
    if (!callback)
        return nullptr;
    kxLogger* logger = new (std::nothrow) kxLogger();
    if (!logger)
        return nullptr;
    logger->running = 0;
    logger->check = kLoggerCheck;
    logger->callback = callback;
    logger->value = value;
    logger->thread = pthread_self();
    logger->file = kxFile_Open(path, kxFileAppend);
    if (!logger->file)
    {
        delete logger;
        return nullptr;
    }
    kxFile_SetUnbuffered(logger->file);
    return logger;
}

kxErr kxLogger_Enable(kxLogger* logger)
{
    if (!sValid(logger))
        return kxErrParam;
    if (logger->running.load())
        return kxErrNone;
    logger->running = 1;
    if (pthread_create(&logger->thread, nullptr, sLoggerThread, logger) != 0)
    {
        logger->thread = pthread_self();
        logger->running = 0;
        return kxErrResource;
    }
    return kxErrNone;
}

kxErr kxLogger_Disable(kxLogger* logger)
{
    if (!sValid(logger))
        return kxErrParam;
    if (!logger->running.load())
        return kxErrNone;
    if (pthread_equal(logger->thread, pthread_self()))
        return kxErrNone;
    logger->running = 0;
    int rc = pthread_join(logger->thread, nullptr);
    logger->thread = pthread_self();
    return rc != 0 ? kxErrUnknown : kxErrNone;
}

kxErr kxLogger_Destroy(kxLogger** reference)
{
    if (!reference || !sValid(*reference))
        return kxErrNone;
    kxLogger* logger = *reference;
    // From inside the callback the logging thread cannot be joined, and freeing
    // the record under it would leave the thread reading freed memory.
    if (logger->running.load() && pthread_equal(logger->thread, pthread_self()))
        return kxErrBusy;
    kxErr rc = kxErrNone;
    if (logger->running.load())
        rc = kxLogger_Disable(logger);
    if (rc != kxErrNone)
        return rc;
    kxFile_Close(&logger->file);
    logger->check = 0;
    delete logger;
    *reference = nullptr;
    return kxErrNone;
}

// A background thread that runs one logging callback against an output file.
#include <lumbrixon/kxLogger.h>

#include <lumbrixon/kxThread.h>

#include <atomic>
#include <new>

// Threads: the controlling thread (the one that creates, enables, disables and
// destroys the logger) writes every field; the logging thread reads
// `callback`, `file` and `value`, and polls `running` until it is cleared.
// There is no lock: enabling and disabling are made by one controlling thread.
// `thread` is the running logging thread, null while it is stopped; only the
// controlling thread reads or writes it (the logging thread may start before
// it is set, so it knows itself by sLoggingFor instead). The record is freed
// only after the logging thread has been joined.
struct kxLogger
{
    uint16_t check;
    int32_t value;
    kxLoggerCallback callback;
    kxFileRef file;
    kxThread* thread;
    std::atomic<uint8_t> running;
};

static bool sValid(const kxLogger* logger)
{
    return logger && logger->check == kxLOGGER_CHECK;
}

// The logger whose logging thread this is; null in every other thread.
static thread_local const kxLogger* sLoggingFor = nullptr;

static bool sOnLoggingThread(const kxLogger* logger)
{
    return sLoggingFor == logger;
}

static int sLoggerThread(void* context)
{
    kxLogger* logger = static_cast<kxLogger*>(context);
    sLoggingFor = logger;
    while (sValid(logger) && logger->running.load())
        logger->callback(logger->file, logger->value);
    return 0;
}

kxLogger* kxLogger_Create(int32_t value, kxLoggerCallback callback, const char* path)
{
    if (!callback)
        return nullptr;
    kxLogger* logger = new (std::nothrow) kxLogger();
    if (!logger)
        return nullptr;
    logger->check = kxLOGGER_CHECK;
    logger->running = 0;
    logger->callback = callback;
    logger->value = value;
    logger->thread = nullptr;
    logger->file = kxFile_Open(path, kxFileAppend);
    if (!logger->file)
    {
        logger->check = 0;
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
    logger->thread = kxThread_Create(sLoggerThread, logger);
    if (!logger->thread)
    {
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
    if (sOnLoggingThread(logger))
        return kxErrNone;
    logger->running = 0;
    int rc = kxThread_Destroy(&logger->thread);
    return rc != 0 ? kxErrUnknown : kxErrNone;
}

kxErr kxLogger_Destroy(kxLogger** reference)
{
    if (!reference || !sValid(*reference))
        return kxErrNone;
    kxLogger* logger = *reference;
    // From inside the callback the logging thread cannot be joined, and freeing
    // the record under it would leave the thread reading freed memory.
    if (logger->running.load() && sOnLoggingThread(logger))
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

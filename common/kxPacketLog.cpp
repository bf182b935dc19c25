// Packet logs.
#include <lumbrixon/kxPacketLog.h>

#include <lumbrixon/kxMutex.h>

#include <atomic>
#include <new>
#include <stdlib.h>

#define kxPACKETLOG_CHECK 0x10C5

// Threads: `check` and `lock` are set at creation; `ring`, `size`, `read`,
// `write`, `requestedSize` and `enabled` are touched only under `lock`.
// `exists` mirrors `ring != null` for readers that do not take the lock.
struct kxPacketLog
{
    uint16_t check;
    kxMutex* lock;
    uint8_t* ring;
    uint32_t size;
    uint32_t read;
    uint32_t write;
    int32_t requestedSize;
    bool enabled;
    std::atomic<bool> exists;
};

namespace
{
bool sValid(const kxPacketLog* log)
{
    return log != nullptr && log->check == kxPACKETLOG_CHECK;
}

uint32_t sUsed(const kxPacketLog* log)
{
    return log->ring == nullptr ? 0 : (log->write + log->size - log->read) % log->size;
}

uint8_t sAt(const kxPacketLog* log, uint32_t offset)
{
    return log->ring[(log->read + offset) % log->size];
}

void sPutByte(kxPacketLog* log, uint8_t byte)
{
    log->ring[log->write] = byte;
    log->write = (log->write + 1) % log->size;
}

void sFreeRing(kxPacketLog* log)
{
    free(log->ring);
    log->ring = nullptr;
    log->exists = false;
    log->size = 0;
    log->read = 0;
    log->write = 0;
}

// Runs `work` under the log's lock; kxErrParam for an invalid log.
template <typename Work> kxErr sLocked(kxPacketLog* log, Work work)
{
    if (!sValid(log))
    {
        return kxErrParam;
    }
    kxMutex_Lock(log->lock);
    kxErr err = work();
    kxMutex_Unlock(log->lock);
    return err;
}

kxErr sAdd(kxPacketLog* log, uint8_t type, uint32_t length, const uint8_t* bytes)
{
    if (log->ring == nullptr)
    {
        return kxErrNotReady;
    }
    if (bytes == nullptr && length > 0)
    {
        return kxErrParam;
    }
    if (length > kxPACKETLOG_MAX_RECORD)
    {
        return kxErrSize;
    }
    uint32_t needed = length + 2;
    if (needed >= log->size)
    {
        return kxErrOverrun;
    }
    while (needed >= log->size - sUsed(log))
    {
        log->read = (log->read + 2 + sAt(log, 1)) % log->size;
    }
    sPutByte(log, type);
    sPutByte(log, static_cast<uint8_t>(length));
    for (uint32_t i = 0; i < length; i++)
    {
        sPutByte(log, bytes[i]);
    }
    return kxErrNone;
}

kxErr sTake(kxPacketLog* log, uint8_t* type, uint32_t* length, uint8_t* buffer)
{
    if (log->ring == nullptr)
    {
        return kxErrNotReady;
    }
    if (type == nullptr || length == nullptr || (buffer == nullptr && *length > 0))
    {
        return kxErrParam;
    }
    if (sUsed(log) == 0)
    {
        return kxErrNotFound;
    }
    uint32_t recordLength = sAt(log, 1);
    if (recordLength > *length)
    {
        *length = recordLength;
        return kxErrOverrun;
    }
    *type = sAt(log, 0);
    for (uint32_t i = 0; i < recordLength; i++)
    {
        buffer[i] = sAt(log, 2 + i);
    }
    *length = recordLength;
    log->read = (log->read + 2 + recordLength) % log->size;
    return kxErrNone;
}
} // namespace

kxPacketLog* kxPacketLog_Create(const char* lockName)
{
    auto* log = new (std::nothrow) kxPacketLog{};
    if (log == nullptr)
    {
        return nullptr;
    }
    log->lock = kxMutex_Create(lockName);
    if (log->lock == nullptr)
    {
        delete log;
        return nullptr;
    }
    log->check = kxPACKETLOG_CHECK;
    return log;
}

kxErr kxPacketLog_Destroy(kxPacketLog** log)
{
    if (log == nullptr)
    {
        return kxErrParam;
    }
    kxPacketLog* doomed = *log;
    *log = nullptr;
    if (!sValid(doomed))
    {
        return kxErrParam;
    }
    doomed->check = 0;
    sFreeRing(doomed);
    kxMutex_Destroy(&doomed->lock);
    delete doomed;
    return kxErrNone;
}

kxErr kxPacketLog_SetSize(kxPacketLog* log, int32_t size)
{
    if (size > kxPACKETLOG_MAX_SIZE)
    {
        return kxErrParam;
    }
    return sLocked(log,
                   [&]
                   {
                       if (log->ring != nullptr)
                       {
                           return kxErrBusy;
                       }
                       log->requestedSize = size > 0 ? size : 0;
                       return kxErrNone;
                   });
}

kxErr kxPacketLog_Enable(kxPacketLog* log)
{
    return sLocked(log,
                   [&]
                   {
                       if (log->ring == nullptr)
                       {
                           uint32_t size = log->requestedSize > 0
                                               ? static_cast<uint32_t>(log->requestedSize)
                                               : kxPACKETLOG_DEFAULT_SIZE;
                           log->ring = static_cast<uint8_t*>(malloc(size));
                           if (log->ring == nullptr)
                           {
                               return kxErrResource;
                           }
                           log->size = size;
                           log->read = 0;
                           log->write = 0;
                           log->exists = true;
                       }
                       log->enabled = true;
                       return kxErrNone;
                   });
}

kxErr kxPacketLog_Disable(kxPacketLog* log)
{
    return sLocked(log,
                   [&]
                   {
                       if (log->ring == nullptr)
                       {
                           return kxErrNotReady;
                       }
                       log->enabled = false;
                       return kxErrNone;
                   });
}

bool kxPacketLog_Exists(const kxPacketLog* log)
{
    return sValid(log) && log->exists.load();
}

void kxPacketLog_Clear(kxPacketLog* log)
{
    sLocked(log,
            [&]
            {
                sFreeRing(log);
                log->requestedSize = 0;
                log->enabled = false;
                return kxErrNone;
            });
}

kxErr kxPacketLog_Add(kxPacketLog* log, uint8_t type, uint32_t length, const uint8_t* bytes)
{
    return sLocked(log, [&] { return sAdd(log, type, length, bytes); });
}

kxErr kxPacketLog_Take(kxPacketLog* log, uint8_t* type, uint32_t* length, uint8_t* buffer)
{
    return sLocked(log, [&] { return sTake(log, type, length, buffer); });
}

uint32_t kxPacketLog_Used(kxPacketLog* log)
{
    uint32_t used = 0;
    sLocked(log,
            [&]
            {
                used = sUsed(log);
                return kxErrNone;
            });
    return used;
}

// Packet log rings.
#include "common/kxPacketLog.h"

#include <stdlib.h>

#define kxPACKETLOG_CHECK 0x10C5

// Threads: no lock of its own; the owner serialises every call (see the
// header). `size` and `check` are set at creation.
struct kxPacketLog
{
    uint16_t check;
    uint32_t size;
    uint32_t read;
    uint32_t write;
    uint8_t* ring;
};

namespace
{
bool sValid(const kxPacketLog* log)
{
    return log != nullptr && log->check == kxPACKETLOG_CHECK;
}

uint32_t sUsed(const kxPacketLog* log)
{
    return (log->write + log->size - log->read) % log->size;
}

uint8_t sAt(const kxPacketLog* log, uint32_t offset)
{
    return log->ring[(log->read + offset) % log->size];
}

void sDiscardOldest(kxPacketLog* log)
{
    uint32_t length = sAt(log, 1);
    log->read = (log->read + 2 + length) % log->size;
}

void sPutByte(kxPacketLog* log, uint8_t byte)
{
    log->ring[log->write] = byte;
    log->write = (log->write + 1) % log->size;
}
} // namespace

kxPacketLog* kxPacketLog_Create(uint32_t size)
{
    if (size < 2 || size > kxPACKETLOG_MAX_SIZE)
    {
        return nullptr;
    }
    auto* log = static_cast<kxPacketLog*>(calloc(1, sizeof(kxPacketLog)));
    if (log == nullptr)
    {
        return nullptr;
    }
    log->ring = static_cast<uint8_t*>(malloc(size));
    if (log->ring == nullptr)
    {
        free(log);
        return nullptr;
    }
    log->size = size;
    log->check = kxPACKETLOG_CHECK;
    return log;
}

kxErr kxPacketLog_Destroy(kxPacketLog** log)
{
    if (log == nullptr || !sValid(*log))
    {
        return kxErrParam;
    }
    (*log)->check = 0;
    free((*log)->ring);
    free(*log);
    *log = nullptr;
    return kxErrNone;
}

kxErr kxPacketLog_Add(kxPacketLog* log, uint8_t type, uint32_t length, const uint8_t* bytes)
{
    if (!sValid(log) || (bytes == nullptr && length > 0))
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
        sDiscardOldest(log);
    }
    sPutByte(log, type);
    sPutByte(log, static_cast<uint8_t>(length));
    for (uint32_t i = 0; i < length; i++)
    {
        sPutByte(log, bytes[i]);
    }
    return kxErrNone;
}

kxErr kxPacketLog_Take(kxPacketLog* log, uint8_t* type, uint32_t* length, uint8_t* buffer)
{
    if (!sValid(log) || type == nullptr || length == nullptr || (buffer == nullptr && *length > 0))
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

uint32_t kxPacketLog_Used(const kxPacketLog* log)
{
    return sValid(log) ? sUsed(log) : 0;
}

// Generic stream operations and the file streams.
#include <lumbrixon/kxStream.h>

#include <lumbrixon/kxFile.h>

#include <stdlib.h>
#include <string.h>

// Threads: `get`, `put`, `write`, `del`, `ref` and `check` are set at creation
// and only read afterwards, by any thread. The push-back ring (`pushBack`,
// `capacity`, `count`, `readPos`, `writePos`) is touched only by the one thread
// that reads the stream. No locks.
struct kxStream
{
    uint16_t check;
    kxStreamGetFunction get;
    kxStreamPutFunction put;
    kxStreamWriteFunction write;
    kxStreamDeleteFunction del;
    void* ref;
    uint8_t* pushBack;
    uint32_t count;
    uint32_t capacity;
    uint32_t readPos;
    uint32_t writePos;
};

namespace
{
constexpr uint32_t sPushBackChunk = 512;
// Reads up to this many bytes without a heap allocation.
constexpr size_t sReadStackBytes = 64;

kxErr sPushBackByte(kxStream* stream, uint8_t byte)
{
    if (stream->pushBack == nullptr)
    {
        stream->pushBack = static_cast<uint8_t*>(malloc(sPushBackChunk));
        if (stream->pushBack == nullptr)
        {
            return kxErrMemory;
        }
        stream->capacity = sPushBackChunk;
        stream->count = 0;
        stream->readPos = 0;
        stream->writePos = 0;
    }
    if (stream->count >= stream->capacity - 1)
    {
        uint32_t capacity = stream->capacity + sPushBackChunk;
        auto* ring = static_cast<uint8_t*>(malloc(capacity));
        if (ring == nullptr)
        {
            return kxErrMemory;
        }
        for (uint32_t i = 0; i < stream->count; i++)
        {
            ring[i] = stream->pushBack[(stream->readPos + i) % stream->capacity];
        }
        free(stream->pushBack);
        stream->pushBack = ring;
        stream->capacity = capacity;
        stream->readPos = 0;
        stream->writePos = stream->count;
    }
    stream->pushBack[stream->writePos] = byte;
    stream->writePos = (stream->writePos + 1) % stream->capacity;
    stream->count++;
    return kxErrNone;
}

kxErr sPushBackBytes(kxStream* stream, const uint8_t* bytes, size_t n)
{
    for (size_t i = 0; i < n; i++)
    {
        kxErr err = sPushBackByte(stream, bytes[i]);
        if (err != kxErrNone)
        {
            return err;
        }
    }
    return kxErrNone;
}

bool sTakePushedBack(kxStream* stream, uint8_t* byte)
{
    if (stream->count == 0)
    {
        return false;
    }
    *byte = stream->pushBack[stream->readPos];
    stream->readPos = (stream->readPos + 1) % stream->capacity;
    stream->count--;
    return true;
}

// One byte for the record reader: the push-back buffer first, else `get`.
kxErr sReadByte(kxStream* stream, uint8_t* byte)
{
    if (sTakePushedBack(stream, byte))
    {
        return kxErrNone;
    }
    return kxStream_Read(stream, byte, 1);
}

kxErr sFileGet(uint8_t* byte, void* ref)
{
    size_t count = 0;
    kxErr err = kxFile_Read(static_cast<kxFileRef>(ref), byte, 1, &count);
    if (err == kxErrNone && count != 1)
    {
        return kxErrEOF;
    }
    return err;
}

kxErr sFileWrite(const uint8_t* bytes, size_t n, void* ref)
{
    size_t count = 0;
    kxErr err = kxFile_Write(static_cast<kxFileRef>(ref), bytes, n, &count);
    if (err == kxErrNone && count != n)
    {
        return kxErrWrite;
    }
    return err;
}

kxErr sFilePut(uint8_t byte, void* ref)
{
    return sFileWrite(&byte, 1, ref);
}

kxErr sFileDelete(void* ref)
{
    auto file = static_cast<kxFileRef>(ref);
    return kxFile_Close(&file);
}

kxErr sCreateFileStream(const char* path, unsigned mode, kxStream** stream)
{
    if (path == nullptr || stream == nullptr)
    {
        return kxErrResource;
    }
    *stream = nullptr;
    kxFileRef file = kxFile_Open(path, mode);
    if (file == nullptr)
    {
        return kxErrResource;
    }
    kxStream* created = mode == kxFileRead
                            ? kxStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file)
                            : kxStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file);
    if (created == nullptr)
    {
        kxFile_Close(&file);
        return kxErrResource;
    }
    *stream = created;
    return kxErrNone;
}
} // namespace

kxStream* kxStream_Create(kxStreamGetFunction get, kxStreamPutFunction put,
                          kxStreamWriteFunction write, kxStreamDeleteFunction del, void* ref)
{
    auto* stream = static_cast<kxStream*>(calloc(1, sizeof(kxStream)));
    if (stream == nullptr)
    {
        return nullptr;
    }
    stream->get = get;
    stream->put = put;
    stream->write = write;
    stream->del = del;
    stream->ref = ref;
    stream->check = kxSTREAM_CHECK;
    return stream;
}

bool kxStream_IsValid(const kxStream* stream)
{
    return stream != nullptr && stream->check == kxSTREAM_CHECK;
}

kxErr kxStream_Destroy(kxStream** stream)
{
    if (stream == nullptr)
    {
        return kxErrParam;
    }
    kxStream* s = *stream;
    *stream = nullptr;
    if (!kxVALIDSTREAM(s))
    {
        return kxErrParam;
    }
    kxErr err = kxErrNone;
    if (s->del != nullptr)
    {
        err = s->del(s->ref);
    }
    s->check = 0;
    free(s->pushBack);
    free(s);
    return err;
}

kxErr kxStream_Read(kxStream* stream, uint8_t* buffer, size_t n)
{
    if (!kxVALIDSTREAM(stream) || buffer == nullptr)
    {
        return kxErrParam;
    }
    if (stream->get == nullptr)
    {
        return kxErrMode;
    }
    uint8_t local[sReadStackBytes];
    uint8_t* gathered = local;
    if (n > sReadStackBytes)
    {
        gathered = static_cast<uint8_t*>(malloc(n));
        if (gathered == nullptr)
        {
            return kxErrResource;
        }
    }
    kxErr err = kxErrNone;
    size_t have = 0;
    while (have < n)
    {
        if (sTakePushedBack(stream, &gathered[have]))
        {
            have++;
            continue;
        }
        err = stream->get(&gathered[have], stream->ref);
        if (err != kxErrNone)
        {
            break;
        }
        have++;
    }
    if (err == kxErrNotReady)
    {
        // All or nothing: the push-back buffer was empty when `get` was called,
        // so pushing the gathered bytes restores their order.
        kxErr pushed = sPushBackBytes(stream, gathered, have);
        if (pushed != kxErrNone)
        {
            err = pushed;
        }
    }
    else if (err == kxErrNone || err == kxErrEOF)
    {
        memcpy(buffer, gathered, have);
    }
    if (gathered != local)
    {
        free(gathered);
    }
    return err;
}

kxErr kxStream_Write(kxStream* stream, const uint8_t* bytes, size_t n)
{
    if (!kxVALIDSTREAM(stream) || bytes == nullptr)
    {
        return kxErrParam;
    }
    if (stream->write != nullptr && n > 1)
    {
        return stream->write(bytes, n, stream->ref);
    }
    if (stream->put == nullptr && stream->write == nullptr)
    {
        return kxErrMode;
    }
    if (n == 0)
    {
        return kxErrNone;
    }
    if (stream->put == nullptr)
    {
        return stream->write(bytes, n, stream->ref);
    }
    for (size_t i = 0; i < n; i++)
    {
        kxErr err = stream->put(bytes[i], stream->ref);
        if (err != kxErrNone)
        {
            return err;
        }
    }
    return kxErrNone;
}

kxErr kxStream_ReadRecord(kxStream* stream, uint8_t* buffer, size_t* size, size_t maxLength,
                          const uint8_t* terminator, size_t terminatorLength)
{
    if (size != nullptr)
    {
        *size = 0;
    }
    if (!kxVALIDSTREAM(stream) || buffer == nullptr || terminator == nullptr ||
        terminatorLength == 0 || maxLength == 0)
    {
        return kxErrParam;
    }
    // Every byte taken, in order of arrival, so that a record cut short by an
    // empty stream can be returned whole, terminator bytes included.
    size_t takenCapacity = maxLength + terminatorLength;
    auto* taken = static_cast<uint8_t*>(malloc(takenCapacity));
    auto* stored = static_cast<uint8_t*>(malloc(maxLength));
    if (taken == nullptr || stored == nullptr)
    {
        free(taken);
        free(stored);
        return kxErrResource;
    }
    size_t m = 0;
    size_t k = 0;
    size_t t = 0;
    kxErr err = kxErrNone;
    for (;;)
    {
        uint8_t byte = 0;
        err = sReadByte(stream, &byte);
        if (err == kxErrEOF)
        {
            err = k == 0 ? kxErrEOF : kxErrNone;
            break;
        }
        if (err == kxErrNotReady)
        {
            if (t > 0)
            {
                kxErr pushed = sPushBackBytes(stream, taken, t);
                if (pushed != kxErrNone)
                {
                    err = pushed;
                }
            }
            break;
        }
        if (err != kxErrNone)
        {
            break;
        }
        taken[t++] = byte;
        if (byte == terminator[m])
        {
            // The match position only moves forward: a byte that breaks a
            // partial match is stored and matching goes on from there.
            if (++m == terminatorLength)
            {
                break;
            }
            continue;
        }
        stored[k++] = byte;
        if (k == maxLength)
        {
            break;
        }
    }
    if (err == kxErrNone)
    {
        memcpy(buffer, stored, k);
        if (size != nullptr)
        {
            *size = k;
        }
    }
    free(taken);
    free(stored);
    return err;
}

kxErr kxStream_WriteRecord(kxStream* stream, const uint8_t* bytes, size_t n,
                           const uint8_t* terminator, size_t terminatorLength)
{
    if (bytes == nullptr || terminator == nullptr || terminatorLength == 0)
    {
        return kxErrParam;
    }
    kxErr err = kxStream_Write(stream, bytes, n);
    if (err != kxErrNone)
    {
        return err;
    }
    return kxStream_Write(stream, terminator, terminatorLength);
}

kxErr kxStream_ReadCString(kxStream* stream, char* buffer, size_t size)
{
    static const uint8_t sNul = 0;
    if (buffer == nullptr || size < 2)
    {
        return kxErrParam;
    }
    size_t length = 0;
    kxErr err = kxStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length, size - 1,
                                    &sNul, 1);
    if (err == kxErrNone)
    {
        buffer[length] = '\0';
    }
    return err;
}

kxErr kxStream_WriteCString(kxStream* stream, const char* string)
{
    static const uint8_t sNul = 0;
    if (string == nullptr)
    {
        return kxErrParam;
    }
    return kxStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(string), strlen(string),
                                &sNul, 1);
}

kxErr kxStream_ReadCStringRecord(kxStream* stream, char* buffer, size_t size,
                                 const char* terminator)
{
    if (buffer == nullptr || terminator == nullptr || size < 2)
    {
        return kxErrParam;
    }
    size_t length = 0;
    kxErr err =
        kxStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length, size - 1,
                            reinterpret_cast<const uint8_t*>(terminator), strlen(terminator));
    if (err == kxErrNone)
    {
        buffer[length] = '\0';
    }
    return err;
}

kxErr kxStream_WriteCStringRecord(kxStream* stream, const char* string, const char* terminator)
{
    if (string == nullptr || terminator == nullptr)
    {
        return kxErrParam;
    }
    return kxStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(string), strlen(string),
                                reinterpret_cast<const uint8_t*>(terminator),
                                strlen(terminator) + 1);
}

kxErr kxStream_Flush(kxStream* source, kxStream* destination)
{
    if (!kxVALIDSTREAM(source) || !kxVALIDSTREAM(destination))
    {
        return kxErrParam;
    }
    if (source->get == nullptr || destination->put == nullptr)
    {
        return kxErrMode;
    }
    for (;;)
    {
        uint8_t byte = 0;
        kxErr err = kxStream_Read(source, &byte, 1);
        if (err == kxErrEOF)
        {
            return kxErrNone;
        }
        if (err != kxErrNone)
        {
            return err;
        }
        err = destination->put(byte, destination->ref);
        if (err != kxErrNone)
        {
            return err;
        }
    }
}

kxErr kxStream_CreateFileInput(const char* path, kxStream** stream)
{
    return sCreateFileStream(path, kxFileRead, stream);
}

kxErr kxStream_CreateFileOutput(const char* path, kxStream** stream)
{
    return sCreateFileStream(path, kxFileWrite, stream);
}

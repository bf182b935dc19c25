// Files behind tagged references over the C library's streams.
#include <lumbrixon/kxFile.h>

#include <cassert>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

// Threads: a file belongs to one thread at a time (the logger's file to its
// logging thread while it runs). No lock.
struct kxFile
{
    uint16_t check;
    FILE* stream;
    unsigned mode;
};

static bool sValid(kxFileRef ref)
{
    return ref && ref->check == kxFILE_CHECK;
}

static bool sCanRead(kxFileRef ref)
{
    return ref->mode == kxFileRead || ref->mode == kxFileAppend;
}

static bool sCanWrite(kxFileRef ref)
{
    return ref->mode == kxFileWrite || ref->mode == kxFileAppend;
}

bool kxFile_Exists(const char* path)
{
    if (!path || strnlen(path, kxFILE_MAX_PATH + 1) > kxFILE_MAX_PATH)
        return false;
    struct stat st;
    return stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

kxFileRef kxFile_Open(const char* path, unsigned mode)
{
    assert(mode <= kxFileInvalid);
    if (!path || !*path || strnlen(path, kxFILE_MAX_PATH + 1) > kxFILE_MAX_PATH)
        return nullptr;
    const char* modes[] = {"rb", "wb", "ab+"};
    if (mode >= kxFileInvalid)
        return nullptr;
    FILE* stream = fopen(path, modes[mode]);
    if (!stream)
        return nullptr;
    kxFileRef ref = static_cast<kxFileRef>(calloc(1, sizeof(kxFile)));
    if (!ref)
    {
        fclose(stream);
        return nullptr;
    }
    if (mode == kxFileAppend)
        fseeko(stream, 0, SEEK_END);
    ref->stream = stream;
    ref->mode = mode;
    ref->check = kxFILE_CHECK;
    return ref;
}

kxErr kxFile_Close(kxFileRef* ref)
{
    if (!ref)
        return kxErrParam;
    kxFileRef f = *ref;
    *ref = nullptr;
    if (!sValid(f))
        return kxErrParam;
    int rc = fclose(f->stream);
    f->check = 0;
    free(f);
    return rc == 0 ? kxErrNone : kxErrIO;
}

kxErr kxFile_Read(kxFileRef ref, void* buffer, size_t length, size_t* count)
{
    if (count)
        *count = 0;
    if (!sValid(ref) || (!buffer && length))
        return kxErrParam;
    if (!sCanRead(ref))
        return kxErrMode;
    if (length == 0)
        return kxErrNone;
    size_t got = fread(buffer, 1, length, ref->stream);
    if (count)
        *count = got;
    return got == 0 ? kxErrEOF : kxErrNone;
}

kxErr kxFile_Write(kxFileRef ref, const void* buffer, size_t length, size_t* count)
{
    if (count)
        *count = 0;
    if (!sValid(ref) || (!buffer && length))
        return kxErrParam;
    if (!sCanWrite(ref))
        return kxErrMode;
    if (length == 0)
        return kxErrNone;
    size_t put = fwrite(buffer, 1, length, ref->stream);
    if (count)
        *count = put;
    return put == 0 ? kxErrIO : kxErrNone;
}

kxErr kxFile_ReadLine(kxFileRef ref, char* buffer, size_t size, size_t* length)
{
    if (length)
        *length = 0;
    if (size && buffer)
        buffer[0] = '\0';
    if (!sValid(ref) || !buffer || !length)
        return kxErrParam;
    if (!sCanRead(ref))
        return kxErrMode;
    if (size < 2)
        return kxErrOverrun;
    int room = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
    if (!fgets(buffer, room, ref->stream))
    {
        buffer[0] = '\0';
        return feof(ref->stream) ? kxErrEOF : kxErrIO;
    }
    size_t n = strlen(buffer);
    *length = n;
    if (n == size - 1 && buffer[n - 1] != '\n')
        return kxErrOverrun;
    return kxErrNone;
}

kxErr kxFile_Printf(kxFileRef ref, const char* format, ...)
{
    if (!sValid(ref) || !format)
        return kxErrParam;
    if (!sCanWrite(ref))
        return kxErrMode;
    va_list args;
    va_start(args, format);
    int rc = vfprintf(ref->stream, format, args);
    va_end(args);
    return rc < 0 ? kxErrIO : kxErrNone;
}

kxErr kxFile_GetSize(kxFileRef ref, uint64_t* size)
{
    if (!sValid(ref) || !size)
        return kxErrParam;
    *size = 0;
    off_t here = ftello(ref->stream);
    if (here < 0 || fseeko(ref->stream, 0, SEEK_END) != 0)
        return kxErrIO;
    off_t end = ftello(ref->stream);
    if (end < 0 || fseeko(ref->stream, here, SEEK_SET) != 0)
        return kxErrIO;
    *size = static_cast<uint64_t>(end);
    return kxErrNone;
}

kxErr kxFile_Seek(kxFileRef ref, int64_t offset, int origin)
{
    if (!sValid(ref))
        return kxErrParam;
    uint64_t size = 0;
    if (kxFile_GetSize(ref, &size) != kxErrNone)
        return kxErrIO;
    int64_t base = 0;
    if (origin == 1)
    {
        off_t here = ftello(ref->stream);
        if (here < 0)
            return kxErrIO;
        base = here;
    }
    else if (origin == 2)
        base = static_cast<int64_t>(size);
    if ((offset > 0 && base > INT64_MAX - offset))
        return kxErrRange;
    int64_t target = base + offset;
    if (target < 0 || static_cast<uint64_t>(target) > size)
        return kxErrRange;
    return fseeko(ref->stream, static_cast<off_t>(target), SEEK_SET) == 0 ? kxErrNone : kxErrIO;
}

kxErr kxFile_GetPosition(kxFileRef ref, uint64_t* position)
{
    if (!sValid(ref) || !position)
        return kxErrParam;
    off_t here = ftello(ref->stream);
    if (here < 0)
        return kxErrIO;
    if (here > 0)
        *position = static_cast<uint64_t>(here);
    return kxErrNone;
}

kxErr kxFile_SetUnbuffered(kxFileRef ref)
{
    if (!sValid(ref))
        return kxErrParam;
    if (!sCanWrite(ref))
        return kxErrMode;
    return setvbuf(ref->stream, nullptr, _IONBF, 0) == 0 ? kxErrNone : kxErrMode;
}

kxErr kxFile_Sync(kxFileRef ref)
{
    if (!sValid(ref))
        return kxErrParam;
    if (fflush(ref->stream) != 0 || fsync(fileno(ref->stream)) != 0)
        return kxErrIO;
    return kxErrNone;
}

kxErr kxFile_Delete(const char* path)
{
    if (!path)
        return kxErrParam;
    if (strnlen(path, kxFILE_MAX_PATH + 1) > kxFILE_MAX_PATH)
        return kxErrFileNameLength;
    if (unlink(path) == 0)
        return kxErrNone;
    switch (errno)
    {
        case ENOENT:
            return kxErrNotFound;
        case EACCES:
        case EPERM:
            return kxErrPermission;
        default:
            return kxErrIO;
    }
}

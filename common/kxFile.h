// Files behind opaque, tagged references (platform interface, implemented in
// unix/unix_file.cpp over the C library's streams).
#pragma once

#include <lumbrixon/kxError.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define kxFILE_MAX_PATH 1024
#define kxFILE_CHECK 0xFEED

    typedef struct kxFile* kxFileRef;

    typedef enum
    {
        kxFileRead = 0,
        kxFileWrite = 1,
        kxFileAppend = 2,
        kxFileInvalid = 3,
    } kxFileMode;

    bool kxFile_Exists(const char* path);
    kxFileRef kxFile_Open(const char* path, unsigned mode);
    kxErr kxFile_Close(kxFileRef* ref);
    kxErr kxFile_Read(kxFileRef ref, void* buffer, size_t length, size_t* count);
    kxErr kxFile_Write(kxFileRef ref, const void* buffer, size_t length, size_t* count);
    kxErr kxFile_ReadLine(kxFileRef ref, char* buffer, size_t size, size_t* length);
    kxErr kxFile_Printf(kxFileRef ref, const char* format, ...)
        __attribute__((format(printf, 2, 3)));
    kxErr kxFile_GetSize(kxFileRef ref, uint64_t* size);
    kxErr kxFile_Seek(kxFileRef ref, int64_t offset, int origin);
    kxErr kxFile_GetPosition(kxFileRef ref, uint64_t* position);
    kxErr kxFile_SetUnbuffered(kxFileRef ref);
    kxErr kxFile_Delete(const char* path);
    // Flushes buffered output to the operating system and to the disk.
    kxErr kxFile_Sync(kxFileRef ref);

#ifdef __cplusplus
}
#endif

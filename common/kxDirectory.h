// Directory creation, listing, deletion and path joining.
#pragma once

#include "common/kxError.h"
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define kxDIR_PATH_SEP "/"

    typedef struct
    {
        const char* path;
        uint32_t size;
        int32_t isDirectory;
    } kxDirectoryListData;

    typedef bool (*kxDirectoryListCallback)(const kxDirectoryListData* entry, void* reference);

    bool kxDirectory_Exists(const char* path);
    kxErr kxDirectory_Ensure(const char* path, uint16_t mode);
    kxErr kxDirectory_List(const char* path, kxDirectoryListCallback callback, void* reference);
    // Pieces after `first` end with a null pointer; at most 9 of them.
    kxErr kxDirectory_BuildPath(char* destination, size_t size, const char* first, ...);
    kxErr kxDirectory_JoinPath(char* destination, size_t size, const char* first,
                               const char* second);
    kxErr kxDirectory_Delete(const char* path);
    kxErr kxDirectory_DeleteTree(const char* path);
    kxErr kxDirectory_CWD(char* buffer, size_t size);
    kxErr kxDirectory_ExecutableFilePath(char* buffer, uint32_t size);
    kxErr kxDirectory_GetHomeDirectory(char* buffer, size_t size);

#ifdef __cplusplus
}
#endif

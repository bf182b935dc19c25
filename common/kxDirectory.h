// Directories: creation with all missing parents, listing through a callback,
// deletion, path joining and the well-known paths. Joining and creation are
// portable (common/kxDirectory.cpp); the rest is the platform's directory walk
// (unix/unix_directory.cpp).
#pragma once

#include <lumbrixon/kxError.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define kxDIR_PATH_SEP "/"

    // One entry handed to a listing callback; `path` (the directory and the
    // entry name joined) is valid only during the call.
    typedef struct
    {
        const char* path;
        uint32_t size; // low 32 bits of the size in bytes
        int32_t isDirectory;
    } kxDirectoryListData;

    // True to go on listing, false to stop.
    typedef bool (*kxDirectoryListCallback)(const kxDirectoryListData* entry, void* reference);

    bool kxDirectory_Exists(const char* path);
    // Makes sure the directory exists, creating every missing level with the
    // permission bits `mode`; kxErrPermission when a level cannot be made.
    kxErr kxDirectory_Ensure(const char* path, uint16_t mode);
    // Creates one directory; kxErrNone also when path already names a
    // directory, kxErrPermission for any other failure.
    kxErr kxDirectory_Create(const char* path, uint16_t mode);
    // Calls the callback for every entry, "." and ".." included, in the
    // system's order; entries whose status cannot be read are skipped.
    // kxErrNotFound when the directory cannot be opened.
    kxErr kxDirectory_List(const char* path, kxDirectoryListCallback callback, void* reference);
    // Joins the pieces with kxDIR_PATH_SEP where neither side has one. The
    // pieces after `first` end with a null pointer; at most 9 of them.
    kxErr kxDirectory_BuildPath(char* destination, size_t size, const char* first, ...);
    kxErr kxDirectory_JoinPath(char* destination, size_t size, const char* first,
                               const char* second);
    // Removes an empty directory; kxErrUnknown on any failure.
    kxErr kxDirectory_Delete(const char* path);
    // Removes a directory with everything below it.
    kxErr kxDirectory_DeleteTree(const char* path);
    kxErr kxDirectory_CWD(char* buffer, size_t size);
    kxErr kxDirectory_ExecutableFilePath(char* buffer, uint32_t size);
    // The password database's home directory of the user, else "HOME".
    kxErr kxDirectory_GetHomeDirectory(char* buffer, size_t size);

#ifdef __cplusplus
}
#endif

// Directories through the POSIX file system interface: existence, one level
// of creation, listing, deletion and the well-known paths.
#include <lumbrixon/kxDirectory.h>
#include "unix_directory_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

bool kxDirectory_Exists(const char* path)
{
    struct stat st;
    return path && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

kxErr kxDirectory_Create(const char* path, uint16_t mode)
{
    if (!path || !*path)
        return kxErrParam;
    if (kxDirectory_Exists(path))
        return kxErrNone;
    if (mkdir(path, mode) == 0 || (errno == EEXIST && kxDirectory_Exists(path)))
        return kxErrNone;
    return kxErrPermission;
}

kxErr kxDirectory_List(const char* path, kxDirectoryListCallback callback, void* reference)
{
    if (!path || !callback)
        return kxErrParam;
    DIR* dir = opendir(path);
    if (!dir)
        return kxErrNotFound;
    char entryPath[2048];
    for (struct dirent* entry = readdir(dir); entry; entry = readdir(dir))
    {
        if (kxDirectory_JoinPath(entryPath, sizeof entryPath, path, entry->d_name) != kxErrNone)
            continue;
        struct stat st;
        if (stat(entryPath, &st) != 0)
            continue;
        kxDirectoryListData data;
        data.path = entryPath;
        data.size = static_cast<uint32_t>(st.st_size);
        data.isDirectory = S_ISDIR(st.st_mode) ? 1 : 0;
        if (!callback(&data, reference))
            break;
    }
    closedir(dir);
    return kxErrNone;
}

kxErr kxDirectory_Delete(const char* path)
{
    return path && rmdir(path) == 0 ? kxErrNone : kxErrUnknown;
}

kxErr kxDirectory_DeleteTree(const char* path)
{
    if (!path)
        return kxErrParam;
    DIR* dir = opendir(path);
    if (!dir)
        return kxErrNotFound;
    kxErr result = kxErrNone;
    char entryPath[2048];
    for (struct dirent* entry = readdir(dir); entry && result == kxErrNone; entry = readdir(dir))
    {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        if (kxDirectory_JoinPath(entryPath, sizeof entryPath, path, entry->d_name) != kxErrNone)
            continue;
        struct stat st;
        if (lstat(entryPath, &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            result = kxDirectory_DeleteTree(entryPath);
        else if (unlink(entryPath) != 0)
        {
            perror("kxDirectory_DeleteTree");
            printf("---error unlink-ing file [%s]\n", entryPath);
            result = kxErrUnknown;
        }
    }
    closedir(dir);
    return rmdir(path) == 0 ? kxErrNone : kxErrUnknown;
}

kxErr kxDirectory_CWD(char* buffer, size_t size)
{
    if (!buffer || size == 0 || !getcwd(buffer, size))
        return kxErrParam;
    return kxErrNone;
}

kxErr kxDirectory_ExecutableFilePath(char* buffer, uint32_t size)
{
    if (!buffer || size == 0)
        return kxErrRead;
    ssize_t n = readlink("/proc/self/exe", buffer, size);
    if (n <= 0 || static_cast<uint32_t>(n) >= size)
    {
        buffer[0] = '\0';
        return kxErrRead;
    }
    buffer[n] = '\0';
    return kxErrNone;
}

kxErr kxDirectory_ChooseHome(const char* passwordHome, const char* environmentHome, char* buffer,
                             size_t size)
{
    if (!buffer || size == 0)
        return kxErrParam;
    buffer[0] = '\0';
    const char* home = passwordHome && *passwordHome ? passwordHome : environmentHome;
    if (!home || !*home)
        return kxErrNotFound;
    size_t length = strlen(home);
    if (length >= size)
        return kxErrOverrun;
    memcpy(buffer, home, length + 1);
    return kxErrNone;
}

// The password database entry of the current user comes first, then "HOME".
kxErr kxDirectory_GetHomeDirectory(char* buffer, size_t size)
{
    struct passwd entry;
    struct passwd* found = nullptr;
    char scratch[4096];
    const char* passwordHome = nullptr;
    if (getpwuid_r(getuid(), &entry, scratch, sizeof scratch, &found) == 0 && found)
        passwordHome = found->pw_dir;
    return kxDirectory_ChooseHome(passwordHome, getenv("HOME"), buffer, size);
}

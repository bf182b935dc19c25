// Directory creation, listing, deletion, path joining and well-known paths.
#include "common/kxDirectory.h"
#include "common/kxDirectory_internal.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

bool kxDirectory_Exists(const char* path)
{
    struct stat st;
    return path && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates one directory level; an existing directory is fine.
static kxErr sMakeLevel(const std::string& path, uint16_t mode)
{
    if (path.empty() || kxDirectory_Exists(path.c_str()))
        return kxErrNone;
    if (mkdir(path.c_str(), mode) == 0 || (errno == EEXIST && kxDirectory_Exists(path.c_str())))
        return kxErrNone;
    return kxErrPermission;
}

kxErr kxDirectory_Ensure(const char* path, uint16_t mode)
{
    if (!path || !*path)
        return kxErrParam;
    if (kxDirectory_Exists(path))
        return kxErrNone;

    // Find the deepest existing ancestor. When none exists, every level is made.
    std::string full(path);
    size_t start = 0;
    for (size_t cut = full.find_last_of('/'); cut != std::string::npos && cut > 0;
         cut = full.find_last_of('/', cut - 1))
    {
        if (kxDirectory_Exists(full.substr(0, cut).c_str()))
        {
            start = cut;
            break;
        }
    }

    // Walk forward from there, separator by separator.
    for (size_t sep = full.find('/', start + 1); sep != std::string::npos;
         sep = full.find('/', sep + 1))
    {
        if (sep == 0 || full[sep - 1] == '/')
            continue;
        kxErr rc = sMakeLevel(full.substr(0, sep), mode);
        if (rc != kxErrNone)
            return rc;
    }
    return sMakeLevel(full, mode);
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

static kxErr sBuildPath(char* destination, size_t size, const char* first, va_list args)
{
    if (!destination || size == 0)
        return kxErrParam;
    destination[0] = '\0';
    if (!first || first == destination)
        return kxErrParam;

    const char* pieces[10];
    size_t count = 0;
    for (const char* p = va_arg(args, const char*); p; p = va_arg(args, const char*))
    {
        if (p == destination || count == 9)
            return kxErrParam;
        pieces[count++] = p;
    }

    size_t length = strlen(first);
    if (length >= size - 1)
        return kxErrOverrun;
    memcpy(destination, first, length + 1);

    const size_t sepLength = strlen(kxDIR_PATH_SEP);
    for (size_t i = 0; i < count; ++i)
    {
        const char* piece = pieces[i];
        size_t room = size - length - 1;
        bool endsWithSep = length > 0 && destination[length - 1] == kxDIR_PATH_SEP[0];
        if (room >= 2 && !endsWithSep && piece[0] != kxDIR_PATH_SEP[0])
        {
            memcpy(destination + length, kxDIR_PATH_SEP, sepLength + 1);
            length += sepLength;
            room -= sepLength;
        }
        size_t pieceLength = strlen(piece);
        if (pieceLength >= room)
            return kxErrOverrun;
        memcpy(destination + length, piece, pieceLength + 1);
        length += pieceLength;
    }
    return kxErrNone;
}

kxErr kxDirectory_BuildPath(char* destination, size_t size, const char* first, ...)
{
    va_list args;
    va_start(args, first);
    kxErr rc = sBuildPath(destination, size, first, args);
    va_end(args);
    return rc;
}

kxErr kxDirectory_JoinPath(char* destination, size_t size, const char* first, const char* second)
{
    return kxDirectory_BuildPath(destination, size, first, second,
                                 static_cast<const char*>(nullptr));
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

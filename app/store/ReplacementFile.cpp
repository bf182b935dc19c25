#include "app/store/ReplacementFile.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
std::atomic<unsigned> _temporaryCounter{0};

std::string _directory_of(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// Makes the rename itself durable; a directory that cannot be synced only
// weakens the guarantee against power loss, so failures are ignored.
void _sync_directory(const std::string& directory)
{
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    (void)::fsync(fd);
    ::close(fd);
}
// The process id in a temporary name ".<name>.tmp-<pid>-<n>", or 0 when the
// name is not one.
long _temporary_owner(const char* entry)
{
    if (entry[0] != '.')
        return 0;
    const char* tag = strstr(entry, ".tmp-");
    const char* last = nullptr;
    // The last ".tmp-" counts: the target's own name may hold one.
    while (tag != nullptr)
    {
        last = tag;
        tag = strstr(tag + 1, ".tmp-");
    }
    if (last == nullptr || last == entry)
        return 0;
    char* end = nullptr;
    const long pid = strtol(last + 5, &end, 10);
    if (pid <= 0 || *end != '-' || end[1] == '\0')
        return 0;
    const char* counter = end + 1;
    strtoul(counter, &end, 10);
    return *end == '\0' ? pid : 0;
}

// A process that wrote a temporary file and was killed before it could remove
// it left the file behind: every such file of a process that no longer
// exists is removed. Files of live processes (this one included) stay.
void _remove_stale_temporaries(const std::string& directory)
{
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr)
        return;
    const long self = static_cast<long>(::getpid());
    while (const struct dirent* entry = readdir(dir))
    {
        const long owner = _temporary_owner(entry->d_name);
        if (owner == 0 || owner == self)
            continue;
        if (::kill(static_cast<pid_t>(owner), 0) == 0 || errno != ESRCH)
            continue;
        const std::string path = directory + "/" + entry->d_name;
        struct stat info;
        if (::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode))
            (void)::unlink(path.c_str());
    }
    closedir(dir);
}
} // namespace

ReplacementFile::ReplacementFile(const std::string& path)
    : path(path), temporaryPath(TemporaryPathFor(path))
{
}

ReplacementFile::~ReplacementFile()
{
    Discard();
}

std::string ReplacementFile::TemporaryPathFor(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string head = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    char suffix[48];
    snprintf(suffix, sizeof suffix, ".tmp-%ld-%u", static_cast<long>(::getpid()),
             _temporaryCounter.fetch_add(1));
    return head + "." + name + suffix;
}

kxErr ReplacementFile::Open()
{
    if (file != nullptr)
        return kxErrNone;
    _remove_stale_temporaries(_directory_of(path));
    errno = 0;
    file = kxFile_Open(temporaryPath.c_str(), kxFileWrite);
    if (file == nullptr)
    {
        systemError = errno;
        return kxErrNotFound;
    }
    pending = true;
    return kxErrNone;
}

kxErr ReplacementFile::Commit()
{
    if (file == nullptr)
        return kxErrIO;
    errno = 0;
    const kxErr synced = kxFile_Sync(file);
    if (synced != kxErrNone)
        systemError = errno;
    errno = 0;
    const kxErr closed = kxFile_Close(&file);
    if (closed != kxErrNone && systemError == 0)
        systemError = errno;
    if (synced != kxErrNone || closed != kxErrNone)
    {
        Discard();
        return kxErrIO;
    }
    if (::rename(temporaryPath.c_str(), path.c_str()) != 0)
    {
        systemError = errno;
        Discard();
        return kxErrIO;
    }
    pending = false;
    _sync_directory(_directory_of(path));
    return kxErrNone;
}

void ReplacementFile::Discard()
{
    if (file != nullptr)
        kxFile_Close(&file);
    if (pending)
        (void)::unlink(temporaryPath.c_str());
    pending = false;
}

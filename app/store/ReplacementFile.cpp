#include "app/store/ReplacementFile.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
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
    const kxErr closed = kxFile_Close(&file);
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

// A file replaced as a whole: the new contents go to a hidden temporary file in
// the same directory, which is flushed, synced and then renamed over the old
// file. A crash, a full disk or any other failure before the rename leaves the
// previous file untouched.
#pragma once

#include <lumbrixon/kxError.h>
#include <lumbrixon/kxFile.h>

#include <string>

class ReplacementFile
{
public:
    explicit ReplacementFile(const std::string& path);
    // Removes the temporary file unless Commit succeeded.
    ~ReplacementFile();

    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // Creates the temporary file, after removing those that processes which
    // no longer run left in the directory. kxErrNotFound when it cannot be created;
    // SystemError() then holds the system's error number.
    kxErr Open();
    // The open temporary file, or null.
    kxFileRef File() const { return file; }
    // Flushes, syncs and closes the temporary file and renames it over the
    // target. kxErrIO on any failure; the temporary file is then removed.
    kxErr Commit();
    // Drops the temporary file; the target stays as it was.
    void Discard();

    const std::string& Path() const { return path; }
    const std::string& TemporaryPath() const { return temporaryPath; }
    int SystemError() const { return systemError; }

    // The hidden sibling used for `path`: "<dir>/.<name>.tmp-<pid>-<n>".
    static std::string TemporaryPathFor(const std::string& path);

private:
    std::string path;
    std::string temporaryPath;
    kxFileRef file = nullptr;
    // The temporary file exists on disk and is ours to remove.
    bool pending = false;
    int systemError = 0;
};

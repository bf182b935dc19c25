// Feeds arbitrary bytes to KeyValueStore::Load as a settings file and checks
// that what Save writes loads back to a set that saves unchanged.
#include "app/store/KeyValueStore.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace
{
const char* const _FILES[] = {"input", "first", "second"};
// Plain storage: it must outlive the exit handler that cleans up.
char _directory[512];

void _remove_work_directory()
{
    for (const char* name : _FILES)
        unlink((std::string(_directory) + "/" + name).c_str());
    rmdir(_directory);
}

std::string _work_directory()
{
    if (_directory[0] == '\0')
    {
        // Saves sync the file; a memory file system keeps that cheap.
        const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
        snprintf(_directory, sizeof _directory, "%s/fuzz-kvs-XXXXXX",
                 base != nullptr && base[0] != '\0' ? base : "/tmp");
        if (mkdtemp(_directory) == nullptr)
            abort();
        atexit(_remove_work_directory);
    }
    return _directory;
}

bool _write_all(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    const bool written = fwrite(data, 1, size, file) == size;
    return fclose(file) == 0 && written;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input = _work_directory() + "/input";
    const std::string first = _work_directory() + "/first";
    const std::string second = _work_directory() + "/second";
    if (!_write_all(input, data, size))
        abort();

    KeyValueStore loaded(input.c_str());
    if (loaded.IsModified())
        abort();
    for (const auto& [key, value] : loaded.Entries())
    {
        if (key.empty() || value.find('\n') != std::string::npos)
            abort();
    }
    // The getters must cope with any text.
    KeyValueStore probe(loaded);
    for (const auto& entry : loaded.Entries())
    {
        const char* key = entry.first.c_str();
        (void)probe.GetInt(key, 0);
        (void)probe.GetHex(key, 0);
        (void)probe.GetBOOL(key, false);
        (void)probe.GetDouble(key, 0.0);
    }

    if (!loaded.Save(first.c_str()))
        abort();
    KeyValueStore once(first.c_str());
    if (!once.Save(second.c_str()))
        abort();
    KeyValueStore twice(second.c_str());
    if (once.Entries() != twice.Entries())
        abort();
    return 0;
}

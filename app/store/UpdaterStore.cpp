#include "app/store/UpdaterStore.h"

#include "app/BuildPath.h"
#include "app/Log.h"
#include "app/store/ReplacementFile.h"
#include <lumbrixon/kxDirectory.h>
#include <lumbrixon/kxFile.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace
{
constexpr uint16_t _DIRECTORY_MODE = 0755;

// The search handed to the listing callback when looking for one entry.
struct result_t
{
    bool found = false;
    std::string needle;
    UpdaterStoreItem* item = nullptr;
    // Only directories count (a device entry is one).
    bool directoriesOnly = false;
};

std::string _serial_text(unsigned int serialNumber)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", serialNumber);
    return text;
}

// The entry's own name: what follows the last separator of its path.
std::string _entry_name(const char* path)
{
    const std::string full(path);
    const size_t slash = full.rfind('/');
    return slash == std::string::npos ? full : full.substr(slash + 1);
}

// A single path component that stays inside the directory it is joined to.
bool _is_plain_name(const char* name)
{
    if (name == nullptr || name[0] == '\0')
        return false;
    const std::string text(name);
    return text != "." && text != ".." && text.find('/') == std::string::npos;
}

void _ensure_directory(const std::string& path)
{
    if (kxDirectory_Exists(path.c_str()))
    {
        Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
        return;
    }
    if (kxFile_Exists(path.c_str()))
        throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");

    kxErr result = kxDirectory_Ensure(path.c_str(), _DIRECTORY_MODE);
    // Something in the way that is neither a file nor a directory (a dangling
    // link, say) may let the creation pass without a directory to show for it.
    if (result == kxErrNone && !kxDirectory_Exists(path.c_str()))
        result = kxErrNotFound;
    if (result != kxErrNone)
    {
        throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                                 std::to_string(result));
    }
    Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
}

bool _find_item(const kxDirectoryListData* entry, void* reference)
{
    result_t* result = static_cast<result_t*>(reference);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
             static_cast<int>(entry->isDirectory), static_cast<int>(entry->size),
             result->needle.c_str());

    const std::string name = _entry_name(entry->path);
    if (name == "." || name == "..")
        return true;
    // The entry's whole name must be the needle: "old-40F5849A.txt" or
    // "40F5849A.old" are not the device 40F5849A.
    if (name != result->needle || (result->directoriesOnly && !entry->isDirectory))
        return true;

    result->found = true;
    if (result->item != nullptr)
    {
        const std::string full(entry->path);
        const std::string base = full.substr(0, full.size() - name.size() - 1);
        *result->item =
            UpdaterStoreItem(base.c_str(), name.c_str(),
                             entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    }
    return false;
}

struct _items_search
{
    std::string directory;
    std::vector<UpdaterStoreItem>* items;
};

bool _find_items(const kxDirectoryListData* entry, void* reference)
{
    _items_search* search = static_cast<_items_search*>(reference);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path,
             static_cast<int>(entry->isDirectory), static_cast<int>(entry->size));

    const std::string name = _entry_name(entry->path);
    if (name.empty() || name[0] == '.')
        return true;
    search->items->emplace_back(search->directory.c_str(), name.c_str(),
                                entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    return true;
}

bool _find_one(const std::string& directory, const char* needle, UpdaterStoreItem* item,
               bool directoriesOnly)
{
    result_t result;
    result.directoriesOnly = directoriesOnly;
    // An empty needle would match whatever entry the listing offers first.
    if (needle != nullptr && needle[0] != '\0')
    {
        result.needle = needle;
        result.item = item;
        kxDirectory_List(directory.c_str(), _find_item, &result);
    }
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n",
             result.found ? "Found" : "Not Found", needle == nullptr ? "" : needle);
    return result.found;
}
} // namespace

// ---------------------------------------------------------------------------

UpdaterStoreItem::UpdaterStoreItem(const char* basePath, const char* name, store_item_t type)
    : basePath(basePath == nullptr ? "" : basePath), name(name == nullptr ? "" : name), type(type)
{
    // Without both parts the settings path would point outside the store.
    if (IsValid())
        settings.Load(BuildPath(this->basePath.c_str(), this->name.c_str(),
                                KeyValueStore::DEFAULT_FILENAME, nullptr)
                          .c_str());
}

std::string UpdaterStoreItem::FullPath() const
{
    return BuildPath(basePath.c_str(), name.c_str(), nullptr);
}

bool UpdaterStoreItem::FileExists(const char* fileName) const
{
    if (!IsValid())
    {
        Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", "Not Found",
                 fileName == nullptr ? "" : fileName);
        return false;
    }
    return _find_one(FullPath(), fileName, nullptr, false);
}

kxErr UpdaterStoreItem::WriteFile(const char* fileName, const unsigned char* data,
                                  unsigned long length, int* systemError) const
{
    int ignored = 0;
    int& error = systemError != nullptr ? *systemError : ignored;
    error = 0;
    if (data == nullptr || !IsValid())
        return kxErrNotFound;
    if (!_is_plain_name(fileName))
        return kxErrParam;

    ReplacementFile out(BuildPath(basePath.c_str(), name.c_str(), fileName, nullptr));
    if (out.Open() != kxErrNone)
    {
        error = out.SystemError();
        return kxErrNotFound;
    }
    size_t written = 0;
    errno = 0;
    kxErr result = kxFile_Write(out.File(), data, length, &written);
    if (result == kxErrNone && written != length)
        result = kxErrIO;
    if (result != kxErrNone)
    {
        error = errno;
        return result;
    }
    result = out.Commit();
    if (result != kxErrNone)
        error = out.SystemError();
    return result;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* fileName) const
{
    const std::string path =
        BuildPath(basePath.c_str(), name.c_str(), fileName == nullptr ? "" : fileName, nullptr);
    if (fileName == nullptr || !BirdFile::VerifyFile(path.c_str()))
        throw std::runtime_error("Invalid bird " + path);
    return BirdFile(path.c_str());
}

// ---------------------------------------------------------------------------

UpdaterStore::UpdaterStore(const char* root) : root(root == nullptr ? "" : root)
{
    if (this->root.empty())
        throw std::runtime_error("UpdaterStore: Could not create directory  error " +
                                 std::to_string(kxErrParam));
    _ensure_directory(this->root);
}

UpdaterStoreItem UpdaterStore::AddDevice(unsigned int serialNumber)
{
    return AddDevice(_serial_text(serialNumber).c_str());
}

UpdaterStoreItem UpdaterStore::AddDevice(const char* name)
{
    if (!_is_plain_name(name))
        throw std::runtime_error(std::string("UpdaterStore: invalid device name [") +
                                 (name == nullptr ? "" : name) + "]");
    _ensure_directory(BuildPath(root.c_str(), name, nullptr));
    return UpdaterStoreItem(root.c_str(), name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(const char* name, UpdaterStoreItem* item) const
{
    return _find_one(root, name, item, true);
}

bool UpdaterStore::FindDevice(unsigned int serialNumber, UpdaterStoreItem* item) const
{
    return FindDevice(_serial_text(serialNumber).c_str(), item);
}

bool UpdaterStore::FindLocalBuilds(unsigned int serialNumber,
                                   std::vector<UpdaterStoreItem>& items) const
{
    _items_search search{BuildPath(root.c_str(), _serial_text(serialNumber).c_str(), nullptr),
                         &items};
    if (kxDirectory_Exists(search.directory.c_str()))
        kxDirectory_List(search.directory.c_str(), _find_items, &search);
    return true;
}

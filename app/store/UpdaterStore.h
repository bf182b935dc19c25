// The firmware store: one directory per device under a root, each holding the
// device's BIRD files and a ".settings" file with its download and transfer
// history.
#pragma once

#include "app/firmware/BirdFile.h"
#include "app/store/KeyValueStore.h"
#include <lumbrixon/kxError.h>

#include <cstdint>
#include <string>
#include <vector>

enum store_item_t : uint8_t
{
    STORE_ITEM_FILE = 0,
    STORE_ITEM_DIRECTORY = 1,
    STORE_ITEM_NONE = 2,
};

// One entry of the store (a device directory, a build directory or a file)
// with the settings kept in <basePath>/<name>/.settings.
class UpdaterStoreItem
{
public:
    UpdaterStoreItem() = default;
    // Loads the entry's settings; a directory's missing settings file is created.
    UpdaterStoreItem(const char* basePath, const char* name, store_item_t type);
    UpdaterStoreItem(const UpdaterStoreItem&) = default;
    UpdaterStoreItem& operator=(const UpdaterStoreItem&) = default;

    bool IsValid() const { return !basePath.empty() && !name.empty(); }
    // <basePath>/<name>
    std::string FullPath() const;

    // True when the entry's directory holds an entry named fileName.
    bool FileExists(const char* fileName) const;
    // Replaces <basePath>/<name>/<fileName> with data as a whole: an earlier
    // file stays intact unless the new one was written completely. kxErrNotFound
    // for null data or a file that cannot be created, kxErrParam for a name
    // that is not a plain file name, kxErrIO when writing fails. On a failure
    // *systemError (when given) receives the system's error number, 0 if none.
    kxErr WriteFile(const char* fileName, const unsigned char* data, unsigned long length,
                    int* systemError = nullptr) const;
    // Loads <basePath>/<name>/<fileName>; throws std::runtime_error
    // "Invalid bird <path>" when the file is not a BIRD file, and passes on
    // the loader's own error.
    BirdFile ReadBirdFile(const char* fileName) const;

    std::string basePath;
    std::string name;
    store_item_t type = STORE_ITEM_NONE;
    KeyValueStore settings;
};

class UpdaterStore
{
public:
    // Makes sure the root directory exists; throws std::runtime_error when it
    // cannot be created or is a file.
    explicit UpdaterStore(const char* root);

    const char* BasePath() const { return root.c_str(); }

    // Finds or creates the device's directory (named "%08X" for a serial
    // number); throws like the constructor. Names that are not a single plain
    // path component are refused with std::runtime_error.
    UpdaterStoreItem AddDevice(unsigned int serialNumber);
    UpdaterStoreItem AddDevice(const char* name);

    // Looks for a directory of the root named exactly `name`; fills item when
    // one is found and item is given.
    bool FindDevice(const char* name, UpdaterStoreItem* item) const;
    bool FindDevice(unsigned int serialNumber, UpdaterStoreItem* item) const;

    // Appends one item per visible entry of the device's directory; always true.
    bool FindLocalBuilds(unsigned int serialNumber, std::vector<UpdaterStoreItem>& items) const;

private:
    std::string root;
};

// The firmware directory served by the local update server.
//
//   DIR/<SERIAL>/<build>.bird        builds for one device (serial as 8
//                                    upper-case hexadecimal digits)
//   DIR/<SERIAL>/unlisted/<build>.bird  served on request, left out of the
//                                    build list and of the latest build
//   DIR/models/<MODEL>/<build>.bird  builds for every device of that model
//   DIR/devices                      lines "SERIAL MODEL [FEATURE...]"
//   DIR/fingerprints                 lines "W0 W1 W2 W3 SERIAL BUILD"
//
// Lines starting with "#" and empty lines of the two tables are ignored. The
// builds of each directory are indexed once (their versions read from the
// files) and indexed again when the directory or one of its files changes, so
// tests may change it while the server runs; the two tables are read afresh.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct CatalogBuild
{
    unsigned int build = 0;
    std::string version; // from the file's identity block
    std::string source;  // the serial or model directory it came from
    std::string path;
};

struct CatalogDevice
{
    std::string serial; // 8 upper-case hexadecimal digits
    std::string model;
    std::vector<std::string> features;
};

class Catalog
{
public:
    explicit Catalog(std::string directory) : root(std::move(directory)) {}

    // The device's entry in DIR/devices; a device known only by its build
    // directory has an empty model.
    std::optional<CatalogDevice> FindDevice(const std::string& serial) const;
    // Every build offered to the device, by build number; a device's own
    // build shadows a model build of the same number.
    std::map<unsigned int, CatalogBuild> Builds(const std::string& serial,
                                                bool withUnlisted = false) const;
    // The newest build by version (ties: the higher build number).
    std::optional<CatalogBuild> Latest(const std::string& serial) const;
    // "SERIAL BUILD" texts for a fingerprint given as four hexadecimal words.
    std::optional<std::pair<std::string, std::string>>
    Recovery(const std::vector<std::string>& words) const;

private:
    // One build file as last seen, with what its identity block said.
    struct IndexedFile
    {
        unsigned int build = 0;
        std::string path;
        off_t size = 0;
        timespec changed{};
        std::optional<std::string> version; // none: not a readable BIRD file
    };
    // One build directory as last listed.
    struct DirectoryIndex
    {
        bool exists = false;
        timespec changed{};
        std::vector<IndexedFile> files;
    };

    // Adds the builds of one directory, indexing it first when it changed.
    void AddBuilds(std::map<unsigned int, CatalogBuild>& builds, const std::string& directory,
                   const std::string& source) const;

    std::string root;
    // Threads: every handler thread of the server reads and refreshes the
    // index through AddBuilds, holding indexLock for the whole look-up (it
    // is the only lock; nothing else is called with it held but file reads).
    mutable std::unique_ptr<std::mutex> indexLock = std::make_unique<std::mutex>();
    mutable std::map<std::string, DirectoryIndex> index;
};

// The version text of a BIRD file's identity block (up to 15 characters,
// ending at the first space), or nothing when the file cannot be read.
std::optional<std::string> ReadBirdVersion(const std::string& path);
// The file's bytes, or nothing.
std::optional<std::string> ReadWholeFile(const std::string& path);
// A serial number text as 8 upper-case hexadecimal digits, or nothing when it
// is not one.
std::optional<std::string> NormaliseSerial(const std::string& text);

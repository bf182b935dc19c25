// The firmware directory served by the local update server.
#include "Catalog.h"

#include "app/firmware/BirdFile.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace
{
std::vector<std::string> _listDirectory(const std::string& path)
{
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr)
    {
        return names;
    }
    while (struct dirent* entry = readdir(dir))
    {
        if (entry->d_name[0] != '.')
        {
            names.emplace_back(entry->d_name);
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// "<digits>.bird" gives the build number.
bool _buildNumber(const std::string& name, unsigned int& build)
{
    const std::string suffix = ".bird";
    if (name.size() <= suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
    {
        return false;
    }
    std::string stem = name.substr(0, name.size() - suffix.size());
    if (stem.empty() || stem.size() > 9 ||
        !std::all_of(stem.begin(), stem.end(), [](char c) { return isdigit((unsigned char)c); }))
    {
        return false;
    }
    build = static_cast<unsigned int>(std::stoul(stem));
    return true;
}

bool _same_time(const timespec& a, const timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::vector<std::vector<std::string>> _table(const std::string& path)
{
    std::vector<std::vector<std::string>> rows;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
    {
        std::istringstream words(line);
        std::vector<std::string> row;
        std::string word;
        while (words >> word)
        {
            row.push_back(word);
        }
        if (!row.empty() && row[0][0] != '#')
        {
            rows.push_back(row);
        }
    }
    return rows;
}

// Versions that are not three numbers count as older than any that are.
bool _older(const std::string& a, const std::string& b)
{
    auto parse = [](const std::string& text, long out[3])
    { return sscanf(text.c_str(), "%ld.%ld.%ld", &out[0], &out[1], &out[2]) == 3; };
    long va[3] = {0, 0, 0};
    long vb[3] = {0, 0, 0};
    bool okA = parse(a, va);
    bool okB = parse(b, vb);
    if (okA != okB)
    {
        return !okA;
    }
    return std::lexicographical_compare(va, va + 3, vb, vb + 3);
}

} // namespace

std::optional<std::string> ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
    {
        return std::nullopt;
    }
    std::ostringstream data;
    data << in.rdbuf();
    return data.str();
}

std::optional<std::string> ReadBirdVersion(const std::string& path)
{
    std::optional<std::string> file = ReadWholeFile(path);
    if (!file)
    {
        return std::nullopt;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(file->data());
    BirdFile bird;
    if (!BirdFile::VerifyHeader(bytes, file->size()) || !bird.LoadBytes(bytes, file->size()))
    {
        return std::nullopt;
    }
    return bird.GetVersion();
}

std::optional<std::string> NormaliseSerial(const std::string& text)
{
    if (text.empty() || text.size() > 8 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return isxdigit((unsigned char)c); }))
    {
        return std::nullopt;
    }
    char out[16];
    snprintf(out, sizeof out, "%08lX", std::stoul(text, nullptr, 16));
    return std::string(out);
}

std::optional<CatalogDevice> Catalog::FindDevice(const std::string& serial) const
{
    for (const auto& row : _table(root + "/devices"))
    {
        std::optional<std::string> normal = NormaliseSerial(row[0]);
        if (normal && *normal == serial)
        {
            CatalogDevice device{serial, row.size() > 1 ? row[1] : "", {}};
            device.features.assign(row.begin() + std::min<size_t>(2, row.size()), row.end());
            return device;
        }
    }
    struct stat info;
    if (stat((root + "/" + serial).c_str(), &info) == 0 && S_ISDIR(info.st_mode))
    {
        return CatalogDevice{serial, "", {}};
    }
    return std::nullopt;
}

void Catalog::AddBuilds(std::map<unsigned int, CatalogBuild>& builds, const std::string& directory,
                        const std::string& source) const
{
    std::lock_guard<std::mutex> hold(*indexLock);
    DirectoryIndex& entry = index[directory];
    struct stat info;
    const bool exists = stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    if (!exists)
    {
        entry = DirectoryIndex{};
        return;
    }
    if (!entry.exists || !_same_time(entry.changed, info.st_mtim))
    {
        // Listed again; files seen before keep what was read from them.
        std::vector<IndexedFile> files;
        for (const std::string& name : _listDirectory(directory))
        {
            unsigned int number = 0;
            if (!_buildNumber(name, number))
            {
                continue;
            }
            IndexedFile file;
            file.build = number;
            file.path = directory + "/" + name;
            file.size = -1;
            for (const IndexedFile& old : entry.files)
            {
                if (old.path == file.path)
                {
                    file = old;
                }
            }
            files.push_back(file);
        }
        entry.exists = true;
        entry.changed = info.st_mtim;
        entry.files = std::move(files);
    }
    for (IndexedFile& file : entry.files)
    {
        struct stat fileInfo;
        if (stat(file.path.c_str(), &fileInfo) != 0 || !S_ISREG(fileInfo.st_mode))
        {
            continue;
        }
        if (file.size != fileInfo.st_size || !_same_time(file.changed, fileInfo.st_mtim))
        {
            file.size = fileInfo.st_size;
            file.changed = fileInfo.st_mtim;
            file.version = ReadBirdVersion(file.path);
            if (!file.version)
            {
                fprintf(stderr, "update-server: skipping unreadable BIRD file %s\n",
                        file.path.c_str());
            }
        }
        if (file.version && builds.count(file.build) == 0)
        {
            builds[file.build] = CatalogBuild{file.build, *file.version, source, file.path};
        }
    }
}

std::map<unsigned int, CatalogBuild> Catalog::Builds(const std::string& serial,
                                                     bool withUnlisted) const
{
    std::map<unsigned int, CatalogBuild> builds;
    AddBuilds(builds, root + "/" + serial, serial);
    if (withUnlisted)
    {
        AddBuilds(builds, root + "/" + serial + "/unlisted", serial);
    }
    std::optional<CatalogDevice> device = FindDevice(serial);
    if (device && !device->model.empty() && device->model.find('/') == std::string::npos &&
        device->model[0] != '.')
    {
        AddBuilds(builds, root + "/models/" + device->model, device->model);
    }
    return builds;
}

std::optional<CatalogBuild> Catalog::Latest(const std::string& serial) const
{
    std::optional<CatalogBuild> latest;
    for (const auto& [number, build] : Builds(serial))
    {
        if (!latest || !_older(build.version, latest->version))
        {
            latest = build;
        }
    }
    return latest;
}

std::optional<std::pair<std::string, std::string>>
Catalog::Recovery(const std::vector<std::string>& words) const
{
    if (words.size() != 4)
    {
        return std::nullopt;
    }
    for (const auto& row : _table(root + "/fingerprints"))
    {
        if (row.size() < 6)
        {
            continue;
        }
        bool match = true;
        for (size_t i = 0; i < 4 && match; ++i)
        {
            std::optional<std::string> a = NormaliseSerial(row[i]);
            std::optional<std::string> b = NormaliseSerial(words[i]);
            match = a && b && *a == *b;
        }
        if (match)
        {
            return std::make_pair(row[4], row[5]);
        }
    }
    return std::nullopt;
}

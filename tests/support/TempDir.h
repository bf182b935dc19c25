// A fresh directory under $TMPDIR (or /tmp) for one test, removed with
// everything in it when the test is done.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

class TempDir
{
public:
    TempDir()
    {
        std::string base = std::filesystem::temp_directory_path().string() + "/kxtest-XXXXXX";
        std::vector<char> pattern(base.begin(), base.end());
        pattern.push_back('\0');
        if (mkdtemp(pattern.data()) == nullptr)
        {
            perror("mkdtemp");
            abort();
        }
        dir = pattern.data();
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return dir; }
    std::string operator/(const std::string& name) const { return dir + "/" + name; }
    std::string sub(const std::string& name) const { return dir + "/" + name; }
    // Creates a subdirectory (with its parents) and returns its path.
    std::string mkdir(const std::string& name) const
    {
        std::string made = sub(name);
        std::filesystem::create_directories(made);
        return made;
    }

private:
    std::string dir;
};

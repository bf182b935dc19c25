#pragma once

#include "common/kxDirectory.h"

#include <cstdlib>
#include <string>

// A directory under TMPDIR for one test, removed with everything in it.
struct TempDir
{
    std::string path;
    TempDir()
    {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/kxtest.XXXXXX";
        char* made = mkdtemp(pattern.data());
        path = made ? made : "";
    }
    ~TempDir()
    {
        if (!path.empty())
            kxDirectory_DeleteTree(path.c_str());
    }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

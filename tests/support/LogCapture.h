// Captures the diagnostic log for one test: while it lives, the log goes to a
// temporary file with the given package mask; the previous output and mask
// come back when it ends.
#pragma once

#include "app/Log.h"

#include <cstdio>
#include <string>

class LogCapture
{
public:
    explicit LogCapture(unsigned mask)
        : file(std::tmpfile()), savedOutput(Log::fh), savedMask(Log::package_bitmask)
    {
        Log::SetOutput(file);
        Log::package_bitmask = mask;
    }
    ~LogCapture()
    {
        Log::SetOutput(savedOutput);
        Log::package_bitmask = savedMask;
        if (file != nullptr)
            std::fclose(file);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Everything logged so far.
    std::string Text() const
    {
        if (file == nullptr)
            return std::string();
        std::fflush(file);
        std::rewind(file);
        std::string text;
        char chunk[512];
        size_t count;
        while ((count = std::fread(chunk, 1, sizeof chunk, file)) > 0)
            text.append(chunk, count);
        std::fseek(file, 0, SEEK_END);
        return text;
    }

private:
    FILE* file;
    FILE* savedOutput;
    unsigned savedMask;
};

// Runs the built Updater the way the command-line tests need it: in its own
// temporary home, working directory and store, with a network namespace of
// its own so that nothing it might send leaves the test.
#pragma once

#include "tests/cli/ProcessRunner.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// A server URL on the loopback interface that nothing listens on.
constexpr const char* kNoServer = "http://127.0.0.1:9/cgi/u";
constexpr const char* kVersionLine = "Updater (Version: 2.12.1 Feb 11 2026)\n";

class UpdaterRun : public ::testing::Test
{
protected:
    void SetUp() override
    {
        home = tmp.mkdir("home");
        cwd = tmp.mkdir("cwd");
        store = tmp.sub("store");
    }

    // The command line as given, no store or server options added.
    RunResult run(const std::vector<std::string>& args, RunOptions options = RunOptions())
    {
        options.setEnv.emplace_back("HOME", home);
        if (options.cwd.empty())
        {
            options.cwd = cwd;
        }
        options.isolateNetwork = true;
        RunResult r = RunProgram(KX_BINARY_DIR "/Updater", args, options);
        if (r.setupFailed)
        {
            ADD_FAILURE() << "could not start Updater in a private network namespace: " << r.err;
        }
        return r;
    }

    // The command line with the test's store root and an unreachable server.
    RunResult runInStore(std::vector<std::string> args)
    {
        args.insert(args.end(), {"-i", store, "-u", kNoServer});
        return run(args);
    }

    static std::string usageText(const char* name)
    {
        std::ifstream in(std::string(KX_SOURCE_DIR "/tests/data/usage/") + name, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        EXPECT_FALSE(text.str().empty()) << name;
        return text.str();
    }
    static std::string shortUsage()
    {
        std::string text = usageText("short.txt");
        size_t at = text.find("%s");
        EXPECT_NE(at, std::string::npos);
        return text.replace(at, 2, "Updater");
    }
    static std::string fullUsage(bool extended)
    {
        return shortUsage() + usageText("parameters.txt") +
               (extended ? usageText("extended.txt") : std::string()) + usageText("samples.txt");
    }
    static bool endsWith(const std::string& text, const std::string& end)
    {
        return text.size() >= end.size() &&
               text.compare(text.size() - end.size(), end.size(), end) == 0;
    }

    TempDir tmp;
    std::string home;
    std::string cwd;
    std::string store;
};

// Lines in order: true when every needle appears after the one before it.
inline bool InOrder(const std::string& text, const std::vector<std::string>& needles)
{
    size_t at = 0;
    for (const auto& needle : needles)
    {
        size_t found = text.find(needle, at);
        if (found == std::string::npos)
        {
            return false;
        }
        at = found + needle.size();
    }
    return true;
}

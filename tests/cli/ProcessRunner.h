// Runs a program as a child process and collects what it writes, for the
// tests of the command line and the console display.
#pragma once

#include "tests/support/TempDir.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct RunOptions
{
    // Variables set (or replaced) in the child's environment, and removed.
    std::vector<std::pair<std::string, std::string>> setEnv;
    std::vector<std::string> unsetEnv;
    // Working directory of the child; empty keeps the current one.
    std::string cwd;
    // A fresh network namespace with no interface up: nothing the child sends
    // leaves it.
    bool isolateNetwork = false;
    // Run as this user id inside a fresh user namespace (mapped onto the
    // caller's own id), so that the child sees an id of our choosing.
    bool mapUser = false;
    uint32_t innerUid = 0;
    // Standard output on a raw pseudo-terminal; standard error stays a pipe.
    bool terminal = false;
    int timeoutMs = 20000;
};

struct RunResult
{
    // Exit status, or -1 when the child was killed or died of a signal.
    int status = -1;
    std::string out;
    std::string err;
    // The child could not be set up as asked (for instance no namespaces on
    // this machine); the program did not run.
    bool setupFailed = false;
};

RunResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                     const RunOptions& options = RunOptions());

// A user id without an entry in the user database, or 0 when none is found.
uint32_t UnlistedUserId();

// Every path below root, relative to it, sorted.
std::vector<std::string> ListTree(const std::string& root);

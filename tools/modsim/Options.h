// The modsim program's command line, and the lab files that hold the same
// options one module a line (readLab).
#pragma once

#include "Simulator.h"

#include <string>
#include <vector>

namespace modsim
{

struct ProgramOptions
{
    std::vector<ModuleSpec> modules;
    std::vector<int> routers; // per module: the index of its router, -1 for none
    bool explicitModule = false;
    bool trace = false;
    std::string traceFile;
    long durationMs = -1;
    long timeoutMs = 600000;
    bool privateNetwork = false; // --netns
    std::vector<std::string> command;
};

// The help text; its %s takes kFaultOptionsHelp.
extern const char* const kUsage;

// Parses the arguments (without the program's name) into `o`, adding to what
// it holds. Returns 0 to run, 1 on a usage error (`error` says why), 2 for
// --help. Options of a lab file (--lab) are read in their place.
int parseArguments(const std::vector<std::string>& args, ProgramOptions& o, std::string& error);

// After parsing: every module outside a router has a transport, none behind
// one does. Returns 0, or 1 with `error`.
int checkModules(ProgramOptions& o, std::string& error);

// Reads a lab file: every line holds options without their leading dashes
// ("module 40F5849A:04 tcp model=0x12 name=\"Hub A\""), "#" starts a comment;
// a word WORD becomes --WORD, WORD=VALUE becomes --WORD VALUE, and "tcp"
// alone is --tcp 0. Returns the arguments, or false with `error`.
bool readLab(const std::string& path, std::vector<std::string>& args, std::string& error);

} // namespace modsim

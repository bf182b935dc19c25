// Helpers shared by the store tests: a private temporary directory, whole-file
// reads and writes, and a capture of the diagnostic log.
#pragma once

#include <cstdio>
#include <string>

#include "tests/support/TempDir.h"

namespace storetest
{

using ::TempDir;

bool WriteText(const std::string& path, const std::string& text);
// The whole file, or an empty string when it cannot be read.
std::string ReadText(const std::string& path);
bool IsDirectory(const std::string& path);
bool IsRegularFile(const std::string& path);
// Names in the directory other than "." and "..", sorted.
std::string ListNames(const std::string& directory);

// Sends the log to a temporary file with the given packages switched on and
// puts the previous output and mask back afterwards.

} // namespace storetest

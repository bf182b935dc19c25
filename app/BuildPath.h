// Joins path pieces with "/" (always inserted; no length or count limit).
#pragma once

#include <string>

// The pieces after `first` end with a null pointer.
std::string BuildPath(const char* first, ...);

// Firmware version words as a module reports them.
//
// A module packs its version into one 32-bit word. Versions before 2.15 use
// the old layout: major in bits 28-31, minor in bits 24-27, patch in bits
// 0-23 (2.10.4 is 0x2A000004). From 2.15 on the top byte is 0x2F and major,
// minor and patch take one byte each in bits 16-23, 8-15 and 0-7 (2.15.0 is
// 0x2F020F00).
#pragma once

#include <cstdint>
#include <string>

namespace modsim
{

constexpr uint32_t packVersion(uint8_t major, uint8_t minor, uint8_t patch)
{
    if (major < 2 || (major == 2 && minor < 15))
        return ((uint32_t)major << 28) | ((uint32_t)(minor & 0x0F) << 24) | patch;
    return 0x2F000000u + ((uint32_t)major << 16) + ((uint32_t)minor << 8) + patch;
}

// "2.10.3" to its word; "0x2A000003" (any word) as it stands. False for
// anything else.
bool parseVersion(const std::string& text, uint32_t& word);

// The word as "MAJOR.MINOR.PATCH".
std::string versionText(uint32_t word);

// Whether the word is at least the version given (both read as above).
bool versionAtLeast(uint32_t word, uint8_t major, uint8_t minor, uint8_t patch);

} // namespace modsim

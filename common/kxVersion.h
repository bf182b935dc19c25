// Firmware version words: packing, unpacking, printing and comparison, and the
// library's own version.
//
// A version word has two layouts. Legacy words (below 0x20000000, or with a top
// nibble of 2 and a second nibble other than 0xF) hold the major in bits 28-31,
// the minor in bits 24-27 and the patch in bits 0-23. Every other word is read
// as extended: major in bits 16-23, minor in bits 8-15, patch in bits 0-7;
// packing writes extended words with 0x2F in the top byte.
#pragma once

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define kxVERSION_MAJOR 2
#define kxVERSION_MINOR 12
#define kxVERSION_PATCH 1

    bool kxVersion_IsLegacyFormat(uint32_t version);
    uint8_t kxVersion_ParseMajor(uint32_t version);
    uint8_t kxVersion_ParseMinor(uint32_t version);
    uint32_t kxVersion_ParsePatch(uint32_t version);
    // Writes "major.minor.patch" with snprintf and returns its result.
    int kxVersion_ParseString(uint32_t version, char* buffer, size_t size);
    uint32_t kxVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);
    // True when (major, minor, patch) is not below the required triple.
    bool kxVersion_IsAtLeastCompare(uint8_t major, uint8_t minor, uint8_t patch,
                                    uint8_t requiredMajor, uint8_t requiredMinor,
                                    uint8_t requiredPatch);

    uint8_t kxVersion_GetMajor(void);
    uint8_t kxVersion_GetMinor(void);
    uint8_t kxVersion_GetPatch(void);
    // "2.12.1"; the text lives in a static buffer.
    const char* kxVersion_GetString(void);
    bool kxVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

    bool kxVersion_HasFeature(const char* name);
    // A newly allocated text listing the features; release with
    // kxVersion_DestroyFeatureList.
    char* kxVersion_GetFeatureList(void);
    void kxVersion_DestroyFeatureList(char** list);

#ifdef __cplusplus
}
#endif

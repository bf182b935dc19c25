// Firmware version words and the library's own version.
#include <lumbrixon/kxVersion.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
const char* const sFeatureName = "VERSION";
const char* const sFeatureSeparator = " - ";
const char* const sFeatureDescription = "Version Query API";
const size_t sFeatureListSize = 256;
const size_t sVersionStringSize = 15;

} // namespace

bool kxVersion_IsLegacyFormat(uint32_t version)
{
    if (version < 0x20000000u)
    {
        return true;
    }
    return ((version >> 28) == 0x2u) && (((version >> 24) & 0xFu) != 0xFu);
}

uint8_t kxVersion_ParseMajor(uint32_t version)
{
    if (kxVersion_IsLegacyFormat(version))
    {
        return (uint8_t)(version >> 28);
    }
    return (uint8_t)(version >> 16);
}

uint8_t kxVersion_ParseMinor(uint32_t version)
{
    if (kxVersion_IsLegacyFormat(version))
    {
        return (uint8_t)((version >> 24) & 0xFu);
    }
    return (uint8_t)(version >> 8);
}

uint32_t kxVersion_ParsePatch(uint32_t version)
{
    if (kxVersion_IsLegacyFormat(version))
    {
        return version & 0x00FFFFFFu;
    }
    return version & 0xFFu;
}

int kxVersion_ParseString(uint32_t version, char* buffer, size_t size)
{
    return snprintf(buffer, size, "%d.%d.%d", (int)kxVersion_ParseMajor(version),
                    (int)kxVersion_ParseMinor(version), (int)kxVersion_ParsePatch(version));
}

uint32_t kxVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch)
{
    if (major < 2 || (major == 2 && minor < 15))
    {
        return ((uint32_t)major << 28) + ((uint32_t)(minor & 0xFu) << 24) + patch;
    }
    return 0x2F000000u + ((uint32_t)major << 16) + ((uint32_t)minor << 8) + patch;
}

bool kxVersion_IsAtLeastCompare(uint8_t major, uint8_t minor, uint8_t patch, uint8_t requiredMajor,
                                uint8_t requiredMinor, uint8_t requiredPatch)
{
    if (major != requiredMajor)
    {
        return major > requiredMajor;
    }
    if (minor != requiredMinor)
    {
        return minor > requiredMinor;
    }
    return patch >= requiredPatch;
}

uint8_t kxVersion_GetMajor(void)
{
    return kxVERSION_MAJOR;
}

uint8_t kxVersion_GetMinor(void)
{
    return kxVERSION_MINOR;
}

uint8_t kxVersion_GetPatch(void)
{
    return kxVERSION_PATCH;
}

const char* kxVersion_GetString(void)
{
    // Formatted once; the initialisation of a function-local static is
    // thread-safe, so concurrent first callers see the finished text.
    static char sText[sVersionStringSize];
    static const bool sFormatted = snprintf(sText, sizeof sText, "%d.%d%s%d", kxVERSION_MAJOR,
                                            kxVERSION_MINOR, ".", kxVERSION_PATCH) >= 0;
    (void)sFormatted;
    return sText;
}

bool kxVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch)
{
    return kxVersion_IsAtLeastCompare(kxVERSION_MAJOR, kxVERSION_MINOR, kxVERSION_PATCH, major,
                                      minor, patch);
}

bool kxVersion_HasFeature(const char* name)
{
    return name != nullptr && strcmp(name, sFeatureName) == 0;
}

char* kxVersion_GetFeatureList(void)
{
    char* list = (char*)calloc(sFeatureListSize, 1);
    if (list == nullptr)
    {
        return nullptr;
    }
    strncat(list, sFeatureName, sFeatureListSize - strlen(list) - 1);
    strncat(list, sFeatureSeparator, sFeatureListSize - strlen(list) - 1);
    strncat(list, sFeatureDescription, sFeatureListSize - strlen(list) - 1);
    return list;
}

void kxVersion_DestroyFeatureList(char** list)
{
    if (list == nullptr)
    {
        return;
    }
    free(*list);
    *list = nullptr;
}

// Version words: packing, reading and the text of the command line.
#include "Version.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace modsim
{

namespace
{

struct _Parts
{
    unsigned major, minor, patch;
};

_Parts _parts(uint32_t w)
{
    bool old = w < 0x20000000u || ((w >> 28) == 2 && ((w >> 24) & 0x0F) != 0x0F);
    if (old)
        return {w >> 28, (w >> 24) & 0x0F, w & 0xFFFFFF};
    return {(w >> 16) & 0xFF, (w >> 8) & 0xFF, w & 0xFF};
}

bool _number(const std::string& text, unsigned long max, unsigned long& value, int base)
{
    if (text.empty() || text.size() > 10)
        return false;
    for (char c : text)
        if (base == 10 ? !isdigit((unsigned char)c) : !isxdigit((unsigned char)c))
            return false;
    value = strtoul(text.c_str(), nullptr, base);
    return value <= max;
}

} // namespace

bool parseVersion(const std::string& text, uint32_t& word)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    {
        unsigned long w = 0;
        if (text.size() > 10 || !_number(text.substr(2), 0xFFFFFFFFul, w, 16))
            return false;
        word = (uint32_t)w;
        return true;
    }
    size_t d1 = text.find('.');
    size_t d2 = d1 == std::string::npos ? d1 : text.find('.', d1 + 1);
    if (d2 == std::string::npos)
        return false;
    unsigned long major = 0, minor = 0, patch = 0;
    if (!_number(text.substr(0, d1), 255, major, 10) ||
        !_number(text.substr(d1 + 1, d2 - d1 - 1), 255, minor, 10) ||
        !_number(text.substr(d2 + 1), 255, patch, 10))
        return false;
    // The old layout has four bits for the minor number.
    if ((major < 2 || (major == 2 && minor < 15)) && minor > 15)
        return false;
    word = packVersion((uint8_t)major, (uint8_t)minor, (uint8_t)patch);
    return true;
}

std::string versionText(uint32_t word)
{
    _Parts p = _parts(word);
    char text[32];
    snprintf(text, sizeof text, "%u.%u.%u", p.major, p.minor, p.patch);
    return text;
}

bool versionAtLeast(uint32_t word, uint8_t major, uint8_t minor, uint8_t patch)
{
    _Parts p = _parts(word);
    if (p.major != major)
        return p.major > major;
    if (p.minor != minor)
        return p.minor > minor;
    return p.patch >= patch;
}

} // namespace modsim

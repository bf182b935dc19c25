// Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
#include "app/server/base64.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace
{
const char _alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const unsigned char _invalid = 0xFF;

} // namespace

char* base64_encode(const char* data, unsigned long length, unsigned long* outLength)
{
    if (data == nullptr && length != 0)
    {
        return nullptr;
    }
    unsigned long groups = length / 3 + (length % 3 != 0 ? 1 : 0);
    if (groups > (ULONG_MAX - 1) / 4)
    {
        return nullptr;
    }
    unsigned long size = groups * 4;
    char* out = static_cast<char*>(malloc(size + 1));
    if (out == nullptr)
    {
        return nullptr;
    }
    const unsigned char* in = reinterpret_cast<const unsigned char*>(data);
    unsigned long o = 0;
    for (unsigned long i = 0; i < length; i += 3)
    {
        unsigned long b0 = in[i];
        unsigned long b1 = i + 1 < length ? in[i + 1] : 0;
        unsigned long b2 = i + 2 < length ? in[i + 2] : 0;
        unsigned long triple = (b0 << 16) | (b1 << 8) | b2;
        out[o++] = _alphabet[(triple >> 18) & 0x3F];
        out[o++] = _alphabet[(triple >> 12) & 0x3F];
        out[o++] = _alphabet[(triple >> 6) & 0x3F];
        out[o++] = _alphabet[triple & 0x3F];
    }
    if (length % 3 == 1)
    {
        out[size - 2] = '=';
        out[size - 1] = '=';
    }
    else if (length % 3 == 2)
    {
        out[size - 1] = '=';
    }
    out[size] = '\0';
    if (outLength != nullptr)
    {
        *outLength = size;
    }
    return out;
}

namespace
{
// The value of each alphabet character; _invalid for every other byte.
struct _ReverseTable
{
    unsigned char value[256];
    constexpr _ReverseTable() : value()
    {
        for (unsigned char& v : value)
        {
            v = _invalid;
        }
        for (unsigned char i = 0; i < 64; ++i)
        {
            value[static_cast<unsigned char>(_alphabet[i])] = i;
        }
    }
};
constexpr _ReverseTable _reverse;

// The decoded length of a text, or false when it cannot be base64: empty, not
// a multiple of 4, or "=" anywhere but in the last two places.
bool _decoded_length(const char* text, unsigned long length, unsigned long& size,
                     unsigned long& padding)
{
    if (text == nullptr || length == 0 || length % 4 != 0)
    {
        return false;
    }
    padding = 0;
    if (text[length - 1] == '=')
    {
        padding = text[length - 2] == '=' ? 2 : 1;
    }
    size = length / 4 * 3 - padding;
    return true;
}

// One pass over the text: every full group of 4 characters becomes 3 bytes
// through the table, any character outside the alphabet showing as the high
// bit of the accumulated values. `out` may be `text` itself: a group is read
// whole before its 3 bytes are written, and they never pass the group.
bool _decode(const char* text, unsigned long length, unsigned long padding, char* out)
{
    const unsigned char* in = reinterpret_cast<const unsigned char*>(text);
    unsigned char* o = reinterpret_cast<unsigned char*>(out);
    const unsigned long full = padding != 0 ? length - 4 : length;
    unsigned char bad = 0;
    for (unsigned long i = 0; i < full; i += 4)
    {
        const unsigned char a = _reverse.value[in[i]];
        const unsigned char b = _reverse.value[in[i + 1]];
        const unsigned char c = _reverse.value[in[i + 2]];
        const unsigned char d = _reverse.value[in[i + 3]];
        bad |= a | b | c | d;
        const unsigned long quad = (unsigned long)(a & 0x3F) << 18 |
                                   (unsigned long)(b & 0x3F) << 12 |
                                   (unsigned long)(c & 0x3F) << 6 | (d & 0x3Fu);
        *o++ = static_cast<unsigned char>(quad >> 16);
        *o++ = static_cast<unsigned char>(quad >> 8);
        *o++ = static_cast<unsigned char>(quad);
    }
    if (padding != 0)
    {
        const unsigned char* last = in + full;
        const unsigned char a = _reverse.value[last[0]];
        const unsigned char b = _reverse.value[last[1]];
        const unsigned char c = padding == 2 ? 0 : _reverse.value[last[2]];
        bad |= a | b | c;
        const unsigned long quad = (unsigned long)(a & 0x3F) << 18 |
                                   (unsigned long)(b & 0x3F) << 12 | (unsigned long)(c & 0x3F) << 6;
        *o++ = static_cast<unsigned char>(quad >> 16);
        if (padding == 1)
        {
            *o++ = static_cast<unsigned char>(quad >> 8);
        }
    }
    return (bad & 0x80) == 0;
}

} // namespace

char* base64_decode(const char* text, unsigned long length, unsigned long* outLength)
{
    unsigned long size = 0;
    unsigned long padding = 0;
    if (!_decoded_length(text, length, size, padding))
    {
        return nullptr;
    }
    char* out = static_cast<char*>(malloc(size + 1));
    if (out == nullptr)
    {
        return nullptr;
    }
    if (!_decode(text, length, padding, out))
    {
        free(out);
        return nullptr;
    }
    out[size] = '\0';
    if (outLength != nullptr)
    {
        *outLength = size;
    }
    return out;
}

bool base64_decode_in_place(char* text, unsigned long length, unsigned long* outLength)
{
    unsigned long size = 0;
    unsigned long padding = 0;
    if (!_decoded_length(text, length, size, padding) || !_decode(text, length, padding, text))
    {
        return false;
    }
    if (outLength != nullptr)
    {
        *outLength = size;
    }
    return true;
}

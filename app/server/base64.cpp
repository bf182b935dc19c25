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

char* base64_decode(const char* text, unsigned long length, unsigned long* outLength)
{
    if (text == nullptr || length == 0 || length % 4 != 0)
    {
        return nullptr;
    }
    // The reverse table lives only for this call.
    unsigned char* reverse = static_cast<unsigned char*>(malloc(256));
    if (reverse == nullptr)
    {
        return nullptr;
    }
    memset(reverse, _invalid, 256);
    for (unsigned char i = 0; i < 64; ++i)
    {
        reverse[static_cast<unsigned char>(_alphabet[i])] = i;
    }

    unsigned long padding = 0;
    if (text[length - 1] == '=')
    {
        padding = text[length - 2] == '=' ? 2 : 1;
    }
    for (unsigned long i = 0; i < length - padding; ++i)
    {
        if (reverse[static_cast<unsigned char>(text[i])] == _invalid)
        {
            free(reverse);
            return nullptr;
        }
    }

    unsigned long size = length / 4 * 3 - padding;
    char* out = static_cast<char*>(malloc(size + 1));
    if (out == nullptr)
    {
        free(reverse);
        return nullptr;
    }
    unsigned long o = 0;
    for (unsigned long i = 0; i < length; i += 4)
    {
        unsigned long quad = 0;
        for (unsigned long k = 0; k < 4; ++k)
        {
            char c = text[i + k];
            quad = (quad << 6) | (c == '=' ? 0 : reverse[static_cast<unsigned char>(c)]);
        }
        const unsigned char bytes[3] = {static_cast<unsigned char>(quad >> 16),
                                        static_cast<unsigned char>(quad >> 8),
                                        static_cast<unsigned char>(quad)};
        for (unsigned long k = 0; k < 3 && o < size; ++k)
        {
            out[o++] = static_cast<char>(bytes[k]);
        }
    }
    out[size] = '\0';
    free(reverse);
    if (outLength != nullptr)
    {
        *outLength = size;
    }
    return out;
}

// COBS encoding and decoding.
#include <lumbrixon/cobs.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace
{
// Stops the process on a null pointer, in every build type.
void sRequire(const void* pointer, const char* what)
{
    if (pointer == nullptr)
    {
        fprintf(stderr, "cobs: null %s pointer\n", what);
        abort();
    }
}

// Encodes n bytes read from `in` into `out`. With `inplace`, `in` is `out` +
// `shift`: each input byte is read before an output byte is written at its
// position, and 0 is returned if the output would overtake input not yet read.
size_t sEncode(const uint8_t* in, size_t n, uint8_t* out, bool inplace, size_t shift)
{
    size_t codePos = 0;
    size_t w = 1;
    uint8_t code = 1;
    for (size_t r = 0; r < n; r++)
    {
        uint8_t byte = in[r];
        if (byte == 0)
        {
            out[codePos] = code;
            codePos = w++;
            code = 1;
            continue;
        }
        out[w++] = byte;
        code++;
        if (code == 0xFF)
        {
            out[codePos] = code;
            // The next block's code byte must not land on unread input.
            if (inplace && r + 1 < n && w > shift + r)
            {
                return 0;
            }
            codePos = w++;
            code = 1;
        }
    }
    out[codePos] = code;
    return w;
}

size_t sDecode(const uint8_t* in, size_t n, uint8_t* out)
{
    if (n == 0)
    {
        return 0;
    }
    size_t r = 0;
    size_t w = 0;
    while (r < n)
    {
        uint8_t code = in[r];
        if (code > 1 && r + code > n)
        {
            return 0;
        }
        r++;
        for (uint8_t i = 1; i < code; i++)
        {
            out[w++] = in[r++];
        }
        if (code != 0xFF && r < n)
        {
            out[w++] = 0;
        }
    }
    return w;
}
} // namespace

size_t cobs_encode(const uint8_t* input, size_t n, uint8_t* output)
{
    sRequire(input, "input");
    sRequire(output, "output");
    return sEncode(input, n, output, false, 0);
}

size_t cobs_encode_inplace(uint8_t* data, size_t n)
{
    sRequire(data, "data");
    // Move the input to the end of the room the encoded form needs, then encode
    // from there towards the start: the output can then never catch up with
    // the input.
    size_t shift = COBS_ENCODED_MAX(n) - n;
    memmove(data + shift, data, n);
    return sEncode(data + shift, n, data, true, shift);
}

size_t cobs_decode(const uint8_t* input, size_t n, uint8_t* output)
{
    sRequire(input, "input");
    sRequire(output, "output");
    return sDecode(input, n, output);
}

size_t cobs_decode_inplace(uint8_t* data, size_t n)
{
    sRequire(data, "data");
    return sDecode(data, n, data);
}

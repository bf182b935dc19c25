// Consistent Overhead Byte Stuffing, classic form with 254-byte blocks.
//
// Encoded data contains no 0x00 byte, so a 0x00 can delimit frames on a serial
// line. Null input or output pointers are programming errors and stop the
// process.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

// The largest encoded length of n input bytes.
#define COBS_ENCODED_MAX(n) ((n) + (n) / 254 + 1)

    // Encodes n bytes into output (room for COBS_ENCODED_MAX(n) bytes) and
    // returns the encoded length. An empty input encodes to the single byte 0x01.
    size_t cobs_encode(const uint8_t* input, size_t n, uint8_t* output);

    // Encodes n bytes within data, which must have room for COBS_ENCODED_MAX(n)
    // bytes. Returns the encoded length, or 0 if the output would overtake input
    // not yet read.
    size_t cobs_encode_inplace(uint8_t* data, size_t n);

    // Decodes n bytes into output (room for n bytes) and returns the decoded
    // length; 0 when n is 0 or a code byte points past the end of the input.
    size_t cobs_decode(const uint8_t* input, size_t n, uint8_t* output);

    // Decodes n bytes within data; the same results as cobs_decode.
    size_t cobs_decode_inplace(uint8_t* data, size_t n);

#ifdef __cplusplus
}
#endif

// Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
#pragma once

// Both return a newly allocated, zero-terminated buffer that the caller
// releases with free(), or null; *outLength (when given) receives the length
// without the terminating zero.
char* base64_encode(const char* data, unsigned long length, unsigned long* outLength);
// Null for an empty text, a length that is not a multiple of 4, a character
// outside the alphabet, or "=" anywhere but in the last two places.
char* base64_decode(const char* text, unsigned long length, unsigned long* outLength);
// The same decoding, written over the text itself (the bytes never need more
// room than their text): false where base64_decode gives null, the text then
// being partly overwritten. The decoded length goes to *outLength.
bool base64_decode_in_place(char* text, unsigned long length, unsigned long* outLength);

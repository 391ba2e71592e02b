// Decoding of the update server's firmware payload (standard base64 alphabet with
// "=" padding, no line breaks).
#pragma once

#include <cstddef>

// Decodes `length` characters of `text`. Returns a buffer from malloc (release it
// with free) holding *outLength bytes followed by one zero byte, or null when
// `length` is not a multiple of 4, a character lies outside the alphabet, "=" stands
// anywhere but in the last two places, or memory runs out. *outLength is set only on
// success.
unsigned char* base64_decode(const char* text, size_t length, size_t* outLength);

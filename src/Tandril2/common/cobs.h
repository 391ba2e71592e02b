// Consistent Overhead Byte Stuffing: removes every 0x00 from a block so that 0x00
// can delimit frames. An encoded block of n bytes needs at most n + n/254 + 1 bytes.
#pragma once

#include <cstddef>
#include <cstdint>

// Worst-case encoded size of n bytes.
constexpr size_t cobs_max_encoded(size_t n) { return n + n / 254 + 1; }

// Encodes n bytes of `source` into `destination` (room for cobs_max_encoded(n));
// returns the encoded length. No trailing 0x00 is written.
size_t cobs_encode(const uint8_t* source, size_t n, uint8_t* destination);
// Encodes the first n bytes of `buffer` in place; the buffer has room for
// cobs_max_encoded(n) bytes. Returns the encoded length.
size_t cobs_encode_inplace(uint8_t* buffer, size_t n);
// Decodes n encoded bytes into `destination` (room for n bytes); returns the decoded
// length, 0 for malformed input (a 0x00 inside, or a code pointing past the end).
size_t cobs_decode(const uint8_t* source, size_t n, uint8_t* destination);
// Decodes in place; returns the decoded length, 0 for malformed input.
size_t cobs_decode_inplace(uint8_t* buffer, size_t n);

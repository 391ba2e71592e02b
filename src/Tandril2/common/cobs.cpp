#include "Tandril2/common/cobs.h"

#include <cstring>

size_t cobs_encode(const uint8_t* source, size_t n, uint8_t* destination) {
    size_t codeAt = 0; // where the current block's code byte goes
    size_t out = 1;
    uint8_t code = 1;
    for (size_t i = 0; i < n; ++i) {
        if (source[i] == 0) {
            destination[codeAt] = code;
            codeAt = out++;
            code = 1;
            continue;
        }
        destination[out++] = source[i];
        if (++code == 0xFF) {
            // A full run carries no implied zero; a new block starts only if data follows.
            destination[codeAt] = code;
            code = 1;
            if (i + 1 == n)
                return out;
            codeAt = out++;
        }
    }
    destination[codeAt] = code;
    return out;
}

size_t cobs_encode_inplace(uint8_t* buffer, size_t n) {
    // Move the data to the end of the room; the encoder's output then never
    // overtakes its input (after i input bytes at most i + 1 + i/254 are written).
    const size_t shift = cobs_max_encoded(n) - n;
    std::memmove(buffer + shift, buffer, n);
    return cobs_encode(buffer + shift, n, buffer);
}

size_t cobs_decode(const uint8_t* source, size_t n, uint8_t* destination) {
    size_t in = 0;
    size_t out = 0;
    while (in < n) {
        const uint8_t code = source[in++];
        if (code == 0 || in + code - 1 > n)
            return 0;
        for (uint8_t k = 1; k < code; ++k) {
            const uint8_t byte = source[in++];
            if (byte == 0)
                return 0;
            destination[out++] = byte;
        }
        if (code != 0xFF && in < n)
            destination[out++] = 0;
    }
    return out;
}

size_t cobs_decode_inplace(uint8_t* buffer, size_t n) {
    // The decoder writes at most as far as it has read.
    return cobs_decode(buffer, n, buffer);
}

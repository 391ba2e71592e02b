// Arbitrary text must never make the decoder read or write outside its buffers, and
// whatever it accepts must have the size its padding promises.
#include "server_client/base64.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    size_t length = 0;
    unsigned char* out = base64_decode(text, size, &length);
    if (!out) return 0;
    if (size % 4 != 0) abort();
    size_t padding = 0;
    while (padding < 2 && padding < size && text[size - 1 - padding] == '=') ++padding;
    if (length != size / 4 * 3 - padding || out[length] != 0) abort();
    free(out);
    return 0;
}

#include "server_client/base64.h"

#include <array>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kInvalid = -1;

// Character value by byte; kInvalid for everything outside the alphabet, "=" included
// (padding is handled by position, not by value).
constexpr std::array<int, 256> makeTable() {
    std::array<int, 256> table{};
    for (auto& v : table) v = kInvalid;
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
    return table;
}
constexpr std::array<int, 256> kTable = makeTable();

} // namespace

unsigned char* base64_decode(const char* text, size_t length, size_t* outLength) {
    if (!text || length % 4 != 0) return nullptr;
    size_t padding = 0;
    if (length > 0 && text[length - 1] == '=') ++padding;
    if (length > 1 && text[length - 2] == '=') ++padding;
    // "x===" or "====" would otherwise decode to a byte count that the group cannot hold.
    if (padding == 2 && length > 2 && text[length - 3] == '=') return nullptr;
    const size_t size = length / 4 * 3 - padding;

    // Unknown characters would otherwise decode as arbitrary bits and turn a damaged
    // download into a plausible-looking but corrupt firmware image.
    for (size_t i = 0; i < length - padding; ++i)
        if (kTable[static_cast<unsigned char>(text[i])] == kInvalid) return nullptr;

    auto* out = static_cast<unsigned char*>(malloc(size + 1));
    if (!out) return nullptr;
    size_t n = 0;
    for (size_t i = 0; i < length; i += 4) {
        uint32_t bits = 0;
        for (size_t k = 0; k < 4; ++k) {
            const int v = i + k < length - padding ? kTable[static_cast<unsigned char>(text[i + k])] : 0;
            bits = bits << 6 | static_cast<uint32_t>(v);
        }
        for (int shift = 16; shift >= 0 && n < size; shift -= 8) out[n++] = static_cast<unsigned char>(bits >> shift);
    }
    out[size] = 0;
    *outLength = size;
    return out;
}

// Arbitrary bytes from a link go through the packet assembler the way a link reader
// feeds it. Whatever arrives, nothing may be read or written outside a packet, and a
// completed packet must be at most 28 data bytes and reproduce itself when serialised.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "Tandril2/common/vPacket.h"

static void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    vPacket* reader = vPacket_Create();    // resets after every error or packet
    vPacket* careless = vPacket_Create();  // never resets unless it overran
    vPacket* echo = vPacket_Create();
    check(reader != nullptr && careless != nullptr && echo != nullptr);
    for (size_t i = 0; i < size; ++i) {
        if (vPacket_AddByte(reader, bytes[i]) != vErrNone) {
            vPacket_Reset(reader);
        } else if (vPacket_IsComplete(reader)) {
            check(reader->dataSize <= vPACKET_MAX_DATA);
            uint8_t serial[vPACKET_MAX_SERIAL];
            size_t length = 0;
            check(vPacket_GetBytes(reader, serial, sizeof serial, &length) == vErrNone);
            check(length == reader->dataSize + 2u);
            vPacket_Reset(echo);
            for (size_t k = 0; k < length; ++k) {
                check(vPacket_AddByte(echo, serial[k]) == vErrNone);
            }
            check(vPacket_IsComplete(echo));
            check(std::memcmp(echo, reader, sizeof(vPacket)) == 0);
            vPacket_Reset(reader);
        }
        vPacket_AddByte(careless, bytes[i]);
        check(careless->dataSize <= vPACKET_MAX_DATA);
        if (vPacket_IsComplete(careless)) {
            uint8_t serial[vPACKET_MAX_SERIAL];
            check(vPacket_GetBytes(careless, serial, sizeof serial, nullptr) == vErrNone);
        }
        if (careless->received > vPACKET_MAX_SERIAL) {
            vPacket_Reset(careless);
        }
    }
    vPacket_Destroy(&reader);
    vPacket_Destroy(&careless);
    vPacket_Destroy(&echo);
    return 0;
}

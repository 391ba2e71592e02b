// Arbitrary packets from a module go through every UEI decoder and packet test. The
// input is: address, data size (any byte; sizes above 28 must be refused), a receive
// capacity, then the data bytes. Nothing may be read or written outside the packet or
// the receive buffer, and a bytes receive never counts more than its capacity.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "Tandril2/common/vUEI.h"

static void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 3) {
        return 0;
    }
    const uint8_t address = bytes[0];
    const uint8_t dataSize = bytes[1];
    const size_t capacity = bytes[2];
    bytes += 3;
    size -= 3;

    uint8_t data[vPACKET_MAX_DATA] = {};
    std::memcpy(data, bytes, size < sizeof data ? size : sizeof data);
    vPacket* packet = vPacket_CreateWithData(address, dataSize, data);
    if (packet == nullptr) {
        check(dataSize > vPACKET_MAX_DATA);
        return 0;
    }

    uint8_t out = 0;
    vPacket_GetCmd(packet, &out);
    vPacket_GetOption(packet, &out);
    vPacket_GetIndex(packet, &out);
    (void)vUEI_getBytesSequence(packet);
    (void)vUEI_getBytesContinue(packet);
    (void)vUEI_getBytesFullPacket(packet);
    (void)vUEI_isStreamPacket(packet);
    check(vUEI_isUEIPayload(packet) != vUEI_isNotUEIPayload(packet));

    uei reply{};
    reply.module = address;
    reply.command = data[0];
    reply.option = data[1];
    reply.specifier = data[2];
    reply.type = ueiTypeInt;
    (void)vUEI_IsReplyTo(packet, &reply);
    if (vUEI_DecodeReply(packet, &reply) == vErrNone) {
        check(reply.type == ueiTypeVoid || reply.type == ueiTypeByte || reply.type == ueiTypeShort ||
              reply.type == ueiTypeInt);
        (void)vUEI_ReplyResult(&reply);
    }

    // A heap buffer of exactly the capacity, so that a write past it is caught.
    uint8_t* buffer = new uint8_t[capacity + 1];
    size_t count = 0;
    uei receive{};
    receive.module = address;
    receive.type = ueiTypeBytes;
    receive.value.bytes = buffer;
    receive.bytesSize = capacity;
    receive.bytesReceived = &count;
    // The same packet offered repeatedly, as a read loop would with each number.
    for (int round = 0; round < 130; ++round) {
        receive.sequence = static_cast<uint8_t>(round % 128);
        const vErr err = vUEI_DecodeBytesPacket(packet, &receive);
        if (err == vErrNone && vUEI_ReplyResult(&receive) != vErrNone) {
            break; // error recorded; the cursor is no longer valid
        }
        check(count <= capacity);
        check(receive.value.bytes == buffer + count);
    }
    delete[] buffer;
    vPacket_Destroy(&packet);
    return 0;
}

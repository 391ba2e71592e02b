// Arbitrary bytes on the wire of a COBS-framed stream: whatever arrives, the
// stream reads nothing outside its buffers and hands out only whole, checked packets.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Tandril2/common/cobs.h"
#include "Tandril2/common/crc8.h"
#include "Tandril2/common/vStream_CobsEncoding.h"

namespace {

struct Wire {
    const uint8_t* data;
    size_t size;
    size_t at;
};

vErr wireGet(uint8_t* byte, void* reference) {
    auto* w = static_cast<Wire*>(reference);
    if (w->at == w->size)
        return vErrNotReady;
    *byte = w->data[w->at++];
    return vErrNone;
}
vErr wireDelete(void*) { return vErrNone; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The coder alone: decoding never writes more than it read, and encoding round-trips.
    std::vector<uint8_t> out(size + 1);
    const size_t decoded = cobs_decode(data, size, out.data());
    if (decoded > size)
        std::abort();
    std::vector<uint8_t> encoded(cobs_max_encoded(size));
    encoded.resize(cobs_encode(data, size, encoded.data()));
    std::vector<uint8_t> back(encoded.size());
    if (cobs_decode(encoded.data(), encoded.size(), back.data()) != size || std::memcmp(back.data(), data, size) != 0)
        std::abort();

    // The stream: every delivered run of bytes is a packet whose length byte matches.
    Wire wire{data, size, 0};
    vStream* stream = nullptr;
    if (vStream_CreateCobsEncoding(wireGet, nullptr, nullptr, wireDelete, &wire, &stream) != vErrNone)
        return 0;
    std::vector<uint8_t> packet;
    int idle = 0;
    while (idle < 2) {
        uint8_t byte = 0;
        const vErr err = stream->get(&byte, stream->reference);
        idle = err == vErrNotReady && wire.at == size ? idle + 1 : 0;
        if (err != vErrNone)
            continue;
        packet.push_back(byte);
        if (packet.size() >= 2 && packet.size() == static_cast<size_t>(packet[1]) + 2)
            packet.clear();
        if (packet.size() > 30)
            std::abort();
    }
    if (!packet.empty())
        std::abort(); // a frame was handed out only in part
    vStream_Destroy(&stream);
    return 0;
}

// Whatever a module sends, the link's reader must survive it: the input is the byte
// stream from the module, fed to a live link (reader and writer threads) that answers
// heartbeats, resynchronises and queues packets.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "FakeWire.h"
#include "Tandril2/common/vLink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    tandril::test::FakeWire wire;
    int32_t id = vLink_Create(wire.makeStream());
    if (id == 0)
        return 0;
    wire.push(tandril::test::FakeWire::Bytes(data, data + size));
    // Until the reader has taken everything (bounded, in case it stalls on purpose).
    for (int i = 0; i < 200 && wire.unread() > 0; i++)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    while (vPacket* packet = vLink_GetPacket(id))
        vPacket_Destroy(&packet);
    vLink_Destroy(&id);
    return 0;
}

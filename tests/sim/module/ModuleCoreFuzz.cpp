// Any byte sequence from a host: the module answers or stays silent, never faults.
#include <cstddef>
#include <cstdint>

#include "ModuleCore.h"

using namespace tandril::sim;

namespace {
struct Sink final : ModuleOutput {
    void send(const uint8_t*, size_t length) override { total += length; }
    void sendNoise(const uint8_t*, size_t length) override { total += length; }
    void dropLink(Clock::time_point) override {}
    size_t total = 0;
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ModuleConfig config;
    ModuleConfig sub;
    sub.address = 8;
    sub.serial = 8;
    config.subModules.push_back(sub);
    config.faults.delayAnswer = 3;
    config.faults.delayMs = 5;
    ModuleCore core(config);
    Sink sink;
    core.attach(&sink);
    auto now = Clock::time_point{} + std::chrono::hours(1);
    core.linkUp(now);
    // The first byte of each chunk is its length; time moves between chunks.
    for (size_t i = 0; i < size;) {
        size_t n = data[i++] % 64;
        n = n < size - i ? n : size - i;
        core.receive(data + i, n, now);
        i += n;
        now += std::chrono::milliseconds(7);
        core.tick(now);
        if (!core.linked())
            core.linkUp(now);
    }
    return 0;
}

// Firmware transfer speed into the virtual module over loopback TCP: a 256 KiB image
// in plain mode (26 image bytes per request and answer) and with UEI data and pooled
// writes, against the limit that a raw socket ping-pong of one packet sets for plain
// mode, and against the round trip of one echo through the link engine, both measured
// in the same run.
//
// One iteration is the whole transfer of an update except the final reboot (whose
// wait for the link to drop is a fixed sleep, not a transfer cost): connect, start
// the loader with its image, prepare, send, check and write every piece, disconnect.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ModuleServer.h"
#include "Tandril2/objects/Module.h"
#include "app/UpdaterDisplayInterface.h"
#include "updater/UpdaterEntity.h"
#include "updater/UpdaterSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kImageBytes = 256 * 1024;
constexpr size_t kLoaderBytes = 512;
constexpr size_t kPlainBytesPerRoundTrip = 26;
// A serialised packet of the largest size: address, size, 28 data bytes.
constexpr size_t kPacketBytes = 30;

class QuietDisplay final : public UpdaterDisplayInterface {
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char* text) override { std::fprintf(stderr, "%s\n", text); }
};

std::vector<uint8_t> blockOf(uint32_t address, size_t size, uint32_t seed) {
    std::vector<uint8_t> block = {uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8),
                                  uint8_t(address)};
    uint32_t x = seed;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        block.push_back(uint8_t(x >> 24));
    }
    return block;
}

// Bytes per second of each measurement, for the ratios printed after the run.
double gPingPongLimit = 0, gLinkLimit = 0, gPlain = 0, gUei = 0;

void check(vErr err, const char* what) {
    if (err != vErrNone)
        throw std::runtime_error(std::string(what) + " failed with " + vError_GetErrorText(err));
}

// One update's transfers into the module at `port`.
void transfer(uint16_t port, bool uei, const std::vector<uint8_t>& loader,
              const std::vector<uint8_t>& firmware, QuietDisplay& display) {
    Vornic::Tandril::Module module(2, 0);
    check(_disableEther(module, display), "configuration");
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serial_num = 0x00A1B2C3;
    spec.ip_address = htonl(INADDR_LOOPBACK);
    spec.ip_port = port;
    check(module.connectFromSpec(&spec), "connect");

    UpdaterEntity loaderPhase;
    loaderPhase.init(&module, 0, true, false);
    unsigned short blockSize = 0;
    check(loaderPhase.LoaderInit(), "INIT");
    check(loaderPhase.TransferPrepare(loader.data(), loader.size(), 0, blockSize), "loader PREPARE");
    check(loaderPhase.LoaderTransfer(loader.data(), loader.size()), "loader transfer");
    check(loaderPhase.LoaderStart(), "LOAD");

    UpdaterEntity firmwarePhase;
    firmwarePhase.init(&module, 0, true, false);
    if (uei) {
        check(firmwarePhase.CheckUEIDataSupport(), "UEI data support");
        check(firmwarePhase.CheckPooledPacketsSupport(), "pooled writes");
    }
    check(firmwarePhase.TransferPrepare(firmware.data(), firmware.size(), 1, blockSize), "PREPARE");
    check(firmwarePhase.FirmwareTransfer(firmware.data(), firmware.size(), blockSize, display), "transfer");
    module.disconnect();
}

void runUpdate(benchmark::State& state, bool uei, double& rate) {
    tandril::sim::ModuleConfig config;
    config.ueiData = uei;
    std::string error;
    auto server = tandril::sim::TcpModuleServer::create(config, "127.0.0.1", 0, error);
    if (!server) {
        state.SkipWithError(error.c_str());
        return;
    }
    const auto loader = blockOf(0x10000000, kLoaderBytes, 1);
    const auto firmware = blockOf(0x00004000, kImageBytes, 2);
    QuietDisplay display;
    double seconds = 0;
    size_t updates = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        try {
            transfer(server->port(), uei, loader, firmware, display);
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            return;
        }
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(elapsed);
        seconds += elapsed;
        ++updates;
    }
    state.SetBytesProcessed(int64_t(updates * kImageBytes));
    rate = double(updates * kImageBytes) / seconds;
}

// Round trips of one 26-byte debug echo through the link engine to the same virtual
// module: what plain mode could reach if the upgrade protocol cost nothing.
void BM_LinkRoundTrip(benchmark::State& state) {
    tandril::sim::ModuleConfig config;
    std::string error;
    auto server = tandril::sim::TcpModuleServer::create(config, "127.0.0.1", 0, error);
    if (!server) {
        state.SkipWithError(error.c_str());
        return;
    }
    QuietDisplay display;
    Vornic::Tandril::Module module(2, 0);
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serial_num = config.serial;
    spec.ip_address = htonl(INADDR_LOOPBACK);
    spec.ip_port = server->port();
    if (_disableEther(module, display) != vErrNone || module.connectFromSpec(&spec) != vErrNone) {
        state.SkipWithError("no link");
        return;
    }
    uint8_t piece[kPlainBytesPerRoundTrip] = {};
    size_t trips = 0;
    double seconds = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        if (module.debug(piece, sizeof piece) != vErrNone) {
            state.SkipWithError("echo lost");
            break;
        }
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(elapsed);
        seconds += elapsed;
        ++trips;
    }
    gLinkLimit = double(trips * kPlainBytesPerRoundTrip) / seconds;
    state.counters["link_limit_Bps"] = gLinkLimit;
}

void BM_UpdatePlain(benchmark::State& state) { runUpdate(state, false, gPlain); }
void BM_UpdateUEIPooled(benchmark::State& state) { runUpdate(state, true, gUei); }

// Round trips of one packet-sized message between two loopback TCP sockets, the
// echo side on its own thread as the module's serving thread is.
void BM_RawPingPong(benchmark::State& state) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        state.SkipWithError("no loopback socket");
        close(listener);
        return;
    }
    int client = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int peer = accept(listener, nullptr, nullptr);
    setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto readAll = [](int fd, uint8_t* buffer, size_t size) {
        size_t got = 0;
        while (got < size) {
            const ssize_t n = read(fd, buffer + got, size - got);
            if (n <= 0)
                return false;
            got += size_t(n);
        }
        return true;
    };
    std::thread echo([&] {
        uint8_t buffer[kPacketBytes];
        while (readAll(peer, buffer, sizeof buffer))
            if (write(peer, buffer, sizeof buffer) != ssize_t(sizeof buffer))
                return;
    });
    uint8_t buffer[kPacketBytes] = {2, 28, 95, 1};
    size_t trips = 0;
    const auto start = Clock::now();
    for (auto _ : state) {
        const auto tripStart = Clock::now();
        if (write(client, buffer, sizeof buffer) != ssize_t(sizeof buffer) || !readAll(client, buffer, sizeof buffer)) {
            state.SkipWithError("ping-pong broke");
            break;
        }
        ++trips;
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - tripStart).count());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    shutdown(client, SHUT_RDWR);
    echo.join();
    close(client);
    close(peer);
    close(listener);
    gPingPongLimit = double(trips * kPlainBytesPerRoundTrip) / seconds;
    state.counters["plain_limit_Bps"] = gPingPongLimit;
}

BENCHMARK(BM_RawPingPong)->UseManualTime()->MinTime(1.0);
BENCHMARK(BM_LinkRoundTrip)->UseManualTime()->MinTime(1.0);
BENCHMARK(BM_UpdatePlain)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_UpdateUEIPooled)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (gPingPongLimit > 0) {
        std::printf("\nRaw ping-pong limit for plain mode (26 bytes per round trip): %.0f bytes/s\n",
                    gPingPongLimit);
        if (gLinkLimit > 0)
            std::printf("Link round trip limit: %.0f bytes/s, %.1f %% of the raw limit\n", gLinkLimit,
                        100.0 * gLinkLimit / gPingPongLimit);
        if (gPlain > 0)
            std::printf("Plain mode:            %.0f bytes/s, %.1f %% of the limit (%.1f %% of the link's)\n",
                        gPlain, 100.0 * gPlain / gPingPongLimit, gLinkLimit > 0 ? 100.0 * gPlain / gLinkLimit : 0.0);
        if (gUei > 0)
            std::printf("UEI data, pooled:      %.0f bytes/s, %.2f x the plain-mode limit\n", gUei,
                        gUei / gPingPongLimit);
    }
    return 0;
}

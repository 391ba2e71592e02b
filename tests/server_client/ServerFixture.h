// A catalogue directory with one device, two builds and one fingerprint, served by an
// in-process virtual update server.
#pragma once

#include "TestSupport.h"
#include "update_server/UpdateServer.h"

#include <fstream>
#include <memory>
#include <random>
#include <string>

namespace tandril::test {

inline constexpr unsigned kSerial = 0x0001ABCD;
inline constexpr unsigned kFingerprint[4] = {0x0A0B0C0D, 0x11111111, 0x22222222, 0x33333333};

inline std::string randomBytes(size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string bytes(size, '\0');
    for (auto& b : bytes) b = static_cast<char>(gen());
    return bytes;
}

class ServerFixture {
public:
    // `newBuildSize` bytes of random content stand for the newest build's BIRD file.
    explicit ServerFixture(size_t newBuildSize = 1000, sim::UpdateServerOptions options = {}) {
        newBuild = randomBytes(newBuildSize, 1);
        oldBuild = randomBytes(10, 2);
        write("tdx-1205.bird", newBuild);
        write("tdx-1190.bird", oldBuild);
        write(sim::Catalogue::kFileName, "[device 0001ABCD]\n"
                                         "firmware = TDX-100\n"
                                         "build = 1205 2.3.1 tdx-1205.bird\n"
                                         "build = 1190 2.10.0 tdx-1190.bird\n"
                                         "token = hdr0.payload0.sig0\n"
                                         "[fingerprint 0A0B0C0D 11111111 22222222 33333333]\n"
                                         "serial = 0001ABCD\n"
                                         "build = 1190\n");
        server = std::make_unique<sim::UpdateServer>(sim::Catalogue::Load(dir.path()), options);
        url = server->url();
    }

    void write(const std::string& name, const std::string& bytes) {
        std::ofstream(dir.path() / name, std::ios::binary) << bytes;
    }

    // Every request is answered with `status` and `body`.
    void answer(int status, const std::string& body) {
        sim::Fault fault;
        fault.kind = sim::Fault::Kind::Canned;
        fault.status = status;
        fault.body = body;
        server->setFault(fault);
    }

    TempDir dir;
    std::string newBuild, oldBuild;
    std::unique_ptr<sim::UpdateServer> server;
    std::string url;
};

} // namespace tandril::test

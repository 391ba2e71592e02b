// The network side of TCP/IP modules: answers the discovery query (a datagram to
// 232.2.2.2 port 9888 whose first byte is 1) with one 16-byte reply per module,
// sent to the querying address on port 9889 from the interface it joined on.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tandril::sim {

class DiscoveryResponder {
public:
    struct Module {
        uint8_t address;
        uint16_t port;  // the module's TCP port
        uint32_t serial;
        uint8_t model;
    };

    // Joins the group on the interface with the dotted IPv4 address `interfaceAddress`
    // and answers on a thread of its own until destroyed. Null with `error` set when
    // the sockets cannot be made or the group cannot be joined.
    static std::unique_ptr<DiscoveryResponder> create(const std::string& interfaceAddress,
                                                      std::vector<Module> modules, std::string& error);
    ~DiscoveryResponder();
    DiscoveryResponder(const DiscoveryResponder&) = delete;
    DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

    unsigned queriesAnswered() const { return answered_; }

    // The 16-byte reply for one module: byte 1 address, 2-3 TCP port (little-endian),
    // 4-7 serial number (little-endian), 8-11 the module's IPv4 address, 12 model.
    static std::vector<uint8_t> reply(const Module& module, uint32_t ipv4NetworkOrder);

    static constexpr const char* kGroup = "232.2.2.2";
    static constexpr uint16_t kQueryPort = 9888;
    static constexpr uint16_t kReplyPort = 9889;

private:
    DiscoveryResponder(int listener, int sender, int wake, uint32_t interface, std::vector<Module> modules);
    void run();

    int listener_, sender_, wake_;
    uint32_t interface_;
    std::vector<Module> modules_;
    std::atomic<unsigned> answered_{0};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

} // namespace tandril::sim

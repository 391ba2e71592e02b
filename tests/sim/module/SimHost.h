// The host side used by the virtual module's tests, written from the wire formats:
// one interface over three carriers (the core in-process with a hand-driven clock, a
// raw TCP socket, a pseudo-terminal with COBS frames), and a small upgrade driver.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ModuleConfig.h"
#include "ModuleCore.h"
#include "ModuleServer.h"

namespace tandril::sim::test {

using Bytes = std::vector<uint8_t>;

// A packet in its serialised form: address, size, data.
Bytes packet(uint8_t address, Bytes data);
std::string hex(const Bytes& bytes);

class Host {
public:
    virtual ~Host() = default;
    // Sends one packet (serialised form) to the module.
    virtual void send(const Bytes& serialised) = 0;
    // The next packet from the module (heartbeats included), or nothing within a
    // bounded wait.
    virtual std::optional<Bytes> receive() = 0;
    virtual nlohmann::json state() = 0;
    // Lets `ms` of module time pass (the in-process carrier advances its clock; the
    // others wait for real).
    virtual void pass(unsigned ms) = 0;
    // Reconnects after the module dropped the link; false while it refuses.
    virtual bool reconnect() = 0;
    virtual const char* name() const = 0;

    // Sends a magic packet and returns what arrived before its answer; nullopt when the
    // answer never came.
    std::optional<std::vector<Bytes>> barrier(uint8_t address);
    // Sends `request` and returns the next packet.
    std::optional<Bytes> ask(const Bytes& request) {
        send(request);
        return receive();
    }
};

enum class Carrier { Core, Tcp, Pty };
const char* carrierName(Carrier carrier);
std::unique_ptr<Host> makeHost(Carrier carrier, const ModuleConfig& config);

// The in-process carrier, for tests that look at what the core emits and when.
class CoreHost final : public Host, public ModuleOutput {
public:
    explicit CoreHost(const ModuleConfig& config);
    void send(const Bytes& serialised) override;
    std::optional<Bytes> receive() override;
    nlohmann::json state() override { return core.state(); }
    void pass(unsigned ms) override;
    bool reconnect() override { return core.linkUp(now); }
    const char* name() const override { return "core"; }

    // ModuleOutput
    void send(const uint8_t* bytes, size_t length) override { out.emplace_back(bytes, bytes + length); }
    void sendNoise(const uint8_t* bytes, size_t length) override { noise.emplace_back(bytes, bytes + length); }
    void dropLink(Clock::time_point until) override { drops.push_back(until); }

    ModuleCore core;
    Clock::time_point now;
    std::deque<Bytes> out;
    std::vector<Bytes> noise;
    std::vector<Clock::time_point> drops;
};

// One block of a firmware image: load address, flags, bytes.
struct Block {
    uint32_t address;
    uint8_t flags;
    Bytes bytes;
};

// Drives the upgrade entity of the module at `address` as a host does: INIT, each
// loader block (PREPARE, data, SUM), LOAD, each firmware block in pieces of the
// loader's block size (data, SUM, WRITE), REBOOT. Data goes in plain DATA packets
// or as UEI byte transfers. Test assertions report any unexpected answer.
void upgrade(Host& host, uint8_t address, const std::vector<Block>& loader, const std::vector<Block>& firmware,
             bool ueiData);
// One block transfer (data, then SUM) with its checks; the sum the host computed.
uint32_t transfer(Host& host, uint8_t address, const Bytes& data, bool ueiData);

// Bytes 0..n-1 of a deterministic pattern.
Bytes pattern(size_t n, uint8_t seed);

} // namespace tandril::sim::test

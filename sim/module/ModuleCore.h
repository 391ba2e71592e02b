// The virtual module itself, free of any transport: host bytes in, answer packets
// out, plus timers (heartbeats, delayed answers, time away from the bus). A
// transport feeds it the bytes of one host link and carries its output; a router's
// sub-modules are cores fed packet by packet by their router.
//
// Not thread-safe: one thread (the transport's) drives a core and its sub-modules.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ModuleConfig.h"
#include "UpgradeLoader.h"
#include <nlohmann/json_fwd.hpp>
#include "Tandril2/common/vError.h"
#include "Tandril2/common/vPacket.h"

namespace tandril::sim {

using Clock = std::chrono::steady_clock;

// Where a core's output goes. Implemented by the transports (and by a router for
// its sub-modules).
class ModuleOutput {
public:
    virtual ~ModuleOutput() = default;
    // One serialised packet (or one run of garbage bytes); each call is one write.
    virtual void send(const uint8_t* bytes, size_t length) = 0;
    // Bytes that are no packet (line noise); a framed transport sends them unframed.
    virtual void sendNoise(const uint8_t* bytes, size_t length) = 0;
    // The module ends the host's link (reboot, reset, leaving the bus, a fault); it
    // refuses links until `until`.
    virtual void dropLink(Clock::time_point until) = 0;
};

struct ModuleStats {
    unsigned answers = 0;           // answer packets produced (sent, dropped or delayed)
    unsigned magicAnswered = 0;
    unsigned heartbeatsSent = 0;
    unsigned heartbeatsAnswered = 0;  // answered with the status plus 2
    unsigned heartbeatsWrong = 0;     // answered with another status
    unsigned heartbeatsMissed = 0;    // not answered before the next one was due
    int forceRoute = -1;              // last cmdFORCEROUTE value, -1 before the first
    int routeToMe = 0;                // last system option 20 value
    unsigned framesRejected = 0;      // serial frames with a bad CRC or length
    unsigned bytesDiscarded = 0;      // host bytes that formed no acceptable packet
    unsigned linkDrops = 0;
};

class ModuleCore {
public:
    explicit ModuleCore(const ModuleConfig& config, bool onRouterNetwork = false);
    ~ModuleCore();
    ModuleCore(const ModuleCore&) = delete;
    ModuleCore& operator=(const ModuleCore&) = delete;

    void attach(ModuleOutput* output) { output_ = output; }

    // A host link begins (TCP accept, serial port ready): framing restarts and the
    // heartbeat clock starts. False while the module is away from the bus.
    bool linkUp(Clock::time_point now);
    // The host link ended.
    void linkDown();
    bool linked() const { return linked_; }
    // True while the module is away from the bus (after REBOOT, LOAD, reset, a fault).
    bool away(Clock::time_point now) const { return now < awayUntil_; }

    // Bytes of the host link, in order. Never fails: what is not a packet is dropped.
    void receive(const uint8_t* bytes, size_t length, Clock::time_point now);
    // One whole packet from the host (serial frames, a router's network).
    void receivePacket(const vPacket& packet, Clock::time_point now);
    // Counts a serial frame that failed its checks.
    void frameRejected() { ++stats_.framesRejected; }

    // Runs what is due and returns when it wants to be called next.
    Clock::time_point tick(Clock::time_point now);

    const ModuleConfig& config() const { return config_; }
    uint32_t version() const { return version_; }
    uint32_t build() const { return build_; }
    const ModuleStats& stats() const { return stats_; }
    const UpgradeLoader& loader() const { return loader_; }
    // Everything the loader received and the presentation, as a JSON document.
    nlohmann::json state() const;
    std::string stateJson() const;
    // Grows at INIT, LOAD and REBOOT, so a transport knows when to save the state.
    unsigned milestones() const { return milestones_; }
    ModuleCore* subModule(uint8_t address);

private:
    struct Delayed {
        Clock::time_point when;
        std::vector<uint8_t> bytes;
    };
    struct BytesIn {                  // a UEI bytes set being received
        uint8_t command = 0, option = 0, sequence = 0;
        std::vector<uint8_t> data;
    };

    void handle(const vPacket& p, Clock::time_point now);
    void handleSystem(const vPacket& p, Clock::time_point now);
    void handleI2C(const vPacket& p, Clock::time_point now);
    void handleModuleInfo(const vPacket& p, Clock::time_point now);
    void handleUpgrade(const vPacket& p, Clock::time_point now);
    void handleHeartbeatAnswer(const vPacket& p);
    bool takeBytesPacket(const vPacket& p, Clock::time_point now, std::vector<uint8_t>& whole);
    vErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t bits) const;

    void answer(std::vector<uint8_t> bytes, Clock::time_point now);
    void answerData(Clock::time_point now, std::initializer_list<uint8_t> data);
    void answerValue(uint8_t command, uint8_t option, uint8_t index, int width, uint32_t value,
                     Clock::time_point now);
    void answerError(uint8_t command, uint8_t option, uint8_t index, vErr code, Clock::time_point now);
    void answerBytes(uint8_t command, uint8_t option, uint8_t index, const std::string& bytes,
                     Clock::time_point now);
    void emit(const std::vector<uint8_t>& bytes);
    void goAway(unsigned ms, Clock::time_point now);
    void rebootIntoFirmware(Clock::time_point now);

    ModuleConfig config_;
    bool onRouterNetwork_;
    ModuleOutput* output_ = nullptr;
    uint32_t version_, build_;
    std::string name_;
    uint8_t routerAddress_;

    bool linked_ = false;
    Clock::time_point awayUntil_{};
    vPacket assembly_{};
    Clock::time_point lastByte_{};

    Clock::time_point nextHeartbeat_ = Clock::time_point::max();
    uint8_t heartbeatStatus_ = 1;
    bool heartbeatPending_ = false;
    std::deque<Delayed> delayed_;

    std::map<uint16_t, BytesIn> bytesIn_;  // by command << 8 | option
    UpgradeLoader loader_;
    unsigned dataPackets_ = 0, dataAnswers_ = 0, sums_ = 0, writes_ = 0;
    unsigned ueiDataPackets_ = 0;  // of dataPackets_, those that came as UEI bytes

    ModuleStats stats_;
    unsigned milestones_ = 0;
    struct SubLink;
    std::vector<std::unique_ptr<SubLink>> subs_;
};

} // namespace tandril::sim

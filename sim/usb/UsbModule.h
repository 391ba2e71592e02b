// The virtual module on the virtual USB bus: the module's core behind bulk IN and
// OUT endpoints, presented as a module of the family (vendor ID, product ID with the
// model code in its low byte, eight-hex-digit serial string, link interface
// 0xFF/0x88/0x10). When the core leaves the bus (loader start, reboot, reset) the
// device unplugs and comes back when the core is ready again, with a new device number.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "VirtualUsbBus.h"
#include "module/ModuleCore.h"

namespace tandril::sim::usb {

constexpr uint8_t kModuleInEndpoint = 0x81;
constexpr uint8_t kModuleOutEndpoint = 0x02;

// The USB presentation of a module with that configuration (`maxPacket` for both
// bulk endpoints).
DeviceSpec moduleDeviceSpec(const ModuleConfig& config, uint16_t maxPacket = 512);

class UsbModule final : private ModuleOutput {
public:
    // Plugs the module in. Null with `error` set when the configuration is unusable or
    // the device cannot be plugged.
    static std::unique_ptr<UsbModule> create(VirtualUsbBus& bus, const ModuleConfig& config, std::string& error,
                                             uint16_t maxPacket = 512);
    ~UsbModule() override;  // unplugs and stops the module's thread
    UsbModule(const UsbModule&) = delete;
    UsbModule& operator=(const UsbModule&) = delete;

    VirtualUsbDevice& device() { return device_; }
    // Runs `inspect` on the module's core while nothing else touches it.
    template <typename F>
    auto withCore(F&& inspect) {
        std::lock_guard<std::mutex> lock(mutex_);
        return inspect(core_);
    }
    // How often the module has left the bus so far.
    unsigned departures() const;

private:
    UsbModule(VirtualUsbBus& bus, const ModuleConfig& config, uint16_t maxPacket);
    void run();
    void send(const uint8_t* bytes, size_t length) override;
    void sendNoise(const uint8_t* bytes, size_t length) override { send(bytes, length); }
    void dropLink(Clock::time_point until) override;

    ModuleCore core_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool leave_ = false;              // the core asked to leave the bus
    Clock::time_point returnAt_{};    // when it comes back
    bool away_ = false;
    unsigned departures_ = 0;
    std::thread thread_;
    // Last, so that it leaves the bus (and its callbacks end) before the rest goes.
    VirtualUsbDevice device_;
};

} // namespace tandril::sim::usb

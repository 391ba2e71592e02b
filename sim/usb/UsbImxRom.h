// The virtual i.MX boot ROM of a module on the virtual USB bus: a HID device
// 0x1FC9:0x0130 whose output reports (ID 1 command, ID 2 data) go to the Serial
// Download Protocol core and whose answers come back as input reports (ID 3, ID 4).
// Or, when the ROM is reached through the module's UART, the same core on a
// pseudo-terminal. After a jump the ROM falls silent (leaving the bus on USB); when so
// configured, the RAM loader then appears as a module on USB (serial number
// 0xDEADDEAD) that answers system option 39 with the chip's identifier words and
// takes firmware through the normal upgrade.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "UsbModule.h"
#include "bootrom/ImxSdpRom.h"
#include "bootrom/PtyPort.h"

namespace tandril::sim::usb {

constexpr uint16_t kImxRomVendor = 0x1FC9;
constexpr uint16_t kImxRomProduct = 0x0130;
constexpr uint32_t kRamLoaderSerial = 0xDEADDEAD;

struct UsbImxRomOptions {
    ImxSdpRomConfig rom;
    bool uart = false;  // the ROM listens on a pseudo-terminal instead of USB HID
    bool loaderAppears = true;  // the RAM loader shows up on USB after a jump
    ModuleConfig loader = defaultLoader();
    unsigned loaderDelayMs = 100;  // from the jump to the loader's arrival

    static ModuleConfig defaultLoader() {
        ModuleConfig config;
        config.serial = kRamLoaderSerial;
        config.name = "RAM Loader";
        config.ramLoader = true;
        return config;
    }
};

class UsbImxRom {
public:
    // Plugs the ROM in. Null with `error` set when it cannot be plugged.
    static std::unique_ptr<UsbImxRom> create(VirtualUsbBus& bus, const UsbImxRomOptions& options,
                                             std::string& error);
    ~UsbImxRom();  // takes the ROM and its loader off the bus
    UsbImxRom(const UsbImxRom&) = delete;
    UsbImxRom& operator=(const UsbImxRom&) = delete;

    ImxSdpRom& rom() { return rom_; }
    VirtualUsbDevice& device() { return device_; }
    // The pseudo-terminal a UART ROM listens on; empty for a ROM on USB HID.
    std::string serialPath() const { return port_ ? port_->slavePath() : std::string(); }
    // The RAM loader once it is on the bus, else null.
    UsbModule* loader();

private:
    UsbImxRom(VirtualUsbBus& bus, const UsbImxRomOptions& options);
    void jumped();

    VirtualUsbBus& bus_;
    UsbImxRomOptions options_;
    ImxSdpRom rom_;
    VirtualUsbDevice device_;
    std::unique_ptr<PtyPort> port_;
    std::mutex mutex_;
    std::unique_ptr<UsbModule> loader_;
    bool closing_ = false;  // no more timer calls once the destructor runs
};

// The ROM's device description: HID with report IDs 1 and 2 out, 3 and 4 in.
DeviceSpec imxRomDeviceSpec();

} // namespace tandril::sim::usb

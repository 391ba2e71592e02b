// tandril-sim's USB part: modules (--usb SPEC) and i.MX boot ROMs (--imx-usb SPEC) on
// one virtual USB bus, and a command run with that bus visible to it. The bus needs
// the program to run under umockdev's preload (runUnderPreload re-executes it).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "UsbImxRom.h"
#include "UsbModule.h"

namespace tandril::sim::usb {

struct UsbPlan {
    std::vector<ModuleConfig> modules;
    std::vector<UsbImxRomOptions> roms;
    bool empty() const { return modules.empty() && roms.empty(); }
};

// A module SPEC (the keys of moduleSpecHelp). False with `error` naming the bad item.
bool addUsbModule(UsbPlan& plan, const std::string& spec, std::string& error);
// A boot ROM SPEC: uid=HEX (the 64-bit unique identifier), loader=0 (no RAM loader
// appears after the jump), uart=1 (the ROM on a pseudo-terminal), drop-gap-ms=N; every
// other key describes the RAM loader as a module.
bool addUsbImxRom(UsbPlan& plan, const std::string& spec, std::string& error);
const char* usbSpecHelp();

class UsbSimulation {
public:
    // Plugs in everything planned. Null with `error` set on failure.
    static std::unique_ptr<UsbSimulation> start(const UsbPlan& plan, std::string& error);
    ~UsbSimulation();

    // One line per device: "usb SERIAL NODE", "imx-usb 1FC9:0130 NODE" and
    // "imx-uart PATH".
    std::vector<std::string> describe();
    // Runs `command` (searched in PATH) with the bus visible, waits for it and returns
    // its exit status (128 + signal when a signal ended it); -1 with `error` set when
    // it cannot be started.
    int run(const std::vector<std::string>& command, std::string& error);

private:
    UsbSimulation() = default;
    std::unique_ptr<VirtualUsbBus> bus_;
    std::vector<std::unique_ptr<UsbModule>> modules_;
    std::vector<std::unique_ptr<UsbImxRom>> roms_;
};

} // namespace tandril::sim::usb

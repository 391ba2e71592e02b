#include "UsbModule.h"

#include <algorithm>
#include <cstdio>

#include "Tandril2/unix/tdusb_driver.h"

namespace tandril::sim::usb {

namespace {
// A host needs to see the device gone before it comes back.
constexpr auto kMinimumAbsence = std::chrono::milliseconds(20);
constexpr auto kIdleWait = std::chrono::milliseconds(200);
} // namespace

DeviceSpec moduleDeviceSpec(const ModuleConfig& config, uint16_t maxPacket) {
    DeviceSpec spec;
    spec.vendor = TANDRIL_VENDOR_ID;
    spec.product = config.model;  // bit 15 clear, model code in the low byte
    spec.manufacturer = "Vornic";
    spec.productName = config.name;
    char serial[16];
    snprintf(serial, sizeof(serial), "%08X", config.serial);
    spec.serial = serial;
    spec.interfaces.push_back({0, 0, kTandrilInterfaceClass, kTandrilInterfaceSubClass, kTandrilInterfaceProtocol,
                               {{kModuleInEndpoint, 0x02, maxPacket}, {kModuleOutEndpoint, 0x02, maxPacket}}});
    return spec;
}

std::unique_ptr<UsbModule> UsbModule::create(VirtualUsbBus& bus, const ModuleConfig& config, std::string& error,
                                             uint16_t maxPacket) {
    if (!validateConfig(config, error))
        return nullptr;
    std::unique_ptr<UsbModule> module(new UsbModule(bus, config, maxPacket));
    if (!module->device_.plug(&error))
        return nullptr;
    return module;
}

UsbModule::UsbModule(VirtualUsbBus& bus, const ModuleConfig& config, uint16_t maxPacket)
    : core_(config), device_(bus, moduleDeviceSpec(config, maxPacket)) {
    core_.attach(this);
    device_.onOut = [this](uint8_t, const uint8_t* data, size_t n) {
        std::lock_guard<std::mutex> lock(mutex_);
        core_.receive(data, n, Clock::now());
        wake_.notify_all();
    };
    device_.onClaim = [this](bool claimed) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (claimed)
            core_.linkUp(Clock::now());
        else
            core_.linkDown();
        wake_.notify_all();
    };
    thread_ = std::thread([this] { run(); });
}

UsbModule::~UsbModule() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    device_.unplug();
}

unsigned UsbModule::departures() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return departures_;
}

void UsbModule::send(const uint8_t* bytes, size_t length) {
    device_.pushIn(kModuleInEndpoint, std::vector<uint8_t>(bytes, bytes + length));
}

void UsbModule::dropLink(Clock::time_point until) {
    // Called from inside the core (on a device callback or this module's thread):
    // the bus is left from the module's own thread, at once. An answer the host has
    // not read by then (often the LOAD echo) goes with the device, as with a module
    // that resets its port straight away; hosts reconnect and carry on.
    leave_ = true;
    returnAt_ = std::max(until, Clock::now() + kMinimumAbsence);
    wake_.notify_all();
}

void UsbModule::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        const auto now = Clock::now();
        auto next = core_.tick(now);
        if (leave_) {
            leave_ = false;
            away_ = true;
            ++departures_;
            lock.unlock();
            device_.unplug();
            lock.lock();
            continue;
        }
        if (away_) {
            if (now >= returnAt_) {
                away_ = false;
                lock.unlock();
                std::string error;
                if (!device_.plug(&error))
                    fprintf(stderr, "virtual module %08X cannot return to the bus: %s\n", core_.config().serial,
                            error.c_str());
                lock.lock();
                continue;
            }
            next = std::min(next, returnAt_);
        }
        wake_.wait_until(lock, std::min(next, now + kIdleWait));
    }
}

} // namespace tandril::sim::usb

#include "UsbImxRom.h"

#include <cstdio>
#include <exception>

namespace tandril::sim::usb {

DeviceSpec imxRomDeviceSpec() {
    DeviceSpec spec;
    spec.vendor = kImxRomVendor;
    spec.product = kImxRomProduct;
    spec.bcdDevice = 0x0002;
    spec.manufacturer = "Freescale SemiConductor Inc";
    spec.productName = "SE Blank 1060";
    spec.speed = 480;
    spec.interfaces.push_back({0, 0, 3, 0, 0, {{0x81, 0x03, 64}}});
    // Vendor page; report 1: 16 bytes out, 2: 1024 bytes out, 3: 4 bytes in, 4: 64 bytes in.
    spec.hidReportDescriptor = {
        0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,
        0x85, 0x01, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x10, 0x91, 0x02,
        0x85, 0x02, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x96, 0x00, 0x04, 0x91, 0x02,
        0x85, 0x03, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02,
        0x85, 0x04, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x81, 0x02,
        0xC0};
    return spec;
}

std::unique_ptr<UsbImxRom> UsbImxRom::create(VirtualUsbBus& bus, const UsbImxRomOptions& options,
                                             std::string& error) {
    std::unique_ptr<UsbImxRom> rom(new UsbImxRom(bus, options));
    if (!options.uart)
        return rom->device_.plug(&error) ? std::move(rom) : nullptr;
    ImxSdpRom* core = &rom->rom_;
    try {
        rom->port_ = std::make_unique<PtyPort>(
            [core](const std::string& in, const PtyPort::Send&) { return core->receiveSerial(in); });
    } catch (const std::exception& e) {
        error = e.what();
        return nullptr;
    }
    return rom;
}

UsbImxRom::UsbImxRom(VirtualUsbBus& bus, const UsbImxRomOptions& options)
    : bus_(bus), options_(options), rom_(options.rom), device_(bus, imxRomDeviceSpec()) {
    device_.onReport = [this](const uint8_t* data, size_t n) {
        for (const auto& report : rom_.receiveReport(std::vector<uint8_t>(data, data + n))) {
            std::vector<uint8_t> bytes{report.id};
            bytes.insert(bytes.end(), report.payload.begin(), report.payload.end());
            device_.pushReport(std::move(bytes));
        }
    };
    // Runs on the device's worker thread: the bus is changed from the timer thread.
    rom_.onJump([this](uint32_t) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!closing_)
            bus_.timer().after(std::chrono::milliseconds(1), [this] { jumped(); }, this);
    });
}

UsbImxRom::~UsbImxRom() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    port_.reset();
    device_.unplug();
    bus_.timer().cancel(this);
    std::lock_guard<std::mutex> lock(mutex_);
    loader_.reset();
}

UsbModule* UsbImxRom::loader() {
    std::lock_guard<std::mutex> lock(mutex_);
    return loader_.get();
}

void UsbImxRom::jumped() {
    // Answers still queued for the host go with the device.
    device_.unplug();
    if (!options_.loaderAppears)
        return;
    bus_.timer().after(
        std::chrono::milliseconds(options_.loaderDelayMs),
        [this] {
            std::string error;
            auto module = UsbModule::create(bus_, options_.loader, error);
            if (!module)
                fprintf(stderr, "the RAM loader cannot come onto the bus: %s\n", error.c_str());
            std::lock_guard<std::mutex> lock(mutex_);
            loader_ = std::move(module);
        },
        this);
}

} // namespace tandril::sim::usb

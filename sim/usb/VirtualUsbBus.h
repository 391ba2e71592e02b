// A virtual USB bus for unmodified libusb and hidapi code, on umockdev: devices
// described by data are plugged into an emulated sysfs and /dev, and their usbfs
// URBs and hidraw reports are answered here. Everything that runs in the process
// (and every child it starts) sees the bus, so one bus per process.
//
// The process must run under umockdev's preload library: call runUnderPreload()
// before anything else (it re-executes the program once with the preload set).
//
// Threads: umockdev answers each device node on a worker thread of its own; device
// callbacks (OUT data, HID reports, claims) run there and must not block or plug and
// unplug devices. The bus's timer thread is where delayed behaviour goes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace tandril::sim::usb {

// Re-executes the running program under umockdev's preload library unless it already
// runs under it (also disables AddressSanitizer's link-order check, which the preload
// trips). Returns only in the re-executed program; false when the preload cannot be set.
bool runUnderPreload();

struct EndpointSpec {
    uint8_t address;            // bit 7 set for IN
    uint8_t attributes = 0x02;  // bulk
    uint16_t maxPacket = 512;
};

struct InterfaceSpec {
    uint8_t number = 0;
    uint8_t alternate = 0;
    uint8_t cls = 0xFF, subClass = 0, protocol = 0;
    std::vector<EndpointSpec> endpoints;
};

struct DeviceSpec {
    uint16_t vendor = 0, product = 0, bcdDevice = 0x0100;
    std::string manufacturer, productName, serial;
    unsigned speed = 480;                   // Mbit/s, as sysfs shows it
    std::vector<InterfaceSpec> interfaces;  // of the one configuration
    std::vector<uint8_t> hidReportDescriptor;  // not empty: the first interface is HID with a hidraw node
};

// The descriptors file sysfs shows for a device: device descriptor, then the
// configuration with its interfaces (and HID descriptor) and endpoints.
std::vector<uint8_t> usbDescriptors(const DeviceSpec& spec);

// What an OUT transfer or IN transfer meets instead of a working device.
enum class Fault { None, Stall, IoError, Nak };
const char* faultName(Fault fault);

class VirtualUsbBus;

// One device on the bus. It may leave and return; each return gets a new device
// number, and handles opened before it left see a vanished device.
class VirtualUsbDevice {
public:
    VirtualUsbDevice(VirtualUsbBus& bus, DeviceSpec spec);
    ~VirtualUsbDevice();  // unplugs
    VirtualUsbDevice(const VirtualUsbDevice&) = delete;
    VirtualUsbDevice& operator=(const VirtualUsbDevice&) = delete;

    // Not from a device callback (use the bus's timer). plug() on a plugged device and
    // unplug() on an unplugged one do nothing. plug() false with `error` set on failure.
    bool plug(std::string* error = nullptr);
    void unplug();
    bool plugged() const;
    int deviceNumber() const;  // of the current (or last) appearance, 0 before the first
    const DeviceSpec& spec() const { return spec_; }

    // Callbacks, set before plugging. `onOut` gets each OUT transfer's bytes (the data
    // is taken unless a fault was queued); `onReport` each hidraw output report;
    // `onClaim` true when a host claims the interface, false when it lets it go.
    std::function<void(uint8_t endpoint, const uint8_t* data, size_t n)> onOut;
    std::function<void(const uint8_t* data, size_t n)> onReport;
    std::function<void(bool claimed)> onClaim;

    // Data for the host on an IN endpoint. `endTransfer` false leaves a transfer that
    // takes it open (the host sees the bytes only when its transfer times out).
    void pushIn(uint8_t endpoint, std::vector<uint8_t> data, bool endTransfer = true);
    // One input report for hidraw readers.
    void pushReport(std::vector<uint8_t> report);
    // The next transfers on `endpoint` meet `fault` (once per queued fault).
    void queueFault(uint8_t endpoint, Fault fault, unsigned count = 1);
    bool halted(uint8_t endpoint) const;
    // Lengths of the OUT transfers that reached the device, in order.
    std::vector<size_t> outTransferSizes() const;
    unsigned clearHalts() const;  // CLEAR_HALT requests seen

    struct Node;  // one appearance on the bus (umockdev handler, FIFO flag, clients)

private:
    friend struct Node;
    // Stops serving earlier appearances that no host holds open any more.
    void retireNodes();
    void detach(Node& node);
    VirtualUsbBus& bus_;
    DeviceSpec spec_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Node>> nodes_;  // every appearance; the last may be current
    bool plugged_ = false;
    int port_;
    std::map<uint8_t, std::deque<std::pair<std::vector<uint8_t>, bool>>> inQueue_;
    std::map<uint8_t, std::deque<Fault>> faults_;
    std::map<uint8_t, bool> halted_;
    std::deque<std::vector<uint8_t>> reports_;
    std::vector<size_t> outSizes_;
    unsigned clearHalts_ = 0;
    std::vector<std::string> sysPaths_;  // current appearance, parents first
};

// Runs functions at a time, in time order, on one thread; destruction drops what is
// still waiting and joins.
class Timer {
public:
    Timer();
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;
    // `owner` tags the call so that the owner can cancel it before it goes away.
    void at(std::chrono::steady_clock::time_point when, std::function<void()> fn, const void* owner = nullptr);
    void after(std::chrono::milliseconds delay, std::function<void()> fn, const void* owner = nullptr) {
        at(std::chrono::steady_clock::now() + delay, std::move(fn), owner);
    }
    // Drops the owner's waiting calls and waits for one that runs (unless called from it).
    void cancel(const void* owner);

private:
    void run();
    std::mutex mutex_;
    std::condition_variable wake_;
    struct Entry {
        std::function<void()> fn;
        const void* owner;
    };
    std::multimap<std::chrono::steady_clock::time_point, Entry> due_;
    const void* running_ = nullptr;
    bool stopping_ = false;
    std::thread thread_;
};

class VirtualUsbBus {
public:
    // Throws std::runtime_error when the process does not run under the preload.
    VirtualUsbBus();
    ~VirtualUsbBus();
    VirtualUsbBus(const VirtualUsbBus&) = delete;
    VirtualUsbBus& operator=(const VirtualUsbBus&) = delete;

    Timer& timer() { return *timer_; }
    std::string root() const;  // the emulated file system's root directory

private:
    friend class VirtualUsbDevice;
    friend struct VirtualUsbDevice::Node;
    // A device number that no node answers under; 0 when all 126 are taken.
    int takeDeviceNumber();
    void releaseDeviceNumber(int number);
    int takePort();
    int takeHidrawNumber();
    UMockdevTestbed* testbed_;
    std::mutex mutex_;
    int nextDevnum_ = 2, nextPort_ = 1, nextHidraw_ = 0;
    std::set<int> devnumsInUse_;
    std::unique_ptr<Timer> timer_;  // made after the testbed, ended first
};

} // namespace tandril::sim::usb

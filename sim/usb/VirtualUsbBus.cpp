#include "VirtualUsbBus.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/hidraw.h>
#include <linux/usbdevice_fs.h>

#include <umockdev.h>

namespace tandril::sim::usb {

namespace {

constexpr const char* kPreload = "libumockdev-preload.so.0";
constexpr int kUsbMajor = 189, kHidrawMajor = 241;

// TANDRIL_USB_TRACE=1 shows every request the emulated nodes answer.
bool trace() {
    static const bool on = getenv("TANDRIL_USB_TRACE") != nullptr;
    return on;
}

void putLe16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}

std::vector<uint8_t> stringDescriptor(const std::string& text) {
    std::vector<uint8_t> d{uint8_t(2 + 2 * text.size()), 3};
    for (char c : text) putLe16(d, uint8_t(c));
    return d;
}

std::string threeDigits(int n) {
    char text[16];
    snprintf(text, sizeof(text), "%03d", n);
    return text;
}

// A readiness flag on a FIFO of one page: empty or holding one byte.
void setFifoHolding(int fd, bool& holding, bool want) {
    if (fd < 0 || holding == want) return;
    uint8_t byte = 0;
    const ssize_t n = want ? write(fd, &byte, 1) : read(fd, &byte, 1);
    if (n == 1) holding = want;
}

int makeFifo(const std::string& path) {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    unlink(path.c_str());
    if (mkfifo(path.c_str(), 0666) != 0) return -1;
    const int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) fcntl(fd, F_SETPIPE_SZ, 4096);
    return fd;
}

} // namespace

bool runUnderPreload() {
    const char* current = getenv("LD_PRELOAD");
    if (current != nullptr && strstr(current, "libumockdev-preload") != nullptr) return true;
    std::string preload = kPreload;
    if (current != nullptr && *current != '\0') preload += std::string(":") + current;
    if (setenv("LD_PRELOAD", preload.c_str(), 1) != 0) return false;
    std::string asan = getenv("ASAN_OPTIONS") != nullptr ? getenv("ASAN_OPTIONS") : "";
    if (asan.find("verify_asan_link_order") == std::string::npos) {
        asan += std::string(asan.empty() ? "" : ":") + "verify_asan_link_order=0";
        setenv("ASAN_OPTIONS", asan.c_str(), 1);
    }
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::vector<std::string> args;
    for (std::string arg; std::getline(in, arg, '\0');) args.push_back(arg);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv("/proc/self/exe", argv.data());
    return false;
}

const char* faultName(Fault fault) {
    switch (fault) {
    case Fault::None: return "none";
    case Fault::Stall: return "stall";
    case Fault::IoError: return "I/O error";
    case Fault::Nak: return "NAK";
    }
    return "unknown";
}

std::vector<uint8_t> usbDescriptors(const DeviceSpec& spec) {
    std::vector<uint8_t> d{18, 1};
    putLe16(d, 0x0200);
    d.insert(d.end(), {0, 0, 0, 64});
    putLe16(d, spec.vendor);
    putLe16(d, spec.product);
    putLe16(d, spec.bcdDevice);
    d.insert(d.end(), {1, 2, 3, 1});  // strings: manufacturer, product, serial; one configuration

    std::vector<uint8_t> c{9, 2, 0, 0, 0, 1, 0, 0x80, 50};
    uint8_t interfaces = 0;
    bool first = true;
    for (const auto& itf : spec.interfaces) {
        if (itf.alternate == 0) ++interfaces;
        const bool hid = first && !spec.hidReportDescriptor.empty();
        c.insert(c.end(), {9, 4, itf.number, itf.alternate, uint8_t(itf.endpoints.size()),
                           hid ? uint8_t(3) : itf.cls, itf.subClass, itf.protocol, 0});
        if (hid) {
            c.insert(c.end(), {9, 0x21, 0x11, 0x01, 0, 1, 0x22});
            putLe16(c, uint16_t(spec.hidReportDescriptor.size()));
        }
        for (const auto& ep : itf.endpoints) {
            c.insert(c.end(), {7, 5, ep.address, ep.attributes});
            putLe16(c, ep.maxPacket);
            c.push_back(ep.attributes == 0x03 ? 1 : 0);
        }
        first = false;
    }
    c[2] = uint8_t(c.size());
    c[3] = uint8_t(c.size() >> 8);
    c[4] = interfaces;
    d.insert(d.end(), c.begin(), c.end());
    return d;
}

// ---- timer ----------------------------------------------------------------

Timer::Timer() : thread_([this] { run(); }) {}

Timer::~Timer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        due_.clear();
    }
    wake_.notify_all();
    thread_.join();
}

void Timer::at(std::chrono::steady_clock::time_point when, std::function<void()> fn, const void* owner) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        due_.emplace(when, Entry{std::move(fn), owner});
    }
    wake_.notify_all();
}

void Timer::cancel(const void* owner) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto drop = [&] {
        for (auto it = due_.begin(); it != due_.end();)
            it = it->second.owner == owner ? due_.erase(it) : std::next(it);
    };
    drop();
    if (std::this_thread::get_id() == thread_.get_id()) return;
    wake_.wait(lock, [&] { return running_ != owner; });
    drop();  // what the call that was running scheduled
}

void Timer::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (due_.empty()) {
            wake_.wait(lock);
            continue;
        }
        const auto when = due_.begin()->first;
        if (std::chrono::steady_clock::now() < when) {
            wake_.wait_until(lock, when);
            continue;
        }
        Entry entry = std::move(due_.begin()->second);
        due_.erase(due_.begin());
        running_ = entry.owner;
        lock.unlock();
        entry.fn();
        lock.lock();
        running_ = nullptr;
        wake_.notify_all();
    }
}

// ---- one appearance of a device ---------------------------------------------

struct VirtualUsbDevice::Node {
    struct Urb {
        UMockdevIoctlData* urb = nullptr;     // owned reference
        UMockdevIoctlData* buffer = nullptr;  // owned reference
        unsigned long address = 0;            // in the client
        uint8_t type = 0, endpoint = 0;
        size_t length = 0, actual = 0;
        int status = 0;
    };
    struct Client {
        std::vector<unsigned> claimed;
        std::deque<Urb> pending, done;
    };

    VirtualUsbDevice* device;
    int devnum;
    std::string devnode, hidrawNode;
    int fifo = -1, hidFifo = -1;
    bool fifoHolding = false, hidHolding = false;
    UMockdevIoctlBase* handler = nullptr;
    UMockdevIoctlBase* hidHandler = nullptr;
    bool gone = false;
    std::map<UMockdevIoctlClient*, Client> clients;

    Node(VirtualUsbDevice* d, int number) : device(d), devnum(number) {}

    ~Node() {
        for (auto& [c, state] : clients) {
            (void)c;
            for (auto* q : {&state.pending, &state.done})
                for (auto& u : *q) release(u);
        }
        if (fifo >= 0) close(fifo);
        if (hidFifo >= 0) close(hidFifo);
    }

    static void release(Urb& u) {
        if (u.buffer != nullptr) umockdev_ioctl_data_unref(u.buffer);
        if (u.urb != nullptr) umockdev_ioctl_data_unref(u.urb);
        u.buffer = u.urb = nullptr;
    }

    // Moves pending IN URBs forward with the device's queued data and faults.
    void fillIn() {
        for (auto& [c, state] : clients) {
            (void)c;
            for (auto it = state.pending.begin(); it != state.pending.end();) {
                Urb& u = *it;
                bool complete = false;
                if (u.type == USBDEVFS_URB_TYPE_BULK && (u.endpoint & 0x80) != 0) {
                    auto& faults = device->faults_[u.endpoint];
                    if (u.actual == 0 && !faults.empty()) {
                        const Fault f = faults.front();
                        faults.pop_front();
                        if (f == Fault::Stall) device->halted_[u.endpoint] = true;
                        if (f != Fault::Nak) {
                            u.status = f == Fault::Stall ? -EPIPE : -EPROTO;
                            complete = true;
                        }
                    }
                    auto& queue = device->inQueue_[u.endpoint];
                    while (!complete && !queue.empty() && u.actual < u.length) {
                        auto& [bytes, ends] = queue.front();
                        const size_t n = std::min(bytes.size(), u.length - u.actual);
                        memcpy(u.buffer->data + u.actual, bytes.data(), n);
                        u.actual += n;
                        bytes.erase(bytes.begin(), bytes.begin() + long(n));
                        if (bytes.empty()) {
                            complete = ends;
                            queue.pop_front();
                        }
                        if (u.actual == u.length) complete = true;
                    }
                }
                if (complete) {
                    state.done.push_back(u);
                    it = state.pending.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }

    bool reapable() const {
        for (const auto& [c, state] : clients) {
            (void)c;
            if (!state.done.empty()) return true;
            if (gone) continue;
            for (const auto& u : state.pending) {
                if (u.type != USBDEVFS_URB_TYPE_BULK || (u.endpoint & 0x80) == 0) continue;
                auto q = device->inQueue_.find(u.endpoint);
                auto f = device->faults_.find(u.endpoint);
                if ((q != device->inQueue_.end() && !q->second.empty()) ||
                    (f != device->faults_.end() && !f->second.empty() && u.actual == 0))
                    return true;
            }
        }
        return false;
    }

    // Under the device's lock after every change.
    void updateFlags() {
        setFifoHolding(fifo, fifoHolding, !reapable());
        setFifoHolding(hidFifo, hidHolding, gone || !device->reports_.empty());
    }

    // Every pending URB ends: the device has gone.
    void vanish() {
        gone = true;
        for (auto& [c, state] : clients) {
            (void)c;
            for (auto& u : state.pending) {
                u.status = -ESHUTDOWN;
                state.done.push_back(u);
            }
            state.pending.clear();
        }
        updateFlags();
    }

    std::vector<uint8_t> controlAnswer(const uint8_t* setup, bool& stall) const {
        const uint8_t requestType = setup[0], request = setup[1];
        const uint8_t index = setup[2], type = setup[3];
        stall = false;
        if (requestType == 0x80 && request == 6) {
            const DeviceSpec& s = device->spec_;
            const auto all = usbDescriptors(s);
            if (type == 1) return {all.begin(), all.begin() + 18};
            if (type == 2) return {all.begin() + 18, all.end()};
            if (type == 3) {
                if (index == 0) return {4, 3, 0x09, 0x04};
                const std::string* texts[] = {&s.manufacturer, &s.productName, &s.serial};
                if (index >= 1 && index <= 3) return stringDescriptor(*texts[index - 1]);
            }
        }
        if (requestType == 0x80 && request == 0) return {0, 0};  // GET_STATUS
        stall = true;
        return {};
    }

    void submit(UMockdevIoctlClient* client, Client& state, std::unique_lock<std::mutex>& lock) {
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        Urb u;
        u.urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        if (u.urb == nullptr) return umockdev_ioctl_client_complete(client, -1, EFAULT);
        auto* urb = reinterpret_cast<usbdevfs_urb*>(u.urb->data);
        u.address = u.urb->client_addr;
        u.type = urb->type;
        u.endpoint = urb->endpoint;
        u.length = size_t(urb->buffer_length);
        u.buffer = umockdev_ioctl_data_resolve(u.urb, offsetof(usbdevfs_urb, buffer), u.length, nullptr);
        if (u.buffer == nullptr) {
            release(u);
            return umockdev_ioctl_client_complete(client, -1, EFAULT);
        }
        if (gone) {
            release(u);
            return umockdev_ioctl_client_complete(client, -1, ENODEV);
        }
        if (u.type == USBDEVFS_URB_TYPE_CONTROL) {
            bool stall = false;
            const auto answer = u.length >= 8 ? controlAnswer(u.buffer->data, stall) : std::vector<uint8_t>{};
            const size_t room = u.length >= 8 ? u.length - 8 : 0;
            const size_t wanted = u.length >= 8 ? size_t(u.buffer->data[6] | u.buffer->data[7] << 8) : 0;
            u.actual = std::min({answer.size(), room, wanted});
            memcpy(u.buffer->data + 8, answer.data(), u.actual);
            u.status = stall || u.length < 8 ? -EPIPE : 0;
            state.done.push_back(u);
        } else if ((u.endpoint & 0x80) != 0) {
            if (device->halted_[u.endpoint]) {
                u.status = -EPIPE;
                state.done.push_back(u);
            } else {
                state.pending.push_back(u);
            }
        } else {
            Fault fault = Fault::None;
            auto& faults = device->faults_[u.endpoint];
            if (device->halted_[u.endpoint]) {
                fault = Fault::Stall;
            } else if (!faults.empty()) {
                fault = faults.front();
                faults.pop_front();
                if (fault == Fault::Stall) device->halted_[u.endpoint] = true;
            }
            if (fault == Fault::Nak) {
                state.pending.push_back(u);
            } else if (fault != Fault::None) {
                u.status = fault == Fault::Stall ? -EPIPE : -EPROTO;
                state.done.push_back(u);
            } else {
                u.actual = u.length;
                device->outSizes_.push_back(u.length);
                const std::vector<uint8_t> bytes(u.buffer->data, u.buffer->data + u.length);
                state.done.push_back(u);
                auto onOut = device->onOut;
                const uint8_t endpoint = u.endpoint;
                if (onOut) {
                    lock.unlock();
                    onOut(endpoint, bytes.data(), bytes.size());
                    lock.lock();
                }
            }
        }
        umockdev_ioctl_client_complete(client, 0, 0);
    }

    void reap(UMockdevIoctlClient* client, Client& state) {
        fillIn();
        if (state.done.empty())
            return umockdev_ioctl_client_complete(client, -1, gone && state.pending.empty() ? ENODEV : EAGAIN);
        Urb u = state.done.front();
        state.done.pop_front();
        auto* urb = reinterpret_cast<usbdevfs_urb*>(u.urb->data);
        urb->status = u.status;
        urb->actual_length = int(u.actual);
        UMockdevIoctlData* slot =
            umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(void*), nullptr);
        if (slot == nullptr) {
            release(u);
            return umockdev_ioctl_client_complete(client, -1, EFAULT);
        }
        umockdev_ioctl_data_set_ptr(slot, 0, u.urb);
        umockdev_ioctl_client_complete(client, 0, 0);
        umockdev_ioctl_data_unref(slot);
        release(u);
    }

    void discard(UMockdevIoctlClient* client, Client& state) {
        // The argument is the URB's address itself.
        const unsigned long address = *reinterpret_cast<unsigned long*>(umockdev_ioctl_client_get_arg(client)->data);
        for (auto it = state.pending.begin(); it != state.pending.end(); ++it) {
            if (it->address != address) continue;
            it->status = -ECONNRESET;
            state.done.push_back(*it);
            state.pending.erase(it);
            return umockdev_ioctl_client_complete(client, 0, 0);
        }
        umockdev_ioctl_client_complete(client, -1, EINVAL);
    }

    bool readUInt(UMockdevIoctlClient* client, unsigned& value) {
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, 4, nullptr);
        if (d == nullptr) return false;
        memcpy(&value, d->data, 4);
        umockdev_ioctl_data_unref(d);
        return true;
    }

    bool writeBytes(UMockdevIoctlClient* client, const void* bytes, size_t n) {
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, n, nullptr);
        if (d == nullptr) return false;
        memcpy(d->data, bytes, n);
        umockdev_ioctl_client_complete(client, 0, 0);
        umockdev_ioctl_data_unref(d);
        return true;
    }

    // One claim per interface across all open files, as the kernel keeps it.
    bool claimedElsewhere(UMockdevIoctlClient* client, unsigned number) const {
        for (const auto& [c, state] : clients)
            if (c != client && std::find(state.claimed.begin(), state.claimed.end(), number) != state.claimed.end())
                return true;
        return false;
    }

    void usbIoctl(UMockdevIoctlClient* client) {
        std::unique_lock<std::mutex> lock(device->mutex_);
        Client& state = clients[client];
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        std::function<void(bool)> claimEvent;
        bool claimValue = false;
        unsigned number = 0;
        switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            const uint32_t caps = USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_BULK_CONTINUATION |
                                  USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT |
                                  USBDEVFS_CAP_ZERO_PACKET;
            if (!writeBytes(client, &caps, sizeof(caps))) umockdev_ioctl_client_complete(client, -1, EFAULT);
            break;
        }
        case USBDEVFS_SUBMITURB: submit(client, state, lock); break;
        case USBDEVFS_REAPURBNDELAY: reap(client, state); break;
        case USBDEVFS_DISCARDURB: discard(client, state); break;
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE: {
            if (!readUInt(client, number)) {
                umockdev_ioctl_client_complete(client, -1, EFAULT);
                break;
            }
            if (gone) {
                umockdev_ioctl_client_complete(client, -1, ENODEV);
                break;
            }
            auto& claimed = state.claimed;
            const auto it = std::find(claimed.begin(), claimed.end(), number);
            if (request == USBDEVFS_CLAIMINTERFACE) {
                if (claimedElsewhere(client, number)) {
                    umockdev_ioctl_client_complete(client, -1, EBUSY);
                    break;
                }
                if (it == claimed.end()) {
                    claimed.push_back(number);
                    claimEvent = device->onClaim;
                    claimValue = true;
                }
            } else {
                if (it == claimed.end()) {
                    umockdev_ioctl_client_complete(client, -1, EINVAL);
                    break;
                }
                claimed.erase(it);
                claimEvent = device->onClaim;
            }
            umockdev_ioctl_client_complete(client, 0, 0);
            break;
        }
        case USBDEVFS_CLEAR_HALT:
            if (!readUInt(client, number)) {
                umockdev_ioctl_client_complete(client, -1, EFAULT);
            } else if (gone) {
                umockdev_ioctl_client_complete(client, -1, ENODEV);
            } else {
                device->halted_[uint8_t(number)] = false;
                ++device->clearHalts_;
                umockdev_ioctl_client_complete(client, 0, 0);
            }
            break;
        case USBDEVFS_SETINTERFACE:
            umockdev_ioctl_client_complete(client, gone ? -1 : 0, gone ? ENODEV : 0);
            break;
        case USBDEVFS_GET_SPEED:
            umockdev_ioctl_client_complete(client, device->spec_.speed >= 480 ? 3 : 2, 0);
            break;
        case USBDEVFS_CONNECTINFO: {
            usbdevfs_connectinfo info{unsigned(devnum), 0};
            if (!writeBytes(client, &info, sizeof(info))) umockdev_ioctl_client_complete(client, -1, EFAULT);
            break;
        }
        case USBDEVFS_GETDRIVER:
        case USBDEVFS_IOCTL:
            umockdev_ioctl_client_complete(client, -1, ENODATA);
            break;
        default:
            umockdev_ioctl_client_complete(client, -1, gone ? ENODEV : ENOTTY);
            break;
        }
        updateFlags();
        if (trace())
            fprintf(stderr, "usb %s: ioctl 0x%lx -> holding %d\n", devnode.c_str(), request, int(fifoHolding));
        lock.unlock();
        if (claimEvent) claimEvent(claimValue);
    }

    void hidIoctl(UMockdevIoctlClient* client) {
        std::lock_guard<std::mutex> lock(device->mutex_);
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        const DeviceSpec& s = device->spec_;
        const auto& rd = s.hidReportDescriptor;
        const unsigned nr = _IOC_NR(request);
        const size_t size = _IOC_SIZE(request);
        bool ok = true;
        if (gone) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return;
        }
        if (request == HIDIOCGRDESCSIZE) {
            const int n = int(rd.size());
            ok = writeBytes(client, &n, sizeof(n));
        } else if (request == HIDIOCGRDESC) {
            hidraw_report_descriptor d{};
            d.size = uint32_t(rd.size());
            memcpy(d.value, rd.data(), std::min(rd.size(), sizeof(d.value)));
            ok = writeBytes(client, &d, sizeof(d));
        } else if (request == HIDIOCGRAWINFO) {
            hidraw_devinfo info{3 /* BUS_USB */, int16_t(s.vendor), int16_t(s.product)};
            ok = writeBytes(client, &info, sizeof(info));
        } else if (_IOC_TYPE(request) == 'H' && (nr == 4 || nr == 5 || nr == 8)) {
            std::string text = nr == 4 ? s.manufacturer + " " + s.productName
                                       : nr == 5 ? "usb-virtual-1/input0" : s.serial;
            text.resize(std::min(text.size() + 1, size), '\0');
            UMockdevIoctlData* d = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, nullptr);
            ok = d != nullptr;
            if (ok) {
                memcpy(d->data, text.data(), text.size());
                umockdev_ioctl_client_complete(client, long(text.size()), 0);
                umockdev_ioctl_data_unref(d);
            }
        } else {
            umockdev_ioctl_client_complete(client, -1, EINVAL);  // feature reports are not emulated
        }
        if (!ok) umockdev_ioctl_client_complete(client, -1, EFAULT);
    }

    void hidRead(UMockdevIoctlClient* client) {
        std::lock_guard<std::mutex> lock(device->mutex_);
        UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
        if (gone) return umockdev_ioctl_client_complete(client, -1, ENODEV);
        auto& reports = device->reports_;
        if (reports.empty()) return umockdev_ioctl_client_complete(client, -1, EAGAIN);
        const auto report = std::move(reports.front());
        reports.pop_front();
        const size_t n = std::min(report.size(), size_t(buffer->data_len));
        memcpy(buffer->data, report.data(), n);
        umockdev_ioctl_client_complete(client, long(n), 0);
        updateFlags();
    }

    void hidWrite(UMockdevIoctlClient* client) {
        UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
        std::function<void(const uint8_t*, size_t)> onReport;
        {
            std::lock_guard<std::mutex> lock(device->mutex_);
            if (gone) return umockdev_ioctl_client_complete(client, -1, ENODEV);
            onReport = device->onReport;
        }
        const std::vector<uint8_t> report(buffer->data, buffer->data + buffer->data_len);
        umockdev_ioctl_client_complete(client, long(report.size()), 0);
        if (onReport) onReport(report.data(), report.size());
    }

    void vanished(UMockdevIoctlClient* client) {
        std::function<void(bool)> claimEvent;
        {
            std::lock_guard<std::mutex> lock(device->mutex_);
            auto it = clients.find(client);
            if (it == clients.end()) return;
            if (!it->second.claimed.empty() && !gone) claimEvent = device->onClaim;
            for (auto* q : {&it->second.pending, &it->second.done})
                for (auto& u : *q) release(u);
            clients.erase(it);
            updateFlags();
        }
        if (claimEvent) claimEvent(false);
    }

    static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        static_cast<Node*>(self)->usbIoctl(client);
        return TRUE;
    }
    static gboolean onHidIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        static_cast<Node*>(self)->hidIoctl(client);
        return TRUE;
    }
    static gboolean onHidRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        static_cast<Node*>(self)->hidRead(client);
        return TRUE;
    }
    static gboolean onHidWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        static_cast<Node*>(self)->hidWrite(client);
        return TRUE;
    }
    static void onConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        auto* node = static_cast<Node*>(self);
        std::lock_guard<std::mutex> lock(node->device->mutex_);
        node->clients[client];
    }
    static void onVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        static_cast<Node*>(self)->vanished(client);
    }
};

// ---- device -----------------------------------------------------------------

VirtualUsbDevice::VirtualUsbDevice(VirtualUsbBus& bus, DeviceSpec spec)
    : bus_(bus), spec_(std::move(spec)), port_(bus.takePort()) {}

VirtualUsbDevice::~VirtualUsbDevice() {
    unplug();
    for (auto& node : nodes_)
        detach(*node);
}

void VirtualUsbDevice::detach(Node& node) {
    if (node.handler != nullptr) {
        umockdev_testbed_detach_ioctl(bus_.testbed_, node.devnode.c_str(), nullptr);
        g_object_unref(node.handler);
        node.handler = nullptr;
    }
    if (node.hidHandler != nullptr) {
        umockdev_testbed_detach_ioctl(bus_.testbed_, node.hidrawNode.c_str(), nullptr);
        g_object_unref(node.hidHandler);
        node.hidHandler = nullptr;
    }
    bus_.releaseDeviceNumber(node.devnum);
}

void VirtualUsbDevice::retireNodes() {
    for (auto it = nodes_.begin(); it != nodes_.end();) {
        Node& node = **it;
        if (!node.gone || !node.clients.empty()) {
            ++it;
            continue;
        }
        detach(node);
        it = nodes_.erase(it);
    }
}

bool VirtualUsbDevice::plug(std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (plugged_) return true;
    UMockdevTestbed* tb = bus_.testbed_;
    retireNodes();
    const int devnum = bus_.takeDeviceNumber();
    if (devnum == 0) {
        if (error != nullptr) *error = "no free device number on the bus";
        return false;
    }
    auto node = std::make_unique<Node>(this, devnum);
    std::vector<std::string> paths;  // added to the test bed, parents first
    // Takes back what was made so far.
    auto fail = [&](const std::string& why) {
        if (error != nullptr) *error = why;
        for (auto it = paths.rbegin(); it != paths.rend(); ++it)
            umockdev_testbed_remove_device(tb, it->c_str());
        detach(*node);
        return false;
    };
    const std::string name = "1-" + std::to_string(port_);
    const std::string devnode = "/dev/bus/usb/001/" + threeDigits(devnum);
    const std::string busnum = "1\n", devnumText = std::to_string(devnum) + "\n";
    const std::string speed = std::to_string(spec_.speed) + "\n";
    const std::string dev = std::to_string(kUsbMajor) + ":" + std::to_string(devnum - 1) + "\n";
    auto hex4 = [](unsigned v) {
        char t[8];
        snprintf(t, sizeof(t), "%04x\n", v);
        return std::string(t);
    };
    const std::string idVendor = hex4(spec_.vendor), idProduct = hex4(spec_.product), bcd = hex4(spec_.bcdDevice);
    const std::string manufacturer = spec_.manufacturer + "\n", product = spec_.productName + "\n",
                      serial = spec_.serial + "\n";
    const std::string busText = "001", devText = threeDigits(devnum), devnumProp = std::to_string(devnum);
    const char* attributes[] = {"busnum", busnum.c_str(), "devnum", devnumText.c_str(), "speed", speed.c_str(),
                                "bConfigurationValue", "1\n", "dev", dev.c_str(), "idVendor", idVendor.c_str(),
                                "idProduct", idProduct.c_str(), "bcdDevice", bcd.c_str(),
                                "manufacturer", manufacturer.c_str(), "product", product.c_str(),
                                "serial", serial.c_str(), nullptr};
    const std::string minor = std::to_string(devnum - 1);
    const std::string productProp = idVendor.substr(0, 4) + "/" + idProduct.substr(0, 4) + "/" + bcd.substr(0, 4);
    const char* properties[] = {"DEVNAME", devnode.c_str(), "DEVTYPE", "usb_device", "BUSNUM", busText.c_str(),
                                "DEVNUM", devText.c_str(), "PRODUCT", productProp.c_str(), "MAJOR", "189",
                                "MINOR", minor.c_str(), nullptr};

    node->devnode = devnode;
    gchar* added = umockdev_testbed_add_devicev(tb, "usb", name.c_str(), nullptr, const_cast<gchar**>(attributes),
                                                const_cast<gchar**>(properties));
    if (added == nullptr) return fail("cannot add " + name);
    paths.push_back(added);
    g_free(added);
    const std::string sysPath = paths.front();
    const char* sys = sysPath.c_str();
    const auto descriptors = usbDescriptors(spec_);
    umockdev_testbed_set_attribute_binary(tb, sys, "descriptors", const_cast<uint8_t*>(descriptors.data()), gssize(descriptors.size()));

    const std::string root = bus_.root();
    node->fifo = makeFifo(root + devnode);
    if (node->fifo < 0) return fail("cannot make the node " + devnode + ": " + strerror(errno));
    node->handler = umockdev_ioctl_base_new();
    g_signal_connect(node->handler, "handle-ioctl", G_CALLBACK(Node::onIoctl), node.get());
    g_signal_connect(node->handler, "client-connected", G_CALLBACK(Node::onConnected), node.get());
    g_signal_connect(node->handler, "client-vanished", G_CALLBACK(Node::onVanished), node.get());
    GError* gerr = nullptr;
    if (!umockdev_testbed_attach_ioctl(tb, devnode.c_str(), node->handler, &gerr)) {
        const std::string why = gerr != nullptr ? gerr->message : "?";
        if (gerr != nullptr) g_error_free(gerr);
        return fail("cannot serve " + devnode + ": " + why);
    }

    if (!spec_.hidReportDescriptor.empty()) {
        const std::string ifname = name + ":1.0";
        const char* ifAttrs[] = {"bInterfaceNumber", "00\n", "bInterfaceClass", "03\n", nullptr};
        const char* ifProps[] = {"DEVTYPE", "usb_interface", nullptr};
        gchar* ifsys = umockdev_testbed_add_devicev(tb, "usb", ifname.c_str(), sys, const_cast<gchar**>(ifAttrs),
                                                    const_cast<gchar**>(ifProps));
        const int hidraw = bus_.takeHidrawNumber();
        char hidName[32];
        snprintf(hidName, sizeof(hidName), "0003:%04X:%04X.%04X", spec_.vendor, spec_.product, hidraw + 1);
        char hidId[40];
        snprintf(hidId, sizeof(hidId), "0003:0000%04X:0000%04X", spec_.vendor, spec_.product);
        const std::string hidNameProp = spec_.manufacturer + " " + spec_.productName;
        const char* hidProps[] = {"HID_ID", hidId, "HID_NAME", hidNameProp.c_str(), "HID_UNIQ", spec_.serial.c_str(),
                                  "HID_PHYS", "usb-virtual-1/input0", nullptr};
        const char* noAttrs[] = {nullptr};
        gchar* hidsys = ifsys == nullptr ? nullptr
                                         : umockdev_testbed_add_devicev(tb, "hid", hidName, ifsys,
                                                                        const_cast<gchar**>(noAttrs),
                                                                        const_cast<gchar**>(hidProps));
        if (hidsys != nullptr)
            umockdev_testbed_set_attribute_binary(tb, hidsys, "report_descriptor", const_cast<uint8_t*>(spec_.hidReportDescriptor.data()),
                                                  gssize(spec_.hidReportDescriptor.size()));
        node->hidrawNode = "/dev/hidraw" + std::to_string(hidraw);
        const std::string rawName = "hidraw" + std::to_string(hidraw);
        const std::string rawDev = std::to_string(kHidrawMajor) + ":" + std::to_string(hidraw) + "\n";
        const char* rawAttrs[] = {"dev", rawDev.c_str(), nullptr};
        const char* rawProps[] = {"DEVNAME", node->hidrawNode.c_str(), nullptr};
        gchar* rawsys = hidsys == nullptr ? nullptr
                                          : umockdev_testbed_add_devicev(tb, "hidraw", rawName.c_str(), hidsys,
                                                                         const_cast<gchar**>(rawAttrs),
                                                                         const_cast<gchar**>(rawProps));
        const bool complete = rawsys != nullptr;
        for (gchar* p : {ifsys, hidsys, rawsys}) {
            if (p != nullptr) paths.push_back(p);
            g_free(p);
        }
        if (!complete) return fail("cannot add the HID device of " + name);
        umockdev_testbed_set_attribute_link(tb, paths.back().c_str(), "device", "..");
        node->hidFifo = makeFifo(root + node->hidrawNode);
        node->hidHandler = umockdev_ioctl_base_new();
        g_signal_connect(node->hidHandler, "handle-ioctl", G_CALLBACK(Node::onHidIoctl), node.get());
        g_signal_connect(node->hidHandler, "handle-read", G_CALLBACK(Node::onHidRead), node.get());
        g_signal_connect(node->hidHandler, "handle-write", G_CALLBACK(Node::onHidWrite), node.get());
        g_signal_connect(node->hidHandler, "client-connected", G_CALLBACK(Node::onConnected), node.get());
        g_signal_connect(node->hidHandler, "client-vanished", G_CALLBACK(Node::onVanished), node.get());
        if (node->hidFifo < 0 ||
            !umockdev_testbed_attach_ioctl(tb, node->hidrawNode.c_str(), node->hidHandler, nullptr))
            return fail("cannot serve " + node->hidrawNode);
    }
    // Stale queues belong to the last appearance.
    inQueue_.clear();
    faults_.clear();
    halted_.clear();
    reports_.clear();
    sysPaths_ = std::move(paths);
    node->updateFlags();
    // The test bed announced the device before its descriptors and node existed; a
    // host that failed to take it then takes it now (one that did ignores the repeat).
    umockdev_testbed_uevent(tb, sysPaths_.front().c_str(), "add");
    nodes_.push_back(std::move(node));
    plugged_ = true;
    return true;
}

void VirtualUsbDevice::unplug() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!plugged_) return;
    plugged_ = false;
    UMockdevTestbed* tb = bus_.testbed_;
    for (auto it = sysPaths_.rbegin(); it != sysPaths_.rend(); ++it)
        umockdev_testbed_uevent(tb, it->c_str(), "remove");
    for (auto it = sysPaths_.rbegin(); it != sysPaths_.rend(); ++it)
        umockdev_testbed_remove_device(tb, it->c_str());
    sysPaths_.clear();
    nodes_.back()->vanish();
}

bool VirtualUsbDevice::plugged() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return plugged_;
}

int VirtualUsbDevice::deviceNumber() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return nodes_.empty() ? 0 : nodes_.back()->devnum;
}

void VirtualUsbDevice::pushIn(uint8_t endpoint, std::vector<uint8_t> data, bool endTransfer) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!plugged_) return;
    inQueue_[endpoint].emplace_back(std::move(data), endTransfer);
    nodes_.back()->updateFlags();
}

void VirtualUsbDevice::pushReport(std::vector<uint8_t> report) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!plugged_) return;
    reports_.push_back(std::move(report));
    nodes_.back()->updateFlags();
}

void VirtualUsbDevice::queueFault(uint8_t endpoint, Fault fault, unsigned count) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (unsigned i = 0; i < count; ++i) faults_[endpoint].push_back(fault);
    if (plugged_) nodes_.back()->updateFlags();
}

bool VirtualUsbDevice::halted(uint8_t endpoint) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = halted_.find(endpoint);
    return it != halted_.end() && it->second;
}

std::vector<size_t> VirtualUsbDevice::outTransferSizes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outSizes_;
}

unsigned VirtualUsbDevice::clearHalts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return clearHalts_;
}

// ---- bus --------------------------------------------------------------------

VirtualUsbBus::VirtualUsbBus() {
    // Loaded, not merely named: without it the host would see the machine's real bus.
    void* preload = dlopen(kPreload, RTLD_NOW | RTLD_NOLOAD);
    if (preload == nullptr)
        throw std::runtime_error("the virtual USB bus needs the program to run under libumockdev-preload");
    dlclose(preload);
    testbed_ = umockdev_testbed_new();
    if (testbed_ == nullptr) throw std::runtime_error("cannot make the USB test bed");
    timer_ = std::make_unique<Timer>();
}

VirtualUsbBus::~VirtualUsbBus() {
    timer_.reset();
    g_object_unref(testbed_);
}

std::string VirtualUsbBus::root() const {
    gchar* r = umockdev_testbed_get_root_dir(testbed_);
    std::string result = r;
    g_free(r);
    return result;
}

int VirtualUsbBus::takeDeviceNumber() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int tries = 0; tries < 126; ++tries) {
        const int number = nextDevnum_;
        nextDevnum_ = nextDevnum_ == 127 ? 2 : nextDevnum_ + 1;
        if (devnumsInUse_.insert(number).second)
            return number;
    }
    return 0;
}

void VirtualUsbBus::releaseDeviceNumber(int number) {
    std::lock_guard<std::mutex> lock(mutex_);
    devnumsInUse_.erase(number);
}

int VirtualUsbBus::takePort() {
    std::lock_guard<std::mutex> lock(mutex_);
    return nextPort_++;
}

int VirtualUsbBus::takeHidrawNumber() {
    std::lock_guard<std::mutex> lock(mutex_);
    return nextHidraw_++;
}

} // namespace tandril::sim::usb

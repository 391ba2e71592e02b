#include "Tandril2/unix/tdusb_driver.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "Tandril2/common/discover.h"
#include "Tandril2/common/vFile.h"
#include "Tandril2/common/vStream.h"
#include "Tandril2/common/vTransferErrors.h"

namespace {

constexpr unsigned kWriteTimeoutMs = 50;
constexpr unsigned kReadTimeoutMs = 1000;
constexpr int kWriteFailureLimit = 10;
constexpr int kKernelWriteCalls = 1000;
// Some host controllers mishandle a transfer of exactly one 512-byte packet.
constexpr size_t kAvoidedChunk = 512;
// Used when the descriptor did not give a packet size.
constexpr uint16_t kFallbackPacket = 64;

std::mutex gContextLock;
libusb_context* gContext = nullptr;

void sNodePath(const char* serial, char* buffer, size_t size) { std::snprintf(buffer, size, "/dev/tandril.%s", serial); }

} // namespace

const char* tdusb_state_name(uint32_t state) {
    switch (state) {
    case TDUSB_STATE_CREATED: return "created";
    case TDUSB_STATE_CLOSED: return "closed";
    case TDUSB_STATE_OPENED: return "opened";
    case TDUSB_STATE_READY: return "ready";
    case TDUSB_STATE_FAILED: return "failed";
    default: return "unknown";
    }
}

libusb_context* Tandril_libusb_context() {
    std::lock_guard guard(gContextLock);
    if (gContext == nullptr && libusb_init(&gContext) != 0)
        gContext = nullptr;
    return gContext;
}

vErr Tandril_libusb_init() { return Tandril_libusb_context() != nullptr ? vErrNone : vErrInitialization; }

void Tandril_libusb_exit() {
    std::lock_guard guard(gContextLock);
    if (gContext != nullptr)
        libusb_exit(gContext);
    gContext = nullptr;
}

bool is_tandril_device(libusb_device* device) {
    libusb_device_descriptor descriptor{};
    if (device == nullptr || libusb_get_device_descriptor(device, &descriptor) != 0)
        return false;
    return tdusb_is_module_product(descriptor.idVendor, descriptor.idProduct);
}

bool tdusb_parse_serial(const char* text, uint32_t* serial) {
    if (text == nullptr || std::strlen(text) != 8)
        return false;
    uint32_t value = 0;
    for (int i = 0; i < 8; ++i) {
        const char c = text[i];
        const int digit = c >= '0' && c <= '9' ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0)
            return false;
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    *serial = value;
    return true;
}

size_t tdusb_write_chunk(uint16_t maxPacket, size_t remaining) {
    const size_t chunk = std::min<size_t>(maxPacket != 0 ? maxPacket : kFallbackPacket, remaining);
    return chunk == kAvoidedChunk ? kAvoidedChunk - 1 : chunk;
}

int find_usb_endpoints(tdusb* usb) {
    libusb_device* device = libusb_get_device(usb->handle);
    libusb_config_descriptor* config = nullptr;
    if (int rc = libusb_get_config_descriptor(device, 0, &config); rc != 0)
        return rc;
    bool haveIn = false;
    bool haveOut = false;
    for (int i = 0; i < config->bNumInterfaces && !(haveIn && haveOut); ++i) {
        const libusb_interface& interface = config->interface[i];
        for (int a = 0; a < interface.num_altsetting && !(haveIn && haveOut); ++a) {
            const libusb_interface_descriptor& setting = interface.altsetting[a];
            if (setting.bInterfaceClass != kTandrilInterfaceClass ||
                setting.bInterfaceSubClass != kTandrilInterfaceSubClass ||
                setting.bInterfaceProtocol != kTandrilInterfaceProtocol)
                continue;
            usb->interfaceNumber = setting.bInterfaceNumber;
            for (int e = 0; e < setting.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
                if ((endpoint.bmAttributes & 0x02) == 0) // bulk or interrupt only
                    continue;
                const int reported = libusb_get_max_packet_size(device, endpoint.bEndpointAddress);
                const uint16_t packet = reported > 0 ? static_cast<uint16_t>(reported) : endpoint.wMaxPacketSize;
                if (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
                    usb->inEndpoint = endpoint.bEndpointAddress;
                    usb->inMaxPacket = packet;
                    haveIn = true;
                } else {
                    usb->outEndpoint = endpoint.bEndpointAddress;
                    usb->outMaxPacket = packet;
                    haveOut = true;
                }
            }
        }
    }
    libusb_free_config_descriptor(config);
    return haveIn && haveOut ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

bool tdusb_is_kernel_driver_installed(uint32_t serialNumber) {
    char serial[16];
    char path[64];
    std::snprintf(serial, sizeof(serial), "%08X", serialNumber);
    sNodePath(serial, path, sizeof(path));
    return vFile_Exists(path);
}

tdusb* tdusb_create_usb(uint32_t mode) {
    if (mode != TDUSB_MODE_LIBUSB && mode != TDUSB_MODE_KERNEL)
        return nullptr;
    if (mode == TDUSB_MODE_LIBUSB && Tandril_libusb_context() == nullptr)
        return nullptr;
    auto* usb = new (std::nothrow) tdusb{};
    if (usb == nullptr)
        return nullptr;
    usb->mode = mode;
    usb->node = -1;
    usb->state = TDUSB_STATE_CREATED;
    usb->next = usb->receive;
    return usb;
}

vErr tdusb_open_tandril_USBlib_device(tdusb* usb, const char* serial) {
    if (usb == nullptr || serial == nullptr)
        return vErrParam;
    if (usb->mode != TDUSB_MODE_LIBUSB)
        return vErrMode;
    if (usb->state == 0)
        return vErrResource;
    libusb_context* context = Tandril_libusb_context();
    libusb_device** list = nullptr;
    const ssize_t count = context != nullptr ? libusb_get_device_list(context, &list) : -1;
    if (count < 0)
        return vErrNotFound;
    vErr result = vErrNotFound;
    for (ssize_t i = 0; i < count; ++i) {
        if (!is_tandril_device(list[i]))
            continue;
        libusb_device_handle* handle = nullptr;
        if (libusb_open(list[i], &handle) != 0)
            continue;
        libusb_device_descriptor descriptor{};
        unsigned char found[kTdusbSerialSize] = {};
        // Hexadecimal digits: a module that reports them in lower case is the same module.
        if (libusb_get_device_descriptor(list[i], &descriptor) != 0 ||
            libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, found, sizeof(found) - 1) <= 0 ||
            strcasecmp(reinterpret_cast<char*>(found), serial) != 0) {
            libusb_close(handle);
            continue;
        }
        std::snprintf(usb->serial, sizeof(usb->serial), "%s", serial);
        usb->handle = handle;
        usb->state = TDUSB_STATE_OPENED;
        if (find_usb_endpoints(usb) != 0) {
            result = vErrConfiguration;
        } else {
            const int rc = libusb_claim_interface(handle, usb->interfaceNumber);
            if (rc == 0) {
                std::lock_guard guard(usb->toleranceLock);
                usb->errorCount = 0;
                usb->state = TDUSB_STATE_READY;
                result = vErrNone;
            } else if (rc == LIBUSB_ERROR_BUSY || rc == LIBUSB_ERROR_NO_DEVICE) {
                result = vErrBusy;
            } else {
                result = rc == LIBUSB_ERROR_ACCESS ? vErrPermission : vErrUnknown;
            }
        }
        if (result != vErrNone) {
            libusb_close(handle);
            usb->handle = nullptr;
            usb->state = TDUSB_STATE_CLOSED;
        }
        break;
    }
    libusb_free_device_list(list, 1);
    return result;
}

vErr tdusb_open_tandril_kernel_device(tdusb* usb, const char* serial) {
    if (usb == nullptr || serial == nullptr)
        return vErrParam;
    if (usb->mode != TDUSB_MODE_KERNEL)
        return vErrMode;
    std::snprintf(usb->serial, sizeof(usb->serial), "%s", serial);
    char path[kTdusbSerialSize + 16];
    sNodePath(usb->serial, path, sizeof(path));
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == EBUSY ? vErrBusy : vErrIO;
    usb->node = fd;
    return vErrNone;
}

vErr tdusb_open_tandril_device(tdusb* usb, const char* serial) {
    if (usb == nullptr)
        return vErrParam;
    return usb->mode == TDUSB_MODE_LIBUSB ? tdusb_open_tandril_USBlib_device(usb, serial)
                                          : tdusb_open_tandril_kernel_device(usb, serial);
}

vErr _handleErrorTolerance(tdusb* usb, vErr result) {
    std::lock_guard guard(usb->toleranceLock);
    bool failed = false;
    result = vTransfer_FilterResult(result, &usb->errorCount, &failed);
    if (failed)
        usb->state = TDUSB_STATE_FAILED;
    return result;
}

namespace {

// Reads and writes work only once the interface is claimed. vErrNone when ready.
vErr sCheckReady(const tdusb* usb, const char* what) {
    const uint32_t state = usb->state;
    if (state == TDUSB_STATE_READY)
        return vErrNone;
    if (state == TDUSB_STATE_CLOSED)
        return vErrConnection;
    if (state == TDUSB_STATE_CREATED || state == TDUSB_STATE_OPENED)
        return vErrNotReady;
    vDiscovery_Trace(vTRACE_USB, "libusb %s error dev state: %d\n", what, state);
    return vErrIO;
}

} // namespace

vErr tdusb_write_to_USBlib_device(tdusb* usb, const uint8_t* data, size_t length) {
    if (usb == nullptr || data == nullptr)
        return vErrParam;
    if (usb->mode != TDUSB_MODE_LIBUSB)
        return vErrMode;
    if (vErr err = sCheckReady(usb, "WRITE"); err != vErrNone)
        return err;
    vErr result = vErrNone;
    int failures = 0;
    while (length > 0 && failures < kWriteFailureLimit) {
        const size_t chunk = tdusb_write_chunk(usb->outMaxPacket, length);
        int transferred = 0;
        const int rc = libusb_bulk_transfer(usb->handle, usb->outEndpoint, const_cast<uint8_t*>(data),
                                            static_cast<int>(chunk), &transferred, kWriteTimeoutMs);
        // Bytes that went out are never sent twice, even by a transfer that then
        // failed: a repeated byte would corrupt the packet stream.
        if (transferred > 0) {
            data += transferred;
            length -= static_cast<size_t>(transferred);
        }
        if (rc == 0)
            continue;
        ++failures;
        vDiscovery_Trace(vTRACE_USB, "libusb error: %d\n", rc);
        if (rc == LIBUSB_ERROR_PIPE) {
            if (int halt = libusb_clear_halt(usb->handle, usb->outEndpoint); halt != 0) {
                vDiscovery_Trace(vTRACE_USB, "libusb WRITE error clearing halt: %d\n", halt);
                result = vErrIO;
            }
        }
    }
    if (length > 0)
        result = vErrWrite;
    return _handleErrorTolerance(usb, result);
}

vErr tdusb_get_from_USBlib_device(tdusb* usb, uint8_t* byte) {
    if (usb == nullptr || byte == nullptr)
        return vErrParam;
    if (usb->mode != TDUSB_MODE_LIBUSB)
        return vErrMode;
    vErr result = vErrNone;
    if (usb->waiting <= 0) {
        if (vErr err = sCheckReady(usb, "READ"); err != vErrNone)
            return err;
        int transferred = 0;
        const int rc = libusb_bulk_transfer(usb->handle, usb->inEndpoint, usb->receive, sizeof(usb->receive),
                                            &transferred, kReadTimeoutMs);
        if ((rc == 0 || rc == LIBUSB_ERROR_TIMEOUT) && transferred > 0) {
            usb->next = usb->receive;
            usb->waiting = transferred;
        } else if (rc == LIBUSB_ERROR_PIPE) {
            libusb_clear_halt(usb->handle, usb->inEndpoint);
            result = vErrNotReady;
        } else if (rc == 0 || rc == LIBUSB_ERROR_TIMEOUT) {
            result = vErrNotReady;
        } else {
            vDiscovery_Trace(vTRACE_USB, "libusb READ error bulk transfer: %d\n", rc);
            result = vErrIO;
        }
    }
    if (usb->waiting > 0) {
        *byte = *usb->next++;
        --usb->waiting;
    }
    const vErr filtered = _handleErrorTolerance(usb, result);
    // A tolerated error has no byte to hand out: "nothing yet", never a made-up byte.
    return result == vErrIO && filtered == vErrNone ? vErrNotReady : filtered;
}

vErr tdusb_write_to_kernel_device(tdusb* usb, const uint8_t* data, size_t length) {
    if (usb == nullptr || data == nullptr)
        return vErrParam;
    if (usb->mode != TDUSB_MODE_KERNEL || usb->node < 0)
        return vErrMode;
    for (int calls = 0; length > 0 && calls < kKernelWriteCalls; ++calls) {
        const ssize_t sent = ::write(usb->node, data, length);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0)
            return vErrIO;
        data += sent;
        length -= static_cast<size_t>(sent);
    }
    return length == 0 ? vErrNone : vErrIO;
}

vErr tdusb_get_from_kernel_device(tdusb* usb, uint8_t* byte) {
    if (usb == nullptr || byte == nullptr)
        return vErrParam;
    if (usb->mode != TDUSB_MODE_KERNEL || usb->node < 0)
        return vErrMode;
    if (!vStream_WaitReadable(usb->node, kStreamIdleWaitMs))
        return vErrNotReady;
    const ssize_t got = ::read(usb->node, byte, 1);
    if (got == 1)
        return vErrNone;
    if (got == 0 || errno == EFAULT || errno == EAGAIN || errno == EINTR)
        return vErrNotReady;
    return vErrIO;
}

vErr tdusb_write_to_device(tdusb* usb, const uint8_t* data, size_t length) {
    if (usb == nullptr)
        return vErrParam;
    return usb->mode == TDUSB_MODE_LIBUSB ? tdusb_write_to_USBlib_device(usb, data, length)
                                          : tdusb_write_to_kernel_device(usb, data, length);
}

vErr tdusb_get_from_device(tdusb* usb, uint8_t* byte) {
    if (usb == nullptr)
        return vErrParam;
    return usb->mode == TDUSB_MODE_LIBUSB ? tdusb_get_from_USBlib_device(usb, byte)
                                          : tdusb_get_from_kernel_device(usb, byte);
}

vErr tdusb_close_tandril_device(tdusb* usb) {
    if (usb == nullptr)
        return vErrParam;
    if (usb->mode == TDUSB_MODE_LIBUSB) {
        if (usb->handle == nullptr)
            return vErrMode;
        libusb_release_interface(usb->handle, usb->interfaceNumber);
        libusb_close(usb->handle);
        usb->handle = nullptr;
        usb->inEndpoint = usb->outEndpoint = usb->interfaceNumber = 0;
        usb->state = TDUSB_STATE_CLOSED;
        return vErrNone;
    }
    if (usb->node < 0)
        return vErrNone;
    if (::close(usb->node) != 0)
        return vErrCancel;
    usb->node = -1;
    usb->state = TDUSB_STATE_CLOSED;
    return vErrNone;
}

vErr tdusb_destroy(tdusb** usb) {
    if (usb == nullptr || *usb == nullptr)
        return vErrParam;
    if ((*usb)->handle != nullptr || (*usb)->node >= 0)
        tdusb_close_tandril_device(*usb);
    delete *usb;
    *usb = nullptr;
    return vErrNone;
}

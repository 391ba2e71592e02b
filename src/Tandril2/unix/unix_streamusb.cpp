#include "Tandril2/unix/unix_streamusb.h"

#include <cstdio>
#include <new>

#include "Tandril2/unix/tdusb_driver.h"

namespace {

constexpr uint16_t kUsbStreamTag = 0xDEAD;

struct UsbStream {
    uint32_t serialNumber;
    tdusb* usb; // owned
    uint16_t tag;
};

UsbStream* sUsbStream(void* reference) {
    auto* stream = static_cast<UsbStream*>(reference);
    return stream != nullptr && stream->tag == kUsbStreamTag ? stream : nullptr;
}

vErr sUsbGet(uint8_t* byte, void* reference) {
    UsbStream* stream = sUsbStream(reference);
    return stream != nullptr ? tdusb_get_from_device(stream->usb, byte) : vErrParam;
}

vErr sUsbWrite(const uint8_t* data, size_t length, void* reference) {
    UsbStream* stream = sUsbStream(reference);
    return stream != nullptr ? tdusb_write_to_device(stream->usb, data, length) : vErrParam;
}

vErr sUsbPut(const uint8_t* byte, void* reference) { return sUsbWrite(byte, 1, reference); }

vErr sUsbDelete(void* reference) {
    UsbStream* stream = sUsbStream(reference);
    if (stream == nullptr)
        return vErrParam;
    const vErr closed = tdusb_close_tandril_device(stream->usb);
    if (closed != vErrNone) {
        // The descriptor's state is unknown after a failed close; closing it again
        // could close a descriptor that someone else has opened since.
        stream->usb->node = -1;
        stream->usb->handle = nullptr;
    }
    tdusb_destroy(&stream->usb);
    stream->tag = 0;
    delete stream;
    return closed;
}

} // namespace

vErr vStream_CreateUSB(uint32_t serialNumber, vStream** out) {
    if (out == nullptr)
        return vErrParam;
    *out = nullptr;
    if (serialNumber == 0)
        return vErrParam;
    auto* stream = new (std::nothrow) UsbStream{serialNumber, nullptr, kUsbStreamTag};
    if (stream == nullptr)
        return vErrMemory;
    char serial[16];
    std::snprintf(serial, sizeof(serial), "%08X", serialNumber);
    // The family's kernel driver, when it serves this module, takes precedence over libusb.
    const uint32_t mode = tdusb_is_kernel_driver_installed(serialNumber) ? TDUSB_MODE_KERNEL : TDUSB_MODE_LIBUSB;
    stream->usb = tdusb_create_usb(mode);
    if (stream->usb == nullptr) {
        delete stream;
        return vErrResource;
    }
    if (vErr err = tdusb_open_tandril_device(stream->usb, serial); err != vErrNone) {
        tdusb_destroy(&stream->usb);
        delete stream;
        return err;
    }
    *out = vStream_Create(sUsbGet, sUsbPut, sUsbWrite, sUsbDelete, stream);
    if (*out == nullptr) {
        sUsbDelete(stream);
        return vErrMemory;
    }
    return vErrNone;
}

// USB access to Tandril modules: the process-wide libusb context, module
// recognition, open/claim/close, bulk transfers, and the kernel device node
// "/dev/tandril.%08X" that is used instead of libusb whenever it exists.
//
// Threads: one reader (tdusb_get_from_device) and one writer (tdusb_write_to_device)
// may use a record at the same time; the receive buffer belongs to the reader.
#pragma once

#include <atomic>
#include <mutex>
#include <cstddef>
#include <cstdint>

#include <libusb.h>

#include "Tandril2/common/vError.h"

// USB vendor ID of the module family; a build-time configuration constant.
#ifndef TANDRIL_VENDOR_ID
#define TANDRIL_VENDOR_ID 0x3A1D
#endif

// The module's link interface in its first configuration.
constexpr uint8_t kTandrilInterfaceClass = 0xFF;
constexpr uint8_t kTandrilInterfaceSubClass = 0x88;
constexpr uint8_t kTandrilInterfaceProtocol = 0x10;

enum tdusbMode : uint32_t { TDUSB_MODE_KERNEL = 0, TDUSB_MODE_LIBUSB = 1 };

enum tdusbState : uint32_t {
    TDUSB_STATE_CREATED = 1,
    TDUSB_STATE_CLOSED = 2,
    TDUSB_STATE_OPENED = 3,   // device open, interface not yet claimed
    TDUSB_STATE_READY = 4,    // interface claimed
    TDUSB_STATE_FAILED = 5,   // too many consecutive I/O errors; stays unusable
};
const char* tdusb_state_name(uint32_t state);

constexpr size_t kTdusbReceiveSize = 1024;
constexpr size_t kTdusbSerialSize = 256;

struct tdusb {
    uint32_t mode;                       // tdusbMode
    char serial[kTdusbSerialSize];       // eight upper-case hex digits
    int node;                            // kernel node descriptor, -1 when closed
    libusb_device_handle* handle;        // libusb handle, null when closed
    std::atomic<uint32_t> state;         // tdusbState; shared by reader and writer
    uint8_t interfaceNumber;
    uint8_t outEndpoint;
    uint8_t inEndpoint;                  // bit 7 set
    uint8_t receive[kTdusbReceiveSize];  // last IN transfer
    int waiting;                         // unread bytes in `receive`
    uint8_t* next;                       // next byte to hand out
    uint32_t errorCount;                 // consecutive vErrIO results, under toleranceLock
    uint16_t inMaxPacket;
    uint16_t outMaxPacket;
    std::mutex toleranceLock;            // reader and writer both count errors
};

// The process-wide libusb context, made on first use (null when libusb_init fails).
libusb_context* Tandril_libusb_context();
// Makes sure the context exists. vErrNone or vErrInitialization.
vErr Tandril_libusb_init();
// Drops the context; the next use makes a new one (refreshes libusb's device view).
void Tandril_libusb_exit();

// True for the module family's vendor ID with a product ID whose bit 15 is clear.
bool is_tandril_device(libusb_device* device);
// True when a product ID belongs to a module; its low byte is the model code.
inline bool tdusb_is_module_product(uint16_t vendor, uint16_t product) {
    return vendor == TANDRIL_VENDOR_ID && (product & 0x8000) == 0;
}
// Reads a serial-number string descriptor: exactly eight hexadecimal digits.
// False (and *serial untouched) for anything else.
bool tdusb_parse_serial(const char* text, uint32_t* serial);
// Size of the next OUT transfer: one packet of at most `maxPacket` bytes, never
// exactly 512 (sent as 511).
size_t tdusb_write_chunk(uint16_t maxPacket, size_t remaining);
// Finds the link interface and its bulk endpoints. Returns a libusb code: 0,
// LIBUSB_ERROR_NO_DEVICE when the IN or OUT endpoint is missing, or the error of
// reading the descriptors.
int find_usb_endpoints(tdusb* usb);

// True when the module's kernel device node exists.
bool tdusb_is_kernel_driver_installed(uint32_t serialNumber);

// A new record in state 1 (libusb mode makes sure the context exists), or null.
tdusb* tdusb_create_usb(uint32_t mode);
// Opens the module with that serial string by the record's mode.
// libusb: vErrMode, vErrResource, vErrNotFound, vErrConfiguration (no link
// interface/endpoints), vErrBusy, vErrPermission, vErrUnknown. Kernel node: vErrMode,
// vErrBusy, vErrIO.
vErr tdusb_open_tandril_device(tdusb* usb, const char* serial);
vErr tdusb_open_tandril_USBlib_device(tdusb* usb, const char* serial);
vErr tdusb_open_tandril_kernel_device(tdusb* usb, const char* serial);
// Sends a block. libusb: vErrMode, vErrConnection (closed), vErrNotReady (not yet
// claimed), vErrIO, vErrWrite (bytes left after ten failed transfers); the first four
// consecutive I/O errors pass as vErrNone. Kernel node: vErrMode, vErrIO.
vErr tdusb_write_to_device(tdusb* usb, const uint8_t* data, size_t length);
vErr tdusb_write_to_USBlib_device(tdusb* usb, const uint8_t* data, size_t length);
vErr tdusb_write_to_kernel_device(tdusb* usb, const uint8_t* data, size_t length);
// Takes one byte: vErrNone, vErrNotReady (nothing waiting; also a tolerated I/O
// error, since there is no byte to hand out), vErrMode, vErrConnection, vErrIO.
vErr tdusb_get_from_device(tdusb* usb, uint8_t* byte);
vErr tdusb_get_from_USBlib_device(tdusb* usb, uint8_t* byte);
vErr tdusb_get_from_kernel_device(tdusb* usb, uint8_t* byte);
// Closes by mode. libusb: vErrMode without a handle. Kernel node: vErrCancel when
// close fails (the descriptor is kept).
vErr tdusb_close_tandril_device(tdusb* usb);
// Closes a handle that is still open, frees the record, nulls *usb. vErrParam for null.
vErr tdusb_destroy(tdusb** usb);

// The error tolerance applied to every libusb transfer result: the first four
// consecutive vErrIO results pass as vErrNone; the fifth marks the record failed and
// is returned. Any other result resets the count.
vErr _handleErrorTolerance(tdusb* usb, vErr result);

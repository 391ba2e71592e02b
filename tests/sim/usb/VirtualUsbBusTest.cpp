// The virtual bus as plain libusb sees it: enumeration from sysfs, string
// descriptors over control transfers, claims per open file, bulk transfers and
// partial data on a time-out, stalls, and a device that leaves and returns.
#include <gtest/gtest.h>

#include <libusb.h>

#include <chrono>
#include <string>
#include <thread>

#include "VirtualUsbBus.h"

using namespace tandril::sim::usb;

namespace {

const bool kPreloaded = runUnderPreload();

DeviceSpec bulkDevice(const std::string& serial) {
    DeviceSpec spec;
    spec.vendor = 0x3A1D;
    spec.product = 0x0011;
    spec.manufacturer = "Vornic";
    spec.productName = "Virtual";
    spec.serial = serial;
    spec.interfaces.push_back({0, 0, 0xFF, 0x88, 0x10, {{0x81, 2, 64}, {0x02, 2, 64}}});
    return spec;
}

struct Context {
    libusb_context* ctx = nullptr;
    Context() { libusb_init(&ctx); }
    ~Context() { libusb_exit(ctx); }
    // Opens the first device with that serial number, or null.
    libusb_device_handle* open(const std::string& serial) {
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(ctx, &list);
        libusb_device_handle* found = nullptr;
        for (ssize_t i = 0; i < n && found == nullptr; ++i) {
            libusb_device_descriptor d{};
            libusb_device_handle* h = nullptr;
            if (libusb_get_device_descriptor(list[i], &d) != 0 || libusb_open(list[i], &h) != 0) continue;
            unsigned char text[64] = {};
            if (libusb_get_string_descriptor_ascii(h, d.iSerialNumber, text, sizeof(text)) > 0 &&
                serial == reinterpret_cast<char*>(text))
                found = h;
            else
                libusb_close(h);
        }
        if (n >= 0) libusb_free_device_list(list, 1);
        return found;
    }
};

} // namespace

TEST(VirtualUsbBus, EnumeratesTransfersAndReplugs) {
    ASSERT_TRUE(kPreloaded);
    VirtualUsbBus bus;
    VirtualUsbDevice device(bus, bulkDevice("0012ABCD"));
    std::vector<uint8_t> received;
    device.onOut = [&](uint8_t, const uint8_t* d, size_t n) {
        received.assign(d, d + n);
        device.pushIn(0x81, {d, d + n});  // echo
    };
    std::string error;
    ASSERT_TRUE(device.plug(&error)) << error;

    Context usb;
    libusb_device_handle* h = usb.open("0012ABCD");
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    uint8_t out[3] = {1, 2, 3};
    int done = 0;
    ASSERT_EQ(libusb_bulk_transfer(h, 0x02, out, 3, &done, 50), 0);
    EXPECT_EQ(done, 3);
    uint8_t in[1024];
    ASSERT_EQ(libusb_bulk_transfer(h, 0x81, in, sizeof(in), &done, 1000), 0);
    EXPECT_EQ(std::vector<uint8_t>(in, in + done), std::vector<uint8_t>({1, 2, 3}));

    // Bytes without the end of a transfer arrive with the time-out.
    device.pushIn(0x81, {7, 8}, false);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, in, sizeof(in), &done, 100), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(done, 2);

    // A stall holds until the halt is cleared.
    device.queueFault(0x02, Fault::Stall);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x02, out, 3, &done, 50), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x02, out, 3, &done, 50), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_clear_halt(h, 0x02), 0);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x02, out, 3, &done, 50), 0);

    // A second open file cannot claim the same interface.
    libusb_device_handle* other = usb.open("0012ABCD");
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(libusb_claim_interface(other, 0), LIBUSB_ERROR_BUSY);
    libusb_close(other);

    const int first = device.deviceNumber();
    device.unplug();
    EXPECT_NE(libusb_bulk_transfer(h, 0x02, out, 3, &done, 50), 0);
    libusb_close(h);
    ASSERT_TRUE(device.plug(&error)) << error;
    EXPECT_NE(device.deviceNumber(), first);
    libusb_device_handle* again = nullptr;
    for (int i = 0; i < 100 && again == nullptr; ++i) {
        again = usb.open("0012ABCD");
        if (again == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(libusb_get_device_address(libusb_get_device(again)), device.deviceNumber());
    libusb_close(again);
}

TEST(VirtualUsbBus, DeviceNumbersOfLeftNodesAreTakenAgain) {
    ASSERT_TRUE(kPreloaded);
    VirtualUsbBus bus;
    VirtualUsbDevice device(bus, bulkDevice("00000001"));
    std::string error;
    // More appearances than a bus has device numbers: those no host holds come back.
    for (int i = 0; i < 140; ++i) {
        ASSERT_TRUE(device.plug(&error)) << i << ": " << error;
        device.unplug();
    }
    ASSERT_TRUE(device.plug(&error)) << error;
    Context usb;
    libusb_device_handle* h = usb.open("00000001");
    ASSERT_NE(h, nullptr);
    libusb_close(h);
}

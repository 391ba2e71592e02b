// USB access and USB enumeration against devices on the virtual bus: the library's
// own libusb code, unchanged, meets recognition rules, broken configurations,
// competing claimers, packet sizes, time-outs with partial data, I/O errors, stalls,
// and the kernel node that takes precedence over libusb.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "Tandril2/common/discover.h"
#include "Tandril2/common/vStream.h"
#include "Tandril2/unix/tdusb_driver.h"
#include "Tandril2/unix/unix_streamusb.h"
#include "UsbModule.h"

using namespace tandril::sim;
using namespace tandril::sim::usb;

namespace {

const bool kPreloaded = runUnderPreload();

DeviceSpec moduleSpec(uint32_t serial, uint16_t maxPacket = 512) {
    ModuleConfig config;
    config.serial = serial;
    config.model = 0x11;
    return moduleDeviceSpec(config, maxPacket);
}

struct Record {
    tdusb* usb = tdusb_create_usb(TDUSB_MODE_LIBUSB);
    ~Record() { tdusb_destroy(&usb); }
};

class TdusbBus : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(kPreloaded); }
    void TearDown() override { Tandril_libusb_exit(); }

    VirtualUsbDevice& plug(DeviceSpec spec) {
        devices_.push_back(std::make_unique<VirtualUsbDevice>(bus_, std::move(spec)));
        std::string error;
        EXPECT_TRUE(devices_.back()->plug(&error)) << error;
        return *devices_.back();
    }
    // A claimed record on the device with that serial string.
    void open(Record& r, const char* serial) {
        ASSERT_NE(r.usb, nullptr);
        ASSERT_EQ(tdusb_open_tandril_device(r.usb, serial), vErrNone);
        ASSERT_EQ(r.usb->state, TDUSB_STATE_READY);
    }

    VirtualUsbBus bus_;
    std::vector<std::unique_ptr<VirtualUsbDevice>> devices_;
};

struct Found {
    std::vector<std::pair<uint32_t, uint32_t>> modules;  // serial, model
    size_t stopAfter = 0;                                // 0: walk them all
};

bool collect(const linkSpec* spec, bool* found, void* reference) {
    auto* f = static_cast<Found*>(reference);
    f->modules.emplace_back(spec->serial_num, spec->model);
    *found = true;
    return f->stopAfter == 0 || f->modules.size() < f->stopAfter;
}

} // namespace

TEST_F(TdusbBus, EnumerationTakesModulesWithEightDigitSerialsOnly) {
    struct Case {
        uint16_t vendor, product;
        const char* serial;
    };
    const Case cases[] = {
        {TANDRIL_VENDOR_ID, 0x0011, "0012ABCD"},  // a module of model 0x11
        {TANDRIL_VENDOR_ID, 0x8001, "00000002"},  // bit 15 set: the family's other devices
        {0x1FC9, 0x0011, "00000003"},             // another vendor
        {TANDRIL_VENDOR_ID, 0x0142, "00AB0042"},  // model from the low byte only
        {TANDRIL_VENDOR_ID, 0x0011, "1234567"},   // seven characters
        {TANDRIL_VENDOR_ID, 0x0011, "0000XY12"},  // not hexadecimal
    };
    for (const auto& c : cases) {
        DeviceSpec spec = moduleSpec(1);
        spec.vendor = c.vendor;
        spec.product = c.product;
        spec.serial = c.serial;
        plug(spec);
    }
    Found all;
    EXPECT_EQ(vDiscovery_EnumerateModules(USB, collect, &all, 0), 2);
    std::sort(all.modules.begin(), all.modules.end());
    EXPECT_EQ(all.modules, (std::vector<std::pair<uint32_t, uint32_t>>{{0x0012ABCD, 0x11}, {0x00AB0042, 0x42}}));

    Found first;
    first.stopAfter = 1;
    EXPECT_EQ(vDiscovery_EnumerateModules(USB, collect, &first, 0), 1);
    EXPECT_EQ(first.modules.size(), 1u);

    linkSpec* spec = vDiscovery_FindModule(USB, 0x00AB0042, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->usb_id, 0x00AB0042u);
    vLinkSpec_Destroy(&spec);
}

TEST_F(TdusbBus, OpenFailures) {
    DeviceSpec inOnly = moduleSpec(0x00000010);
    inOnly.interfaces[0].endpoints.pop_back();  // the bulk OUT endpoint
    plug(inOnly);
    DeviceSpec wrongInterface = moduleSpec(0x00000011);
    wrongInterface.interfaces[0].protocol = 0x11;
    plug(wrongInterface);
    plug(moduleSpec(0x00000012));

    Record noOut;
    EXPECT_EQ(tdusb_open_tandril_device(noOut.usb, "00000010"), vErrConfiguration);
    EXPECT_EQ(noOut.usb->state, TDUSB_STATE_CLOSED);
    EXPECT_EQ(noOut.usb->handle, nullptr);

    Record noInterface;
    EXPECT_EQ(tdusb_open_tandril_device(noInterface.usb, "00000011"), vErrConfiguration);

    Record absent;
    EXPECT_EQ(tdusb_open_tandril_device(absent.usb, "00000099"), vErrNotFound);

    // Another holder of the interface (another process, to the kernel another open file).
    Record holder, second;
    open(holder, "00000012");
    EXPECT_EQ(tdusb_open_tandril_device(second.usb, "00000012"), vErrBusy);
    EXPECT_EQ(second.usb->state, TDUSB_STATE_CLOSED);
    // Once let go, it can be claimed.
    ASSERT_EQ(tdusb_close_tandril_device(holder.usb), vErrNone);
    Record third;
    open(third, "00000012");
}

TEST_F(TdusbBus, WritesOnePacketPerTransferAndNever512) {
    auto& device = plug(moduleSpec(0x00000020, 512));
    std::vector<uint8_t> arrived;
    device.onOut = [&](uint8_t, const uint8_t* d, size_t n) { arrived.insert(arrived.end(), d, d + n); };
    Record r;
    open(r, "00000020");
    std::vector<uint8_t> block(1000);
    for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i * 7);
    ASSERT_EQ(tdusb_write_to_device(r.usb, block.data(), block.size()), vErrNone);
    EXPECT_EQ(device.outTransferSizes(), (std::vector<size_t>{511, 489}));
    EXPECT_EQ(arrived, block);
}

TEST_F(TdusbBus, ReadsKeepPartialDataOfATimedOutTransfer) {
    auto& device = plug(moduleSpec(0x00000030));
    Record r;
    open(r, "00000030");
    uint8_t byte = 0;
    // Nothing comes: a time-out without data.
    EXPECT_EQ(tdusb_get_from_device(r.usb, &byte), vErrNotReady);
    // Three bytes of a transfer that never ends.
    device.pushIn(kModuleInEndpoint, {0x11, 0x22, 0x33}, false);
    std::vector<uint8_t> got;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(tdusb_get_from_device(r.usb, &byte), vErrNone) << i;
        got.push_back(byte);
    }
    EXPECT_EQ(got, (std::vector<uint8_t>{0x11, 0x22, 0x33}));
    EXPECT_EQ(r.usb->waiting, 0);
}

TEST_F(TdusbBus, FifthConsecutiveIoErrorFailsTheRecord) {
    auto& device = plug(moduleSpec(0x00000040));
    Record r;
    open(r, "00000040");
    uint8_t byte = 0;
    device.queueFault(kModuleInEndpoint, Fault::IoError, 4);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(tdusb_get_from_device(r.usb, &byte), vErrNotReady) << i;
    // A success in between starts the count again.
    device.pushIn(kModuleInEndpoint, {0x5A});
    ASSERT_EQ(tdusb_get_from_device(r.usb, &byte), vErrNone);
    EXPECT_EQ(byte, 0x5A);
    device.queueFault(kModuleInEndpoint, Fault::IoError, 5);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(tdusb_get_from_device(r.usb, &byte), vErrNotReady) << i;
    EXPECT_EQ(tdusb_get_from_device(r.usb, &byte), vErrIO);
    EXPECT_EQ(r.usb->state, TDUSB_STATE_FAILED);
    // Failed for good: the writer sees it too, and nothing reaches the device.
    const uint8_t data[2] = {1, 2};
    EXPECT_EQ(tdusb_write_to_device(r.usb, data, 2), vErrIO);
    EXPECT_TRUE(device.outTransferSizes().empty());
}

TEST_F(TdusbBus, WriteFailuresCountAndGiveUpAfterTenTransfers) {
    auto& device = plug(moduleSpec(0x00000041));
    Record r;
    open(r, "00000041");
    const uint8_t data[4] = {1, 2, 3, 4};
    // A NAKing module: each transfer times out after 50 ms; ten of them end the write.
    device.queueFault(kModuleOutEndpoint, Fault::Nak, 10);
    EXPECT_EQ(tdusb_write_to_device(r.usb, data, 4), vErrWrite);
    EXPECT_EQ(r.usb->state, TDUSB_STATE_READY);
    // I/O errors on nine transfers, then one that goes: the block arrives.
    device.queueFault(kModuleOutEndpoint, Fault::IoError, 9);
    EXPECT_EQ(tdusb_write_to_device(r.usb, data, 4), vErrNone);
    EXPECT_EQ(device.outTransferSizes(), (std::vector<size_t>{4}));
}

TEST_F(TdusbBus, StallsAreClearedOnBothEndpoints) {
    auto& device = plug(moduleSpec(0x00000050));
    std::vector<uint8_t> arrived;
    device.onOut = [&](uint8_t, const uint8_t* d, size_t n) { arrived.insert(arrived.end(), d, d + n); };
    Record r;
    open(r, "00000050");
    uint8_t byte = 0;
    device.queueFault(kModuleInEndpoint, Fault::Stall);
    EXPECT_EQ(tdusb_get_from_device(r.usb, &byte), vErrNotReady);
    EXPECT_FALSE(device.halted(kModuleInEndpoint));
    device.pushIn(kModuleInEndpoint, {0x42});
    EXPECT_EQ(tdusb_get_from_device(r.usb, &byte), vErrNone);
    EXPECT_EQ(byte, 0x42);

    device.queueFault(kModuleOutEndpoint, Fault::Stall);
    const uint8_t data[3] = {7, 8, 9};
    EXPECT_EQ(tdusb_write_to_device(r.usb, data, 3), vErrNone);
    EXPECT_EQ(arrived, (std::vector<uint8_t>{7, 8, 9}));
    EXPECT_EQ(device.clearHalts(), 2u);
}

TEST_F(TdusbBus, LeavingTheBusEndsTheRecord) {
    auto& device = plug(moduleSpec(0x00000060));
    Record r;
    open(r, "00000060");
    device.unplug();
    uint8_t byte = 0;
    vErr last = vErrNone;
    for (int i = 0; i < 5; ++i) last = tdusb_get_from_device(r.usb, &byte);
    EXPECT_EQ(last, vErrIO);
    EXPECT_EQ(r.usb->state, TDUSB_STATE_FAILED);
}

TEST_F(TdusbBus, KernelNodeTakesPrecedenceOverLibusb) {
    bool claimed = false;
    auto& device = plug(moduleSpec(0x0012ABCD));
    device.onClaim = [&](bool c) { claimed = claimed || c; };
    const std::string node = bus_.root() + "/dev/tandril.0012ABCD";
    ASSERT_EQ(mkfifo(node.c_str(), 0666), 0);
    const int reader = ::open(node.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(reader, 0);

    vStream* stream = nullptr;
    ASSERT_EQ(vStream_CreateUSB(0x0012ABCD, &stream), vErrNone);
    const uint8_t hello[5] = {'h', 'e', 'l', 'l', 'o'};
    ASSERT_EQ(vStream_Write(stream, hello, sizeof(hello)), vErrNone);
    uint8_t got[8] = {};
    EXPECT_EQ(read(reader, got, sizeof(got)), 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(got), 5), "hello");
    EXPECT_EQ(vStream_Destroy(&stream), vErrNone);
    EXPECT_FALSE(claimed);
    EXPECT_TRUE(device.outTransferSizes().empty());

    // Without the node the same serial number goes through libusb.
    close(reader);
    unlink(node.c_str());
    ASSERT_EQ(vStream_CreateUSB(0x0012ABCD, &stream), vErrNone);
    ASSERT_EQ(vStream_Write(stream, hello, sizeof(hello)), vErrNone);
    EXPECT_TRUE(claimed);
    EXPECT_EQ(device.outTransferSizes(), (std::vector<size_t>{5}));
    EXPECT_EQ(vStream_Destroy(&stream), vErrNone);
}

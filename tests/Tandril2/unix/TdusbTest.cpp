// USB access without a USB bus: recognition rules, the error tolerance, state
// checks, and the kernel device node (made here to point at a pseudo-terminal).
#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "Tandril2/unix/tdusb_driver.h"
#include "Tandril2/unix/unix_streamusb.h"
#include "TestSupport.h"

namespace {

using tandril::test::PtyPair;
using tandril::test::waitUntil;

TEST(TdusbRecognition, VendorAndProductRule) {
    struct Case {
        uint16_t vendor, product;
        bool module;
    };
    const Case cases[] = {
        {TANDRIL_VENDOR_ID, 0x0011, true},  {TANDRIL_VENDOR_ID, 0x7FFF, true},
        {TANDRIL_VENDOR_ID, 0x0000, true},  {TANDRIL_VENDOR_ID, 0x8001, false},
        {TANDRIL_VENDOR_ID, 0xFFFF, false}, {TANDRIL_VENDOR_ID ^ 1, 0x0011, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(tdusb_is_module_product(c.vendor, c.product), c.module) << std::hex << c.vendor << ":" << c.product;
}

TEST(TdusbRecognition, SerialStrings) {
    struct Case {
        const char* text;
        bool ok;
        uint32_t serial;
    };
    const Case cases[] = {
        {"0012ABCD", true, 0x0012ABCD}, {"0012abcd", true, 0x0012ABCD}, {"FFFFFFFF", true, 0xFFFFFFFF},
        {"0012ABC", false, 0},          {"0012ABCDE", false, 0},        {"0012ABCG", false, 0},
        {" 012ABCD", false, 0},         {"", false, 0},                 {nullptr, false, 0},
    };
    for (const Case& c : cases) {
        uint32_t serial = 0xDEADBEEF;
        EXPECT_EQ(tdusb_parse_serial(c.text, &serial), c.ok) << (c.text ? c.text : "null");
        EXPECT_EQ(serial, c.ok ? c.serial : 0xDEADBEEF) << (c.text ? c.text : "null");
    }
}

TEST(TdusbWrite, ChunksFollowThePacketSize) {
    auto chunks = [](uint16_t maxPacket, size_t total) {
        std::vector<size_t> out;
        while (total > 0) {
            out.push_back(tdusb_write_chunk(maxPacket, total));
            total -= out.back();
        }
        return out;
    };
    EXPECT_EQ(chunks(512, 1000), (std::vector<size_t>{511, 489}));
    EXPECT_EQ(chunks(512, 512), (std::vector<size_t>{511, 1}));
    EXPECT_EQ(chunks(64, 130), (std::vector<size_t>{64, 64, 2}));
    EXPECT_EQ(chunks(0, 70), (std::vector<size_t>{64, 6})) << "an unknown packet size still makes progress";
}

TEST(TdusbTolerance, FourIoErrorsPassTheFifthFails) {
    // Each row: the results in turn, and what the tolerance must make of them.
    struct Case {
        const char* name;
        std::vector<vErr> results;
        std::vector<vErr> expected;
        bool failed;
    };
    const vErr IO = vErrIO, OK = vErrNone;
    const Case cases[] = {
        {"FifthFails", {IO, IO, IO, IO, IO}, {OK, OK, OK, OK, IO}, true},
        {"SuccessRestartsCount", {IO, IO, IO, IO, OK, IO, IO, IO, IO}, {OK, OK, OK, OK, OK, OK, OK, OK, OK}, false},
        {"OtherCodeRestartsCount", {IO, IO, IO, vErrNotReady, IO, IO, IO, IO},
         {OK, OK, OK, vErrNotReady, OK, OK, OK, OK}, false},
        {"FailedStaysFailed", {IO, IO, IO, IO, IO, IO}, {OK, OK, OK, OK, IO, IO}, true},
    };
    for (const Case& c : cases) {
        tdusb* usb = tdusb_create_usb(TDUSB_MODE_KERNEL);
        ASSERT_NE(usb, nullptr);
        usb->state = TDUSB_STATE_READY;
        for (size_t i = 0; i < c.results.size(); ++i)
            EXPECT_EQ(_handleErrorTolerance(usb, c.results[i]), c.expected[i]) << c.name << " step " << i;
        EXPECT_EQ(usb->state == TDUSB_STATE_FAILED, c.failed) << c.name;
        EXPECT_EQ(tdusb_destroy(&usb), vErrNone);
        EXPECT_EQ(usb, nullptr);
    }
}

TEST(TdusbState, TransfersRefusedOutsideTheReadyState) {
    tdusb* usb = tdusb_create_usb(TDUSB_MODE_LIBUSB);
    if (usb == nullptr)
        GTEST_SKIP() << "libusb cannot start here";
    struct Case {
        uint32_t state;
        vErr expected;
    };
    const Case cases[] = {
        {TDUSB_STATE_CREATED, vErrNotReady},
        {TDUSB_STATE_OPENED, vErrNotReady},
        {TDUSB_STATE_CLOSED, vErrConnection},
        {TDUSB_STATE_FAILED, vErrIO},
    };
    const uint8_t data[4] = {1, 2, 3, 4};
    uint8_t byte;
    for (const Case& c : cases) {
        usb->state = c.state;
        EXPECT_EQ(tdusb_write_to_device(usb, data, sizeof(data)), c.expected) << tdusb_state_name(c.state);
        EXPECT_EQ(tdusb_get_from_device(usb, &byte), c.expected) << tdusb_state_name(c.state);
    }
    // The access path must match the record's mode.
    EXPECT_EQ(tdusb_write_to_kernel_device(usb, data, sizeof(data)), vErrMode);
    EXPECT_EQ(tdusb_get_from_kernel_device(usb, &byte), vErrMode);
    EXPECT_EQ(tdusb_open_tandril_kernel_device(usb, "00000001"), vErrMode);
    EXPECT_EQ(tdusb_close_tandril_device(usb), vErrMode) << "no handle to close";
    EXPECT_EQ(tdusb_open_tandril_device(usb, "7E570001"), vErrNotFound) << "no such module on this machine";
    EXPECT_EQ(tdusb_destroy(&usb), vErrNone);
    EXPECT_EQ(tdusb_destroy(&usb), vErrParam);
    EXPECT_EQ(tdusb_destroy(nullptr), vErrParam);
}

TEST(TdusbContext, MadeAgainAfterExit) {
    if (Tandril_libusb_init() != vErrNone)
        GTEST_SKIP() << "libusb cannot start here";
    EXPECT_NE(Tandril_libusb_context(), nullptr);
    Tandril_libusb_exit();
    Tandril_libusb_exit(); // harmless twice
    EXPECT_NE(Tandril_libusb_context(), nullptr);
}

// A kernel device node for a test serial number that points at a pseudo-terminal.
class KernelNode : public ::testing::Test {
protected:
    void SetUp() override {
        serial = 0x7E000000u | (static_cast<uint32_t>(::getpid()) & 0xFFFFFF);
        char name[64];
        std::snprintf(name, sizeof(name), "/dev/tandril.%08X", serial);
        node = name;
        std::error_code ec;
        std::filesystem::create_symlink(pty.slaveName(), node, ec);
        if (ec)
            GTEST_SKIP() << "cannot make " << node << ": " << ec.message();
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove(node, ec);
    }
    PtyPair pty;
    uint32_t serial = 0;
    std::string node;
};

TEST_F(KernelNode, StreamUsesTheNodeWhenItExists) {
    EXPECT_TRUE(tdusb_is_kernel_driver_installed(serial));
    vStream* stream = nullptr;
    ASSERT_EQ(vStream_CreateUSB(serial, &stream), vErrNone);

    uint8_t byte;
    EXPECT_EQ(stream->get(&byte, stream->reference), vErrNotReady) << "nothing waiting";
    ASSERT_EQ(::write(pty.master(), "\x06\x00", 2), 2);
    std::string got;
    waitUntil([&] {
        while (stream->get(&byte, stream->reference) == vErrNone)
            got.push_back(static_cast<char>(byte));
        return got.size() >= 2;
    });
    EXPECT_EQ(got, std::string("\x06\x00", 2));

    const uint8_t packet[] = {0xAD, 0x00};
    EXPECT_EQ(vStream_Write(stream, packet, sizeof(packet)), vErrNone);
    char echo[2] = {};
    pollfd p{pty.master(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 3000), 1);
    EXPECT_EQ(::read(pty.master(), echo, 2), 2);
    EXPECT_EQ(std::string(echo, 2), std::string("\xAD\x00", 2));
    EXPECT_EQ(vStream_Destroy(&stream), vErrNone);
}

TEST_F(KernelNode, LibusbWhenTheNodeIsGone) {
    TearDown();
    EXPECT_FALSE(tdusb_is_kernel_driver_installed(serial));
    vStream* stream = reinterpret_cast<vStream*>(1);
    const vErr err = vStream_CreateUSB(serial, &stream);
    // No such module on this machine's USB: not found, or no libusb at all.
    EXPECT_TRUE(err == vErrNotFound || err == vErrResource) << err;
    EXPECT_EQ(stream, nullptr);
}

TEST(UsbStream, RefusesBadArguments) {
    vStream* stream = reinterpret_cast<vStream*>(1);
    EXPECT_EQ(vStream_CreateUSB(0, &stream), vErrParam);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(vStream_CreateUSB(0x12345678, nullptr), vErrParam);
}

} // namespace

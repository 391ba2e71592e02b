// The virtual i.MX boot ROM on USB HID as the recovery code's own hidapi transport
// sees it: opened by vendor and product ID, status and register reads, a loader
// written over several data reports, the jump that takes the ROM off the bus, and
// the RAM loader that then appears as a module answering its identifier words.
#include <gtest/gtest.h>

#include <hidapi.h>

#include "Tandril2/objects/Module.h"
#include "Tandril2/objects/SystemClass.h"
#include "Tandril2/unix/tdusb_driver.h"
#include "TestSupport.h"
#include "UsbImxRom.h"
#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"

using namespace tandril::sim;
using namespace tandril::sim::usb;

namespace {

const bool kPreloaded = runUnderPreload();

// A loader image: an image vector table at its start, then a pattern.
std::vector<unsigned char> loaderImage(size_t n) {
    std::vector<unsigned char> image(n);
    for (size_t i = 0; i < n; ++i) image[i] = static_cast<unsigned char>(i * 13 + 1);
    const unsigned char ivt[4] = {0xD1, 0x00, 0x20, 0x41};
    std::copy(ivt, ivt + 4, image.begin());
    return image;
}

} // namespace

TEST(UsbImxRom, HidapiLoadsTheLoaderWhichThenAppearsOnUsb) {
    ASSERT_TRUE(kPreloaded);
    VirtualUsbBus bus;
    UsbImxRomOptions options;
    options.rom.uniqueId = 0x1122334455667788ull;
    options.loader.identifiers[0] = 0xA0A0A0A0;
    options.loader.identifiers[3] = 0xA3A3A3A3;
    std::string error;
    auto rom = UsbImxRom::create(bus, options, error);
    ASSERT_NE(rom, nullptr) << error;

    constexpr unsigned kAddress = 0x20000400;
    const auto image = loaderImage(2500);  // three data reports
    {
        SDPLoader loader;
        ASSERT_TRUE(loader.setLoader(new HID_SDPLoader(kImxRomVendor, kImxRomProduct)));
        ASSERT_EQ(loader.init(), SDPLoader::Ok);
        unsigned long id = 0;
        ASSERT_EQ(loader.getFingerprint(id), SDPLoader::Ok);
        EXPECT_EQ(id, 0x1122334455667788ul);
        ASSERT_EQ(loader.writeLoader(image, kAddress), SDPLoader::Ok);
        EXPECT_EQ(rom->rom().memory(kAddress, image.size()), std::vector<uint8_t>(image.begin(), image.end()));
        loader.startLoader(kAddress);
    }
    EXPECT_TRUE(rom->rom().jumped());
    EXPECT_EQ(rom->rom().jumpAddress(), kAddress);
    ASSERT_TRUE(tandril::test::waitUntil([&] { return !rom->device().plugged(); }));
    // Gone: the ROM is not found any more.
    HID_SDPLoader gone(kImxRomVendor, kImxRomProduct);
    EXPECT_FALSE(gone.init());

    ASSERT_TRUE(tandril::test::waitUntil([&] { return rom->loader() != nullptr; }));
    Vornic::Tandril::Module module(2, uint8_t(0));
    vEtherConfig local;
    local.enabled = 0;
    local.fallback = 0;
    module.setConfig(local);
    ASSERT_EQ(module.discoverAndConnect(USB, kRamLoaderSerial), vErrNone);
    Vornic::Tandril::SystemClass system;
    system.init(&module, 0);
    std::vector<uint32_t> words;
    for (uint8_t i = 0; i < 4; ++i) {
        uint32_t word = 0;
        ASSERT_EQ(system.getUEI32(39, i, &word), vErrNone) << int(i);
        words.push_back(word);
    }
    EXPECT_EQ(words, (std::vector<uint32_t>{0xA0A0A0A0, 0x22222222, 0x33333333, 0xA3A3A3A3}));
    module.disconnect();
    Tandril_libusb_exit();
}

TEST(UsbImxRom, ReadsTimeOutWithoutAnswersAndFailAfterTheRomLeft) {
    ASSERT_TRUE(kPreloaded);
    VirtualUsbBus bus;
    UsbImxRomOptions options;
    options.loaderAppears = false;
    std::string error;
    auto rom = UsbImxRom::create(bus, options, error);
    ASSERT_NE(rom, nullptr) << error;

    ASSERT_EQ(hid_init(), 0);
    hid_device* device = hid_open(kImxRomVendor, kImxRomProduct, nullptr);
    ASSERT_NE(device, nullptr);
    unsigned char buffer[65] = {};
    EXPECT_EQ(hid_read_timeout(device, buffer, sizeof(buffer), 50), 0);  // nothing asked, nothing said
    // A status request: the security report, then the status.
    unsigned char status[17] = {1, 0x05, 0x05};
    ASSERT_EQ(hid_write(device, status, sizeof(status)), 17);
    ASSERT_EQ(hid_read_timeout(device, buffer, sizeof(buffer), 1000), 5);
    EXPECT_EQ(buffer[0], 3);
    ASSERT_EQ(hid_read_timeout(device, buffer, sizeof(buffer), 1000), 65);
    EXPECT_EQ(buffer[0], 4);
    EXPECT_EQ(buffer[1], 0xF0);

    rom->device().unplug();
    EXPECT_EQ(hid_read_timeout(device, buffer, sizeof(buffer), 1000), -1);
    EXPECT_EQ(hid_write(device, status, sizeof(status)), -1);
    hid_close(device);
    hid_exit();
}

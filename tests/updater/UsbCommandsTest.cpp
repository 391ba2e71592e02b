// The real updater program on the virtual USB bus: its listing of USB modules
// (with one that another program holds), and an update whose loader leaves the bus
// and returns under another device number. The bus lives in this test process; the
// program inherits it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Tandril2/unix/tdusb_driver.h"
#include "UpdaterHarness.h"
#include "UsbImxRom.h"
#include "UsbModule.h"

namespace tandril::test {
namespace {

using nlohmann::json;
using sim::usb::UsbModule;

const bool kPreloaded = sim::usb::runUnderPreload();

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

sim::ModuleConfig UsbConfig(uint32_t serial, const std::string& name, uint32_t build) {
    sim::ModuleConfig config;
    config.serial = serial;
    config.model = 0x13;
    config.name = name;
    config.build = build;
    config.rebootOfflineMs = 150;
    return config;
}

class UsbCommandsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(kPreloaded); }

    UsbModule& addModule(const sim::ModuleConfig& config) {
        std::string error;
        auto module = UsbModule::create(bus, config, error);
        EXPECT_TRUE(module) << error;
        modules.push_back(std::move(module));
        return *modules.back();
    }

    ProcessResult run(std::vector<std::string> args) {
        std::vector<std::string> argv = {buildPath("src/updater"), "-i", store.vornic.str(), "-u", kUnreachableUrl};
        argv.insert(argv.end(), args.begin(), args.end());
        ProcessResult result = runProcess(argv, std::chrono::seconds(120));
        EXPECT_FALSE(result.timedOut);
        return result;
    }

    sim::usb::VirtualUsbBus bus;
    StoreDir store;
    TempDir files;
    std::vector<std::unique_ptr<UsbModule>> modules;
};

TEST_F(UsbCommandsTest, ListsUsbModulesAndOneHeldElsewhere) {
    addModule(UsbConfig(0x0012ABCD, "Bench Motor", 512));
    sim::ModuleConfig second = UsbConfig(0x40F5849A, "Left Arm", 777);
    ASSERT_TRUE(sim::parseVersion("3.1.2", second.version));
    addModule(second);
    addModule(UsbConfig(0x00BEEF00, "Held Motor", 9));

    // Another program has the third one open.
    tdusb* held = tdusb_create_usb(TDUSB_MODE_LIBUSB);
    ASSERT_EQ(tdusb_open_tandril_device(held, "00BEEF00"), vErrNone);

    ProcessResult list = run({"-D"});
    tdusb_destroy(&held);
    Tandril_libusb_exit();
    EXPECT_EQ(list.status, 0) << list.out << list.err;
    for (const char* part : {"0012ABCD", "Bench Motor", "512", "40F5849A", "Left Arm", "777", "3.1.2", "00BEEF00"})
        EXPECT_TRUE(contains(list.out, part)) << part << "\n" << list.out;
}

TEST_F(UsbCommandsTest, UpdateWhoseLoaderLeavesTheBusAndReturns) {
    sim::ModuleConfig config = UsbConfig(0x0012ABCD, "Bench Motor", 512);
    config.loadOfflineMs = 300;
    UsbModule& module = addModule(config);
    const int firstNumber = module.device().deviceNumber();

    FirmwareSpec spec;
    spec.serial = 0x0012ABCD;
    spec.build = 600;
    spec.images = {birdtool::patternBytes(1500, 5), birdtool::patternBytes(700, 9)};
    const std::string file = (files.path() / "fw.bird").string();
    birdtool::writeBytes(file, MakeBird(spec));

    ProcessResult update = run({"-U", "-d", "0012ABCD", "-f", file});
    EXPECT_EQ(update.status, 0) << update.out << update.err;
    // Away after LOAD and after REBOOT, back each time under a new device number.
    ASSERT_TRUE(waitUntil([&] { return module.departures() >= 2 && module.device().plugged(); }))
        << module.departures();
    EXPECT_NE(module.device().deviceNumber(), firstNumber);

    const json state = module.withCore([](sim::ModuleCore& c) { return c.state(); });
    std::map<uint32_t, std::string> arrived, sent;
    for (const json& block : state["upgrade"]["firmware"])
        arrived[block["address"].get<uint32_t>()] = block["data"].get<std::string>();
    uint32_t address = spec.firmwareAddress;
    for (const Bytes& image : spec.images) {
        std::string hex;
        for (uint8_t b : image) {
            char two[3];
            snprintf(two, sizeof(two), "%02x", b);
            hex += two;
        }
        sent[address] = hex;
        address += uint32_t(image.size()) + 0x1000;
    }
    EXPECT_EQ(arrived, sent);
}

// An i.MX module without firmware: its boot ROM on USB HID. The RAM loader that the
// updater fetches from the server for the unknown module (0xDEADDEAD) comes onto USB
// after the jump and reports identifier words, which the server maps to the module's
// serial number and recovery build; the recovery firmware then goes through the loader.
TEST_F(UsbCommandsTest, RecoversAnImxModuleThroughItsHidBootRom) {
    constexpr uint32_t kSerial = 0x0012ABCD;
    sim::usb::UsbImxRomOptions options;
    options.loader.model = 0x13;
    const uint32_t ids[4] = {0x0A0B0C0D, 0x11121314, 0x21222324, 0x31323334};
    std::copy(ids, ids + 4, options.loader.identifiers);
    std::string error;
    auto rom = sim::usb::UsbImxRom::create(bus, options, error);
    ASSERT_NE(rom, nullptr) << error;

    // A loader image starts with an image vector table at the address the ROM jumps to.
    Bytes loader = birdtool::patternBytes(1200, 4);
    loader[0] = 0xD1, loader[1] = 0x00, loader[2] = 0x20, loader[3] = 0x41;
    birdtool::BirdWriter loaderFile;
    loaderFile.loader(0x20000400, loader).firmware(0x60000000, birdtool::patternBytes(64, 1));
    loaderFile.info("5", "1.0.0", "DEADDEAD", "TD-Motor2");
    FirmwareSpec recovery;
    recovery.serial = kSerial;
    recovery.build = 700;
    recovery.loaderAddress = 0x20000400;
    recovery.loader = loader;
    recovery.images = {birdtool::patternBytes(1800, 6)};

    TempDir catalogue;
    birdtool::writeBytes((catalogue.path() / "loader.bird").string(), loaderFile.file());
    birdtool::writeBytes((catalogue.path() / "recovery.bird").string(), MakeBird(recovery));
    // The fingerprint is option 39's words in reverse order.
    std::ofstream(catalogue.path() / sim::Catalogue::kFileName)
        << "[device DEADDEAD]\nfirmware = TDX-IMX\nbuild = 5 1.0.0 loader.bird\n"
        << "[device 0012ABCD]\nfirmware = TD-Motor2\nbuild = 700 2.0.0 recovery.bird\n"
        << "[fingerprint 31323334 21222324 11121314 0A0B0C0D]\nserial = 0012ABCD\nbuild = 700\n";
    sim::UpdateServer server(sim::Catalogue::Load(catalogue.path()));

    std::vector<std::string> argv = {buildPath("src/updater"), "-i", store.vornic.str(), "-u", server.url(),
                                     "-U", "-t", "RECOVER", "-s", "USB"};
    ProcessResult result = runProcess(argv, std::chrono::seconds(120));
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(rom->rom().memory(0x20000400, loader.size()), loader);
    ASSERT_NE(rom->loader(), nullptr);
    const json state = rom->loader()->withCore([](sim::ModuleCore& c) { return c.state(); });
    ASSERT_EQ(state["upgrade"]["firmware"].size(), 1u) << state.dump();
    EXPECT_EQ(state["upgrade"]["firmware"][0]["address"].get<uint32_t>(), recovery.firmwareAddress);
    std::string hex;
    for (uint8_t b : recovery.images[0]) {
        char two[3];
        snprintf(two, sizeof(two), "%02x", b);
        hex += two;
    }
    EXPECT_EQ(state["upgrade"]["firmware"][0]["data"].get<std::string>(), hex);
}

} // namespace
} // namespace tandril::test

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

// The firmware a virtual module's loader holds, as load address -> hex bytes.
std::map<uint32_t, std::string> FirmwareIn(UsbModule& module) {
    const json state = module.withCore([](sim::ModuleCore& c) { return c.state(); });
    std::map<uint32_t, std::string> blocks;
    for (const json& block : state["upgrade"]["firmware"])
        blocks[block["address"].get<uint32_t>()] = block["data"].get<std::string>();
    return blocks;
}

// What FirmwareIn shows after the file's images arrived whole.
std::map<uint32_t, std::string> FirmwareOf(const FirmwareSpec& spec) {
    std::map<uint32_t, std::string> blocks;
    uint32_t address = spec.firmwareAddress;
    for (const Bytes& image : spec.images) {
        std::string& hex = blocks[address];
        for (uint8_t b : image) {
            char two[3];
            snprintf(two, sizeof(two), "%02x", b);
            hex += two;
        }
        address += uint32_t(image.size()) + 0x1000;
    }
    return blocks;
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

    ProcessResult run(std::vector<std::string> args, const std::string& url = kUnreachableUrl) {
        std::vector<std::string> argv = {buildPath("src/updater"), "-i", store.vornic.str(), "-u", url};
        argv.insert(argv.end(), args.begin(), args.end());
        ProcessResult result = runProcess(argv, std::chrono::seconds(120));
        EXPECT_FALSE(result.timedOut);
        return result;
    }

    // An i.MX module without firmware: its boot ROM on USB HID or on a UART, and an
    // update server with the RAM loader's file for the unknown module (0xDEADDEAD) and a
    // recovery build for the serial number that the loader's identifier words stand for.
    // Returns the port to name with -s.
    std::string startImxRecovery(bool uart) {
        sim::usb::UsbImxRomOptions options;
        options.uart = uart;
        // On a UART the LPC probe's bytes reach the ROM first; the tool's idle gap must clear them.
        options.rom.dropPartialFrameAfterMs = 200;
        options.loader.model = 0x13;
        std::copy(kIds, kIds + 4, options.loader.identifiers);
        std::string error;
        rom = sim::usb::UsbImxRom::create(bus, options, error);
        EXPECT_NE(rom, nullptr) << error;

        // A loader image starts with an image vector table at the address the ROM jumps to.
        loader = birdtool::patternBytes(1200, 4);
        loader[0] = 0xD1, loader[1] = 0x00, loader[2] = 0x20, loader[3] = 0x41;
        birdtool::BirdWriter loaderFile;
        loaderFile.loader(kLoaderAddress, loader).firmware(0x60000000, birdtool::patternBytes(64, 1));
        loaderFile.info("5", "1.0.0", "DEADDEAD", "TD-Motor2");
        recovery.serial = 0x0012ABCD;
        recovery.build = 700;
        recovery.loaderAddress = kLoaderAddress;
        recovery.loader = loader;
        recovery.images = {birdtool::patternBytes(1800, 6)};
        birdtool::writeBytes((catalogue.path() / "loader.bird").string(), loaderFile.file());
        birdtool::writeBytes((catalogue.path() / "recovery.bird").string(), MakeBird(recovery));
        // The fingerprint is option 39's words in reverse order.
        std::ofstream(catalogue.path() / sim::Catalogue::kFileName)
            << "[device DEADDEAD]\nfirmware = TDX-IMX\nbuild = 5 1.0.0 loader.bird\n"
            << "[device 0012ABCD]\nfirmware = TD-Motor2\nbuild = 700 2.0.0 recovery.bird\n"
            << "[fingerprint 31323334 21222324 11121314 0A0B0C0D]\nserial = 0012ABCD\nbuild = 700\n";
        server = std::make_unique<sim::UpdateServer>(sim::Catalogue::Load(catalogue.path()));
        return !rom ? std::string() : uart ? rom->serialPath() : "USB";
    }
    static constexpr uint32_t kIds[4] = {0x0A0B0C0D, 0x11121314, 0x21222324, 0x31323334};
    static constexpr uint32_t kLoaderAddress = 0x20000400;

    sim::usb::VirtualUsbBus bus;
    StoreDir store;
    TempDir files;
    std::vector<std::unique_ptr<UsbModule>> modules;
    std::unique_ptr<sim::usb::UsbImxRom> rom;
    Bytes loader;
    FirmwareSpec recovery;
    TempDir catalogue;
    std::unique_ptr<sim::UpdateServer> server;
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

    EXPECT_EQ(FirmwareIn(module), FirmwareOf(spec));
}

// The i.MX boot ROM reached through USB HID (false) or the module's UART (true).
class ImxRecoveryTest : public UsbCommandsTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ImxRecoveryTest, RecoversTheModule) {
    const std::string port = startImxRecovery(GetParam());
    ASSERT_FALSE(port.empty());
    ProcessResult result = run({"-U", "-t", "RECOVER", "-s", port}, server->url());
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(rom->rom().memory(kLoaderAddress, loader.size()), loader);
    ASSERT_NE(rom->loader(), nullptr);
    EXPECT_EQ(FirmwareIn(*rom->loader()), FirmwareOf(recovery));
}

TEST_P(ImxRecoveryTest, PrintsTheFingerprint) {
    const std::string port = startImxRecovery(GetParam());
    ASSERT_FALSE(port.empty());
    ProcessResult result = run({"-N", "-s", port}, server->url());
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_TRUE(contains(result.out, "[ 31323334 21222324 11121314 0A0B0C0D ]")) << result.out;
    // The loader is reset once its words are read.
    ASSERT_NE(rom->loader(), nullptr);
    EXPECT_TRUE(waitUntil([&] { return rom->loader()->departures() >= 1; }));
    EXPECT_TRUE(FirmwareIn(*rom->loader()).empty());
}

INSTANTIATE_TEST_SUITE_P(HidAndUart, ImxRecoveryTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Uart" : "Hid"; });

} // namespace
} // namespace tandril::test

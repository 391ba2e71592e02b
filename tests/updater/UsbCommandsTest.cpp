// The real updater program on the virtual USB bus: its listing of USB modules
// (with one that another program holds), and an update whose loader leaves the bus
// and returns under another device number. The bus lives in this test process; the
// program inherits it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Tandril2/unix/tdusb_driver.h"
#include "UpdaterHarness.h"
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
    EXPECT_GE(module.departures(), 2u);
    ASSERT_TRUE(waitUntil([&] { return module.device().plugged(); }));
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

} // namespace
} // namespace tandril::test

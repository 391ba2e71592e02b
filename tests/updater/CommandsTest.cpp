// Whole commands of the real updater program against virtual modules on TCP/IP
// (in this test's private network) and the virtual update server: listings,
// downloads, updates direct and through a router, and the failures a module can
// cause. What arrived in a module is read from its JSON state.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "DiscoveryResponder.h"
#include "ModuleServer.h"
#include "UpdaterHarness.h"

namespace tandril::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr uint32_t kDirect = 0x40F5849A;
constexpr uint32_t kRouter = 0xD272031D;
constexpr uint32_t kBehind = 0x2181F0EE;
constexpr uint8_t kBehindAddress = 0x0A;
constexpr uint8_t kMotor = 0x13;  // TD-Motor2
constexpr uint8_t kRouterModel = 0x04;

std::string hexOf(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class CommandsTest : public ::testing::Test {
protected:
    static sim::ModuleConfig Direct() {
        sim::ModuleConfig config;
        config.serial = kDirect;
        config.model = kMotor;
        config.name = "Bench Motor";
        config.build = 500;
        config.rebootOfflineMs = 200;
        return config;
    }
    static sim::ModuleConfig Router() {
        sim::ModuleConfig config;
        config.serial = kRouter;
        config.model = kRouterModel;
        config.name = "Hall Router";
        sim::ModuleConfig behind;
        behind.serial = kBehind;
        behind.model = kMotor;
        behind.address = kBehindAddress;
        behind.name = "Far Motor";
        behind.routerAddress = 2;
        config.subModules.push_back(behind);
        return config;
    }
    static FirmwareSpec FirmwareFor(uint32_t serial) {
        FirmwareSpec spec;
        spec.serial = serial;
        spec.build = 20000;
        return spec;
    }

    // A module listening on the private network; discovery answers for it once started.
    sim::TcpModuleServer& addModule(const sim::ModuleConfig& config) {
        std::string error;
        auto server = sim::TcpModuleServer::create(config, kPrivateAddrB, 0, error);
        EXPECT_TRUE(server) << error;
        modules.push_back(std::move(server));
        return *modules.back();
    }

    void startNetwork() {
        std::vector<sim::DiscoveryResponder::Module> answers;
        for (const auto& m : modules) {
            const sim::ModuleConfig config = m->withCore([](sim::ModuleCore& c) { return c.config(); });
            answers.push_back({config.address, m->port(), config.serial, config.model});
        }
        std::string error;
        discovery = sim::DiscoveryResponder::create(kPrivateAddrB, answers, error);
        ASSERT_TRUE(discovery) << error;
    }

    void serve(const std::vector<ServerCatalogue::Device>& devices) {
        for (const auto& device : devices)
            catalogue.add(device);
        catalogue.start();
        url = catalogue.url;
    }

    ProcessResult run(std::vector<std::string> args) {
        // A module that rebooted at the end of the previous update is away for a while;
        // like a user, each command starts once the modules are back (bounded).
        for (const auto& m : modules) {
            waitUntil([&] {
                return m->withCore([](sim::ModuleCore& c) { return !c.away(sim::Clock::now()); });
            });
        }
        std::vector<std::string> argv = {buildPath("src/updater"), "-i", store.vornic.str(), "-u", url};
        argv.insert(argv.end(), args.begin(), args.end());
        ProcessResult result = runProcess(argv, std::chrono::seconds(120));
        EXPECT_FALSE(result.timedOut);
        return result;
    }

    std::string fileOf(const FirmwareSpec& spec, const std::string& name = "fw.bird") {
        const std::string path = (files.path() / name).string();
        birdtool::writeBytes(path, MakeBird(spec));
        return path;
    }

    static json stateOf(sim::TcpModuleServer& module) {
        return module.withCore([](sim::ModuleCore& c) { return c.state(); });
    }
    // The firmware blocks the module holds, as address -> hex bytes.
    static std::map<uint32_t, std::string> firmwareIn(const json& state) {
        std::map<uint32_t, std::string> blocks;
        for (const json& block : state["upgrade"]["firmware"])
            blocks[block["address"].get<uint32_t>()] = block["data"].get<std::string>();
        return blocks;
    }
    static std::map<uint32_t, std::string> firmwareOf(const FirmwareSpec& spec) {
        std::map<uint32_t, std::string> blocks;
        uint32_t address = spec.firmwareAddress;
        for (const Bytes& image : spec.images) {
            blocks[address] = hexOf(image);
            address += static_cast<uint32_t>(image.size()) + 0x1000;
        }
        return blocks;
    }

    std::string url = kUnreachableUrl;
    StoreDir store;
    TempDir files;
    ServerCatalogue catalogue;
    std::vector<std::unique_ptr<sim::TcpModuleServer>> modules;
    std::unique_ptr<sim::DiscoveryResponder> discovery;
};

TEST_F(CommandsTest, ListsModulesOnTheNetworkAndBehindARouter) {
    addModule(Direct());
    addModule(Router());
    startNetwork();

    ProcessResult tcp = run({"-D", "-t", "TCP"});
    EXPECT_EQ(tcp.status, 0) << tcp.err;
    EXPECT_TRUE(contains(tcp.out, "Discovered Devices: (TCPIP)")) << tcp.out;
    EXPECT_TRUE(contains(tcp.out, "40F5849A  02       00      TD-Motor2      2.15.0 (       500)")) << tcp.out;
    EXPECT_TRUE(contains(tcp.out, "[10.77.0.2]")) << tcp.out;
    EXPECT_TRUE(contains(tcp.out, "Bench Motor")) << tcp.out;
    EXPECT_TRUE(contains(tcp.out, "D272031D  02       00      TD-Router")) << tcp.out;
    EXPECT_FALSE(contains(tcp.out, "2181F0EE")) << "a module behind a router is not on the network itself";
    EXPECT_FALSE(fs::exists(store.device(kDirect))) << "listing leaves no trace in the store";

    ProcessResult behind = run({"-D", "-r", "D272031D", "-t", "TCP"});
    EXPECT_EQ(behind.status, 0) << behind.err;
    EXPECT_TRUE(contains(behind.out, "Searching for Tandril Network devices connected to D272031D"));
    EXPECT_TRUE(contains(behind.out, "2181F0EE  0A       02      TD-Motor2")) << behind.out;
    EXPECT_FALSE(contains(behind.out, "Far Motor")) << "the network listing reads no names";
    const json router = stateOf(*modules[1]);
    EXPECT_EQ(router["routeToMe"], 0) << "routing is handed back after the scan";

    ProcessResult none = run({"-D", "-r", "12345678", "-t", "TCP"});
    EXPECT_EQ(none.status, 0);
    EXPECT_TRUE(contains(none.out, "No devices found.")) << none.out;
}

TEST_F(CommandsTest, UpdatesFromAFileInPlainAndUEIMode) {
    sim::TcpModuleServer& plainModule = addModule(Direct());
    sim::ModuleConfig other = Direct();
    other.serial = kDirect + 1;
    sim::TcpModuleServer& ueiModule = addModule(other);
    startNetwork();
    fs::create_directories(store.device(kDirect));

    FirmwareSpec spec = FirmwareFor(kDirect);
    spec.images = {birdtool::patternBytes(1000, 3), birdtool::patternBytes(77, 4)};
    const std::string file = fileOf(spec);
    ProcessResult plain = run({"-U", "-d", "40F5849A", "-f", file, "-m", "0", "-X", "0x400"});
    ASSERT_EQ(plain.status, 0) << plain.out << plain.err;
    const json state = stateOf(plainModule);
    EXPECT_EQ(firmwareIn(state), firmwareOf(spec));
    EXPECT_EQ(state["upgrade"]["loader"][0]["data"], hexOf(spec.loader));
    EXPECT_EQ(state["upgrade"]["writes"], json({256, 256, 256, 232, 77}));
    EXPECT_FALSE(contains(plain.err, "val_UPGRADE_DATA_UEI"));
    for (const char* line : {"Updating from Birdfile: ", "Transferring loader to device",
                             "Transferring loader block 1 of 1, 304 bytes", "Starting Load on Device",
                             "Transferring firmware block 1 of 2, 1004 bytes",
                             "Transferring firmware block 2 of 2, 81 bytes",
                             "Transferred 2 blocks, 1085 total bytes", "Update time: "})
        EXPECT_TRUE(contains(plain.out, line)) << line << "\n" << plain.out;
    EXPECT_EQ(SettingOf(store.settings(kDirect), "LATEST_TRANSFER"), file);
    EXPECT_NE(SettingOf(store.settings(kDirect), "LAST_TRANSFER_DATE"), "<absent>");
    // A transfer recorded by its path names no build to install again.
    ProcessResult again = run({"-U", "-d", "40F5849A"});
    EXPECT_EQ(again.status, 1);
    EXPECT_TRUE(contains(again.err, "Could not find valid build for this device.")) << again.err;

    spec.serial = other.serial;
    const std::string otherFile = fileOf(spec, "other.bird");
    ProcessResult uei = run({"-U", "-d", birdtool::serialText(other.serial), "-f", otherFile, "-X", "0x400"});
    ASSERT_EQ(uei.status, 0) << uei.out << uei.err;
    EXPECT_EQ(firmwareIn(stateOf(ueiModule)), firmwareOf(spec));
    EXPECT_TRUE(contains(uei.err, "val_UPGRADE_DATA_UEI, 256")) << uei.err;
    EXPECT_TRUE(contains(uei.err, "NETWORK: Protocol Version: -2147483648 Error: 0")) << uei.err;
}

TEST_F(CommandsTest, GenericImageGetsTheModuleSerialNumberAndTheFileStaysAsItWas) {
    sim::TcpModuleServer& module = addModule(Direct());
    startNetwork();
    FirmwareSpec spec = FirmwareFor(0);
    spec.generic = true;
    const std::string file = fileOf(spec);
    const Bytes before = birdtool::readBytes(file);

    ProcessResult result = run({"-U", "-d", "40F5849A", "-f", file});
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    Bytes expected = spec.images[0];
    const uint32_t serial = kDirect;
    for (int i = 0; i < 4; ++i)
        expected[spec.serialWordOffset + i] = static_cast<uint8_t>(serial >> (8 * i));
    EXPECT_EQ(firmwareIn(stateOf(module)).at(spec.firmwareAddress), hexOf(expected));
    EXPECT_EQ(birdtool::readBytes(file), before);
}

// Which build an update without -f takes: -b, the server's latest when stored, the
// latest download, the latest transfer.
TEST_F(CommandsTest, ChoosesTheBuildFromServerAndStore) {
    sim::TcpModuleServer& module = addModule(Direct());
    startNetwork();
    FirmwareSpec old = FirmwareFor(kDirect);
    old.build = 12;
    old.images = {birdtool::patternBytes(300, 12)};
    FirmwareSpec latest = FirmwareFor(kDirect);
    serve({{kDirect, "TDM-2", {{12, {"2.1.0", MakeBird(old)}}, {20000, {"2.10.0", MakeBird(latest)}}}}});

    // -G -U installs exactly what it downloaded.
    ProcessResult getUpdate = run({"-G", "-U", "-d", "40F5849A", "-b", "12"});
    ASSERT_EQ(getUpdate.status, 0) << getUpdate.out << getUpdate.err;
    EXPECT_TRUE(contains(getUpdate.out, "Updating firmware with build: 12")) << getUpdate.out;
    EXPECT_EQ(firmwareIn(stateOf(module)), firmwareOf(old));
    EXPECT_EQ(SettingOf(store.settings(kDirect), "LATEST_TRANSFER"), "12.bird");

    // The server names 20000, which is not stored yet: the latest download (12) is used.
    ProcessResult fallback = run({"-U", "-d", "40F5849A"});
    ASSERT_EQ(fallback.status, 0) << fallback.out << fallback.err;
    EXPECT_TRUE(contains(fallback.out,
                         "New firmware is available.  Updater will proceed if valid firmware is found locally."));
    EXPECT_TRUE(contains(fallback.out, "Updating with the Latest Download"));

    // Once stored, the server's latest is taken.
    ASSERT_EQ(run({"-G", "-d", "40F5849A"}).status, 0);
    ProcessResult newest = run({"-U", "-d", "40F5849A"});
    ASSERT_EQ(newest.status, 0) << newest.out << newest.err;
    EXPECT_TRUE(contains(newest.out, "Updating firmware with build: 20000")) << newest.out;
    EXPECT_EQ(firmwareIn(stateOf(module)), firmwareOf(latest));

    // Unreachable server: the latest download again.
    url = kUnreachableUrl;
    ProcessResult offline = run({"-U", "-d", "40F5849A"});
    EXPECT_EQ(offline.status, 0) << offline.out << offline.err;
    EXPECT_TRUE(contains(offline.out, "Updating with the Latest Download"));
    EXPECT_TRUE(contains(offline.out, "Updating firmware with build: 20000"));

    // A -G that fails still lets -U run with what the command line chose.
    ProcessResult failedGet = run({"-G", "-U", "-d", "40F5849A", "-b", "12"});
    EXPECT_EQ(failedGet.status, 0) << failedGet.out << failedGet.err;
    EXPECT_TRUE(contains(failedGet.err, "Server request failed for " + url));
    EXPECT_TRUE(contains(failedGet.out, "Updating firmware with build: 12"));
}

TEST_F(CommandsTest, ServerCommandsAndTheirExitStatus) {
    FirmwareSpec old = FirmwareFor(kDirect);
    old.build = 100;
    old.version = "2.9.0";
    serve({{kDirect, "TDM-2", {{100, {"2.9.0", MakeBird(old)}}, {20000, {"2.10.0", MakeBird(FirmwareFor(kDirect))}}}}});

    ProcessResult get = run({"-G", "-d", "40F5849A"});
    EXPECT_EQ(get.status, 0) << get.err;
    EXPECT_TRUE(fs::exists(store.device(kDirect) / "20000.bird"));
    ProcessResult builds = run({"-B", "-d", "40F5849A"});
    EXPECT_EQ(builds.status, 0);
    EXPECT_LT(builds.out.find("20000          \t2.10.0"), builds.out.find("100            \t2.9.0"))
        << builds.out;
    ProcessResult local = run({"-L", "-d", "40F5849A"});
    EXPECT_EQ(local.status, 0);
    EXPECT_TRUE(contains(local.out, "20000          \t2.15.1")) << local.out;
    ProcessResult token = run({"-J", "-d", "40F5849A"});
    EXPECT_EQ(token.status, 0);
    EXPECT_TRUE(contains(token.out, "\naa.bb.cc\n")) << token.out;

    catalogue.fault("badbase64@bird");
    ProcessResult broken = run({"-G", "-d", "40F5849A", "-b", "100"});
    EXPECT_EQ(broken.status, 1) << "a download that stored nothing is a failure";
    EXPECT_TRUE(contains(broken.err, "Failed to retrieve a valid BIRD file")) << broken.err;
    EXPECT_FALSE(fs::exists(store.device(kDirect) / "100.bird"));
    EXPECT_EQ(SettingOf(store.settings(kDirect), "LATEST_DOWNLOAD"), "20000.bird");

    url = kUnreachableUrl;
    EXPECT_EQ(run({"-G", "-d", "40F5849A"}).status, 1);
    ProcessResult offline = run({"-B", "-d", "40F5849A"});
    EXPECT_EQ(offline.status, 0) << "the listing ran, whatever the server answered";
    EXPECT_TRUE(contains(offline.err, "Server request failed for " + url));
    EXPECT_TRUE(contains(offline.out, "No builds found for device [40F5849A]"));
}

TEST_F(CommandsTest, NothingToInstallIsAnError) {
    addModule(Direct());
    startNetwork();
    ProcessResult result = run({"-U", "-d", "40F5849A"});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(contains(result.err, "Could not find valid build for this device.")) << result.err;

    ProcessResult missing = run({"-U", "-d", "40F5849A", "-b", "31"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(contains(missing.err, "Failed to load bird file")) << missing.err;
}

TEST_F(CommandsTest, UpdatesAModuleBehindARouter) {
    sim::TcpModuleServer& router = addModule(Router());
    startNetwork();
    const FirmwareSpec spec = FirmwareFor(kBehind);
    serve({{kBehind, "TDM-2", {{20000, {"2.10.0", MakeBird(spec)}}}}});

    // Asked before the update: afterwards the module behind the router is rebooting
    // and the router's network may briefly look empty.
    ProcessResult unknown = run({"-U", "-d", "12345678", "-r", "D272031D", "-f", fileOf(spec)});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_TRUE(contains(unknown.err, "Module address required for indirect firmware update, could not find "
                                      "serial number [0x12345678] on network"))
        << unknown.err;

    ProcessResult result = run({"-G", "-U", "-d", "2181F0EE", "-r", "D272031D", "-m", "0"});
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    const json state = stateOf(router);
    ASSERT_EQ(state["subModules"].size(), 1u);
    EXPECT_EQ(firmwareIn(state["subModules"][0]), firmwareOf(spec));
    EXPECT_TRUE(state["upgrade"]["firmware"].empty()) << "the router itself keeps its firmware";
    EXPECT_TRUE(contains(result.out, "Update time: "));

}

// Runs one update of `spec` into a module with `faults`; the module and the result.
struct FaultRun {
    ProcessResult result;
    json state;
};

TEST_F(CommandsTest, ModuleFaults) {
    struct Case {
        const char* name;
        std::string faults;        // tandril-sim module keys
        std::vector<std::string> extra;
        int status;
        std::vector<std::string> out, err; // lines expected
    } cases[] = {
        {"sum and write refused once each", "bad-sum=2,refuse-write=1", {"-m", "0"}, 0,
         {"  Retry 1", "  Retry 2"}, {}},
        {"count answered wrongly once", "bad-count=3", {"-m", "0"}, 0, {}, {}},
        {"no LOAD echo, not even after reconnecting", "no-load-echo=1", {"-X", "0x500"}, 0, {"Update time: "},
         {"NETWORK: Attempting to reconnect. Attempt: 1 of 5",
          "NETWORK: Invalid or reply when starting loader (Reconnect)."}},
        {"drops the link mid-transfer", "disconnect-at=40", {"-m", "0"}, 1, {}, {"NETWORK: Failed to transfer firmware"}},
        {"model mismatch", "model=16", {}, 1, {},
         {"Connected device model and Bird file model do not match [TD-Relay8] (0)", "Birdfile failed validation"}},
        {"model mismatch overridden", "model=16", {"-OVERRIDE"}, 0, {"Update time: "}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::ModuleConfig config = Direct();
        std::string error;
        ASSERT_TRUE(sim::applyModuleSpec(c.faults, config, error)) << error;
        modules.clear();
        discovery.reset();
        sim::TcpModuleServer& module = addModule(config);
        startNetwork();
        fs::remove_all(store.root());
        fs::create_directories(store.device(kDirect));
        const FirmwareSpec spec = FirmwareFor(kDirect);
        std::vector<std::string> args = {"-U", "-d", "40F5849A", "-f", fileOf(spec)};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        ProcessResult result = run(args);
        EXPECT_EQ(result.status, c.status) << result.out << result.err;
        for (const std::string& line : c.out)
            EXPECT_TRUE(contains(result.out, line)) << line << "\n" << result.out;
        for (const std::string& line : c.err)
            EXPECT_TRUE(contains(result.err, line)) << line << "\n" << result.err;
        const std::string transfer = SettingOf(store.settings(kDirect), "LATEST_TRANSFER");
        if (c.status == 0) {
            EXPECT_EQ(firmwareIn(stateOf(module)), firmwareOf(spec));
            EXPECT_NE(transfer, "<absent>");
        } else {
            EXPECT_EQ(transfer, "<absent>") << "a failed update records no transfer";
        }
    }
}

TEST_F(CommandsTest, FileForAnotherModuleIsRejectedWithoutTouchingIt) {
    sim::TcpModuleServer& module = addModule(Direct());
    startNetwork();
    ProcessResult result = run({"-U", "-d", "40F5849A", "-f", fileOf(FirmwareFor(0x11111111))});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(contains(result.err, "Birdfile failed validation")) << result.err;
    EXPECT_FALSE(contains(result.err, "do not match")) << result.err;
    EXPECT_EQ(stateOf(module)["upgrade"]["inits"], 0);
}

// Modules and routers that cannot be reached, and a module without a store directory.
TEST_F(CommandsTest, UnreachableModulesAndAModuleTheStoreDoesNotKnow) {
    sim::TcpModuleServer& module = addModule(Direct());
    addModule(Router());
    startNetwork();
    const std::string file = fileOf(FirmwareFor(kDirect));
    struct Case {
        std::vector<std::string> args;
        std::string error;
    } cases[] = {
        {{"-U", "-d", "12345678", "-f", file}, "Failed to connect to module [12345678]"},
        {{"-U", "-d", "40F5849A", "-r", "99999999", "-f", file}, "Unable to find modules on Network"},
    };
    for (const Case& c : cases) {
        ProcessResult result = run(c.args);
        EXPECT_EQ(result.status, 1) << result.out;
        EXPECT_TRUE(contains(result.err, c.error)) << c.error << "\n" << result.err;
    }

    // Updated from a file, a module unknown to the store gets no settings anywhere.
    fs::remove(".settings");
    ProcessResult unknown = run({"-U", "-d", "40F5849A", "-f", file});
    EXPECT_EQ(unknown.status, 0) << unknown.out << unknown.err;
    EXPECT_EQ(firmwareIn(stateOf(module)), firmwareOf(FirmwareFor(kDirect)));
    EXPECT_FALSE(fs::exists(".settings")) << "no settings file in the working directory";
    EXPECT_FALSE(fs::exists(store.device(kDirect)));
}

// The first firmware block fails three times (wrong sum, refused write, lost answer)
// and goes through on its fourth try.
TEST_F(CommandsTest, BlockThatFailsThreeTimesGoesThroughOnItsFourthTry) {
    const FirmwareSpec spec = FirmwareFor(kDirect);
    const std::string file = fileOf(spec);
    const std::vector<std::string> args = {"-U", "-d", "40F5849A", "-f", file, "-m", "0"};
    std::string error;

    // A rehearsal with the first two faults tells which answer the third try's first
    // DATA answer is: the module's last answers are that try's PREPARE, its DATA
    // pieces (one piece per block here), SUM and WRITE; REBOOT is not answered.
    sim::ModuleConfig rehearsal = Direct();
    ASSERT_TRUE(sim::applyModuleSpec("bad-sum=2,refuse-write=1,block-size=2000", rehearsal, error)) << error;
    sim::TcpModuleServer& first = addModule(rehearsal);
    startNetwork();
    ASSERT_EQ(run(args).status, 0);
    const unsigned answers = first.withCore([](sim::ModuleCore& c) { return c.stats().answers; });
    const unsigned pieces = (static_cast<unsigned>(spec.images[0].size()) + 25) / 26;
    const unsigned thirdTryData = answers - pieces;

    modules.clear();
    discovery.reset();
    sim::ModuleConfig config = Direct();
    ASSERT_TRUE(sim::applyModuleSpec("bad-sum=2,refuse-write=1,block-size=2000,drop=" +
                                         std::to_string(thirdTryData),
                                     config, error))
        << error;
    sim::TcpModuleServer& module = addModule(config);
    startNetwork();
    ProcessResult result = run(args);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    for (const char* line : {"  Retry 1", "  Retry 2", "  Retry 3"})
        EXPECT_TRUE(contains(result.out, line)) << line << "\n" << result.out;
    EXPECT_FALSE(contains(result.out, "  Retry 4"));
    EXPECT_EQ(firmwareIn(stateOf(module)), firmwareOf(spec));
}

} // namespace
} // namespace tandril::test

// The virtual module's answers, the same on every carrier: in-process, TCP and a
// COBS-framed pseudo-terminal.
#include <gtest/gtest.h>

#include "SimHost.h"
#include "TestSupport.h"

using namespace tandril::sim;
using namespace tandril::sim::test;

namespace {

ModuleConfig quiet() {
    ModuleConfig c;
    c.serial = 0x0012ABCD;
    c.model = 0x21;
    c.address = 6;
    c.version = 0x2F020F03;
    c.build = 4321;
    c.features = 0x80000005;
    c.routerAddress = 4;
    c.heartbeatMs = 0;  // heartbeats have a test of their own
    c.rebootOfflineMs = 100;
    return c;
}

class Protocol : public ::testing::TestWithParam<Carrier> {
protected:
    std::unique_ptr<Host> start(const ModuleConfig& c) { return makeHost(GetParam(), c); }
};

TEST_P(Protocol, EveryMagicIsAnsweredWithAnEmptyPacketFromTheOwnAddress) {
    auto host = start(quiet());
    host->send({0xAD, 0, 0xAD, 0, 0xAD, 0});
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(host->receive(), packet(6, {}));
    // A forced route is taken silently.
    host->send({0xAF, 1, 1});
    EXPECT_EQ(host->barrier(6), std::vector<Bytes>{});
    EXPECT_EQ(host->state()["forceRoute"], 1);
}

TEST_P(Protocol, SystemGetsAnswerWithTheBareOptionAndTheValueByItsWidth) {
    struct Case {
        Bytes request;  // data bytes after the address
        Bytes reply;
    } cases[] = {
        {{3, 0x41, 0x20}, {3, 1, 0, 6}},
        {{3, 0x42, 0x20}, {3, 2, 0, 4}},
        {{3, 0x47, 0x20}, {3, 7, 0, 0x2F, 0x02, 0x0F, 0x03}},
        {{3, 0x48, 0x20}, {3, 8, 0, 0x21}},
        {{3, 0x49, 0x20}, {3, 9, 0, 0x00, 0x12, 0xAB, 0xCD}},
        {{3, 0x6B, 0x20}, {3, 43, 0, 0, 0, 0x10, 0xE1}},
        {{3, 0x6D, 0x20}, {3, 45, 0, 0x80, 0, 0, 5}},
        {{3, 0x67, 0x20, 0}, {3, 39, 0, 0x11, 0x11, 0x11, 0x11}},
        {{3, 0x67, 0x20, 1}, {3, 39, 0, 0x22, 0x22, 0x22, 0x22}},
        {{3, 0x67, 0x20, 2}, {3, 39, 0, 0x33, 0x33, 0x33, 0x33}},
        {{3, 0x67, 0x20, 3}, {3, 39, 0, 0x44, 0x44, 0x44, 0x44}},
    };
    auto host = start(quiet());
    for (const auto& c : cases)
        EXPECT_EQ(host->ask(packet(6, c.request)), packet(6, c.reply)) << hex(c.request);
}

TEST_P(Protocol, RefusedRequestsGetErrorRepliesWithTheCodeInByteThree) {
    struct Case {
        const char* what;
        Bytes request;
        uint8_t replyOption;
        uint8_t code;
    } cases[] = {
        {"unknown option", {3, 0x40 | 50, 0x20}, 50, 29},
        {"set of a read-only option", {3, 0x87, 0x20, 0, 0, 0, 1}, 0xC7, 7},
        {"get of a call", {3, 0x4B, 0x20}, 11, 7},
        {"index 1", {3, 0x41, 0x21}, 1, 26},
        {"identifier without subindex", {3, 0x67, 0x20}, 39, 27},
        {"identifier subindex 4", {3, 0x67, 0x20, 4}, 39, 26},
        {"set with the wrong width", {3, 0x82, 0x20, 0, 8}, 0xC2, 14},
        {"entity the module lacks", {60, 0x41, 0x20}, 1, 28},
        {"upgrade get of the data option", {95, 0x4A, 0x20}, 10, 7},
    };
    auto host = start(quiet());
    for (const auto& c : cases) {
        auto reply = host->ask(packet(6, c.request));
        EXPECT_EQ(reply, packet(6, {c.request[0], c.replyOption, static_cast<uint8_t>((c.request[2] & 0x1F) | 0x80),
                                    c.code}))
            << c.what;
    }
    // Still serving.
    EXPECT_EQ(host->barrier(6), std::vector<Bytes>{});
}

TEST_P(Protocol, SetsAreAcknowledgedAndTakeEffect) {
    auto host = start(quiet());
    EXPECT_EQ(host->ask(packet(6, {3, 0x82, 0x20, 8})), packet(6, {3, 0xC2, 0}));
    EXPECT_EQ(host->ask(packet(6, {3, 0x42, 0x20})), packet(6, {3, 2, 0, 8}));
    EXPECT_EQ(host->ask(packet(6, {3, 0x94, 0x20, 1})), packet(6, {3, 0xD4, 0}));
    EXPECT_EQ(host->state()["routeToMe"], 1);
}

// Reads a bytes value: packets of up to 24 payload bytes, sequence numbers from 0,
// continue bit on all but the last.
std::string readBytes(Host& host, uint8_t address, uint8_t command, uint8_t option, std::vector<Bytes>* packets) {
    host.send(packet(address, {command, static_cast<uint8_t>(option | 0x40), 0x20}));
    std::string value;
    for (uint8_t sequence = 0;; ++sequence) {
        auto p = host.receive();
        EXPECT_TRUE(p.has_value());
        if (!p)
            return value;
        packets->push_back(*p);
        EXPECT_EQ((*p)[2], command);
        EXPECT_EQ((*p)[3], option);
        EXPECT_EQ((p->back() & 0x7F), sequence);
        value.append(p->begin() + 5, p->end() - 1);
        if (!(p->back() & 0x80))
            return value;
    }
}

void writeBytes(Host& host, uint8_t address, uint8_t command, uint8_t option, const std::string& value) {
    size_t offset = 0;
    uint8_t sequence = 0;
    do {
        size_t n = std::min<size_t>(24, value.size() - offset);
        Bytes d{command, static_cast<uint8_t>(option | 0x80), 0x20};
        d.insert(d.end(), value.begin() + offset, value.begin() + offset + n);
        offset += n;
        d.push_back(static_cast<uint8_t>(sequence++ | (offset < value.size() ? 0x80 : 0)));
        host.send(packet(address, d));
    } while (offset < value.size());
}

TEST_P(Protocol, NameTravelsAsSequenceNumberedBytesBothWays) {
    auto host = start(quiet());
    std::vector<Bytes> packets;
    EXPECT_EQ(readBytes(*host, 6, 3, 32, &packets), "Virtual Module");
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].back(), 0x00);

    const std::string longName = "Bench rack 7, slot 12, left side";  // 32 bytes: 24 + 8
    writeBytes(*host, 6, 3, 32, longName);
    EXPECT_EQ(host->receive(), packet(6, {3, 0xE0, 0}));
    packets.clear();
    EXPECT_EQ(readBytes(*host, 6, 3, 32, &packets), longName);
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].back(), 0x80);
    EXPECT_EQ(packets[0][1], 28);
    EXPECT_EQ(packets[1].back(), 0x01);

    writeBytes(*host, 6, 3, 32, "");
    EXPECT_EQ(host->receive(), packet(6, {3, 0xE0, 0}));
    packets.clear();
    EXPECT_EQ(readBytes(*host, 6, 3, 32, &packets), "");
}

TEST_P(Protocol, BrokenByteSeriesAreAnsweredOnceWithAnError) {
    auto host = start(quiet());
    // 33 bytes: one too many for a name.
    writeBytes(*host, 6, 3, 32, std::string(33, 'x'));
    EXPECT_EQ(host->receive(), packet(6, {3, 0xE0, 0x80, 14}));
    // A series that skips sequence 1: one error, at its last packet.
    host->send(packet(6, {3, 0xA0, 0x20, 'a', 'b', 0x80}));
    host->send(packet(6, {3, 0xA0, 0x20, 'c', 'd', 0x82}));
    host->send(packet(6, {3, 0xA0, 0x20, 'e', 0x03}));
    EXPECT_EQ(host->receive(), packet(6, {3, 0xE0, 0x80, 24}));
    EXPECT_EQ(host->barrier(6), std::vector<Bytes>{});
    EXPECT_EQ(host->state()["name"], "Virtual Module");
}

TEST_P(Protocol, ModuleQueriesGiveBuildAndUEISupport) {
    auto host = start(quiet());
    EXPECT_EQ(host->ask(packet(6, {73, 0xFF})), packet(6, {73, 0xFF, 0, 0, 0x10, 0xE1}));
    struct Case {
        uint8_t command, option, index, bits;
        uint8_t result;
    } cases[] = {
        {95, 10, 0, 0x80, 0}, {3, 7, 0, 0x40, 0},  {3, 7, 0, 0x80, 7},   {3, 2, 0, 0x80, 0},
        {3, 50, 0, 0, 29},    {3, 7, 2, 0x40, 26}, {60, 1, 0, 0x40, 28}, {95, 3, 0, 0x80, 29},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(host->ask(packet(6, {73, 1, c.command, c.option, c.index, c.bits})),
                  packet(6, {73, 1, c.command, c.option, c.index, c.result}))
            << int(c.command) << "/" << int(c.option) << "/" << int(c.index) << "/" << int(c.bits);
    }
    ModuleConfig noUei = quiet();
    noUei.ueiData = false;
    host = start(noUei);
    EXPECT_EQ(host->ask(packet(6, {73, 1, 95, 10, 0, 0x80})), packet(6, {73, 1, 95, 10, 0, 21}));
}

TEST_P(Protocol, DebugPacketsAreEchoed) {
    auto host = start(quiet());
    EXPECT_EQ(host->ask(packet(6, {23, 1, 2, 3, 0, 0xFF})), packet(6, {23, 1, 2, 3, 0, 0xFF}));
}

TEST_P(Protocol, PacketsForOtherModulesAreLeftAlone) {
    auto host = start(quiet());
    host->send(packet(8, {3, 0x49, 0x20}));
    host->send(packet(0x33, {3, 0x49, 0x20}));  // odd: no module has it
    EXPECT_EQ(host->barrier(6), std::vector<Bytes>{});
}

ModuleConfig router() {
    ModuleConfig c = quiet();
    c.address = 4;
    for (uint8_t address : {10, 200}) {
        ModuleConfig sub = quiet();
        sub.address = address;
        sub.serial = 0x5000 + address;
        sub.routerAddress = 4;
        sub.rebootOfflineMs = 100;
        c.subModules.push_back(sub);
    }
    return c;
}

TEST_P(Protocol, RouterProbeFindsExactlyItsSubModulesAndPassesTheirPackets) {
    auto host = start(router());
    std::vector<int> found;
    for (int address = 2; address <= 252; address += 2) {
        if (address == 4)
            continue;
        auto reply = host->ask(packet(4, {8, 0, static_cast<uint8_t>(address), 2, 3, 0, 0}));
        ASSERT_TRUE(reply && reply->size() == 7) << address;
        EXPECT_EQ(Bytes(reply->begin() + 2, reply->begin() + 6), (Bytes{8, 0, static_cast<uint8_t>(address), 0}));
        if ((*reply)[6] == 0)
            found.push_back(address);
        else
            EXPECT_EQ((*reply)[6], 0x80 | 3) << address;
    }
    EXPECT_EQ(found, (std::vector<int>{10, 200}));

    // Sub-modules answer from their own address over the router's link.
    EXPECT_EQ(host->ask(packet(10, {3, 0x49, 0x20})), packet(10, {3, 9, 0, 0, 0, 0x50, 0x0A}));
    EXPECT_EQ(host->ask(packet(200, {3, 0x42, 0x20})), packet(200, {3, 2, 0, 4}));
    EXPECT_EQ(host->ask(packet(4, {3, 0x49, 0x20})), packet(4, {3, 9, 0, 0x00, 0x12, 0xAB, 0xCD}));
    // An I2C read of a sub-module's bus address returns the bytes asked for.
    EXPECT_EQ(host->ask(packet(4, {8, 0, 11, 3, 3})), packet(4, {8, 0, 11, 3, 0, 0, 0, 0}));
    // Malformed I2C requests fail with a status, not silence.
    EXPECT_EQ(host->ask(packet(4, {8, 0, 10, 24, 3})), packet(4, {8, 0, 10, 0, 0x80 | 14}));
    EXPECT_EQ(host->ask(packet(4, {8, 1, 10, 0, 3})), packet(4, {8, 1, 10, 0, 0x80 | 26}));

    // A sub-module that reboots leaves the network for a while; the router's link stays.
    host->send(packet(10, {95, 6}));
    EXPECT_EQ(host->ask(packet(4, {8, 0, 10, 2, 3, 0, 0})), packet(4, {8, 0, 10, 0, 0x80 | 3}));
    EXPECT_EQ(host->barrier(4), std::vector<Bytes>{});
    host->pass(150);
    EXPECT_EQ(host->ask(packet(4, {8, 0, 10, 2, 3, 0, 0})), packet(4, {8, 0, 10, 0, 0}));
    EXPECT_EQ(host->ask(packet(10, {3, 0x41, 0x20})), packet(10, {3, 1, 0, 10}));
}

TEST_P(Protocol, PlainModuleHasNoI2CBus) {
    auto host = start(quiet());
    EXPECT_EQ(host->ask(packet(6, {8, 0, 10, 2, 3, 0, 0})), packet(6, {8, 0, 10, 0, 0x80 | 28}));
}

struct UpgradeCase {
    Carrier carrier;
    bool uei;
};

class Upgrade : public ::testing::TestWithParam<UpgradeCase> {};

TEST_P(Upgrade, LoaderKeepsWhatArrivedByteForByteAndRebootsIntoTheNewBuild) {
    ModuleConfig c = quiet();
    c.blockSize = 100;
    c.newBuild = 5000;
    auto host = makeHost(GetParam().carrier, c);
    const std::vector<Block> loader{{0x10000000, 0x01, pattern(61, 3)}, {0x10000100, 0x01, pattern(7, 9)}};
    // 100 + 100 + 50 and a block of one byte: pieces of the block size, a short last piece.
    const std::vector<Block> firmware{{0x00004000, 0x02, pattern(250, 1)}, {0x00008000, 0x00, pattern(1, 77)}};
    upgrade(*host, 6, loader, firmware, GetParam().uei);

    nlohmann::json state;
    ASSERT_TRUE(tandril::test::waitUntil([&] {
        state = host->state();
        return state["upgrade"]["reboots"] == 1;
    }));
    const auto& up = state["upgrade"];
    EXPECT_EQ(up["inits"], 1);
    ASSERT_EQ(up["loader"].size(), 2u);
    for (size_t i = 0; i < loader.size(); ++i) {
        EXPECT_EQ(up["loader"][i]["address"], loader[i].address);
        EXPECT_EQ(up["loader"][i]["flags"], loader[i].flags);
        EXPECT_EQ(up["loader"][i]["data"], hex(loader[i].bytes));
    }
    ASSERT_EQ(up["firmware"].size(), 2u);
    for (size_t i = 0; i < firmware.size(); ++i) {
        EXPECT_EQ(up["firmware"][i]["address"], firmware[i].address);
        EXPECT_EQ(up["firmware"][i]["data"], hex(firmware[i].bytes));
    }
    EXPECT_EQ(up["writes"], nlohmann::json({100, 100, 50, 1}));
    // The loader takes the loader plainly (3 + 1 packets); firmware goes as the mode says:
    // 4 + 4 + 2 + 1 DATA packets, or 5 + 5 + 3 + 1 UEI packets of up to 24 bytes.
    EXPECT_EQ(state["dataPackets"]["plain"], GetParam().uei ? 4 : 15);
    EXPECT_EQ(state["dataPackets"]["uei"], GetParam().uei ? 14 : 0);
    EXPECT_EQ(state["build"], 5000);
    EXPECT_EQ(state["version"], 0x2F020F04);

    // The link dropped; once the module is back it presents the new firmware.
    host->pass(150);
    ASSERT_TRUE(tandril::test::waitUntil([&] { return host->reconnect(); }));
    EXPECT_EQ(host->ask(packet(6, {73, 0xFF})), packet(6, {73, 0xFF, 0, 0, 0x13, 0x88}));
}

INSTANTIATE_TEST_SUITE_P(Carriers, Protocol, ::testing::Values(Carrier::Core, Carrier::Tcp, Carrier::Pty),
                         [](const auto& info) { return std::string(carrierName(info.param)); });
INSTANTIATE_TEST_SUITE_P(Modes, Upgrade,
                         ::testing::Values(UpgradeCase{Carrier::Core, false}, UpgradeCase{Carrier::Core, true},
                                           UpgradeCase{Carrier::Tcp, false}, UpgradeCase{Carrier::Tcp, true},
                                           UpgradeCase{Carrier::Pty, false}, UpgradeCase{Carrier::Pty, true}),
                         [](const auto& info) {
                             return std::string(carrierName(info.param.carrier)) + (info.param.uei ? "_uei" : "_plain");
                         });

} // namespace

// Entity operations: UEI gets, sets and byte transfers against the virtual module,
// I2C through a router, and replies only a scripted module gives.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "ObjectsFixture.h"
#include "ScriptedModule.h"
#include "Tandril2/objects/Entity.h"
#include "Tandril2/objects/I2CClass.h"
#include "Tandril2/objects/Link.h"
#include "Tandril2/objects/Module.h"
#include "Tandril2/objects/SystemClass.h"

using namespace Vornic::Tandril;
using tandril::test::directConfig;
using tandril::test::ModuleOverTcp;
using tandril::test::ScriptedModule;
using Bytes = std::vector<uint8_t>;

namespace {

class SystemEntity : public ModuleOverTcp {
protected:
    void SetUp() override
    {
        ModuleOverTcp::SetUp();
        system.init(&module, 0);
    }
    SystemClass system;
};

TEST_F(SystemEntity, GetsOfEveryWidthTheModuleOffers)
{
    uint8_t address = 0, model = 0, router = 0xFF;
    uint32_t version = 0, serial = 0, build = 0, features = 0;
    EXPECT_EQ(system.getModule(&address), vErrNone);
    EXPECT_EQ(address, config.address);
    EXPECT_EQ(system.getModel(&model), vErrNone);
    EXPECT_EQ(model, config.model);
    EXPECT_EQ(system.getRouter(&router), vErrNone);
    EXPECT_EQ(router, config.routerAddress);
    EXPECT_EQ(system.getVersion(&version), vErrNone);
    EXPECT_EQ(version, config.version);
    EXPECT_EQ(system.getSerialNumber(&serial), vErrNone);
    EXPECT_EQ(serial, config.serial);
    EXPECT_EQ(system.getBuild(&build), vErrNone);
    EXPECT_EQ(build, config.build);
    EXPECT_EQ(system.getProtocolFeatures(&features), vErrNone);
    EXPECT_EQ(features, config.features);
    for (uint8_t word = 0; word < 4; word++) {
        uint32_t identifier = 0;
        EXPECT_EQ(system.getUEI32(SystemClass::kIdentifiers, word, &identifier), vErrNone);
        EXPECT_EQ(identifier, config.identifiers[word]) << int(word);
    }
    EXPECT_EQ(system.getModule(nullptr), vErrParam);
}

TEST_F(SystemEntity, ModuleErrorsComeBackAsTheirCodes)
{
    uint8_t value = 0x5A;
    uint32_t word = 0x5A5A;
    struct Case {
        const char* what;
        vErr got, want;
    };
    for (Case c : {Case{"unknown option", system.getHBInterval(&value), vErrInvalidOption},
                   Case{"get of a call", system.getUEI8(SystemClass::kReset, &value), vErrMode},
                   Case{"set of a read-only option", system.setUEI8(SystemClass::kModel, 1), vErrMode},
                   Case{"subindex out of range", system.getUEI32(SystemClass::kIdentifiers, 4, &word), vErrIndexRange},
                   Case{"name longer than the module keeps",
                        system.setName(reinterpret_cast<const uint8_t*>(std::string(40, 'n').data()), 40), vErrSize}})
        EXPECT_EQ(c.got, c.want) << c.what;
    // Failed gets leave the caller's value alone.
    EXPECT_EQ(value, 0x5A);
    EXPECT_EQ(word, 0x5A5Au);
}

TEST_F(SystemEntity, SetsCallsAndNames)
{
    EXPECT_EQ(system.setRouter(0x24), vErrNone);
    uint8_t router = 0;
    EXPECT_EQ(system.getRouter(&router), vErrNone);
    EXPECT_EQ(router, 0x24);
    EXPECT_EQ(system.routeToMe(1), vErrNone);
    server->withCore([](auto& core) { EXPECT_EQ(core.stats().routeToMe, 1); });

    // 30 bytes: two packets (24 + 6) each way.
    const std::string name = "A name of exactly thirty bytes";
    ASSERT_EQ(name.size(), 30u);
    EXPECT_EQ(system.setName(reinterpret_cast<const uint8_t*>(name.data()), name.size()), vErrNone);
    uint8_t buffer[64];
    size_t count = 0;
    ASSERT_EQ(system.getName(buffer, sizeof buffer, &count), vErrNone);
    EXPECT_EQ(std::string(buffer, buffer + count), name);
    // Too small a buffer: what fitted (the first packet) is kept and counted.
    EXPECT_EQ(system.getName(buffer, 25, &count), vErrMemory);
    EXPECT_EQ(count, 24u);
    EXPECT_EQ(std::string(buffer, buffer + count), name.substr(0, 24));
    EXPECT_EQ(system.getName(nullptr, 10, &count), vErrParam);
    EXPECT_EQ(system.getName(buffer, 0, &count), vErrParam);

    // The reset is acknowledged, then the module is away for a while.
    EXPECT_EQ(system.reset(), vErrNone);
}

TEST_F(SystemEntity, ByteTransfersWithAndWithoutPooledWrites)
{
    EntityClass upgrade;
    upgrade.init(&module, cmdUPGRADE, 0);
    // 3000 bytes arrive whole (125 packets); 64 KiB (2731 packets) is acknowledged.
    for (size_t size : {size_t{3000}, size_t{65536}}) {
        Bytes image(size);
        for (size_t i = 0; i < image.size(); i++)
            image[i] = static_cast<uint8_t>(i * 7);
        for (bool pooled : {false, true}) {
            ASSERT_EQ(module.getLink()->enablePooledPackets(pooled), vErrNone);
            size_t before = server->withCore([](auto& core) { return core.loader().pending(); });
            EXPECT_EQ(upgrade.setUEIBytes(10, image.data(), image.size()), vErrNone) << size << " pooled " << pooled;
            size_t after = server->withCore([](auto& core) { return core.loader().pending(); });
            if (size <= 128 * 24) {
                EXPECT_EQ(after - before, image.size()) << "pooled " << pooled;
            }
        }
    }
}

TEST(EntityUnbound, EveryOperationNeedsAModuleWithALink)
{
    SystemClass system;
    uint32_t value = 0;
    uint8_t buffer[4];
    size_t count = 0;
    uint8_t length = 0;
    EXPECT_EQ(system.getSerialNumber(&value), vErrResource);
    EXPECT_EQ(system.reset(), vErrResource);
    EXPECT_EQ(system.getUEIBytes(1, buffer, sizeof buffer, &count), vErrResource);
    EXPECT_EQ(system.sendPacket(1, 0, nullptr), vErrResource);
    EXPECT_EQ(system.receivePacket(buffer, &length, buffer), vErrResource);
    EXPECT_EQ(system.awaitUEI32Val(1, &value), vErrResource);
    EXPECT_EQ(system.drainUEI(1), vErrResource);

    struct Case {
        size_t count, unit;
        vErr result;
        size_t after;
    };
    for (Case c : {Case{12, 4, vErrNone, 3}, Case{13, 4, vErrMemory, 13}, Case{0, 0, vErrNone, 0},
                   Case{5, 0, vErrMemory, 5}, Case{7, 1, vErrNone, 7}}) {
        size_t n = c.count;
        EXPECT_EQ(EntityClass::getUEIBytesCheck(&n, c.unit), c.result) << c.count << "/" << c.unit;
        EXPECT_EQ(n, c.after);
    }
    EXPECT_EQ(EntityClass::getUEIBytesCheck(nullptr, 4), vErrParam);
}

// ---- A router with modules on its I2C network ----

class RouterNetwork : public ModuleOverTcp {
protected:
    RouterNetwork()
    {
        config.address = 2;
        tandril::sim::ModuleConfig first, second;
        first.address = 6;
        first.serial = 0x00600006;
        second.address = 10;
        second.serial = 0x00A0000A;
        config.subModules = {first, second};
    }
};

TEST_F(RouterNetwork, I2CProbesFindTheModulesBehindTheRouter)
{
    I2CClass bus;
    bus.init(&module, 0);
    EXPECT_EQ(bus.setSpeed(4), vErrParam);
    ASSERT_EQ(bus.setSpeed(3), vErrNone);
    uint8_t speed = 0;
    EXPECT_EQ(bus.getSpeed(&speed), vErrNone);
    EXPECT_EQ(speed, 3);
    const uint8_t probe[2] = {0, 0};
    std::vector<uint8_t> found;
    for (unsigned address = 2; address <= 14; address += 2) {
        if (address == module.getModuleAddress())
            continue;
        vErr result = bus.write(static_cast<uint8_t>(address), 2, probe);
        if (result == vErrNone)
            found.push_back(static_cast<uint8_t>(address));
        else
            EXPECT_EQ(result, vErrNotFound) << address;
    }
    EXPECT_EQ(found, (std::vector<uint8_t>{6, 10}));

    Bytes big(24, 1);
    EXPECT_EQ(bus.write(6, 24, big.data()), vErrSize);
    uint8_t buffer[4] = {1, 1, 1, 1};
    EXPECT_EQ(bus.read(6, 4, buffer), vErrNone);
    EXPECT_EQ(Bytes(buffer, buffer + 4), Bytes(4, 0));
    EXPECT_EQ(bus.setPullup(true), vErrNone);
}

TEST_F(RouterNetwork, ModulesBehindTheRouterShareItsLinkAndKeepTheirAddress)
{
    Module target(10, false, 0);
    ASSERT_EQ(target.connectThroughLinkModule(&module), vErrNone);
    EXPECT_EQ(target.getLink()->getLinkId(), module.getLink()->getLinkId());
    EXPECT_EQ(target.getModuleAddress(), 10);
    EXPECT_FALSE(target.getNetworkingMode());
    EXPECT_EQ(target.connectThroughLinkModule(&module), vErrNone); // already connected

    SystemClass system;
    system.init(&target, 0);
    uint32_t serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), vErrNone);
    EXPECT_EQ(serial, 0x00A0000Au);
    target.disconnect();
    EXPECT_TRUE(module.isConnected());

    // A module that turns networking on would learn the router's address instead.
    Module learner(6, true, 0);
    ASSERT_EQ(learner.connectThroughLinkModule(&module), vErrNone);
    EXPECT_EQ(learner.getModuleAddress(), 6);

    Module unconnected(2, 0);
    Module behind(6, false, 0);
    EXPECT_EQ(behind.connectThroughLinkModule(&unconnected), vErrNotFound); // no specifier
}

// ---- Replies of a scripted module ----

// A module at address 2 whose system entity answers from a table of scripted replies.
class ScriptedEntity : public ::testing::Test {
protected:
    void connect(ScriptedModule::Handler handler)
    {
        scripted = std::make_unique<ScriptedModule>(std::move(handler));
        ASSERT_EQ(module.setConfig(directConfig()), vErrNone);
        linkSpec spec = scripted->spec();
        ASSERT_EQ(module.connectFromSpec(&spec), vErrNone);
        system.init(&module, 0);
        bus.init(&module, 0);
    }
    Bytes sent(uint8_t command)
    {
        Bytes last;
        for (const vPacket& p : scripted->received())
            if (p.address == 2 && p.dataSize > 0 && p.data[0] == command)
                last.assign(p.data, p.data + p.dataSize);
        return last;
    }

    std::unique_ptr<ScriptedModule> scripted;
    Module module{2, false, 0};
    SystemClass system;
    I2CClass bus;
};

TEST_F(ScriptedEntity, ShortValuesAndTheWireLayoutOfSets)
{
    connect([](const vPacket& p) {
        uint8_t option = p.data[1] & ueiOPTION_MASK;
        if ((p.data[1] & ueiOPTION_ACK) == ueiOPTION_SET)
            return ScriptedModule::packet(2, {p.data[0], static_cast<uint8_t>(option | ueiOPTION_ACK), 0});
        if (option == 50) // a 16-bit value
            return ScriptedModule::packet(2, {p.data[0], option, 0, 0x12, 0x34});
        // An error reply with code 29.
        return ScriptedModule::packet(2, {p.data[0], option, 0x80, 29});
    });
    uint16_t shortValue = 0;
    EXPECT_EQ(system.getUEI16(50, &shortValue), vErrNone);
    EXPECT_EQ(shortValue, 0x1234);
    uint8_t byteValue = 0x77;
    EXPECT_EQ(system.getUEI8(51, &byteValue), vErrInvalidOption);
    EXPECT_EQ(byteValue, 0x77);

    ASSERT_EQ(system.setUEI32(SystemClass::kPowerLimitMax, 0x01020304), vErrNone);
    EXPECT_EQ(sent(cmdSYSTEM), (Bytes{cmdSYSTEM, 34 | 0x80, 0x20, 1, 2, 3, 4}));
    // The store entity is told the entity as command * 256 + index.
    ASSERT_EQ(system.loadEntityFromStore(), vErrNone);
    EXPECT_EQ(sent(cmdSTORE), (Bytes{cmdSTORE, 2 | 0x80, 0x20, 0, 0, cmdSYSTEM, 0}));
}

TEST_F(ScriptedEntity, LongByteSeriesWrapTheirSequenceNumbers)
{
    // 3100 bytes: 130 packets, the last two numbered 0 and 1 again.
    connect([](const vPacket& p) {
        Bytes all;
        size_t offset = 0;
        for (unsigned n = 0; offset < 3100; n++) {
            size_t chunk = std::min<size_t>(24, 3100 - offset);
            Bytes data{p.data[0], static_cast<uint8_t>(p.data[1] & ueiOPTION_MASK), 0};
            for (size_t i = 0; i < chunk; i++)
                data.push_back(static_cast<uint8_t>(offset + i));
            offset += chunk;
            data.push_back(static_cast<uint8_t>((n & 0x7F) | (offset < 3100 ? 0x80 : 0)));
            Bytes packet = ScriptedModule::packet(2, data);
            all.insert(all.end(), packet.begin(), packet.end());
        }
        return all;
    });
    std::vector<uint8_t> buffer(4000);
    size_t count = 0;
    ASSERT_EQ(system.getUEIBytes(SystemClass::kName, buffer.data(), buffer.size(), &count), vErrNone);
    ASSERT_EQ(count, 3100u);
    for (size_t i = 0; i < count; i++)
        ASSERT_EQ(buffer[i], static_cast<uint8_t>(i)) << i;
}

TEST_F(ScriptedEntity, I2CReadRepliesAreBoundedByTheirSizeAndTheRequest)
{
    // The reply to a read: 8, index, address|1, count, status, data...
    struct Case {
        const char* what;
        Bytes reply;
        vErr result;
    };
    const std::vector<Case> cases = {
        {"consistent", {8, 0, 0x0B, 4, 0, 1, 2, 3, 4}, vErrNone},
        {"count beyond the caller's buffer", {8, 0, 0x0B, 20, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}, vErrPacket},
        {"count beyond the reply", {8, 0, 0x0B, 4, 0, 1, 2}, vErrPacket},
        {"fewer bytes than asked", {8, 0, 0x0B, 2, 0, 1, 2}, vErrPacket},
        {"no status byte", {8, 0, 0x0B, 4}, vErrPacket},
        {"bus error", {8, 0, 0x0B, 0, 0x80 | vErrNotFound}, vErrNotFound},
        {"error bit without a code", {8, 0, 0x0B, 0, 0x80}, vErrUnknown},
    };
    std::atomic<size_t> next{0};
    connect([&](const vPacket&) { return ScriptedModule::packet(2, cases[next.load()].reply); });
    for (; next < cases.size(); next++) {
        uint8_t buffer[4 + 1] = {0, 0, 0, 0, 0xEE};
        EXPECT_EQ(bus.read(0x0A, 4, buffer), cases[next].result) << cases[next].what;
        EXPECT_EQ(buffer[4], 0xEE) << cases[next].what; // nothing written past the request
    }
}

} // namespace

// The link engine over a transport the test controls byte by byte, and over the
// virtual module's TCP and serial transports.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <future>
#include <memory>
#include <string>
#include <thread>

#include "FakeWire.h"
#include "ModuleServer.h"
#include "TestSupport.h"
#include "Tandril2/common/discover.h"
#include "Tandril2/common/vLink.h"
#include "Tandril2/common/vLinkManagerInternal.h"

using tandril::test::FakeWire;
using tandril::test::waitUntil;
using namespace std::chrono_literals;

namespace {

using Bytes = FakeWire::Bytes;

struct PacketOwner {
    vPacket* packet = nullptr;
    explicit PacketOwner(vPacket* p) : packet(p) {}
    ~PacketOwner() { vPacket_Destroy(&packet); }
    PacketOwner(const PacketOwner&) = delete;
    PacketOwner& operator=(const PacketOwner&) = delete;
    vPacket* operator->() const { return packet; }
    explicit operator bool() const { return packet != nullptr; }
};

Bytes bytesOf(const vPacket* packet) { return Bytes(packet->data, packet->data + packet->dataSize); }

uint8_t sAcceptCommand(const vPacket* packet, void* reference)
{
    return packet->dataSize > 0 && packet->data[0] == *static_cast<uint8_t*>(reference);
}

vErr putPacket(int32_t id, uint8_t address, const Bytes& data)
{
    static const uint8_t kNone = 0;
    vPacket* packet = vPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.empty() ? &kNone : data.data());
    vErr result = vLink_PutPacket(id, packet);
    vPacket_Destroy(&packet);
    return result;
}

// A generic link over a fake wire whose module (address 8) answers magic packets and
// echoes every packet addressed to it with the command byte plus 0x40.
class LinkOverWire : public ::testing::Test {
protected:
    void SetUp() override
    {
        wire.onPacket([](FakeWire& w, const vPacket& p) {
            if (p.address != w.address || p.dataSize == 0)
                return;
            Bytes answer{p.address, p.dataSize};
            answer.insert(answer.end(), p.data, p.data + p.dataSize);
            answer[2] = static_cast<uint8_t>(answer[2] + 0x40);
            w.push(answer);
        });
        id = vLink_Create(wire.makeStream());
        ASSERT_NE(id, 0);
        // The start's route packet is the first thing written.
        ASSERT_TRUE(waitUntil([&] { return !wire.writes().empty(); }));
        EXPECT_EQ(wire.writes().front(), (Bytes{cmdFORCEROUTE, 1, 1}));
        wire.clearWrites();
    }
    void TearDown() override
    {
        if (id != 0) {
            EXPECT_EQ(vLink_Destroy(&id), vErrNone);
        }
    }

    // A request to the module and its echo, as a caller makes them.
    bool roundTrip(uint8_t command, uint32_t timeoutMs = 2000)
    {
        if (putPacket(id, 8, {command, 1, 2}) != vErrNone)
            return false;
        uint8_t want = static_cast<uint8_t>(command + 0x40);
        PacketOwner reply(vLink_AwaitFirst(id, sAcceptCommand, &want, timeoutMs));
        return reply && reply->address == 8 && bytesOf(reply.packet) == (Bytes{want, 1, 2});
    }

    FakeWire wire;
    int32_t id = 0;
};

TEST_F(LinkOverWire, SynchronisesOnTheMagicAnswerAndDropsTheSurplus)
{
    ASSERT_EQ(vLink_Sync(id), vErrNone);
    EXPECT_EQ(sGetLink(id)->syncAddress, 8);
    // Two answers make the sequence; magic packets not yet written when it was seen
    // are dropped, and the answers beyond the two were drained.
    EXPECT_GE(wire.magicCount(), 2u);
    EXPECT_EQ(vPacketFifo_GetLength(sGetLink(id)->inFifo.load()), 0u);
    EXPECT_TRUE(roundTrip(0x10));
}

TEST_F(LinkOverWire, AnswersFromTwoAddressesNeverSynchronise)
{
    // Each magic packet is answered from 8 and from 10 in turn: never A 0 A 0.
    wire.answerMagic = false;
    auto flip = std::make_shared<std::atomic<bool>>(false);
    wire.onPacket([](FakeWire&, const vPacket&) {});
    std::atomic<bool> stop{false};
    std::thread answering([&] {
        unsigned seen = 0;
        while (!stop) {
            unsigned now = wire.magicCount();
            for (; seen < now; seen++) {
                wire.push({static_cast<uint8_t>(flip->load() ? 10 : 8), 0});
                flip->store(!flip->load());
            }
            std::this_thread::sleep_for(1ms);
        }
    });
    EXPECT_EQ(vLink_Sync(id), vErrNotReady);
    EXPECT_EQ(vLink_GetStatus(id), vLinkStatusSyncing);
    stop = true;
    answering.join();
}

struct FramingFault {
    const char* name;
    Bytes noise;
};

class FramingFaults : public LinkOverWire, public ::testing::WithParamInterface<FramingFault> {};

TEST_P(FramingFaults, ResynchroniseAndLaterTrafficArrivesIntact)
{
    ASSERT_TRUE(roundTrip(0x10));
    unsigned magicBefore = wire.magicCount();
    wire.push(GetParam().noise);
    // The reader notices, sends magic packets, and is back once the module answers.
    ASSERT_TRUE(waitUntil([&] { return wire.magicCount() > magicBefore && vLink_GetStatus(id) == vLinkStatusRunning; }));
    EXPECT_TRUE(roundTrip(0x11));
    EXPECT_TRUE(roundTrip(0x12));
}

INSTANTIATE_TEST_SUITE_P(
    Link, FramingFaults,
    ::testing::Values(FramingFault{"OddAddress", {0x07}}, FramingFault{"Garbage", {0x07, 0x13, 0xFF, 0x55, 0x01}},
                      FramingFault{"SizeAbove28", {0x06, 0x1D}},
                      // The module stops half-way through a packet and says no more.
                      FramingFault{"StoppedMidPacket", {0x06, 0x05, 0x03, 0x01}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LinkOverWire, HeartbeatsAreAnsweredAndNeverQueued)
{
    struct Case {
        uint8_t status, answer;
    };
    for (Case c : {Case{1, 3}, Case{0, 2}}) {
        wire.clearWrites();
        wire.push({0x06, 0x02, 0x00, c.status});
        ASSERT_TRUE(waitUntil([&] {
            for (const Bytes& w : wire.writes())
                if (w == Bytes{0x06, 0x02, 0x00, c.answer})
                    return true;
            return false;
        })) << "status " << int(c.status);
    }
    // A packet sent after the heartbeats is the first thing a reader sees.
    wire.push({0x06, 0x01, 0x33});
    PacketOwner first(vLink_AwaitPacket(id, 2000));
    ASSERT_TRUE(first);
    EXPECT_EQ(bytesOf(first.packet), Bytes{0x33});
    PacketOwner none(vLink_GetPacket(id));
    EXPECT_FALSE(none);
}

TEST_F(LinkOverWire, PooledWritesPackQueuedPacketsIntoFewStreamWrites)
{
    ASSERT_EQ(vLink_EnablePooledPackets(id, true), vErrNone);
    // Hold the writer inside its first write while 200 full packets pile up behind it.
    wire.holdWrites(true);
    ASSERT_EQ(putPacket(id, 8, {0x01}), vErrNone);
    ASSERT_TRUE(waitUntil([&] { return wire.writesInProgress() == 1; }));
    Bytes full(28, 0x5A);
    for (int i = 0; i < 200; i++)
        ASSERT_EQ(putPacket(id, 8, full), vErrNone);
    wire.holdWrites(false);
    ASSERT_TRUE(waitUntil([&] { return wire.writes().size() >= 3; }));
    std::vector<size_t> sizes;
    for (const Bytes& w : wire.writes())
        sizes.push_back(w.size());
    // 136 packets of 30 bytes (each taken while the total was at most 4066), then 64.
    EXPECT_EQ(sizes, (std::vector<size_t>{3, 4080, 1920}));

    // Off again: one write per packet.
    ASSERT_EQ(vLink_EnablePooledPackets(id, false), vErrNone);
    wire.clearWrites();
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(putPacket(id, 8, {0x01}), vErrNone);
    ASSERT_TRUE(waitUntil([&] { return wire.writes().size() >= 3; }));
    EXPECT_EQ(wire.writes().size(), 3u);
}

struct FilterCount {
    std::atomic<int> calls{0};
    uint8_t result = 1;
};

uint8_t sCountingFilter(const vPacket* packet, void* reference)
{
    auto* count = static_cast<FilterCount*>(reference);
    if (packet->dataSize == 0 || packet->data[0] != 0x42)
        return 0;
    count->calls++;
    return count->result;
}

TEST_F(LinkOverWire, UserFilterConsumesOnlyWhatItClaimsWithOne)
{
    struct Case {
        uint8_t filterResult;
        bool reachesQueue;
    };
    for (Case c : {Case{1, false}, Case{2, true}, Case{0, true}}) {
        FilterCount count;
        count.result = c.filterResult;
        ASSERT_EQ(vLink_InstallUserPacketFilter(id, sCountingFilter, &count), vErrNone);
        wire.push({0x06, 0x01, 0x42, 0x06, 0x01, 0x43});
        uint8_t marker = 0x43;
        PacketOwner after(vLink_AwaitFirst(id, sAcceptCommand, &marker, 2000));
        ASSERT_TRUE(after);
        ASSERT_EQ(vLink_InstallUserPacketFilter(id, nullptr, nullptr), vErrNone);
        EXPECT_EQ(count.calls.load(), 1);
        uint8_t claimed = 0x42;
        EXPECT_EQ(vLink_DrainPackets(id, sAcceptCommand, &claimed), c.reachesQueue ? 1 : 0)
            << "filter result " << int(c.filterResult);
    }
    // Without a filter the packet is queued.
    wire.push({0x06, 0x01, 0x42});
    uint8_t claimed = 0x42;
    PacketOwner queued(vLink_AwaitFirst(id, sAcceptCommand, &claimed, 2000));
    EXPECT_TRUE(queued);
}

TEST_F(LinkOverWire, AwaitEndsAtOnceWhileTheLinkIsNotSynchronised)
{
    wire.answerMagic = false;
    wire.push({0x07});
    ASSERT_TRUE(waitUntil([&] { return vLink_GetStatus(id) == vLinkStatusSyncing; }));
    uint8_t any = 0x10;
    auto waited = std::async(std::launch::async, [&] { return vLink_AwaitFirst(id, sAcceptCommand, &any, 120000); });
    ASSERT_EQ(waited.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(waited.get(), nullptr);
    // The module answers again: the link recovers by itself.
    wire.answerMagic = true;
    ASSERT_TRUE(waitUntil([&] { return vLink_GetStatus(id) == vLinkStatusRunning; }));
    EXPECT_TRUE(roundTrip(0x13));
}

TEST_F(LinkOverWire, BrokenTransportMarksTheLinkAndItRecoversWhenTheBytesReturn)
{
    // A reply that arrived just before the transport broke.
    wire.push({0x08, 0x01, 0x21});
    ASSERT_TRUE(waitUntil([&] { return vPacketFifo_GetLength(sGetLink(id)->inFifo.load()) == 1; }));
    wire.failReads(vErrConnection);
    ASSERT_TRUE(waitUntil([&] { return vLink_GetStatus(id) == vLinkStatusIOError; }));
    uint8_t any = 0x10;
    auto waited = std::async(std::launch::async, [&] { return vLink_AwaitFirst(id, sAcceptCommand, &any, 120000); });
    ASSERT_EQ(waited.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(waited.get(), nullptr);
    uint8_t earlier = 0x21;
    PacketOwner kept(vLink_AwaitFirst(id, sAcceptCommand, &earlier, 500));
    EXPECT_TRUE(kept);
    wire.failReads(vErrNone);
    ASSERT_TRUE(waitUntil([&] { return vLink_GetStatus(id) == vLinkStatusRunning; }));
    EXPECT_TRUE(roundTrip(0x14));
}

TEST_F(LinkOverWire, DestroyingTheLinkReleasesEveryWaiterAndTheStream)
{
    wire.onPacket([](FakeWire&, const vPacket&) {}); // the module never answers
    std::vector<std::future<vPacket*>> waiters;
    uint8_t any = 0x10;
    for (int i = 0; i < 3; i++)
        waiters.push_back(std::async(std::launch::async, [&] { return vLink_AwaitFirst(id, sAcceptCommand, &any, 120000); }));
    waiters.push_back(std::async(std::launch::async, [&] { return vLink_AwaitPacket(id, 120000); }));
    std::this_thread::sleep_for(50ms);
    int32_t copy = id;
    ASSERT_EQ(vLink_Destroy(&id), vErrNone);
    EXPECT_EQ(id, 0);
    for (auto& waiter : waiters) {
        ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready);
        EXPECT_EQ(waiter.get(), nullptr);
    }
    EXPECT_TRUE(wire.deleted());
    // The stop's route packet went out before the stream closed.
    EXPECT_EQ(wire.writes().back(), (Bytes{cmdFORCEROUTE, 1, 0}));
    EXPECT_EQ(vLink_GetStatus(copy), vLinkStatusInvalid);
    EXPECT_EQ(vLink_Destroy(&copy), vErrParam);
}

TEST_F(LinkOverWire, PacketLogRecordsBothDirectionsWhileEnabled)
{
    ASSERT_EQ(vLink_PacketDebug_SetLogSize(id, 1024), vErrNone);
    ASSERT_EQ(vLink_PacketDebug_Enable(id), vErrNone);
    EXPECT_EQ(vLink_PacketDebug_SetLogSize(id, 2048), vErrBusy);
    ASSERT_TRUE(roundTrip(0x15));
    ASSERT_EQ(vLink_PacketDebug_Disable(id), vErrNone);
    ASSERT_TRUE(roundTrip(0x16));

    struct Entry {
        uint8_t type;
        Bytes bytes;
    };
    std::vector<Entry> entries;
    uint8_t type = 0, length = 0, buffer[64];
    for (length = sizeof buffer; vLink_PacketDebug_Read(id, &type, &length, buffer) == vErrNone; length = sizeof buffer)
        entries.push_back({type, Bytes(buffer, buffer + length)});
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].type, vPacketLogSent);
    EXPECT_EQ(entries[0].bytes, (Bytes{8, 3, 0x15, 1, 2}));
    EXPECT_EQ(entries[1].type, vPacketLogReceived);
    EXPECT_EQ(entries[1].bytes, (Bytes{8, 3, 0x55, 1, 2}));
}

TEST(LinkIds, UnknownIdsAreRefusedWithoutHarm)
{
    const int32_t unknown = 987654;
    EXPECT_EQ(vLink_GetStatus(unknown), vLinkStatusInvalid);
    EXPECT_EQ(putPacket(unknown, 8, {1}), vErrParam);
    EXPECT_EQ(vLink_GetPacket(unknown), nullptr);
    EXPECT_EQ(vLink_AwaitPacket(unknown, 10), nullptr);
    uint8_t any = 1;
    EXPECT_EQ(vLink_AwaitFirst(unknown, sAcceptCommand, &any, 10), nullptr);
    EXPECT_EQ(vLink_DrainPackets(unknown, sAcceptCommand, &any), 0);
    EXPECT_EQ(vLink_InstallUserPacketFilter(unknown, nullptr, nullptr), vErrParam);
    EXPECT_EQ(vLink_EnablePooledPackets(unknown, true), vErrParam);
    EXPECT_EQ(vLink_ForceRoute(unknown, 1), vErrNotFound);
    EXPECT_EQ(vLink_Start(unknown), vErrParam);
    EXPECT_EQ(vLink_Sync(unknown), vErrParam);
    EXPECT_EQ(vLink_Reset(unknown), vErrParam);
    EXPECT_EQ(vLink_Stop(nullptr), vErrParam);
    EXPECT_EQ(vLink_PacketDebug_Enable(unknown), vErrParam);
    int32_t id = unknown;
    EXPECT_EQ(vLink_Destroy(&id), vErrParam);
    EXPECT_EQ(id, 0);
    EXPECT_EQ(vLink_Destroy(nullptr), vErrParam);
}

TEST(LinkCreation, FailedCreationsLeaveNoEntry)
{
    int before = sLinkTableSize();
    EXPECT_EQ(vLink_CreateSerial(0x1234, "/dev/null", 300), 0);
    EXPECT_EQ(vLink_CreateSerial(0x1234, "/nonexistent/tty", 115200), 0);
    // Nobody listens on port 1 of the loopback interface.
    EXPECT_EQ(vLink_CreateTCPIP(0x1234, htonl(INADDR_LOOPBACK), 1), 0);
    EXPECT_EQ(vLink_Create(nullptr), 0);
    EXPECT_EQ(sLinkTableSize(), before);
}

// ---- Over the virtual module ----

using tandril::sim::ModuleConfig;
using tandril::sim::PtyModuleServer;
using tandril::sim::TcpModuleServer;

std::unique_ptr<TcpModuleServer> startTcpModule(const ModuleConfig& config, uint16_t port = 0)
{
    std::string error;
    auto server = TcpModuleServer::create(config, "127.0.0.1", port, error);
    EXPECT_TRUE(server) << error;
    return server;
}

// Asks the module its address with cmdMAGIC, as the object layer does.
bool moduleAnswersMagic(int32_t id, uint8_t address)
{
    if (putPacket(id, cmdMAGIC, {}) != vErrNone)
        return false;
    struct Want {
        uint8_t address;
    } want{address};
    PacketOwner answer(vLink_AwaitFirst(
        id,
        [](const vPacket* p, void* r) -> uint8_t {
            return p->dataSize == 0 && p->address == static_cast<Want*>(r)->address;
        },
        &want, 2000));
    return static_cast<bool>(answer);
}

TEST(LinkOverModule, TcpLinksToOneModuleAreSharedAndCounted)
{
    ModuleConfig config;
    config.heartbeatMs = 0;
    auto module = startTcpModule(config);
    ASSERT_TRUE(module);
    int before = sLinkTableSize();
    int32_t first = vLink_CreateTCPIP(config.serial, htonl(INADDR_LOOPBACK), module->port());
    ASSERT_NE(first, 0);
    int32_t second = vLink_CreateTCPIP(config.serial, htonl(INADDR_LOOPBACK), module->port());
    EXPECT_EQ(second, first);
    EXPECT_EQ(sLookupEntryByID(first)->useCount, 2);
    EXPECT_EQ(sLinkTableSize(), before + 1);

    EXPECT_EQ(vLink_Destroy(&second), vErrNone);
    EXPECT_EQ(vLink_GetStatus(first), vLinkStatusRunning);
    EXPECT_TRUE(moduleAnswersMagic(first, config.address));

    EXPECT_EQ(vLink_Destroy(&first), vErrNone);
    EXPECT_EQ(sLinkTableSize(), before);
}

TEST(LinkOverModule, SerialLinkSynchronisesThroughCobsFrames)
{
    ModuleConfig config;
    config.address = 6;
    config.heartbeatMs = 0;
    std::string error;
    auto module = PtyModuleServer::create(config, error);
    ASSERT_TRUE(module) << error;
    int32_t id = vLink_CreateSerial(config.serial, module->endpoint().c_str(), 115200);
    ASSERT_NE(id, 0);
    EXPECT_EQ(vLink_Sync(id), vErrNone);
    EXPECT_EQ(sGetLink(id)->syncAddress, 6);
    EXPECT_TRUE(moduleAnswersMagic(id, 6));
    // Serial links are shared by serial number as well.
    int32_t again = vLink_CreateSerial(config.serial, module->endpoint().c_str(), 115200);
    EXPECT_EQ(again, id);
    vLink_Destroy(&again);
    EXPECT_EQ(vLink_Destroy(&id), vErrNone);
}

TEST(LinkOverModule, HeartbeatsOfTheModuleAreAnswered)
{
    ModuleConfig config;
    config.heartbeatMs = 100;
    auto module = startTcpModule(config);
    ASSERT_TRUE(module);
    int32_t id = vLink_CreateTCPIP(config.serial, htonl(INADDR_LOOPBACK), module->port());
    ASSERT_NE(id, 0);
    ASSERT_TRUE(waitUntil([&] { return module->withCore([](auto& c) { return c.stats().heartbeatsAnswered; }) >= 3; }));
    module->withCore([](auto& c) { EXPECT_EQ(c.stats().heartbeatsWrong, 0u); });
    // Nothing but heartbeats came, and none of them was queued.
    PacketOwner none(vLink_GetPacket(id));
    EXPECT_FALSE(none);
    vLink_Destroy(&id);
}

TEST(LinkOverModule, ResetReconnectsAfterTheModuleRestarts)
{
    ModuleConfig config;
    config.heartbeatMs = 0;
    auto module = startTcpModule(config);
    ASSERT_TRUE(module);
    uint16_t port = module->port();
    int32_t id = vLink_CreateTCPIP(config.serial, htonl(INADDR_LOOPBACK), port);
    ASSERT_NE(id, 0);
    ASSERT_TRUE(moduleAnswersMagic(id, config.address));

    module.reset(); // the module vanishes
    ASSERT_TRUE(waitUntil([&] { return vLink_GetStatus(id) != vLinkStatusRunning; }));
    EXPECT_FALSE(moduleAnswersMagic(id, config.address));

    module = startTcpModule(config, port);
    ASSERT_TRUE(module);
    EXPECT_EQ(vLink_Reset(id), vErrNone);
    EXPECT_EQ(vLink_GetStatus(id), vLinkStatusRunning);
    EXPECT_TRUE(moduleAnswersMagic(id, config.address));
    vLink_Destroy(&id);
}

} // namespace

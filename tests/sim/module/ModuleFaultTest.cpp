// Fault knobs, heartbeats and hostile input, on the core with a hand-driven clock so
// that every timing is exact.
#include <random>

#include <gtest/gtest.h>

#include "SimHost.h"

using namespace tandril::sim;
using namespace tandril::sim::test;

namespace {

ModuleConfig base() {
    ModuleConfig c;
    c.heartbeatMs = 0;
    c.rebootOfflineMs = 200;
    return c;
}

const Bytes kMagic{0xAD, 0};
const Bytes kMagicAnswer{2, 0};

TEST(ModuleFaults, DropSkipsExactlyTheNthAnswer) {
    ModuleConfig c = base();
    c.faults.dropAnswer = 2;
    CoreHost host(c);
    host.send(packet(2, {3, 0x41, 0x20}));  // answer 1
    host.send(packet(2, {3, 0x48, 0x20}));  // answer 2: dropped
    host.send(packet(2, {3, 0x49, 0x20}));  // answer 3
    EXPECT_EQ(host.receive(), packet(2, {3, 1, 0, 2}));
    EXPECT_EQ(host.receive(), packet(2, {3, 9, 0, 0x00, 0xA1, 0xB2, 0xC3}));
    EXPECT_EQ(host.receive(), std::nullopt);
}

TEST(ModuleFaults, DelayHoldsTheNthAnswerAndKeepsLaterOnesBehindIt) {
    ModuleConfig c = base();
    c.faults.delayAnswer = 1;
    c.faults.delayMs = 50;
    CoreHost host(c);
    host.send(kMagic);
    host.send(packet(2, {3, 0x41, 0x20}));
    EXPECT_EQ(host.receive(), std::nullopt);
    EXPECT_EQ(host.core.tick(host.now), host.now + std::chrono::milliseconds(50));
    host.pass(49);
    EXPECT_TRUE(host.out.empty());
    host.pass(1);
    EXPECT_EQ(host.receive(), kMagicAnswer);
    EXPECT_EQ(host.receive(), packet(2, {3, 1, 0, 2}));
    // Only once.
    EXPECT_EQ(host.ask(kMagic), kMagicAnswer);
}

TEST(ModuleFaults, AnswersLeaveDuringTheRequestNotOnALaterTick) {
    CoreHost host(base());
    host.send(kMagic);
    EXPECT_EQ(host.out.size(), 1u);  // emitted from within receive(), before any tick
}

// A firmware phase on a module whose loader is running: PREPARE at 0x100.
CoreHost& loaded(CoreHost& host) {
    host.send(packet(2, {95, 0}));
    host.send(packet(2, {95, 2}));
    host.send(packet(2, {95, 3, 0, 0, 0, 1, 0}));
    host.out.clear();
    return host;
}

TEST(ModuleFaults, WrongDataCountTakesNothingSoTheRepeatCountsOnce) {
    ModuleConfig c = base();
    c.faults.wrongDataCount = 2;
    CoreHost host(c);
    loaded(host);
    const Bytes a = pattern(26, 1), b = pattern(26, 2);
    auto data = [](const Bytes& bytes) {
        Bytes d{95, 1};
        d.insert(d.end(), bytes.begin(), bytes.end());
        return packet(2, d);
    };
    EXPECT_EQ(host.ask(data(a)), packet(2, {95, 1, 26}));
    EXPECT_EQ(host.ask(data(b)), packet(2, {95, 1, 25}));
    EXPECT_EQ(host.ask(data(b)), packet(2, {95, 1, 26}));
    uint32_t sum = 0;
    for (uint8_t x : a)
        sum += x;
    for (uint8_t x : b)
        sum += x;
    EXPECT_EQ(host.core.loader().sum(), sum);
    EXPECT_EQ(host.core.loader().pending(), 52u);
}

TEST(ModuleFaults, WrongSumIsOffByOneOnce) {
    ModuleConfig c = base();
    c.faults.wrongSum = 1;
    CoreHost host(c);
    loaded(host);
    host.send(packet(2, {95, 1, 0x10, 0x20}));
    host.out.clear();
    EXPECT_EQ(host.ask(packet(2, {95, 4})), packet(2, {95, 7, 0, 0, 0, 0, 0x31}));
    EXPECT_EQ(host.ask(packet(2, {95, 4})), packet(2, {95, 7, 0, 0, 0, 0, 0x30}));
}

TEST(ModuleFaults, RefusedWriteWritesNothingAndTheNextPieceGoesThrough) {
    ModuleConfig c = base();
    c.faults.refuseWrite = 1;
    CoreHost host(c);
    loaded(host);
    host.send(packet(2, {95, 1, 1, 2, 3}));
    host.out.clear();
    EXPECT_EQ(host.ask(packet(2, {95, 5, 0, 3})), packet(2, {95, 7, 1}));
    EXPECT_TRUE(host.core.loader().firmware().at(0x100).bytes.empty());
    host.send(packet(2, {95, 1, 4, 5}));
    host.out.clear();
    EXPECT_EQ(host.ask(packet(2, {95, 5, 0, 2})), packet(2, {95, 7, 0}));
    EXPECT_EQ(host.core.loader().firmware().at(0x100).bytes, (Bytes{4, 5}));
    // A WRITE whose size differs from what arrived is refused too.
    host.send(packet(2, {95, 1, 6}));
    host.out.clear();
    EXPECT_EQ(host.ask(packet(2, {95, 5, 0, 2})), packet(2, {95, 7, 1}));
}

TEST(ModuleFaults, NoLoadEchoStillStartsTheLoader) {
    ModuleConfig c = base();
    c.faults.noLoadEcho = true;
    CoreHost host(c);
    host.send(packet(2, {95, 0}));
    host.out.clear();
    host.send(packet(2, {95, 2}));
    EXPECT_EQ(host.barrier(2), std::vector<Bytes>{});
    EXPECT_TRUE(host.core.loader().loaded());
}

TEST(ModuleFaults, LoadCanLeaveTheBusAndComeBack) {
    ModuleConfig c = base();
    c.loadOfflineMs = 80;
    CoreHost host(c);
    host.send(packet(2, {95, 0}));
    host.out.clear();
    EXPECT_EQ(host.ask(packet(2, {95, 2})), packet(2, {95, 2}));  // the echo goes out first
    ASSERT_EQ(host.drops.size(), 1u);
    EXPECT_FALSE(host.reconnect());
    host.pass(80);
    EXPECT_TRUE(host.reconnect());
    EXPECT_TRUE(host.core.loader().loaded());
}

TEST(ModuleFaults, DisconnectInTheMiddleOfATransfer) {
    struct Case {
        const char* what;
        bool uei;
    } cases[] = {{"plain", false}, {"uei", true}};
    for (const auto& k : cases) {
        ModuleConfig c = base();
        c.faults.disconnectAtData = 2;
        CoreHost host(c);
        loaded(host);
        Bytes first = k.uei ? packet(2, {95, 0x8A, 0x20, 1, 2, 3, 0x80}) : packet(2, {95, 1, 1, 2, 3});
        Bytes second = k.uei ? packet(2, {95, 0x8A, 0x20, 4, 5, 0x81}) : packet(2, {95, 1, 4, 5});
        host.send(first);
        host.send(second);
        if (!k.uei) {
            EXPECT_EQ(host.receive(), packet(2, {95, 1, 3})) << k.what;
        }
        EXPECT_EQ(host.receive(), std::nullopt) << k.what;
        ASSERT_EQ(host.drops.size(), 1u) << k.what;
        EXPECT_EQ(host.drops[0], host.now + std::chrono::milliseconds(200)) << k.what;
        // Away: nothing is answered, and the link cannot come up yet.
        host.send(kMagic);
        EXPECT_EQ(host.receive(), std::nullopt) << k.what;
        host.pass(200);
        EXPECT_TRUE(host.reconnect()) << k.what;
        EXPECT_EQ(host.ask(kMagic), kMagicAnswer) << k.what;
    }
}

TEST(ModuleFaults, GarbageGoesOutRightBeforeTheNthAnswer) {
    ModuleConfig c = base();
    c.faults.garbageBefore = 2;
    CoreHost host(c);
    host.send(kMagic);
    EXPECT_TRUE(host.noise.empty());
    host.send(kMagic);
    ASSERT_EQ(host.noise.size(), 1u);
    EXPECT_EQ(host.noise[0][0] & 1, 1);  // an odd address: a counting host notices
    EXPECT_EQ(host.out.size(), 2u);      // the answer itself still goes
}

TEST(ModuleFaults, HeartbeatsAlternateAreCheckedAndCanStop) {
    ModuleConfig c = base();
    c.heartbeatMs = 100;
    c.faults.heartbeatsStopAfter = 3;
    CoreHost host(c);
    host.pass(100);
    EXPECT_EQ(host.receive(), packet(2, {0, 0}));
    host.send(packet(2, {0, 2}));  // right answer
    host.pass(100);
    EXPECT_EQ(host.receive(), packet(2, {0, 1}));
    host.send(packet(2, {0, 1}));  // wrong: the answer to a 1 is 3
    host.pass(100);
    EXPECT_EQ(host.receive(), packet(2, {0, 0}));
    // The third goes unanswered; after it, none are sent.
    host.pass(1000);
    EXPECT_EQ(host.receive(), std::nullopt);
    const auto& s = host.core.stats();
    EXPECT_EQ(s.heartbeatsSent, 3u);
    EXPECT_EQ(s.heartbeatsAnswered, 1u);
    EXPECT_EQ(s.heartbeatsWrong, 1u);
    EXPECT_EQ(s.heartbeatsMissed, 1u);
}

TEST(ModuleFaults, ResetAcknowledgesThenDropsTheLink) {
    CoreHost host(base());
    EXPECT_EQ(host.ask(packet(2, {3, 0x8B, 0x20})), packet(2, {3, 0xCB, 0}));
    EXPECT_EQ(host.drops.size(), 1u);
    EXPECT_FALSE(host.core.linked());
}

TEST(ModuleInput, HostileBytesNeverStopTheModule) {
    ModuleConfig c = base();
    c.subModules.push_back(base());
    c.subModules.back().address = 8;
    c.subModules.back().serial = 8;
    std::mt19937 random(1234);
    for (int round = 0; round < 200; ++round) {
        CoreHost host(c);
        Bytes junk(1 + random() % 300);
        for (auto& b : junk)
            b = static_cast<uint8_t>(random());
        host.send(junk);
        // A module that lost its place finds a packet boundary again once the line is quiet.
        host.pass(600);
        if (!host.core.linked()) {
            host.pass(1000);
            host.reconnect();
        }
        host.out.clear();
        ASSERT_EQ(host.ask(kMagic), kMagicAnswer) << "round " << round << ": " << hex(junk);
    }
}

TEST(ModuleInput, LongByteSeriesWrapTheirSequenceNumbers) {
    CoreHost host(base());
    loaded(host);
    const Bytes block = pattern(3100, 5);  // 130 packets: sequence numbers 0..127, then 0 and 1
    transfer(host, 2, block, true);
    EXPECT_EQ(host.core.loader().pending(), block.size());
}

TEST(ModuleInput, SplitPacketsAreReassembled) {
    CoreHost host(base());
    const Bytes request = packet(2, {3, 0x49, 0x20});
    for (uint8_t b : request) {
        EXPECT_TRUE(host.out.empty());
        host.send({b});
    }
    EXPECT_EQ(host.receive(), packet(2, {3, 9, 0, 0x00, 0xA1, 0xB2, 0xC3}));
    // A size above 28 is no packet: the module drops it and takes what follows.
    host.send({2, 29});
    EXPECT_EQ(host.ask(kMagic), kMagicAnswer);
}

} // namespace

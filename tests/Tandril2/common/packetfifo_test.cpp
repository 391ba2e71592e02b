#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Tandril2/common/packetfifo.h"
#include "TestSupport.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using tandril::test::waitUntil;

// A FIFO for the length of a test.
struct Fifo {
    vPacketFifoRef ref = vPacketFifo_Create();
    ~Fifo() {
        if (ref != 0) {
            vPacketFifo_Destroy(&ref);
        }
    }
};

// Puts a packet from `address` with `size` data bytes, data[0] = `tag`.
vErr put(vPacketFifoRef fifo, uint8_t address, uint8_t size = 1, uint8_t tag = 0) {
    uint8_t data[vPACKET_MAX_DATA] = {tag};
    vPacket* packet = vPacket_CreateWithData(address, size, data);
    const vErr err = vPacketFifo_Put(fifo, packet);
    vPacket_Destroy(&packet); // the FIFO keeps a copy
    return err;
}

// Address of a handed-out packet (0 for none), destroying it.
int take(vPacket* packet) {
    if (packet == nullptr) {
        return 0;
    }
    const int address = packet->address;
    EXPECT_EQ(vPacket_Destroy(&packet), vErrNone);
    return address;
}

uint8_t acceptAll(const vPacket*, void*) {
    return 1;
}

uint8_t acceptEmpty(const vPacket* packet, void*) {
    return packet->dataSize == 0;
}

// Accepts the address in `want`; counts every call.
struct Watch {
    int want;
    int calls = 0;
};
uint8_t acceptWatched(const vPacket* packet, void* reference) {
    auto* watch = static_cast<Watch*>(reference);
    ++watch->calls;
    return packet->address == watch->want;
}

TEST(PacketFifo, ReferenceNumbersCountUpAndAreNeverZero) {
    Fifo a, b;
    ASSERT_NE(a.ref, 0u);
    EXPECT_EQ(b.ref, a.ref + 1);
}

TEST(PacketFifo, PacketsComeOutOldestFirstAsCopies) {
    Fifo fifo;
    vPacket* mine = vPacket_CreateWithData(2, 0, reinterpret_cast<const uint8_t*>(""));
    ASSERT_EQ(vPacketFifo_Put(fifo.ref, mine), vErrNone);
    ASSERT_EQ(put(fifo.ref, 4), vErrNone);
    ASSERT_EQ(put(fifo.ref, 6), vErrNone);
    EXPECT_EQ(vPacketFifo_GetLength(fifo.ref), 3u);

    vPacket* first = vPacketFifo_Get(fifo.ref);
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first, mine);
    EXPECT_EQ(vPacket_Destroy(&mine), vErrNone) << "the caller's packet stays the caller's";
    EXPECT_EQ(take(first), 2);
    EXPECT_EQ(take(vPacketFifo_Get(fifo.ref)), 4);
    EXPECT_EQ(take(vPacketFifo_Await(fifo.ref, 0)), 6);
    EXPECT_EQ(vPacketFifo_Get(fifo.ref), nullptr);
    EXPECT_EQ(vPacketFifo_GetLength(fifo.ref), 0u);
}

TEST(PacketFifo, UnknownAndDestroyedFifosAreRefused) {
    vPacketFifoRef ref = vPacketFifo_Create();
    const vPacketFifoRef saved = ref;
    ASSERT_EQ(vPacketFifo_Destroy(&ref), vErrNone);
    EXPECT_EQ(ref, 0u);
    EXPECT_EQ(vPacketFifo_Destroy(&ref), vErrNotFound);
    vPacketFifoRef copy = saved;
    EXPECT_EQ(vPacketFifo_Destroy(&copy), vErrNotFound);
    EXPECT_EQ(copy, saved) << "left alone when refused";
    EXPECT_EQ(vPacketFifo_Destroy(nullptr), vErrParam);

    for (vPacketFifoRef bad : {vPacketFifoRef{0}, saved, vPacketFifoRef{0xFFFFFFFFFFFF}}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(put(bad, 2), vErrParam);
        EXPECT_EQ(vPacketFifo_GetLength(bad), 0u);
        EXPECT_EQ(vPacketFifo_Get(bad), nullptr);
        EXPECT_EQ(vPacketFifo_Await(bad, 10000), nullptr) << "no wait on an unknown FIFO";
        EXPECT_EQ(vPacketFifo_GetFirst(bad, acceptAll, nullptr), nullptr);
        EXPECT_EQ(vPacketFifo_AwaitFirst(bad, acceptAll, nullptr, 10000), nullptr);
        EXPECT_EQ(vPacketFifo_DrainPackets(bad, acceptAll, nullptr), 0u);
    }
}

TEST(PacketFifo, InvalidPacketsAndFiltersAreRefused) {
    Fifo fifo;
    vPacket foreign{};
    EXPECT_EQ(vPacketFifo_Put(fifo.ref, nullptr), vErrParam);
    EXPECT_EQ(vPacketFifo_Put(fifo.ref, &foreign), vErrParam);
    ASSERT_EQ(put(fifo.ref, 2), vErrNone);
    EXPECT_EQ(vPacketFifo_GetFirst(fifo.ref, nullptr, nullptr), nullptr);
    EXPECT_EQ(vPacketFifo_AwaitFirst(fifo.ref, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(vPacketFifo_DrainPackets(fifo.ref, nullptr, nullptr), 0u);
    EXPECT_EQ(vPacketFifo_GetLength(fifo.ref), 1u);
}

TEST(PacketFifo, AFullQueueGivesUpItsOldestPacket) {
    Fifo fifo;
    for (size_t i = 0; i < vPACKETFIFO_CAPACITY; ++i) {
        ASSERT_EQ(put(fifo.ref, 2, 1, static_cast<uint8_t>(i)), vErrNone);
    }
    EXPECT_EQ(vPacketFifo_GetLength(fifo.ref), vPACKETFIFO_CAPACITY);
    ASSERT_EQ(put(fifo.ref, 4), vErrNone);
    EXPECT_EQ(vPacketFifo_GetLength(fifo.ref), vPACKETFIFO_CAPACITY);

    vPacket* oldest = vPacketFifo_Get(fifo.ref);
    ASSERT_NE(oldest, nullptr);
    EXPECT_EQ(oldest->data[0], 1) << "packet 0 was dropped";
    take(oldest);
    Watch newest{4};
    EXPECT_EQ(take(vPacketFifo_GetFirst(fifo.ref, acceptWatched, &newest)), 4) << "the new one is kept";
}

TEST(PacketFifo, AwaitTimesOutNoEarlierThanAsked) {
    Fifo fifo;
    const auto start = steady_clock::now();
    EXPECT_EQ(vPacketFifo_Await(fifo.ref, 0), nullptr);
    EXPECT_EQ(vPacketFifo_Await(fifo.ref, 120), nullptr);
    Watch none{99};
    ASSERT_EQ(put(fifo.ref, 2), vErrNone);
    EXPECT_EQ(vPacketFifo_AwaitFirst(fifo.ref, acceptWatched, &none, 120), nullptr);
    const auto elapsed = steady_clock::now() - start;
    EXPECT_GE(elapsed, milliseconds(240));
    EXPECT_LT(elapsed, std::chrono::seconds(30)) << "bounded, not hung";
    EXPECT_EQ(none.calls, 1) << "one packet, shown once however long the wait";
}

TEST(PacketFifo, AWaiterWakesForAPacketFromAnotherThread) {
    Fifo fifo;
    std::atomic<int> got{-1};
    std::thread waiter([&] { got = take(vPacketFifo_Await(fifo.ref, 60000)); });
    std::this_thread::sleep_for(milliseconds(20));
    ASSERT_EQ(put(fifo.ref, 8), vErrNone);
    EXPECT_TRUE(waitUntil([&] { return got != -1; }));
    waiter.join();
    EXPECT_EQ(got, 8);
}

TEST(PacketFifo, DestructionWakesEveryWaiterWithNothing) {
    vPacketFifoRef ref = vPacketFifo_Create();
    std::atomic<int> returned{0};
    std::atomic<int> filteredGotSomething{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&, ref] {
            take(vPacketFifo_Await(ref, 60000));
            ++returned;
        });
        waiters.emplace_back([&, ref] {
            Watch never{99};
            if (vPacketFifo_AwaitFirst(ref, acceptWatched, &never, 60000) != nullptr) {
                ++filteredGotSomething;
            }
            ++returned;
        });
    }
    ASSERT_EQ(put(ref, 2), vErrNone); // not what the filtered waiters want
    std::this_thread::sleep_for(milliseconds(50));
    ASSERT_EQ(vPacketFifo_Destroy(&ref), vErrNone);
    EXPECT_TRUE(waitUntil([&] { return returned == 6; }, std::chrono::seconds(20)))
        << "waiters still asleep after the FIFO went";
    for (std::thread& t : waiters) {
        t.join();
    }
    EXPECT_EQ(filteredGotSomething, 0);
}

TEST(PacketFifo, AFilteredWaitTakesTheFirstMatchAndLeavesTheRestInOrder) {
    Fifo fifo;
    ASSERT_EQ(put(fifo.ref, 2, 3), vErrNone);
    ASSERT_EQ(put(fifo.ref, 4, 0), vErrNone);
    ASSERT_EQ(put(fifo.ref, 6, 0), vErrNone);
    EXPECT_EQ(take(vPacketFifo_AwaitFirst(fifo.ref, acceptEmpty, nullptr, 1000)), 4);
    EXPECT_EQ(take(vPacketFifo_Get(fifo.ref)), 2);
    EXPECT_EQ(take(vPacketFifo_Get(fifo.ref)), 6);

    ASSERT_EQ(put(fifo.ref, 2), vErrNone);
    ASSERT_EQ(put(fifo.ref, 4), vErrNone);
    ASSERT_EQ(put(fifo.ref, 6), vErrNone);
    Watch watch{4};
    EXPECT_EQ(take(vPacketFifo_GetFirst(fifo.ref, acceptWatched, &watch)), 4);
    EXPECT_EQ(watch.calls, 2) << "shown every packet up to the accepted one, no further";
    Watch missing{8};
    EXPECT_EQ(vPacketFifo_GetFirst(fifo.ref, acceptWatched, &missing), nullptr);
    EXPECT_EQ(missing.calls, 2);
    EXPECT_EQ(vPacketFifo_GetLength(fifo.ref), 2u);
}

TEST(PacketFifo, AFilteredWaitShowsEachPacketOnceWhilePacketsTrickleIn) {
    Fifo fifo;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(put(fifo.ref, 2), vErrNone);
    }
    Watch watch{10};
    std::atomic<int> got{-1};
    std::thread waiter([&] { got = take(vPacketFifo_AwaitFirst(fifo.ref, acceptWatched, &watch, 60000)); });
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(milliseconds(5));
        ASSERT_EQ(put(fifo.ref, 4), vErrNone);
    }
    ASSERT_EQ(put(fifo.ref, 10), vErrNone);
    ASSERT_EQ(put(fifo.ref, 12), vErrNone);
    EXPECT_TRUE(waitUntil([&] { return got != -1; }));
    waiter.join();
    EXPECT_EQ(got, 10);
    EXPECT_EQ(watch.calls, 9) << "3 queued + 5 trickled + the match, each exactly once";
    EXPECT_EQ(vPacketFifo_GetLength(fifo.ref), 9u);
}

TEST(PacketFifo, DrainRemovesWhatTheFilterAcceptsOnly) {
    Fifo fifo;
    for (uint8_t address : {2, 4, 2, 6, 2}) {
        ASSERT_EQ(put(fifo.ref, address), vErrNone);
    }
    Watch twos{2};
    EXPECT_EQ(vPacketFifo_DrainPackets(fifo.ref, acceptWatched, &twos), 3u);
    EXPECT_EQ(twos.calls, 5) << "each packet shown once";
    EXPECT_EQ(take(vPacketFifo_Get(fifo.ref)), 4);
    EXPECT_EQ(take(vPacketFifo_Get(fifo.ref)), 6);

    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(put(fifo.ref, 2), vErrNone);
    }
    EXPECT_EQ(vPacketFifo_DrainPackets(fifo.ref, acceptAll, nullptr), 5u);
    EXPECT_EQ(vPacketFifo_GetLength(fifo.ref), 0u);
    EXPECT_EQ(vPacketFifo_DrainPackets(fifo.ref, acceptAll, nullptr), 0u);

    // After a drain the next filtered wait must still see a new packet, exactly once.
    ASSERT_EQ(put(fifo.ref, 8), vErrNone);
    Watch eight{8};
    EXPECT_EQ(take(vPacketFifo_AwaitFirst(fifo.ref, acceptWatched, &eight, 1000)), 8);
    EXPECT_EQ(eight.calls, 1);
}

// Accepts address 2; throws at address 6, as a filter written in C++ might.
uint8_t throwAtSix(const vPacket* packet, void*) {
    if (packet->address == 6) {
        throw std::runtime_error("filter failed");
    }
    return packet->address == 2;
}

TEST(PacketFifo, AThrowingFilterNeitherEscapesNorDisturbsTheQueue) {
    Fifo fifo;
    for (uint8_t address : {4, 2, 6, 2}) {
        ASSERT_EQ(put(fifo.ref, address), vErrNone);
    }
    EXPECT_EQ(vPacketFifo_DrainPackets(fifo.ref, throwAtSix, nullptr), 0u);
    EXPECT_EQ(vPacketFifo_GetLength(fifo.ref), 4u);
    EXPECT_EQ(take(vPacketFifo_AwaitFirst(fifo.ref, throwAtSix, nullptr, 0)), 2)
        << "a match before the throw is still found";
    EXPECT_EQ(vPacketFifo_GetFirst(fifo.ref, throwAtSix, nullptr), nullptr);
    EXPECT_EQ(vPacketFifo_AwaitFirst(fifo.ref, throwAtSix, nullptr, 0), nullptr);
    for (int expected : {4, 6, 2}) {
        EXPECT_EQ(take(vPacketFifo_Get(fifo.ref)), expected);
    }
}

// Several producers and consumers on one FIFO: each consumer waits only for its own
// producer's packets, so every packet must arrive exactly once and in its producer's order.
TEST(PacketFifo, ProducersAndFilteredConsumersUnderContention) {
    constexpr int kPairs = 4;
    constexpr int kPackets = 600;
    Fifo fifo;
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (int pair = 0; pair < kPairs; ++pair) {
        const auto address = static_cast<uint8_t>(2 * (pair + 1));
        threads.emplace_back([&, address] {
            for (int i = 0; i < kPackets; ++i) {
                // Stay well below the capacity so that nothing is dropped.
                while (vPacketFifo_GetLength(fifo.ref) > vPACKETFIFO_CAPACITY / 2) {
                    std::this_thread::yield();
                }
                if (put(fifo.ref, address, 2, static_cast<uint8_t>(i % 256)) != vErrNone) failed = true;
            }
        });
        threads.emplace_back([&, address] {
            Watch mine{address};
            for (int i = 0; i < kPackets; ++i) {
                vPacket* packet = vPacketFifo_AwaitFirst(fifo.ref, acceptWatched, &mine, 20000);
                if (packet == nullptr || packet->address != address || packet->data[0] != i % 256) {
                    failed = true;
                }
                vPacket_Destroy(&packet);
                if (failed) return;
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_FALSE(failed);
    EXPECT_EQ(vPacketFifo_GetLength(fifo.ref), 0u);
}

// Plain consumers race for packets: together they take each packet exactly once.
TEST(PacketFifo, CompetingConsumersTakeEachPacketOnce) {
    constexpr int kProducers = 3;
    constexpr int kConsumers = 3;
    constexpr int kPackets = 500; // per producer
    Fifo fifo;
    std::vector<std::atomic<int>> seen(kProducers * kPackets);
    std::atomic<int> taken{0};
    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < kPackets; ++i) {
                while (vPacketFifo_GetLength(fifo.ref) > vPACKETFIFO_CAPACITY / 2) {
                    std::this_thread::yield();
                }
                const int n = p * kPackets + i;
                uint8_t data[2] = {static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
                vPacket* packet = vPacket_CreateWithData(2, 2, data);
                EXPECT_EQ(vPacketFifo_Put(fifo.ref, packet), vErrNone);
                vPacket_Destroy(&packet);
            }
        });
    }
    for (int c = 0; c < kConsumers; ++c) {
        threads.emplace_back([&] {
            while (taken < kProducers * kPackets) {
                vPacket* packet = vPacketFifo_Await(fifo.ref, 50);
                if (packet != nullptr) {
                    ++seen[(packet->data[0] << 8) | packet->data[1]];
                    ++taken;
                    vPacket_Destroy(&packet);
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    for (size_t n = 0; n < seen.size(); ++n) {
        ASSERT_EQ(seen[n], 1) << "packet " << n;
    }
}

} // namespace

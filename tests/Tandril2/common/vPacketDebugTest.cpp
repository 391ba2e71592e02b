// The packet log's ring: what it keeps when full, and what it refuses.
#include <gtest/gtest.h>

#include <vector>

#include "Tandril2/common/vPacketDebug.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct LogOwner {
    vPacketLog* log;
    explicit LogOwner(uint32_t capacity) : log(vPacketLog_Create(capacity)) {}
    ~LogOwner() { vPacketLog_Destroy(&log); }
};

Bytes take(vPacketLog* log, uint8_t* type = nullptr)
{
    uint8_t t = 0, length = 255, buffer[255];
    if (vPacketLog_Get(log, &t, &length, buffer) != vErrNone)
        return {};
    if (type)
        *type = t;
    return Bytes(buffer, buffer + length);
}

TEST(PacketLog, KeepsEntriesInOrderAndDropsTheOldestWhenFull)
{
    // 20 bytes hold three 5-byte entries (2 header + 3) with room to spare, not four.
    LogOwner owner(20);
    ASSERT_NE(owner.log, nullptr);
    for (uint8_t i = 1; i <= 5; i++) {
        const Bytes entry{i, i, i};
        ASSERT_EQ(vPacketLog_Put(owner.log, vPacketLogSent, 3, entry.data()), vErrNone);
    }
    EXPECT_EQ(vPacketLog_Count(owner.log), 3u);
    uint8_t type = 0;
    EXPECT_EQ(take(owner.log, &type), (Bytes{3, 3, 3}));
    EXPECT_EQ(type, vPacketLogSent);
    EXPECT_EQ(take(owner.log), (Bytes{4, 4, 4}));
    EXPECT_EQ(take(owner.log), (Bytes{5, 5, 5}));
    uint8_t length = 10, buffer[10];
    EXPECT_EQ(vPacketLog_Get(owner.log, &type, &length, buffer), vErrNotFound);
}

TEST(PacketLog, RefusesWhatCannotFitAndShortBuffers)
{
    LogOwner owner(10);
    const Bytes big(8, 0xAA);
    // 2 + 8 bytes would fill the ring completely: no room to spare.
    EXPECT_EQ(vPacketLog_Put(owner.log, vPacketLogText, 8, big.data()), vErrOverrun);
    ASSERT_EQ(vPacketLog_Put(owner.log, vPacketLogText, 7, big.data()), vErrNone);
    uint8_t type = 0, length = 6, buffer[8];
    EXPECT_EQ(vPacketLog_Get(owner.log, &type, &length, buffer), vErrOverrun);
    EXPECT_EQ(length, 7); // the size needed; the entry stays
    length = 8;
    EXPECT_EQ(vPacketLog_Get(owner.log, &type, &length, buffer), vErrNone);
    EXPECT_EQ(length, 7);
    EXPECT_EQ(type, vPacketLogText);
}

TEST(PacketLog, CreationLimitsAndInvalidHandles)
{
    EXPECT_EQ(vPacketLog_Create(vPACKETLOG_MAX_SIZE + 1), nullptr);
    LogOwner defaults(0);
    ASSERT_NE(defaults.log, nullptr);
    // The default ring holds far more than a few packets.
    const Bytes packet(30, 1);
    for (int i = 0; i < 2000; i++)
        ASSERT_EQ(vPacketLog_Put(defaults.log, vPacketLogReceived, 30, packet.data()), vErrNone);
    EXPECT_EQ(vPacketLog_Count(defaults.log), 2000u);

    vPacketLog* gone = vPacketLog_Create(64);
    ASSERT_EQ(vPacketLog_Destroy(&gone), vErrNone);
    EXPECT_EQ(gone, nullptr);
    EXPECT_EQ(vPacketLog_Destroy(&gone), vErrParam);
    EXPECT_EQ(vPacketLog_Put(nullptr, 1, 0, nullptr), vErrParam);
    EXPECT_EQ(vPacketLog_Put(defaults.log, 1, 3, nullptr), vErrParam);
}

} // namespace

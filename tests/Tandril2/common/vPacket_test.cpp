#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "Tandril2/common/vPacket.h"

namespace {

// Owns a packet for the length of a test.
struct Owned {
    vPacket* p;
    explicit Owned(vPacket* packet) : p(packet) {}
    ~Owned() {
        if (p != nullptr) {
            vPacket_Destroy(&p);
        }
    }
};

TEST(vPacket, CreateGivesAZeroedLivePacket) {
    Owned packet(vPacket_Create());
    ASSERT_TRUE(vVALIDPACKET(packet.p));
    EXPECT_EQ(packet.p->received, 0);
    EXPECT_EQ(packet.p->address, 0);
    EXPECT_EQ(packet.p->dataSize, 0);
    for (uint8_t byte : packet.p->data) {
        EXPECT_EQ(byte, 0);
    }
    EXPECT_FALSE(vPacket_IsComplete(packet.p));
}

TEST(vPacket, CreateWithDataTakesUpTo28Bytes) {
    uint8_t data[30];
    for (size_t i = 0; i < sizeof data; ++i) {
        data[i] = static_cast<uint8_t>(0xA0 + i);
    }
    struct Case {
        uint8_t size;
        const uint8_t* data;
        bool made;
    } cases[] = {
        {0, data, true}, {1, data, true}, {28, data, true},
        {29, data, false}, {255, data, false},
        {0, nullptr, false}, {5, nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "size " << int{c.size} << (c.data ? "" : " null data"));
        Owned packet(vPacket_CreateWithData(0x06, c.size, c.data));
        ASSERT_EQ(packet.p != nullptr, c.made);
        if (!c.made) {
            continue;
        }
        EXPECT_TRUE(vVALIDPACKET(packet.p));
        EXPECT_EQ(packet.p->address, 0x06);
        EXPECT_EQ(packet.p->dataSize, c.size);
        EXPECT_EQ(packet.p->received, c.size + 2);
        EXPECT_TRUE(vPacket_IsComplete(packet.p));
        EXPECT_EQ(std::memcmp(packet.p->data, data, c.size), 0);
        for (size_t i = c.size; i < vPACKET_MAX_DATA; ++i) {
            EXPECT_EQ(packet.p->data[i], 0) << "stray byte at " << i;
        }
    }
}

TEST(vPacket, CopyIsIndependentAndEqual) {
    const uint8_t data[] = {3, 0x48, 0x20, 0x99};
    Owned original(vPacket_CreateWithData(0x0A, sizeof data, data));
    Owned copy(vPacket_Copy(original.p));
    ASSERT_NE(copy.p, nullptr);
    ASSERT_NE(copy.p, original.p);
    EXPECT_EQ(std::memcmp(copy.p, original.p, sizeof(vPacket)), 0);
    original.p->data[0] = 7;
    EXPECT_EQ(copy.p->data[0], 3);
}

TEST(vPacket, StaleAndForeignRecordsAreRefused) {
    vPacket foreign{};                 // never made by vPacket_Create
    foreign.check = 0xBEEE;
    vPacket* none = nullptr;
    uint8_t buffer[40];
    uint8_t byte = 0;

    for (vPacket* bad : {none, &foreign}) {
        EXPECT_FALSE(vVALIDPACKET(bad));
        EXPECT_EQ(vPacket_Copy(bad), nullptr);
        EXPECT_EQ(vPacket_Reset(bad), vErrParam);
        EXPECT_EQ(vPacket_AddByte(bad, 6), vErrParam);
        EXPECT_FALSE(vPacket_IsComplete(bad));
        EXPECT_EQ(vPacket_GetBytes(bad, buffer, sizeof buffer, nullptr), vErrParam);
        EXPECT_EQ(vPacket_GetCmd(bad, &byte), vErrPacket);
        vPacket* handle = bad;
        EXPECT_EQ(vPacket_Destroy(&handle), vErrParam);
    }
    EXPECT_EQ(vPacket_Destroy(nullptr), vErrParam);
    EXPECT_EQ(foreign.check, 0xBEEE); // refused calls leave the record alone
}

TEST(vPacket, DestroyNullsTheCallersPointerAndASecondDestroyIsRefused) {
    vPacket* packet = vPacket_Create();
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(vPacket_Destroy(&packet), vErrNone);
    EXPECT_EQ(packet, nullptr);
    EXPECT_EQ(vPacket_Destroy(&packet), vErrParam);
}

TEST(vPacket, ResetClearsEverythingButKeepsThePacketLive) {
    const uint8_t data[] = {1, 2, 3};
    Owned packet(vPacket_CreateWithData(0x08, sizeof data, data));
    ASSERT_EQ(vPacket_Reset(packet.p), vErrNone);
    vPacket zero{};
    zero.check = vPACKET_CHECK;
    EXPECT_EQ(std::memcmp(packet.p, &zero, sizeof zero), 0);
    EXPECT_EQ(vPacket_AddByte(packet.p, 0x08), vErrNone); // usable again
}

// Feeding serialised bytes, with the result expected for each byte and the state after
// the last one.
struct AssemblyCase {
    const char* name;
    std::vector<uint8_t> bytes;
    std::vector<vErr> results;
    uint8_t address;
    uint8_t dataSize;
    bool complete;
};

std::vector<vErr> repeat(std::vector<vErr> head, vErr tail, size_t count) {
    head.insert(head.end(), count, tail);
    return head;
}

std::vector<uint8_t> fullPacketBytes() {
    std::vector<uint8_t> bytes = {0x06, 28};
    for (uint8_t i = 0; i < 28; ++i) {
        bytes.push_back(static_cast<uint8_t>(0x40 + i));
    }
    return bytes;
}

TEST(vPacket, AssemblerTakesTheSerialisedFormByteByByte) {
    const vErr N = vErrNone, P = vErrPacket, O = vErrOverrun;
    std::vector<uint8_t> full = fullPacketBytes();
    std::vector<uint8_t> fullPlusOne = full;
    fullPlusOne.push_back(0x55);

    const AssemblyCase cases[] = {
        {"command packet", {0x06, 0x03, 0x03, 0x48, 0x20}, {N, N, N, N, N}, 6, 3, true},
        {"byte after completion", {0x06, 0x03, 0x03, 0x48, 0x20, 0x11, 0x22}, {N, N, N, N, N, P, O},
         6, 3, false},
        {"empty packet is complete after its size byte", {0x0A, 0x00}, {N, N}, 0x0A, 0, true},
        {"byte after an empty packet", {0x0A, 0x00, 0x05}, {N, N, P}, 0x0A, 0, false},
        {"zero address byte", {0x00}, {P}, 0, 0, false},
        {"nothing completes after a refused address",
         {0x00, 0x06, 0x03, 0x03, 0x48, 0x20}, {P, O, O, O, O, O}, 0, 0, false},
        {"size byte above 28 is not kept", {0x06, 29}, {N, P}, 6, 0, false},
        {"nothing completes after a refused size", {0x06, 29, 0x00}, {N, P, O}, 6, 0, false},
        {"size byte 255", {0x06, 255}, {N, P}, 6, 0, false},
        {"largest packet", full, std::vector<vErr>(30, N), 6, 28, true},
        {"a 31st byte overruns", fullPlusOne, repeat(std::vector<vErr>(30, N), O, 1), 6, 28, false},
        {"half a packet", {0x06, 0x05, 1, 2}, {N, N, N, N}, 6, 5, false},
    };
    for (const AssemblyCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.bytes.size(), c.results.size());
        Owned packet(vPacket_Create());
        for (size_t i = 0; i < c.bytes.size(); ++i) {
            EXPECT_EQ(vPacket_AddByte(packet.p, c.bytes[i]), c.results[i]) << "byte " << i;
        }
        EXPECT_EQ(packet.p->address, c.address);
        EXPECT_EQ(packet.p->dataSize, c.dataSize);
        EXPECT_EQ(vPacket_IsComplete(packet.p), c.complete);
    }
}

TEST(vPacket, AssembledDataMatchesTheSerialisedForm) {
    std::vector<uint8_t> full = fullPacketBytes();
    Owned packet(vPacket_Create());
    for (uint8_t byte : full) {
        ASSERT_EQ(vPacket_AddByte(packet.p, byte), vErrNone);
    }
    uint8_t out[vPACKET_MAX_SERIAL];
    size_t length = 0;
    ASSERT_EQ(vPacket_GetBytes(packet.p, out, sizeof out, &length), vErrNone);
    ASSERT_EQ(length, full.size());
    EXPECT_EQ(std::vector<uint8_t>(out, out + length), full);
}

TEST(vPacket, EndlessBytesAfterAFullPacketNeverTouchItsData) {
    // The byte counter is eight bits wide; were it allowed to wrap, the assembler would
    // start storing again at a negative offset.
    std::vector<uint8_t> full = fullPacketBytes();
    Owned packet(vPacket_Create());
    for (uint8_t byte : full) {
        ASSERT_EQ(vPacket_AddByte(packet.p, byte), vErrNone);
    }
    vPacket before = *packet.p;
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(vPacket_AddByte(packet.p, static_cast<uint8_t>(i)), vErrOverrun) << i;
    }
    EXPECT_EQ(std::memcmp(packet.p->data, before.data, sizeof before.data), 0);
    EXPECT_EQ(packet.p->dataSize, 28);
    EXPECT_EQ(packet.p->address, 6);
    EXPECT_FALSE(vPacket_IsComplete(packet.p));
}

TEST(vPacket, RandomBytesNeverYieldAnOversizedPacket) {
    std::mt19937 random(20261211);
    std::uniform_int_distribution<int> byte(0, 255);
    Owned resetting(vPacket_Create());
    Owned careless(vPacket_Create()); // a caller that never resets after an error
    size_t completed = 0;
    for (int i = 0; i < 200000; ++i) {
        const auto b = static_cast<uint8_t>(byte(random));
        const vErr err = vPacket_AddByte(resetting.p, b);
        if (err != vErrNone) {
            vPacket_Reset(resetting.p);
        } else if (vPacket_IsComplete(resetting.p)) {
            ASSERT_LE(resetting.p->dataSize, vPACKET_MAX_DATA);
            uint8_t out[vPACKET_MAX_SERIAL];
            size_t length = 0;
            ASSERT_EQ(vPacket_GetBytes(resetting.p, out, sizeof out, &length), vErrNone);
            ASSERT_EQ(length, resetting.p->dataSize + 2u);
            ++completed;
            vPacket_Reset(resetting.p);
        }
        vPacket_AddByte(careless.p, b);
        ASSERT_LE(careless.p->dataSize, vPACKET_MAX_DATA);
        ASSERT_LE(careless.p->received, vPACKET_MAX_SERIAL + 1);
        if (careless.p->received > vPACKET_MAX_SERIAL) {
            vPacket_Reset(careless.p);
        }
    }
    EXPECT_GT(completed, 0u);
}

TEST(vPacket, GetBytesNeedsRoomForTheWholeForm) {
    const uint8_t data[] = {3, 0x48, 0x20};
    Owned packet(vPacket_CreateWithData(0x06, sizeof data, data));
    uint8_t out[8];
    std::memset(out, 0xEE, sizeof out);
    size_t length = 99;

    EXPECT_EQ(vPacket_GetBytes(packet.p, out, 4, &length), vErrOverrun);
    EXPECT_EQ(length, 99u);
    EXPECT_EQ(out[0], 0xEE) << "nothing written on overrun";

    EXPECT_EQ(vPacket_GetBytes(packet.p, out, 5, &length), vErrNone);
    EXPECT_EQ(length, 5u);
    const uint8_t expected[] = {0x06, 0x03, 3, 0x48, 0x20, 0xEE};
    EXPECT_EQ(std::memcmp(out, expected, sizeof expected), 0);

    EXPECT_EQ(vPacket_GetBytes(packet.p, out, sizeof out, nullptr), vErrNone);
    EXPECT_EQ(vPacket_GetBytes(packet.p, nullptr, sizeof out, &length), vErrParam);
}

TEST(vPacket, CommandOptionAndIndexNeedTheirBytes) {
    const uint8_t data[] = {0x03, 0xC7, 0xE5};
    struct Case {
        uint8_t dataSize;
        vErr cmd, option, index;
    } cases[] = {
        {0, vErrPacket, vErrPacket, vErrPacket},
        {1, vErrNone, vErrPacket, vErrPacket},
        {2, vErrNone, vErrNone, vErrPacket},
        {3, vErrNone, vErrNone, vErrNone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "data size " << int{c.dataSize});
        Owned packet(vPacket_CreateWithData(0x06, c.dataSize, data));
        uint8_t cmd = 0xFF, option = 0xFF, index = 0xFF;
        EXPECT_EQ(vPacket_GetCmd(packet.p, &cmd), c.cmd);
        EXPECT_EQ(vPacket_GetOption(packet.p, &option), c.option);
        EXPECT_EQ(vPacket_GetIndex(packet.p, &index), c.index);
        EXPECT_EQ(cmd, c.cmd == vErrNone ? 0x03 : 0xFF);
        EXPECT_EQ(option, c.option == vErrNone ? 0x07 : 0xFF) << "request bits masked off";
        EXPECT_EQ(index, c.index == vErrNone ? 0x05 : 0xFF) << "flag bits masked off";
        EXPECT_EQ(vPacket_GetCmd(packet.p, nullptr), vErrParam);
        EXPECT_EQ(vPacket_GetOption(packet.p, nullptr), vErrParam);
        EXPECT_EQ(vPacket_GetIndex(packet.p, nullptr), vErrParam);
    }
}

TEST(vPacket, ModuleAddressesAreEvenAndNonZero) {
    for (int address = 0; address < 256; ++address) {
        const bool good = address != 0 && address % 2 == 0;
        EXPECT_EQ(vPacket_CheckModuleAddress(static_cast<uint8_t>(address)),
                  good ? vErrNone : vErrPacket)
            << address;
    }
}

} // namespace

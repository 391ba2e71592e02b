#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "Tandril2/common/vByteOrder.h"
#include "Tandril2/common/vUEI.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Owned {
    vPacket* p;
    Owned() : p(vPacket_Create()) {}
    explicit Owned(vPacket* packet) : p(packet) {}
    ~Owned() {
        if (p != nullptr) {
            vPacket_Destroy(&p);
        }
    }
};

Owned makePacket(uint8_t address, const Bytes& data) {
    static const uint8_t none = 0; // an empty vector may have no storage at all
    return Owned(vPacket_CreateWithData(address, static_cast<uint8_t>(data.size()),
                                        data.empty() ? &none : data.data()));
}

Bytes dataOf(const vPacket* packet) {
    return Bytes(packet->data, packet->data + packet->dataSize);
}

uei record(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, ueiType type,
           uint32_t value = 0) {
    uei r{};
    r.module = module;
    r.command = command;
    r.option = option;
    r.specifier = specifier;
    r.type = type;
    switch (type) {
    case ueiTypeByte: r.value.byteVal = static_cast<uint8_t>(value); break;
    case ueiTypeShort: r.value.shortVal = static_cast<uint16_t>(value); break;
    case ueiTypeInt: r.value.intVal = value; break;
    default: break;
    }
    return r;
}

uint32_t valueOf(const uei& r) {
    switch (r.type) {
    case ueiTypeByte: return r.value.byteVal;
    case ueiTypeShort: return r.value.shortVal;
    case ueiTypeInt: return r.value.intVal;
    default: return 0;
    }
}

// ---- fixed-width values ----

struct EncodeCase {
    const char* kind;
    uei in;
    int subindex; // -1: none
    Bytes data;
};

TEST(vUEI, FixedWidthRecordsEncodeToTheirLayout) {
    const uint8_t get = 7 | ueiOPTION_GET, set = 7 | ueiOPTION_SET, ack = 7 | ueiOPTION_ACK;
    const uint8_t host = 2 | ueiSPECIFIER_HOST;
    const EncodeCase cases[] = {
        {"get", record(6, 3, get, host, ueiTypeVoid), -1, {3, 0x47, 0x22}},
        {"get with subindex", record(6, 3, get, host, ueiTypeVoid), 9, {3, 0x47, 0x22, 9}},
        {"set byte", record(6, 3, set, host, ueiTypeByte, 0x5A), -1, {3, 0x87, 0x22, 0x5A}},
        {"set short", record(6, 3, set, host, ueiTypeShort, 0x1234), -1, {3, 0x87, 0x22, 0x12, 0x34}},
        {"set int", record(6, 3, set, host, ueiTypeInt, 0xDEADBEEF), -1,
         {3, 0x87, 0x22, 0xDE, 0xAD, 0xBE, 0xEF}},
        {"set byte with subindex", record(6, 3, set, host, ueiTypeByte, 0x5A), 1,
         {3, 0x87, 0x22, 1, 0x5A}},
        {"set short with subindex", record(6, 3, set, host, ueiTypeShort, 0xFFFE), 2,
         {3, 0x87, 0x22, 2, 0xFF, 0xFE}},
        {"set int with subindex", record(6, 3, set, host, ueiTypeInt, 0x01020304), 3,
         {3, 0x87, 0x22, 3, 1, 2, 3, 4}},
        {"call (set without value)", record(0xFE, 95, set, host, ueiTypeVoid), -1, {95, 0x87, 0x22}},
        {"value reply", record(6, 3, 7, 2, ueiTypeInt, 0x00000102), -1, {3, 7, 2, 0, 0, 1, 2}},
        {"acknowledgement", record(6, 3, ack, 2, ueiTypeVoid), -1, {3, 0xC7, 2}},
        {"error reply", record(6, 3, 7, 2 | ueiSPECIFIER_ERROR, ueiTypeByte, vErrInvalidOption), -1,
         {3, 7, 0x82, 29}},
    };
    for (const EncodeCase& c : cases) {
        SCOPED_TRACE(c.kind);
        Owned packet;
        packet.p->data[20] = 0xEE; // leftovers must not survive
        const vErr err = c.subindex < 0
                             ? vUEI_Encode(&c.in, packet.p)
                             : vUEI_EncodeWithSubindex(&c.in, static_cast<uint8_t>(c.subindex), packet.p);
        ASSERT_EQ(err, vErrNone);
        EXPECT_EQ(packet.p->address, c.in.module);
        EXPECT_EQ(dataOf(packet.p), c.data);
        EXPECT_TRUE(vPacket_IsComplete(packet.p));
        EXPECT_EQ(packet.p->data[20], 0);
    }
}

TEST(vUEI, EncodingRefusesWhatHasNoLayout) {
    Owned packet;
    struct Case {
        const char* why;
        uei in;
        vErr err;
    } cases[] = {
        {"module address 0", record(0, 3, 0x47, 0x20, ueiTypeVoid), vErrPacket},
        {"odd module address", record(7, 3, 0x47, 0x20, ueiTypeVoid), vErrPacket},
        {"link-level address", record(0xAD, 3, 0x47, 0x20, ueiTypeVoid), vErrPacket},
        {"bytes value", record(6, 3, 0x87, 0x20, ueiTypeBytes), vErrParam},
        {"type code 3", record(6, 3, 0x87, 0x20, static_cast<ueiType>(3)), vErrParam},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        EXPECT_EQ(vUEI_Encode(&c.in, packet.p), c.err);
        EXPECT_EQ(vUEI_EncodeWithSubindex(&c.in, 1, packet.p), c.err);
    }
    uei good = record(6, 3, 0x47, 0x20, ueiTypeVoid);
    EXPECT_EQ(vUEI_Encode(nullptr, packet.p), vErrParam);
    EXPECT_EQ(vUEI_Encode(&good, nullptr), vErrParam);
    vPacket foreign{};
    EXPECT_EQ(vUEI_Encode(&good, &foreign), vErrParam);
}

struct ReplyCase {
    const char* kind;
    Bytes data;
    vErr err;
    ueiType type;     // after decoding
    uint32_t value;   // after decoding
    vErr result;      // vUEI_ReplyResult afterwards
};

TEST(vUEI, RepliesAreDecodedByTheirDataSize) {
    const uint32_t untouched = 0x11223344;
    const ReplyCase cases[] = {
        {"no value", {3, 7, 2}, vErrNone, ueiTypeVoid, 0, vErrNone},
        {"byte", {3, 7, 2, 0x9C}, vErrNone, ueiTypeByte, 0x9C, vErrNone},
        {"short", {3, 7, 2, 0xAB, 0xCD}, vErrNone, ueiTypeShort, 0xABCD, vErrNone},
        {"int", {3, 7, 2, 0x80, 0, 0, 1}, vErrNone, ueiTypeInt, 0x80000001, vErrNone},
        {"acknowledgement with int", {3, 0xC7, 2, 0, 0, 0, 5}, vErrNone, ueiTypeInt, 5, vErrNone},
        {"size 6 is taken as is", {3, 7, 2, 1, 2, 3}, vErrNone, ueiTypeInt, untouched, vErrNone},
        {"size 8 is taken as is", {3, 7, 2, 1, 2, 3, 4, 5}, vErrNone, ueiTypeInt, untouched, vErrNone},
        {"size 28 is taken as is", Bytes(28, 3), vErrNone, ueiTypeInt, untouched, vErrNone},
        {"too short", {3, 7}, vErrPacket, ueiTypeInt, untouched, vErrNone},
        {"empty", {}, vErrPacket, ueiTypeInt, untouched, vErrNone},
        {"error reply", {3, 7, 0x82, 29}, vErrNone, ueiTypeInt, 0x1122331D, vErrInvalidOption},
        {"error reply of any size", {3, 7, 0x82, 18, 0, 0, 0, 0}, vErrNone, ueiTypeInt, 0x11223312,
         vErrTimeout},
        {"error reply without its code", {3, 7, 0x82}, vErrPacket, ueiTypeInt, untouched, vErrNone},
        {"error reply with code 0 is still a failure", {3, 7, 0x82, 0}, vErrNone, ueiTypeInt,
         0x11223300, vErrUnknown},
        {"error reply with an unknown code", {3, 7, 0x82, 200}, vErrNone, ueiTypeInt, 0x112233C8,
         vErrUnknown},
    };
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.kind);
        Owned packet = makePacket(6, c.data);
        uei r = record(6, 3, 7, 2, ueiTypeInt, untouched);
        ASSERT_EQ(vUEI_DecodeReply(packet.p, &r), c.err);
        EXPECT_EQ(r.type, c.type);
        EXPECT_EQ(c.type == ueiTypeInt ? r.value.intVal : valueOf(r), c.value);
        EXPECT_EQ(vUEI_ReplyResult(&r), c.result);
        if (c.result != vErrNone) {
            EXPECT_EQ(r.specifier, 0x82) << "the whole specifier, error bit included";
        } else {
            EXPECT_EQ(r.specifier, 2);
        }
    }
    uei r{};
    EXPECT_EQ(vUEI_DecodeReply(nullptr, &r), vErrParam);
    Owned packet = makePacket(6, {3, 7, 2});
    EXPECT_EQ(vUEI_DecodeReply(packet.p, nullptr), vErrParam);
    EXPECT_EQ(vUEI_ReplyResult(nullptr), vErrParam);
}

TEST(vUEI, EveryFixedWidthValueSurvivesEncodeAndDecode) {
    const struct {
        ueiType type;
        uint32_t value;
    } cases[] = {
        {ueiTypeVoid, 0},        {ueiTypeByte, 0},       {ueiTypeByte, 0xFF},
        {ueiTypeShort, 0},       {ueiTypeShort, 0xFFFF}, {ueiTypeShort, 0x0100},
        {ueiTypeInt, 0},         {ueiTypeInt, 0xFFFFFFFF}, {ueiTypeInt, 0x01000000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << vUEI_TypeName(c.type) << " " << c.value);
        uei sent = record(0x10, 8, 5, 1, c.type, c.value);
        Owned packet;
        ASSERT_EQ(vUEI_Encode(&sent, packet.p), vErrNone);
        EXPECT_EQ(packet.p->dataSize, 3 + static_cast<int>(c.type));
        uei got = record(0x10, 8, 5, 1, ueiTypeBytes);
        ASSERT_TRUE(vUEI_IsReplyTo(packet.p, &got));
        ASSERT_EQ(vUEI_DecodeReply(packet.p, &got), vErrNone);
        EXPECT_EQ(got.type, c.type);
        EXPECT_EQ(valueOf(got), c.value);
    }
}

TEST(vUEI, AReplyMatchesOnlyItsOwnRequest) {
    const uei waiting = record(6, 3, 7, 2, ueiTypeVoid);
    struct Case {
        const char* kind;
        uint8_t address;
        Bytes data;
        bool matches;
    } cases[] = {
        {"the reply", 6, {3, 7, 2, 1}, true},
        {"flag bits of the index are ignored", 6, {3, 7, 0x62, 1}, true},
        {"error reply", 6, {3, 7, 0x82, 29}, true},
        {"other module", 8, {3, 7, 2, 1}, false},
        {"too short", 6, {3, 7}, false},
        {"other command", 6, {4, 7, 2, 1}, false},
        {"other option", 6, {3, 8, 2, 1}, false},
        {"the request itself", 6, {3, 0x47, 0x22}, false},
        {"acknowledgement instead of reply", 6, {3, 0xC7, 2}, false},
        {"other index", 6, {3, 7, 3, 1}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        Owned packet = makePacket(c.address, c.data);
        EXPECT_EQ(vUEI_IsReplyTo(packet.p, &waiting), c.matches);
    }
    Owned packet = makePacket(6, {3, 7, 2});
    EXPECT_FALSE(vUEI_IsReplyTo(nullptr, &waiting));
    EXPECT_FALSE(vUEI_IsReplyTo(packet.p, nullptr));
}

// ---- bytes values ----

uei bytesSend(const uint8_t* source, size_t size) {
    uei r = record(6, 95, 10 | ueiOPTION_SET, ueiSPECIFIER_HOST, ueiTypeBytes);
    r.value.bytes = const_cast<uint8_t*>(source);
    r.bytesSize = size;
    return r;
}

std::vector<Bytes> encodeAll(const uei& r) {
    std::vector<Bytes> packets;
    const size_t count = vUEI_BytesPacketCount(r.bytesSize);
    for (size_t i = 0; i < count; ++i) {
        Owned packet;
        EXPECT_EQ(vUEI_EncodeBytesPacket(&r, i, packet.p), vErrNone) << "packet " << i;
        EXPECT_EQ(packet.p->address, r.module);
        packets.push_back(dataOf(packet.p));
    }
    return packets;
}

Bytes counting(size_t size) {
    Bytes bytes(size);
    std::iota(bytes.begin(), bytes.end(), uint8_t{1});
    return bytes;
}

TEST(vUEI, BytesAreSentIn24BytePiecesWithSequenceBytes) {
    struct Case {
        size_t size;
        std::vector<size_t> payloads;
        Bytes sequenceBytes;
    } cases[] = {
        {0, {0}, {0x00}},
        {1, {1}, {0x00}},
        {24, {24}, {0x00}},
        {25, {24, 1}, {0x80, 0x01}},
        {48, {24, 24}, {0x80, 0x01}},
        {49, {24, 24, 1}, {0x80, 0x81, 0x02}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << " bytes");
        const Bytes source = counting(c.size);
        const uei r = bytesSend(source.data(), source.size());
        ASSERT_EQ(vUEI_BytesPacketCount(c.size), c.payloads.size());
        const std::vector<Bytes> packets = encodeAll(r);
        ASSERT_EQ(packets.size(), c.payloads.size());
        size_t offset = 0;
        for (size_t i = 0; i < packets.size(); ++i) {
            const Bytes& data = packets[i];
            ASSERT_EQ(data.size(), c.payloads[i] + 4);
            EXPECT_EQ(data[0], 95);
            EXPECT_EQ(data[1], 10 | ueiOPTION_SET);
            EXPECT_EQ(data[2], ueiSPECIFIER_HOST);
            EXPECT_EQ(Bytes(data.begin() + 3, data.end() - 1),
                      Bytes(source.begin() + offset, source.begin() + offset + c.payloads[i]));
            EXPECT_EQ(data.back(), c.sequenceBytes[i]);
            offset += c.payloads[i];
        }
    }
}

TEST(vUEI, BytesEncodingRefusesBadRecords) {
    const Bytes source = counting(30);
    Owned packet;
    uei r = bytesSend(source.data(), source.size());
    EXPECT_EQ(vUEI_EncodeBytesPacket(&r, 2, packet.p), vErrParam) << "past the last packet";
    uei noSource = bytesSend(nullptr, 5);
    EXPECT_EQ(vUEI_EncodeBytesPacket(&noSource, 0, packet.p), vErrParam);
    uei empty = bytesSend(nullptr, 0);
    EXPECT_EQ(vUEI_EncodeBytesPacket(&empty, 0, packet.p), vErrNone);
    uei fixed = record(6, 3, 0x87, 0x20, ueiTypeInt, 1);
    EXPECT_EQ(vUEI_EncodeBytesPacket(&fixed, 0, packet.p), vErrParam);
    uei odd = bytesSend(source.data(), source.size());
    odd.module = 5;
    EXPECT_EQ(vUEI_EncodeBytesPacket(&odd, 0, packet.p), vErrPacket);
    EXPECT_EQ(vUEI_EncodeBytesPacket(nullptr, 0, packet.p), vErrParam);
    EXPECT_EQ(vUEI_EncodeBytesPacket(&r, 0, nullptr), vErrParam);
}

// A receive record over `buffer`, as a bytes read prepares it.
struct Receiver {
    Bytes buffer;
    size_t count = 0;
    uei r{};
    explicit Receiver(size_t capacity) : buffer(capacity, 0) {
        r = record(6, 95, 10, 0, ueiTypeBytes);
        r.value.bytes = buffer.data();
        r.bytesSize = capacity;
        r.bytesReceived = &count;
    }
    // Takes one packet as the read loop does; returns the decoder's result.
    vErr take(const Bytes& data) {
        Owned packet = makePacket(6, data);
        if (!vUEI_IsReplyTo(packet.p, &r)) {
            return vErrNotFound;
        }
        const vErr err = vUEI_DecodeBytesPacket(packet.p, &r);
        if (err == vErrNone && vUEI_ReplyResult(&r) == vErrNone && r.more) {
            r.sequence = static_cast<uint8_t>((r.sequence + 1) % 128);
        }
        return err;
    }
};

// What a module sends for a bytes reply: the sender's packets with the bare option.
std::vector<Bytes> moduleReply(const Bytes& source) {
    uei r = bytesSend(source.data(), source.size());
    r.option = 10;
    r.specifier = 0;
    return encodeAll(r);
}

TEST(vUEI, ALongTransferWrapsItsSequenceNumbersAndArrivesWhole) {
    const Bytes source = counting(3100); // 130 packets: numbers 0..127, then 0 and 1 again
    const std::vector<Bytes> packets = moduleReply(source);
    ASSERT_EQ(packets.size(), 130u);
    EXPECT_EQ(packets[127].back(), 0x80 | 127);
    EXPECT_EQ(packets[128].back(), 0x80 | 0);
    EXPECT_EQ(packets[129].back(), 0x01);

    Receiver receiver(4096);
    for (size_t i = 0; i < packets.size(); ++i) {
        ASSERT_EQ(receiver.take(packets[i]), vErrNone) << "packet " << i;
        ASSERT_EQ(vUEI_ReplyResult(&receiver.r), vErrNone);
    }
    EXPECT_EQ(receiver.r.more, 0);
    ASSERT_EQ(receiver.count, source.size());
    EXPECT_EQ(Bytes(receiver.buffer.begin(), receiver.buffer.begin() + 3100), source);
    EXPECT_EQ(receiver.r.value.bytes, receiver.buffer.data() + 3100) << "cursor advanced";
}

TEST(vUEI, OnlyTheExpectedSequenceNumberIsTaken) {
    const std::vector<Bytes> packets = moduleReply(counting(60));
    Receiver receiver(100);
    EXPECT_EQ(receiver.take(packets[1]), vErrIndexRange) << "second packet first";
    EXPECT_EQ(receiver.count, 0u);
    EXPECT_EQ(receiver.r.value.bytes, receiver.buffer.data());
    EXPECT_EQ(receiver.take(packets[0]), vErrNone);
    EXPECT_EQ(receiver.take(packets[0]), vErrIndexRange) << "a repeat is not taken twice";
    EXPECT_EQ(receiver.take(packets[1]), vErrNone);
    EXPECT_EQ(receiver.take(packets[2]), vErrNone);
    EXPECT_EQ(receiver.count, 60u);
    EXPECT_EQ(receiver.r.more, 0);
}

TEST(vUEI, ATransferLargerThanTheBufferStopsWithMemoryError) {
    const std::vector<Bytes> packets = moduleReply(counting(60));
    Receiver receiver(50);
    ASSERT_EQ(receiver.take(packets[0]), vErrNone);
    ASSERT_EQ(receiver.take(packets[1]), vErrNone);
    ASSERT_EQ(receiver.take(packets[2]), vErrNone) << "taken, so that the read ends";
    EXPECT_EQ(vUEI_ReplyResult(&receiver.r), vErrMemory);
    EXPECT_EQ(receiver.count, 48u) << "what fitted stays stored and counted";
    EXPECT_EQ(Bytes(receiver.buffer.begin(), receiver.buffer.begin() + 48), counting(48));
    EXPECT_EQ(receiver.buffer[48], 0) << "nothing written past the room left";
}

TEST(vUEI, AnErrorReplyEndsATransfer) {
    Receiver receiver(100);
    ASSERT_EQ(receiver.take(moduleReply(counting(30))[0]), vErrNone);
    ASSERT_EQ(receiver.take({95, 10, 0x80, vErrMedia}), vErrNone);
    EXPECT_EQ(vUEI_ReplyResult(&receiver.r), vErrMedia);
    EXPECT_EQ(receiver.count, 24u);
}

TEST(vUEI, BytesDecodingRefusesBadInput) {
    Receiver receiver(100);
    Owned shortPacket = makePacket(6, {95, 10, 0});
    EXPECT_EQ(vUEI_DecodeBytesPacket(shortPacket.p, &receiver.r), vErrPacket);
    Owned shortError = makePacket(6, {95, 10, 0x80});
    EXPECT_EQ(vUEI_DecodeBytesPacket(shortError.p, &receiver.r), vErrPacket);

    Owned packet = makePacket(6, {95, 10, 0, 1, 2, 0});
    uei fixed = record(6, 95, 10, 0, ueiTypeInt);
    EXPECT_EQ(vUEI_DecodeBytesPacket(packet.p, &fixed), vErrParam);
    uei noCount = receiver.r;
    noCount.bytesReceived = nullptr;
    EXPECT_EQ(vUEI_DecodeBytesPacket(packet.p, &noCount), vErrParam);
    uei noBuffer = receiver.r;
    noBuffer.value.bytes = nullptr;
    EXPECT_EQ(vUEI_DecodeBytesPacket(packet.p, &noBuffer), vErrParam);
    EXPECT_EQ(vUEI_DecodeBytesPacket(nullptr, &receiver.r), vErrParam);
    EXPECT_EQ(vUEI_DecodeBytesPacket(packet.p, nullptr), vErrParam);
    EXPECT_EQ(receiver.count, 0u);
}

// ---- packet tests ----

TEST(vUEI, SequenceContinueAndFullnessComeFromTheLastDataByte) {
    for (uint8_t size = 0; size <= vPACKET_MAX_DATA; ++size) {
        SCOPED_TRACE(testing::Message() << "data size " << int{size});
        Bytes data(size, 0x11);
        if (size > 0) {
            data.back() = 0xA5; // continue bit and number 0x25
        }
        Owned packet = makePacket(6, data);
        EXPECT_EQ(vUEI_getBytesFullPacket(packet.p), size == 27 || size == 28);
        EXPECT_EQ(vUEI_getBytesSequence(packet.p), size > 0 ? 0x25 : 0);
        EXPECT_EQ(vUEI_getBytesContinue(packet.p), size > 0);
    }
    EXPECT_EQ(vUEI_getBytesSequence(nullptr), 0);
    EXPECT_FALSE(vUEI_getBytesContinue(nullptr));
    EXPECT_FALSE(vUEI_getBytesFullPacket(nullptr));
}

TEST(vUEI, CommandsOutsideTheUEILayoutAreRecognised) {
    const std::vector<int> notUEI = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
    for (int command = 0; command < 256; ++command) {
        const bool expected = std::find(notUEI.begin(), notUEI.end(), command) != notUEI.end();
        Owned packet = makePacket(6, {static_cast<uint8_t>(command), 1, 0});
        EXPECT_EQ(vUEI_isNotUEIPayload(packet.p), expected) << command;
        EXPECT_EQ(vUEI_isUEIPayload(packet.p), !expected) << command;
    }
    Owned empty = makePacket(6, {});
    EXPECT_TRUE(vUEI_isNotUEIPayload(empty.p)) << "no command byte";
    EXPECT_FALSE(vUEI_isNotUEIPayload(nullptr));
    EXPECT_FALSE(vUEI_isUEIPayload(nullptr));
}

TEST(vUEI, StreamedValuesAreRecognised) {
    struct Case {
        const char* kind;
        Bytes data;
        bool stream;
    } cases[] = {
        {"streamed short", {3, 7, 0x42, 1, 2}, true},
        {"streamed int", {3, 7, 0x42, 1, 2, 3, 4}, true},
        {"streamed byte is too short", {3, 7, 0x42, 1}, false},
        {"plain reply", {3, 7, 0x02, 1, 2}, false},
        {"get request", {3, 0x47, 0x62, 1, 2}, false},
        {"set request", {3, 0x87, 0x62, 1, 2}, false},
        {"acknowledgement", {3, 0xC7, 0x42, 1, 2}, false},
        {"not a UEI command", {95, 7, 0x42, 1, 2}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        Owned packet = makePacket(6, c.data);
        EXPECT_EQ(vUEI_isStreamPacket(packet.p), c.stream);
    }
    EXPECT_FALSE(vUEI_isStreamPacket(nullptr));
}

// ---- byte order ----

TEST(vUEI, IntegersTravelBigEndianAtAnyAlignment) {
    uint8_t buffer[9] = {};
    vUEI_StoreShort(buffer + 1, 0xA1B2);
    vUEI_StoreInt(buffer + 3, 0xC1D2E3F4);
    const uint8_t expected[9] = {0, 0xA1, 0xB2, 0xC1, 0xD2, 0xE3, 0xF4, 0, 0};
    EXPECT_EQ(std::memcmp(buffer, expected, sizeof buffer), 0);
    EXPECT_EQ(vUEI_RetrieveShort(buffer + 1), 0xA1B2);
    EXPECT_EQ(vUEI_RetrieveInt(buffer + 3), 0xC1D2E3F4u);

    // Little-endian records (link specifiers) use the mirror helpers.
    vByteOrder_PutLE32(buffer, 0x01020304);
    vByteOrder_PutLE16(buffer + 4, 0x0506);
    const uint8_t little[6] = {4, 3, 2, 1, 6, 5};
    EXPECT_EQ(std::memcmp(buffer, little, sizeof little), 0);
    EXPECT_EQ(vByteOrder_GetLE32(buffer), 0x01020304u);
    EXPECT_EQ(vByteOrder_GetLE16(buffer + 4), 0x0506);
}

TEST(vUEI, IntBuffersAreConvertedInPlace) {
    const uint8_t wire[12] = {0, 0, 0, 1, 0x12, 0x34, 0x56, 0x78, 0xFF, 0, 0, 0};
    uint32_t words[3];
    std::memcpy(words, wire, sizeof words);
    vUEI_ModifyIntBuffer(words, 2);
    EXPECT_EQ(words[0], 1u);
    EXPECT_EQ(words[1], 0x12345678u);
    uint32_t third;
    std::memcpy(&third, wire + 8, 4);
    EXPECT_EQ(words[2], third) << "only `count` words converted";
    vUEI_ModifyIntBuffer(nullptr, 3);
}

} // namespace

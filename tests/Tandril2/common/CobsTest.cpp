// COBS coding, CRC-8, and the COBS-framed stream over an in-memory transport.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "Tandril2/common/cobs.h"
#include "Tandril2/common/crc8.h"
#include "Tandril2/common/vStream_CobsEncoding.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes range(int first, int last) {
    Bytes out;
    for (int i = first; i <= last; ++i)
        out.push_back(static_cast<uint8_t>(i));
    return out;
}
Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(Crc8, CheckValueAndIncrementalUse) {
    const std::string check = "123456789";
    const auto* data = reinterpret_cast<const uint8_t*>(check.data());
    EXPECT_EQ(crc8_create(data, check.size()), 0xA1);
    uint8_t crc = 0;
    for (char c : check)
        crc = crc8_update(crc, static_cast<uint8_t>(c));
    EXPECT_EQ(crc, 0xA1);
    EXPECT_TRUE(crc8_check(data, check.size(), 0xA1));
    EXPECT_FALSE(crc8_check(data, check.size(), 0xA0));
    EXPECT_EQ(crc8_create(data, 0), 0);
}

struct CobsCase {
    const char* name;
    Bytes plain;
    Bytes encoded;
};

class CobsVectors : public ::testing::TestWithParam<CobsCase> {};

TEST_P(CobsVectors, EncodeAndDecode) {
    const CobsCase& c = GetParam();
    Bytes out(cobs_max_encoded(c.plain.size()));
    ASSERT_EQ(cobs_encode(c.plain.data(), c.plain.size(), out.data()), c.encoded.size());
    out.resize(c.encoded.size());
    EXPECT_EQ(out, c.encoded);

    Bytes inplace = c.plain;
    inplace.resize(cobs_max_encoded(c.plain.size()));
    ASSERT_EQ(cobs_encode_inplace(inplace.data(), c.plain.size()), c.encoded.size());
    inplace.resize(c.encoded.size());
    EXPECT_EQ(inplace, c.encoded);

    Bytes decoded(c.encoded.size());
    EXPECT_EQ(cobs_decode(c.encoded.data(), c.encoded.size(), decoded.data()), c.plain.size());
    decoded.resize(c.plain.size());
    EXPECT_EQ(decoded, c.plain);
    Bytes back = c.encoded;
    ASSERT_EQ(cobs_decode_inplace(back.data(), back.size()), c.plain.size());
    back.resize(c.plain.size());
    EXPECT_EQ(back, c.plain);
}

INSTANTIATE_TEST_SUITE_P(
    Published, CobsVectors,
    ::testing::Values(CobsCase{"Zero", {0x00}, {0x01, 0x01}},
                      CobsCase{"TwoZeros", {0x00, 0x00}, {0x01, 0x01, 0x01}},
                      CobsCase{"ZeroInside", {0x11, 0x22, 0x00, 0x33}, {0x03, 0x11, 0x22, 0x02, 0x33}},
                      CobsCase{"NoZero", {0x11, 0x22, 0x33, 0x44}, {0x05, 0x11, 0x22, 0x33, 0x44}},
                      CobsCase{"TrailingZeros", {0x11, 0x00, 0x00, 0x00}, {0x02, 0x11, 0x01, 0x01, 0x01}},
                      CobsCase{"FullRun", range(1, 254), cat({0xFF}, range(1, 254))},
                      CobsCase{"ZeroThenFullRun", range(0, 254), cat({0x01, 0xFF}, range(1, 254))},
                      CobsCase{"RunThenMore", range(1, 255), cat(cat({0xFF}, range(1, 254)), {0x02, 0xFF})},
                      CobsCase{"RunThenZero", cat(range(2, 255), {0x00}), cat(cat({0xFF}, range(2, 255)), {0x01, 0x01})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Cobs, MalformedInputDecodesToNothing) {
    const Bytes cases[] = {
        {0x05, 0x11, 0x22},       // code points past the end
        {0x03, 0x11, 0x00, 0x22}, // a delimiter inside
        {0x00},                   // a zero code
        {0xFF, 0x01},             // a full run cut short
    };
    for (const Bytes& c : cases) {
        Bytes out(c.size() + 1);
        EXPECT_EQ(cobs_decode(c.data(), c.size(), out.data()), 0u) << ::testing::PrintToString(c);
    }
}

TEST(Cobs, RandomBlocksRoundTrip) {
    std::mt19937 random(7);
    for (int round = 0; round < 300; ++round) {
        Bytes plain(1 + random() % 700);
        for (auto& b : plain)
            b = (random() % 4 == 0) ? 0 : static_cast<uint8_t>(random());
        Bytes encoded(cobs_max_encoded(plain.size()));
        encoded.resize(cobs_encode(plain.data(), plain.size(), encoded.data()));
        ASSERT_EQ(std::count(encoded.begin(), encoded.end(), 0), 0);
        Bytes decoded(encoded.size());
        decoded.resize(cobs_decode(encoded.data(), encoded.size(), decoded.data()));
        ASSERT_EQ(decoded, plain);
    }
}

// An in-memory inner stream: get serves `incoming`, write appends to `outgoing`.
struct Pipe {
    std::deque<uint8_t> incoming;
    Bytes outgoing;
    std::vector<size_t> writeSizes;
    vErr getFailure = vErrNone; // returned once incoming is empty, instead of not ready
    bool* deleted = nullptr;
};

vErr pipeGet(uint8_t* byte, void* reference) {
    auto* p = static_cast<Pipe*>(reference);
    if (p->incoming.empty())
        return p->getFailure != vErrNone ? p->getFailure : vErrNotReady;
    *byte = p->incoming.front();
    p->incoming.pop_front();
    return vErrNone;
}
vErr pipeWrite(const uint8_t* data, size_t length, void* reference) {
    auto* p = static_cast<Pipe*>(reference);
    p->outgoing.insert(p->outgoing.end(), data, data + length);
    p->writeSizes.push_back(length);
    return vErrNone;
}
vErr pipePut(const uint8_t* byte, void* reference) { return pipeWrite(byte, 1, reference); }
vErr pipeDelete(void* reference) {
    auto* p = static_cast<Pipe*>(reference);
    if (p->deleted)
        *p->deleted = true;
    delete p;
    return vErrNone;
}

// The frame of a packet: COBS(address, length, data, CRC) and the delimiter.
Bytes frameOf(const Bytes& packet) {
    Bytes plain = packet;
    plain.push_back(crc8_create(plain.data(), plain.size()));
    Bytes out(cobs_max_encoded(plain.size()));
    out.resize(cobs_encode(plain.data(), plain.size(), out.data()));
    out.push_back(0);
    return out;
}

class CobsStream : public ::testing::Test {
protected:
    void SetUp() override {
        pipe = new Pipe;
        pipe->deleted = &deleted;
        ASSERT_EQ(vStream_CreateCobsEncoding(pipeGet, pipePut, pipeWrite, pipeDelete, pipe, &stream), vErrNone);
    }
    void TearDown() override {
        EXPECT_EQ(vStream_Destroy(&stream), vErrNone);
        EXPECT_TRUE(deleted) << "the COBS stream owns its inner stream";
    }
    void arrive(const Bytes& bytes) { pipe->incoming.insert(pipe->incoming.end(), bytes.begin(), bytes.end()); }
    // Drives get until the inner stream runs dry; returns the bytes handed out and
    // counts the frames dropped.
    Bytes drain(int* dropped = nullptr) {
        Bytes out;
        int idle = 0; // a frame ready after the last byte arrived still needs calls
        for (int guard = 0; guard < 10000 && idle < 2; ++guard) {
            uint8_t byte = 0;
            const vErr err = stream->get(&byte, stream->reference);
            idle = err == vErrNotReady && pipe->incoming.empty() ? idle + 1 : 0;
            if (err == vErrNone)
                out.push_back(byte);
            else if (err == vErrPacket && dropped)
                ++*dropped;
        }
        return out;
    }
    Pipe* pipe = nullptr;
    bool deleted = false;
    vStream* stream = nullptr;
};

TEST_F(CobsStream, WritesOneFramePerPacket) {
    const Bytes first = {0x06, 0x03, 0x03, 0x48, 0x20};
    const Bytes second = {0x08, 0x00};
    Bytes third = {0x06, 28};
    for (int i = 0; i < 28; ++i)
        third.push_back(static_cast<uint8_t>(i % 3)); // zeros inside, the largest packet
    const Bytes pooled = cat(cat(first, second), third);
    EXPECT_EQ(vStream_Write(stream, pooled.data(), pooled.size()), vErrNone);
    EXPECT_EQ(pipe->writeSizes.size(), 3u);
    EXPECT_EQ(pipe->outgoing, cat(cat(frameOf(first), frameOf(second)), frameOf(third)));
}

TEST_F(CobsStream, PacketSplitAcrossWritesIsSentWhole) {
    const Bytes packet = {0x06, 0x03, 0x03, 0x48, 0x20};
    EXPECT_EQ(vStream_Write(stream, packet.data(), 2), vErrNone);
    EXPECT_TRUE(pipe->outgoing.empty());
    EXPECT_EQ(vStream_Write(stream, packet.data() + 2, 3), vErrNone);
    EXPECT_EQ(pipe->outgoing, frameOf(packet));
}

TEST_F(CobsStream, NotAPacketIsReported) {
    const Bytes bad = {0x00, 0x00}; // address 0 is refused by the assembler
    EXPECT_EQ(vStream_Write(stream, bad.data(), bad.size()), vErrPacket);
    EXPECT_TRUE(pipe->outgoing.empty());
    const Bytes good = {0x06, 0x00};
    EXPECT_EQ(vStream_Write(stream, good.data(), good.size()), vErrNone);
    EXPECT_EQ(pipe->outgoing, frameOf(good));
}

TEST_F(CobsStream, ValidFrameIsAnnouncedThenDelivered) {
    const Bytes packet = {0x06, 0x03, 0x03, 0x00, 0x20};
    arrive(frameOf(packet));
    uint8_t byte;
    for (size_t i = 0; i + 1 < frameOf(packet).size(); ++i)
        EXPECT_EQ(stream->get(&byte, stream->reference), vErrNotReady);
    EXPECT_EQ(stream->get(&byte, stream->reference), vErrNotReady) << "the delimiter announces the frame";
    EXPECT_TRUE(pipe->incoming.empty());
    Bytes got;
    while (stream->get(&byte, stream->reference) == vErrNone)
        got.push_back(byte);
    EXPECT_EQ(got, packet);
}

struct BadInput {
    const char* name;
    Bytes noise; // arrives before a good frame
    int dropped; // frames reported as dropped
};

class CobsStreamBadInput : public CobsStream, public ::testing::WithParamInterface<BadInput> {};

Bytes corruptCrc() {
    Bytes f = frameOf({0x06, 0x01, 0x55});
    f[f.size() - 2] ^= 0x01; // last encoded byte is the CRC
    return f;
}
Bytes wrongLength() {
    Bytes plain = {0x06, 0x02, 0x55}; // says two data bytes, carries one
    plain.push_back(crc8_create(plain.data(), plain.size()));
    Bytes out(8);
    out.resize(cobs_encode(plain.data(), plain.size(), out.data()));
    out.push_back(0);
    return out;
}
Bytes truncated() {
    Bytes f = frameOf({0x06, 0x04, 1, 2, 3, 4});
    f.erase(f.begin() + 3, f.end() - 1);
    return f;
}

TEST_P(CobsStreamBadInput, BadFrameIsDroppedAndTheNextOneSurvives) {
    const Bytes good = {0x08, 0x02, 0xAB, 0x00};
    arrive(GetParam().noise);
    arrive(frameOf(good));
    arrive(frameOf(good));
    int dropped = 0;
    EXPECT_EQ(drain(&dropped), cat(good, good));
    EXPECT_EQ(dropped, GetParam().dropped);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CobsStreamBadInput,
    ::testing::Values(BadInput{"DoubleDelimiter", {0x00, 0x00}, 0}, BadInput{"WrongCrc", corruptCrc(), 1},
                      BadInput{"WrongLength", wrongLength(), 1}, BadInput{"Truncated", truncated(), 1},
                      BadInput{"GarbageBetweenFrames", {0x03, 0x11, 0x07, 0x42, 0x00}, 1},
                      BadInput{"MalformedCobs", {0x09, 0x11, 0x00}, 1},
                      BadInput{"TooShort", {0x02, 0x06, 0x00}, 1},
                      // Longer than any frame: must not overrun the receive buffer.
                      BadInput{"Oversized", cat(Bytes(200, 0x5A), {0x00}), 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CobsStream, InnerFailurePassesThrough) {
    pipe->getFailure = vErrIO;
    uint8_t byte;
    EXPECT_EQ(stream->get(&byte, stream->reference), vErrIO);
}

TEST(CobsStreamCreate, RefusesNullOut) {
    EXPECT_EQ(vStream_CreateCobsEncoding(pipeGet, pipePut, pipeWrite, pipeDelete, nullptr, nullptr), vErrParam);
}

} // namespace

// The stream core: push-back ring, all-or-nothing reads, records, flush, file streams.
#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <string>
#include <vector>

#include "Tandril2/common/vStream.h"
#include "TestSupport.h"

namespace {

// A transport whose get answers from a script: bytes, or an error code in place of one.
struct Script {
    struct Step {
        vErr code;
        uint8_t byte;
    };
    std::deque<Step> steps;
    vErr whenEmpty = vErrNotReady;
    std::vector<uint8_t> written; // what write delivered (one entry per byte)
    int writeCalls = 0;
    int putCalls = 0;
    int deleted = 0;

    void bytes(const std::string& text) {
        for (unsigned char c : text)
            steps.push_back({vErrNone, c});
    }
    void code(vErr err) { steps.push_back({err, 0}); }
};

vErr scriptGet(uint8_t* byte, void* reference) {
    auto* s = static_cast<Script*>(reference);
    if (s->steps.empty())
        return s->whenEmpty;
    auto step = s->steps.front();
    s->steps.pop_front();
    if (step.code == vErrNone)
        *byte = step.byte;
    return step.code;
}
vErr scriptPut(const uint8_t* byte, void* reference) {
    auto* s = static_cast<Script*>(reference);
    ++s->putCalls;
    s->written.push_back(*byte);
    return vErrNone;
}
vErr scriptWrite(const uint8_t* data, size_t length, void* reference) {
    auto* s = static_cast<Script*>(reference);
    ++s->writeCalls;
    s->written.insert(s->written.end(), data, data + length);
    return vErrNone;
}
vErr scriptDelete(void* reference) {
    ++static_cast<Script*>(reference)->deleted;
    return vErrNone;
}

class StreamCore : public ::testing::Test {
protected:
    void SetUp() override {
        stream = vStream_Create(scriptGet, scriptPut, scriptWrite, scriptDelete, &script);
        ASSERT_NE(stream, nullptr);
    }
    void TearDown() override {
        if (stream) {
            EXPECT_EQ(vStream_Destroy(&stream), vErrNone);
        }
    }
    std::string read(size_t n, vErr expect = vErrNone) {
        std::string out(n, '\x7f');
        EXPECT_EQ(vStream_Read(stream, reinterpret_cast<uint8_t*>(out.data()), n), expect);
        return out;
    }
    Script script;
    vStream* stream = nullptr;
};

TEST_F(StreamCore, ReadIsAllOrNothingWhenTheTransportRunsDry) {
    script.bytes("ab");
    EXPECT_EQ(read(4, vErrNotReady), std::string(4, '\x7f')) << "destination must stay untouched";
    script.bytes("cd");
    EXPECT_EQ(read(4), "abcd");
    EXPECT_EQ(read(1, vErrNotReady), "\x7f");
}

TEST_F(StreamCore, ReadOutcomesByStopCode) {
    // EOF delivers what came before it; any other failure drops it.
    script.bytes("xy");
    script.code(vErrEOF);
    EXPECT_EQ(read(4, vErrEOF).substr(0, 2), "xy");

    script.bytes("pq");
    script.code(vErrIO);
    script.bytes("r");
    EXPECT_EQ(read(3, vErrIO), std::string(3, '\x7f'));
    EXPECT_EQ(read(1), "r") << "bytes taken before a failure are not given back";
}

TEST_F(StreamCore, PushBackGrowsWithoutReordering) {
    // 1300 bytes cross two growth steps of the 512-byte ring.
    std::string expected;
    for (int i = 0; i < 1300; ++i) {
        expected.push_back(static_cast<char>(i * 7));
        ASSERT_EQ(vStreamBufferChar(stream, static_cast<uint8_t>(i * 7)), vErrNone);
    }
    EXPECT_GE(stream->capacity, 1536u);
    EXPECT_EQ(read(1300), expected);
}

TEST_F(StreamCore, PushBackAfterWrapKeepsOrder) {
    // Move the ring's indexes near its end, then grow it while wrapped.
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 300; ++i)
            ASSERT_EQ(vStreamBufferChar(stream, static_cast<uint8_t>(i)), vErrNone);
        read(300);
    }
    std::string expected;
    for (int i = 0; i < 600; ++i) {
        expected.push_back(static_cast<char>(i ^ 0x55));
        ASSERT_EQ(vStreamBufferChar(stream, static_cast<uint8_t>(i ^ 0x55)), vErrNone);
    }
    EXPECT_EQ(read(600), expected);
}

TEST_F(StreamCore, WriteChoosesPutForOneByteAndWriteForBlocks) {
    const uint8_t data[] = {1, 2, 3};
    EXPECT_EQ(vStream_Write(stream, data, 1), vErrNone);
    EXPECT_EQ(script.putCalls, 1);
    EXPECT_EQ(script.writeCalls, 0);
    EXPECT_EQ(vStream_Write(stream, data, 3), vErrNone);
    EXPECT_EQ(script.writeCalls, 1);
    EXPECT_EQ(script.written, (std::vector<uint8_t>{1, 1, 2, 3}));
}

TEST_F(StreamCore, RefusesInvalidUse) {
    uint8_t byte = 0;
    EXPECT_EQ(vStream_Read(nullptr, &byte, 1), vErrParam);
    EXPECT_EQ(vStream_Read(stream, nullptr, 1), vErrParam);
    EXPECT_EQ(vStream_Write(stream, nullptr, 1), vErrParam);
    vStream* mute = vStream_Create(nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(vStream_Read(mute, &byte, 1), vErrMode);
    EXPECT_EQ(vStream_Write(mute, &byte, 1), vErrMode);
    EXPECT_EQ(vStream_Flush(mute, stream), vErrMode);
    EXPECT_EQ(vStream_Destroy(&mute), vErrNone);

    // Destroying runs delete once; a destroyed or null stream is refused and the pointer nulled.
    EXPECT_EQ(vStream_Destroy(&stream), vErrNone);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(script.deleted, 1);
    EXPECT_EQ(vStream_Destroy(&stream), vErrParam);
    vStream** none = nullptr;
    EXPECT_EQ(vStream_Destroy(none), vErrParam);
}

struct RecordCase {
    const char* name;
    std::vector<std::string> arrivals; // separated by "not ready"
    std::string terminator;
    size_t size;
    std::vector<std::string> records; // records read in turn, once all has arrived
    std::string rest;                 // what the next plain read sees
};

class StreamRecord : public StreamCore, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(StreamRecord, ReadsRecords) {
    const RecordCase& c = GetParam();
    const auto* term = reinterpret_cast<const uint8_t*>(c.terminator.data());
    std::vector<uint8_t> buffer(c.size + 8);
    size_t length = 0;
    for (size_t i = 0; i < c.arrivals.size(); ++i) {
        script.bytes(c.arrivals[i]);
        if (i + 1 < c.arrivals.size()) {
            EXPECT_EQ(vStream_ReadRecord(stream, buffer.data(), &length, c.size, term, c.terminator.size()),
                      vErrNotReady);
        }
    }
    for (const std::string& expected : c.records) {
        ASSERT_EQ(vStream_ReadRecord(stream, buffer.data(), &length, c.size, term, c.terminator.size()), vErrNone);
        EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + length), expected);
    }
    script.whenEmpty = vErrEOF;
    std::string rest;
    uint8_t byte;
    while (vStream_Read(stream, &byte, 1) == vErrNone)
        rest.push_back(static_cast<char>(byte));
    EXPECT_EQ(rest, c.rest);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamRecord,
    ::testing::Values(
        RecordCase{"SingleTerminator", {"ab\ncd\n"}, "\n", 16, {"ab", "cd"}, ""},
        RecordCase{"ArrivesInPieces", {"he", "llo", "\nx"}, "\n", 16, {"hello"}, "x"},
        RecordCase{"SizeEndsRecord", {"abcdef\n"}, "\n", 4, {"abcd", "ef"}, ""},
        // A two-byte terminator whose first byte arrives before a pause is still found.
        RecordCase{"TerminatorSplitByPause", {"OK\r", "\nnext"}, "\r\n", 16, {"OK"}, "next"},
        // An interrupted partial match is data, and matching starts over.
        RecordCase{"InterruptedTerminator", {"a\rb\r\r\nz"}, "\r\n", 16, {"a\rb\r"}, "z"},
        RecordCase{"FullRecordLeavesTheRest", {"abc\r\n"}, "\r\n", 3, {"abc"}, "\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StreamCore, RecordAtEndOfData) {
    script.bytes("tail");
    script.code(vErrEOF);
    script.code(vErrEOF);
    char text[16];
    EXPECT_EQ(vStream_ReadCString(stream, text, sizeof(text)), vErrNone);
    EXPECT_STREQ(text, "tail");
    EXPECT_EQ(vStream_ReadCString(stream, text, sizeof(text)), vErrEOF);
}

TEST_F(StreamCore, CStringsAndRecordsRoundTrip) {
    EXPECT_EQ(vStream_WriteCString(stream, "hi"), vErrNone);
    EXPECT_EQ(vStream_WriteCStringRecord(stream, "ok", "\r\n"), vErrNone);
    EXPECT_EQ(std::string(script.written.begin(), script.written.end()), std::string("hi\0ok\r\n\0", 8));

    script.bytes(std::string("abcdef\0", 7));
    char small[4];
    EXPECT_EQ(vStream_ReadCString(stream, small, sizeof(small)), vErrNone);
    EXPECT_STREQ(small, "abc") << "at most size-1 characters";
    script.bytes("x\r\n");
    char line[16];
    EXPECT_EQ(vStream_ReadCStringRecord(stream, line, sizeof(line), "\r\n"), vErrNone);
    EXPECT_EQ(std::string(line, 6), std::string("def\0x\0", 6)) << "only the terminator ends the record";
}

TEST_F(StreamCore, FlushCopiesUntilTheEnd) {
    Script sink;
    vStream* out = vStream_Create(nullptr, scriptPut, scriptWrite, nullptr, &sink);
    script.bytes("copy me");
    script.whenEmpty = vErrEOF;
    EXPECT_EQ(vStream_Flush(stream, out), vErrNone);
    EXPECT_EQ(std::string(sink.written.begin(), sink.written.end()), "copy me");
    script.whenEmpty = vErrNotReady;
    EXPECT_EQ(vStream_Flush(stream, out), vErrNotReady);
    vStream_Destroy(&out);
}

TEST(FileStream, RoundTripAndErrors) {
    tandril::test::TempDir dir;
    const std::string path = dir.str() + "/data.bin";
    vStream* out = nullptr;
    ASSERT_EQ(vStream_CreateFileOutput(path.c_str(), &out), vErrNone);
    const std::string text("line one\0line two", 17);
    EXPECT_EQ(vStream_Write(out, reinterpret_cast<const uint8_t*>(text.data()), text.size()), vErrNone);
    EXPECT_EQ(vStream_Write(out, reinterpret_cast<const uint8_t*>("!"), 1), vErrNone);
    uint8_t byte;
    EXPECT_EQ(vStream_Read(out, &byte, 1), vErrMode) << "an output stream has no get";
    EXPECT_EQ(vStream_Destroy(&out), vErrNone);

    vStream* in = nullptr;
    ASSERT_EQ(vStream_CreateFileInput(path.c_str(), &in), vErrNone);
    char part[32];
    EXPECT_EQ(vStream_ReadCString(in, part, sizeof(part)), vErrNone);
    EXPECT_STREQ(part, "line one");
    uint8_t rest[32] = {};
    EXPECT_EQ(vStream_Read(in, rest, sizeof(rest)), vErrEOF);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rest)), "line two!");
    EXPECT_EQ(vStream_Destroy(&in), vErrNone);

    vStream* none = reinterpret_cast<vStream*>(1);
    EXPECT_EQ(vStream_CreateFileInput((dir.str() + "/missing").c_str(), &none), vErrResource);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(vStream_CreateFileInput(nullptr, &none), vErrResource);
    EXPECT_EQ(vStream_CreateFileOutput((dir.str() + "/no/such/dir").c_str(), &none), vErrResource);
}

} // namespace

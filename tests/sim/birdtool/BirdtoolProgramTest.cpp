#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "birdtool/BirdWriter.h"
#include "store/BirdFile.h"

using namespace tandril::test;
using namespace tandril::birdtool;

namespace {

class BirdtoolTest : public ::testing::Test {
protected:
    ProcessResult run(std::vector<std::string> args) {
        args.insert(args.begin(), buildPath("sim/birdtool/birdtool"));
        return runProcess(args, std::chrono::seconds(30));
    }
    std::string out() const { return dir.str() + "/out.bird"; }

    TempDir dir;
};

TEST_F(BirdtoolTest, MakesAFileTheLoaderReadsBlockForBlock) {
    std::string loaderFile = dir.str() + "/loader.bin";
    writeBytes(loaderFile, Bytes{0xDE, 0xAD, 0xBE, 0xEF, 0x01});
    ProcessResult made = run({"make", "-o", out(), "--loader", "0x10000000:" + loaderFile,
                              "--firmware", "0x1000:@256", "--flags", "3", "--firmware",
                              "4096:@10", "--flags", "0", "--info",
                              "12345,2.12.0,0001ABCD,Tandril 8I8O", "--serial-offsets",
                              "0x10FC:0x1010", "--start-address", "0x20000400", "--block",
                              "9:@3", "--file-version", "0x0102"});
    ASSERT_EQ(made.status, 0) << made.err;

    BirdFile bird(out().c_str());
    EXPECT_EQ(bird.version, 0x0102u);
    struct Expected {
        uint8_t type, flags;
        uint32_t length, address;
    };
    const std::vector<Expected> expected = {{0, 0, 9, 0x10000000}, {1, 0, 260, 0x1000},
                                            {1, 3, 14, 0x1000},    {4, 0, 64, 0},
                                            {2, 0, 8, 0},          {5, 0, 4, 0},
                                            {9, 0, 3, 0}};
    ASSERT_EQ(bird.blocks.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(bird.blocks[i].type, expected[i].type);
        EXPECT_EQ(bird.blocks[i].flags, expected[i].flags);
        EXPECT_EQ(bird.blocks[i].length, expected[i].length);
        EXPECT_EQ(bird.blocks[i].address, expected[i].address);
    }
    EXPECT_EQ(Bytes(bird.blocks[0].data + 4, bird.blocks[0].data + 9),
              (Bytes{0xDE, 0xAD, 0xBE, 0xEF, 0x01}));
    EXPECT_EQ(Bytes(bird.blocks[1].data + 4, bird.blocks[1].data + 260), patternBytes(256));
    EXPECT_EQ(bird.serialNumberOffset, 0x10FCu);
    EXPECT_EQ(bird.GetSerialNumber(), 0x1ABCDu);
    EXPECT_EQ(bird.GetVersion(), "2.12.0");
    EXPECT_TRUE(bird.ValidateModel("Tandril 8I8O"));

    ProcessResult shown = run({"show", out()});
    ASSERT_EQ(shown.status, 0) << shown.err;
    for (const char* part : {"version 0102", "7 blocks", "firmware", "0x00001000 (256 image bytes)",
                             "word 0x000010FC, text 0x00001010", "model [Tandril 8I8O    ]",
                             "0x20000400"})
        EXPECT_NE(shown.out.find(part), std::string::npos) << part << " in\n" << shown.out;
}

TEST_F(BirdtoolTest, ScrambledFirmwareDecodesWithTheSameFingerprint) {
    ProcessResult made = run({"make", "-o", out(), "--firmware", "0x1000:@100", "--firmware",
                              "0x2000:@40", "--scramble", "0xA1B2C3D4,1,0x89ABCDEF,0"});
    ASSERT_EQ(made.status, 0) << made.err;
    BirdFile bird(out().c_str());
    EXPECT_NE(Bytes(bird.blocks[0].data + 4, bird.blocks[0].data + 104), patternBytes(100));
    const unsigned key[4] = {0xA1B2C3D4, 1, 0x89ABCDEF, 0};
    bird.DecodeFirmwareBlocks(key);
    EXPECT_EQ(Bytes(bird.blocks[0].data + 4, bird.blocks[0].data + 104), patternBytes(100));
    EXPECT_EQ(Bytes(bird.blocks[1].data + 4, bird.blocks[1].data + 44), patternBytes(40));
}

TEST_F(BirdtoolTest, BadRequestsFailWithAReasonAndWriteNothing) {
    struct Case {
        std::vector<std::string> args;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {{"make", "-o", out(), "--firmware", "0x1000"}, "wants A:B"},
        {{"make", "-o", out(), "--firmware", "zz:@4"}, "invalid address \"zz\""},
        {{"make", "-o", out(), "--firmware", "0x100000000:@4"}, "invalid address"},
        {{"make", "-o", out(), "--firmware", "0x1000:/no/such/file"}, "cannot read /no/such/file"},
        {{"make", "-o", out(), "--info", "1,2,3"}, "BUILD,VERSION,SERIAL,MODEL"},
        {{"make", "-o", out(), "--info", "1,2,3,A model name too long"}, "longer than 16"},
        {{"make", "-o", out(), "--flags", "8", "--firmware", "0:@1"}, "invalid flags"},
        {{"make", "-o", out(), "--block", "32:@1"}, "invalid block type"},
        {{"make", "-o", out(), "--scramble", "1,2,3"}, "four words"},
        {{"make", "-o", out()}, "at least one block"},
        {{"make", "--firmware", "0:@1"}, "needs -o FILE"},
        {{"make", "-o", out(), "--frobnicate", "1"}, "unknown option --frobnicate"},
        {{"make", "-o"}, "needs a value"},
        {{"show", out()}, "Failed to load bird data"},
        {{"show"}, "needs a file"},
        {{"paint"}, "unknown command paint"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        ProcessResult result = run(c.args);
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find(c.reason), std::string::npos) << result.err;
        EXPECT_FALSE(std::filesystem::exists(out()));
    }
}

TEST_F(BirdtoolTest, ShowWarnsAboutAHeaderTheStoreWouldRefuse) {
    writeBytes(out(), BirdWriter().firmware(0, Bytes(4)).file(0x0100));
    ProcessResult shown = run({"show", out()});
    EXPECT_EQ(shown.status, 0);
    EXPECT_NE(shown.out.find("warning"), std::string::npos) << shown.out;

    ProcessResult verbose = run({"show", "-v", out()});
    EXPECT_NE(verbose.err.find("BIRDFILE:\t\t File reports 1 blocks"), std::string::npos)
        << verbose.err;
}

} // namespace

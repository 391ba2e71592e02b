#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "StoreTestSupport.h"
#include "store/BirdFile.h"

using namespace tandril::birdtool;
using tandril::test::LogCapture;
using tandril::test::putFile;
using tandril::test::TempDir;

namespace {

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes word(uint32_t value) {
    Bytes out;
    putWord(out, value);
    return out;
}

// One block as it sits in an image, with a length field that need not be honest.
Bytes rawBlock(uint8_t typeAndFlags, uint32_t claimedLength, const Bytes& data) {
    return Bytes{typeAndFlags} + word(claimedLength) + data;
}

// A block whose data is `size` bytes of zeros, honestly declared.
Bytes plainBlock(uint8_t type, size_t size) {
    return rawBlock(type, static_cast<uint32_t>(size), Bytes(size, 0));
}

class BirdFileTest : public ::testing::Test {
protected:
    std::string put(const Bytes& bytes) { return putFile(dir, "test.bird", bytes); }
    BirdFile load(const Bytes& bytes) { return BirdFile(put(bytes).c_str()); }

    // Loads `bytes` and expects every block to lie inside the image.
    BirdFile loadInBounds(const Bytes& bytes) {
        BirdFile bird = load(bytes);
        for (const BirdBlock& block : bird.blocks) {
            EXPECT_GE(block.data, bird.image.get());
            EXPECT_LE(block.data + block.length, bird.image.get() + bird.imageSize);
        }
        return bird;
    }

    TempDir dir;
};

TEST_F(BirdFileTest, WellFormedFileLoadsEveryBlockInFileOrder) {
    BirdWriter writer;
    writer.loader(0x10000000, patternBytes(40, 7))
        .firmware(0x1000, patternBytes(256, 8))
        .firmware(0x8000, patternBytes(100, 9), 5)
        .info("12345", "2.12.0", "0001ABCD", "Tandril 8I8O")
        .serialOffsets(0x10FC, 0x1010)
        .startAddress(0x20000400)
        .raw(3, {1, 2, 3}, 7)
        .raw(31, {});
    Bytes image = writer.image();
    LogCapture log(DEBUG_BirdFile);
    BirdFile bird = load(writer.file());
    for (const char* line : {"BIRDFILE:\t\t File reports 8 blocks\n",
                             "BIRDFILE: \t\tType Flags Length\n", "BIRDFILE:\t\t 01   05   104\n",
                             "BIRDFILE:\t\t \t[Tandril 8I8O    ]\n", "BIRDFILE:\t\t 1F   00   0\n",
                             "BIRDFILE: Offsets: Serial number: 4348, Descriptor: 4112\n"})
        EXPECT_NE(log.text().find(line), std::string::npos) << line << " in\n" << log.text();
    EXPECT_EQ(log.text().find("mismatch"), std::string::npos) << log.text();

    EXPECT_EQ(bird.signature, BirdFile::BIRD_FILE_SIGNATURE);
    EXPECT_EQ(bird.version, BirdFile::BIRD_FILE_VERSION);
    ASSERT_EQ(bird.imageSize, image.size());
    EXPECT_EQ(0, std::memcmp(bird.image.get(), image.data(), image.size()));
    uint32_t checksum = (uint32_t(image[image.size() - 4]) << 24) |
                        (uint32_t(image[image.size() - 3]) << 16) |
                        (uint32_t(image[image.size() - 2]) << 8) | image[image.size() - 1];
    EXPECT_EQ(bird.fileChecksum, checksum);

    struct Expected {
        uint8_t type, flags;
        uint32_t length, address;
    };
    const std::vector<Expected> expected = {
        {0, 0, 44, 0x10000000}, {1, 0, 260, 0x1000}, {1, 5, 104, 0x8000}, {4, 0, 64, 0},
        {2, 0, 8, 0},           {5, 0, 4, 0},        {3, 7, 3, 0},        {31, 0, 0, 0},
    };
    ASSERT_EQ(bird.blockCount, expected.size());
    ASSERT_EQ(bird.blocks.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("block " + std::to_string(i));
        const BirdBlock& block = bird.blocks[i];
        EXPECT_EQ(block.type, expected[i].type);
        EXPECT_EQ(block.flags, expected[i].flags);
        EXPECT_EQ(block.length, expected[i].length);
        EXPECT_EQ(block.address, expected[i].address);
        const Bytes& data = writer.blocks()[i].data;
        EXPECT_EQ(Bytes(block.data, block.data + block.length), data);
    }

    std::vector<BirdBlock> firmware = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    ASSERT_EQ(firmware.size(), 2u);
    EXPECT_EQ(firmware[0].address, 0x1000u);
    EXPECT_EQ(firmware[1].address, 0x8000u);
    EXPECT_EQ(firmware[1].data, bird.blocks[2].data);
    EXPECT_EQ(bird.FindBlocks(BirdFile::BLOCK_LOADER).size(), 1u);
    EXPECT_TRUE(bird.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(30)).empty());

    EXPECT_TRUE(bird.hasSerialOffsets);
    EXPECT_EQ(bird.serialNumberOffset, 0x10FCu);
    EXPECT_EQ(bird.descriptorOffset, 0x1010u);
    EXPECT_EQ(bird.GetSerialNumber(), 0x1ABCDu);
    EXPECT_TRUE(bird.ValidateSerialNumber(0x1ABCD));
    EXPECT_FALSE(bird.ValidateSerialNumber(0x1ABCE));
    EXPECT_EQ(bird.GetVersion(), "2.12.0");
    EXPECT_TRUE(bird.ValidateModel("Tandril 8I8O"));
}

TEST_F(BirdFileTest, FileWithoutSerialOffsetsHasNone) {
    BirdFile bird = load(BirdWriter().firmware(0x1000, patternBytes(16)).file());
    EXPECT_FALSE(bird.hasSerialOffsets);
    EXPECT_EQ(bird.serialNumberOffset, 0u);
    EXPECT_EQ(bird.descriptorOffset, 0u);
    EXPECT_FALSE(bird.ReplaceSerialNumber(0x1A2B));
}

TEST_F(BirdFileTest, UnloadableFilesThrowAndSayWhy) {
    Bytes valid = BirdWriter().firmware(0x1000, patternBytes(300)).file();
    Bytes truncated(valid.begin(), valid.end() - 10);
    Bytes badAdler = valid;
    badAdler.back() ^= 0xFF;
    struct Case {
        const char* name;
        Bytes file;
        const char* log;
    };
    const std::vector<Case> cases = {
        {"empty file", {}, "fewer than a bird header"},
        {"five bytes", text("bird\x01"), "fewer than a bird header"},
        {"header and nothing to inflate", text("bird\x01\x01"), "decompressing bird file"},
        {"body that is not zlib", text("bird\x01\x01") + text("plainly not deflated data"),
         "decompressing bird file"},
        {"truncated zlib stream", truncated, "decompressing bird file"},
        {"zlib stream with a bad check value", badAdler, "decompressing bird file"},
        {"loader block without a full address", BirdWriter().raw(0, Bytes(3)).file(),
         "fewer than the 4 of its layout"},
        {"firmware block without a full address", BirdWriter().raw(1, Bytes(3)).file(),
         "fewer than the 4 of its layout"},
        {"short start-address block", BirdWriter().raw(5, Bytes(3)).file(),
         "fewer than the 4 of its layout"},
        {"short serial-offsets block", BirdWriter().raw(2, Bytes(7)).file(),
         "fewer than the 8 of its layout"},
        {"short information block", BirdWriter().raw(4, Bytes(63)).file(),
         "fewer than the 64 of its layout"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log(DEBUG_BirdFile);
        std::string path = put(c.file);
        try {
            BirdFile bird(path.c_str());
            ADD_FAILURE() << "loaded";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Failed to load bird data");
        }
        EXPECT_TRUE(log.contains(c.log)) << log.text();
    }
}

TEST_F(BirdFileTest, MissingFileOrDirectoryIsNotFound) {
    for (const std::string& path : {dir.str() + "/absent.bird", dir.str()}) {
        LogCapture log(DEBUG_BirdFile);
        EXPECT_THROW(BirdFile(path.c_str()), std::runtime_error);
        EXPECT_TRUE(log.contains("BIRDFILE: BIRD file not found [" + path + "]")) << log.text();
    }
}

TEST_F(BirdFileTest, ImagesThatDoNotAddUpLoadWithTheBlocksFound) {
    const Bytes block = plainBlock(9, 6);
    const Bytes checksum = word(0x01FFFFFF); // as a block header: type 1, length past any end
    struct Case {
        const char* name;
        Bytes image;
        uint32_t blocks;
        const char* log;
    };
    const std::vector<Case> cases = {
        {"more blocks claimed than present", word(5) + block + block + checksum, 2,
         "mismatch in number of blocks. (2 != 5)"},
        {"fewer blocks claimed than present", word(1) + block + block + checksum, 2,
         "mismatch in number of blocks. (2 != 1)"},
        {"block running past the end", word(2) + block + rawBlock(9, 1000, Bytes(10)), 1,
         "mismatch in data size"},
        {"block length near 4 GiB", word(2) + block + rawBlock(9, 0xFFFFFFFF, Bytes(10)), 1,
         "mismatch in data size"},
        {"no checksum after the last block", word(1) + block, 1,
         "mismatch in data size. (-4 bytes remaining)"},
        {"bytes after the checksum", word(1) + block + checksum + Bytes{1, 2, 3}, 1,
         "mismatch in data size"},
        {"image too short for a block count", Bytes{0, 0}, 0, "mismatch in data size"},
        {"empty image", {}, 0, "mismatch in data size"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log(DEBUG_BirdFile);
        BirdFile bird = loadInBounds(packFile(c.image));
        EXPECT_EQ(bird.blockCount, c.blocks);
        EXPECT_EQ(bird.blocks.size(), c.blocks);
        EXPECT_TRUE(log.contains(c.log)) << log.text();
    }
}

// A file whose image is `extra` bytes longer than 8 times its compressed body. Zeros
// hardly add to the compressed size, so growing them walks the image size onto the mark;
// when the compressed size flickers around it, a slightly different head is tried.
Bytes fileAroundCapacity(int extra) {
    for (size_t headSize = 700; headSize < 800; ++headSize) {
        const Bytes head = patternBytes(headSize, 3);
        int64_t zeros = 0;
        for (int attempt = 0; attempt < 20; ++attempt) {
            Bytes data = head;
            data.resize(head.size() + zeros, 0);
            BirdWriter writer;
            writer.firmware(0x1000, data);
            Bytes file = writer.file();
            int64_t body = static_cast<int64_t>(file.size()) - 6;
            int64_t missing = 8 * body + extra - static_cast<int64_t>(writer.image().size());
            if (missing == 0)
                return file;
            zeros += missing;
            if (zeros < 0)
                break;
        }
    }
    ADD_FAILURE() << "no file of that ratio found";
    return {};
}

TEST_F(BirdFileTest, ImageMayFillEightTimesTheCompressedSizeButNoMore) {
    BirdFile bird = load(fileAroundCapacity(0));
    EXPECT_EQ(bird.imageSize, 8 * (std::filesystem::file_size(dir.path() / "test.bird") - 6));
    EXPECT_EQ(bird.blockCount, 1u);

    LogCapture log(DEBUG_BirdFile);
    EXPECT_THROW(load(fileAroundCapacity(1)), std::runtime_error);
    EXPECT_TRUE(log.contains("BIRDFILE: Error (-5) decompressing bird file.")) << log.text();
}

TEST_F(BirdFileTest, SerialNumberGoesOnlyWhereAWholeFieldFitsAFirmwareImage) {
    struct Case {
        const char* name;
        uint32_t blockAddress, wordAt, textAt;
        bool result;
        int wordIndex, textIndex; // image index written, -1 for none
    };
    const std::vector<Case> cases = {
        {"word in the last four bytes", 0x1000, 0x10FC, 0, true, 0xFC, -1},
        {"word one byte further", 0x1000, 0x10FD, 0, false, -1, -1},
        {"word at the first byte", 0x1000, 0x1000, 0, true, 0, -1},
        {"word before the image", 0x1000, 0x0FFE, 0, false, -1, -1},
        {"text in the last sixteen bytes", 0x1000, 0, 0x10F0, true, -1, 0xF0},
        {"text one byte further", 0x1000, 0, 0x10F1, false, -1, -1},
        {"word and text", 0x1000, 0x1080, 0x1010, true, 0x80, 0x10},
        {"text outside although the word fits", 0x1000, 0x1080, 0x2000, false, 0x80, -1},
        {"no offsets at all", 0x1000, 0, 0, false, -1, -1},
        {"word at the top of the address space", 0xFFFFFF00, 0xFFFFFFFC, 0, true, 0xFC, -1},
        {"word wrapping past 4 GiB", 0xFFFFFF00, 0xFFFFFFFD, 0, false, -1, -1},
        {"text at the top of the address space", 0xFFFFFF00, 0, 0xFFFFFFF0, true, -1, 0xF0},
        {"text wrapping past 4 GiB", 0xFFFFFF00, 0, 0xFFFFFFF1, false, -1, -1},
    };
    const Bytes original = patternBytes(256, 11);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BirdFile bird = load(BirdWriter()
                                 .firmware(c.blockAddress, original)
                                 .serialOffsets(c.wordAt, c.textAt)
                                 .file());
        EXPECT_EQ(bird.ReplaceSerialNumber(0x1A2B), c.result);

        Bytes expected = original;
        if (c.wordIndex >= 0)
            for (int i = 0; i < 4; ++i)
                expected[c.wordIndex + i] = Bytes{0x2B, 0x1A, 0x00, 0x00}[i];
        if (c.textIndex >= 0)
            for (int i = 0; i < 8; ++i)
                expected[c.textIndex + 2 * i] = static_cast<uint8_t>("00001A2B"[i]);
        const BirdBlock& block = bird.blocks[0];
        EXPECT_EQ(Bytes(block.data + 4, block.data + block.length), expected);
    }
}

TEST_F(BirdFileTest, ReplacingTheSerialNumberLogsTheOldWordAndSparesLoaders) {
    Bytes image = patternBytes(64, 5);
    image[0x20] = 0x78, image[0x21] = 0x56, image[0x22] = 0x34, image[0x23] = 0x12;
    BirdFile bird = load(BirdWriter()
                             .loader(0x1000, image)
                             .firmware(0x1000, image)
                             .serialOffsets(0x1020, 0)
                             .file());
    LogCapture log(DEBUG_BirdFile);
    EXPECT_TRUE(bird.ReplaceSerialNumber(0x1A2B));
    EXPECT_TRUE(log.contains("BIRDFILE: updating serial number from 12345678 ==> 00001A2B"))
        << log.text();
    EXPECT_EQ(Bytes(bird.blocks[0].data + 4, bird.blocks[0].data + 68), image);
    EXPECT_EQ(Bytes(bird.blocks[1].data + 0x24, bird.blocks[1].data + 0x28),
              (Bytes{0x2B, 0x1A, 0x00, 0x00}));
}

TEST_F(BirdFileTest, DecodingFollowsTheKeyStreamAndThePreviousPlainByte) {
    // Worked by hand: plain = scrambled ^ K[i] ^ previous plain.
    const unsigned key[4] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};
    BirdFile bird = load(BirdWriter().raw(1, word(0x1000) + Bytes{0x11, 0x22, 0x33}).file());
    EXPECT_TRUE(bird.DecodeFirmwareBlocks(key));
    EXPECT_EQ(Bytes(bird.blocks[0].data, bird.blocks[0].data + 7),
              (Bytes{0x00, 0x00, 0x10, 0x00, 0x10, 0x30, 0x00}));
}

TEST_F(BirdFileTest, DecodingRestartsForEachFirmwareBlockAndSparesTheOthers) {
    const Fingerprint key = {0xA1B2C3D4, 0x01234567, 0x89ABCDEF, 0x0F1E2D3C};
    const Bytes first = patternBytes(100, 21), second = patternBytes(37, 22);
    const Bytes loader = patternBytes(50, 23);
    BirdWriter writer;
    writer.loader(0x100, loader)
        .firmware(0x1000, first)
        .info("1", "1.0", "00000001", "M")
        .firmware(0x2000, second)
        .scramble(key);
    BirdFile bird = load(writer.file());
    const BirdBlock& secondBlock = bird.blocks[3];
    // The second image's first byte depends on K[0] alone, not on the first image.
    EXPECT_EQ(secondBlock.data[4] ^ 0xA1, second[0]);

    EXPECT_TRUE(bird.DecodeFirmwareBlocks(key.data()));
    EXPECT_EQ(Bytes(bird.blocks[0].data + 4, bird.blocks[0].data + bird.blocks[0].length), loader);
    EXPECT_EQ(Bytes(bird.blocks[1].data + 4, bird.blocks[1].data + bird.blocks[1].length), first);
    EXPECT_EQ(Bytes(secondBlock.data + 4, secondBlock.data + secondBlock.length), second);
    EXPECT_EQ(bird.GetVersion(), "1.0");
    EXPECT_EQ(bird.blocks[1].address, 0x1000u);
}

TEST_F(BirdFileTest, ModelMatchesOnTheLengthOfTheGivenName) {
    struct Case {
        const char* field;
        const char* model;
        bool matches;
    };
    const std::vector<Case> cases = {
        {"ABCD", "ABCD", true},
        {"ABCD", "ABC", true},
        {"ABCD", "ABCDE", false},
        {"ABCD", "", true},
        {"ABCD", "abcd", false},
        {"ABCD", "ABCD ", false},
        {"Tandril 8I8O", "Tandril 8I8O", true},
        {"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP", true},
        {"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOPQ", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.field) + " / " + c.model);
        BirdFile bird = load(BirdWriter().info("1", "1", "00000001", c.field).file());
        EXPECT_EQ(bird.ValidateModel(c.model), c.matches);
    }
}

TEST_F(BirdFileTest, InformationFieldsAreReadWithinTheirWidth) {
    struct Case {
        const char* serial;
        unsigned number;
        const char* version;
        const char* versionText;
    };
    const std::vector<Case> cases = {
        {"0001ABCD", 0x1ABCD, "2.12.0", "2.12.0"},
        {"FFFFFFFF", 0xFFFFFFFF, "2.12 beta", "2.12"},
        {"1A2B", 0x1A2B, "1234567890ABCDEF", "1234567890ABCDE"},
        {"0001ABCD99999999", 0x1ABCD, "", ""},
        {"ZZZZZZZZ", 0, " leading", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.serial);
        BirdFile bird = load(BirdWriter().info("1", c.version, c.serial, "M").file());
        EXPECT_EQ(bird.GetSerialNumber(), c.number);
        EXPECT_EQ(bird.GetVersion(), c.versionText);
    }
}

TEST_F(BirdFileTest, WithoutInformationBlockNothingMatches) {
    BirdFile bird = load(BirdWriter().firmware(0x1000, Bytes(8)).file());
    EXPECT_EQ(bird.GetSerialNumber(), 0u);
    EXPECT_EQ(bird.GetVersion(), "");
    EXPECT_FALSE(bird.ValidateModel(""));
}

TEST_F(BirdFileTest, VerifyFileChecksOnlyTheHeader) {
    struct Case {
        const char* name;
        Bytes file;
        bool passes;
    };
    const std::vector<Case> cases = {
        {"signature and version", text("bird\x01\x01"), true},
        {"any nonzero version", text("bird\x02\xFF") + text("not even zlib"), true},
        {"low version byte zero", text("bird\x01") + Bytes{0}, false},
        {"high version byte zero", text("bird") + Bytes{0, 1}, false},
        {"other signature", text("BIRD\x01\x01"), false},
        {"five bytes", text("bird\x01"), false},
        {"empty", {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(BirdFile::VerifyFile(put(c.file).c_str()), c.passes);
    }
    LogCapture log(DEBUG_BirdFile);
    std::string absent = dir.str() + "/absent.bird";
    EXPECT_FALSE(BirdFile::VerifyFile(absent.c_str()));
    EXPECT_TRUE(log.contains("BIRDFILE: Error - cannot open bird file: '" + absent + "'"));
}

TEST_F(BirdFileTest, MovingTransfersTheImageAndEmptiesTheSource) {
    static_assert(!std::is_copy_constructible_v<BirdFile>);
    static_assert(!std::is_copy_assignable_v<BirdFile>);
    BirdFile source = load(BirdWriter()
                               .firmware(0x1000, patternBytes(32))
                               .info("7", "3.1", "0000BEEF", "M")
                               .serialOffsets(0x1004, 0)
                               .file());
    const unsigned char* data = source.blocks[0].data;
    BirdFile target;
    target = std::move(source);
    EXPECT_EQ(target.blocks[0].data, data);
    EXPECT_EQ(target.GetSerialNumber(), 0xBEEFu);
    EXPECT_TRUE(target.hasSerialOffsets);
    EXPECT_EQ(target.serialNumberOffset, 0x1004u);
    EXPECT_TRUE(target.ReplaceSerialNumber(0x1A2B));

    BirdFile constructed(std::move(target));
    EXPECT_EQ(constructed.blockCount, 3u);
    EXPECT_EQ(constructed.GetVersion(), "3.1");

    for (const BirdFile* empty : {&source, &target}) {
        EXPECT_TRUE(empty->path.empty());
        EXPECT_EQ(empty->blockCount, 0u);
        EXPECT_TRUE(empty->blocks.empty());
        EXPECT_EQ(empty->imageSize, 0u);
        EXPECT_FALSE(empty->hasSerialOffsets);
        EXPECT_EQ(empty->GetSerialNumber(), 0u);
    }
}

} // namespace

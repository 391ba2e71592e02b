#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Tandril2/common/vVersion.h"

namespace {

struct PackCase {
    uint8_t major, minor, patch;
    uint32_t word;
    bool legacy;
};

TEST(vVersion, PackingChoosesTheLayoutAndUnpacksToItsInputs) {
    const PackCase cases[] = {
        {0, 0, 0, 0x00000000, true},
        {1, 3, 255, 0x130000FF, true},
        {1, 15, 0, 0x1F000000, true},
        {2, 0, 7, 0x20000007, true},
        {2, 14, 3, 0x2E000003, true},  // last legacy version
        {2, 15, 3, 0x2F020F03, false}, // first current one
        {2, 255, 255, 0x2F02FFFF, false},
        {3, 0, 0, 0x2F030000, false},
        {255, 255, 255, 0x2FFFFFFF, false},
        // A minor above 15 does not fit four bits; cutting it would give another version.
        {1, 16, 2, 0x2F011002, false},
        {0, 200, 0, 0x2F00C800, false},
    };
    for (const PackCase& c : cases) {
        SCOPED_TRACE(testing::Message() << int{c.major} << "." << int{c.minor} << "." << int{c.patch});
        const uint32_t word = vVersion_Pack(c.major, c.minor, c.patch);
        EXPECT_EQ(word, c.word) << std::hex << word;
        EXPECT_EQ(vVersion_IsLegacyFormat(word), c.legacy);
        EXPECT_EQ(vVersion_ParseMajor(word), c.major);
        EXPECT_EQ(vVersion_ParseMinor(word), c.minor);
        EXPECT_EQ(vVersion_ParsePatch(word), c.patch);
    }
}

TEST(vVersion, WordsReportedByModulesAreSplitByTheirLayout) {
    struct Case {
        uint32_t word;
        bool legacy;
        uint32_t major, minor, patch;
        const char* text;
    } cases[] = {
        {0x13000123, true, 1, 3, 0x123, "1.3.291"},       // legacy patch has 24 bits
        {0x2EFFFFFF, true, 2, 14, 0xFFFFFF, "2.14.16777215"},
        {0x2F020F03, false, 2, 15, 3, "2.15.3"},
        {0x2F000000, false, 0, 0, 0, "0.0.0"},
        {0x30010203, false, 1, 2, 3, "1.2.3"},             // top bits above 2: current
        {0xFFFFFFFF, false, 255, 255, 255, "255.255.255"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.word);
        EXPECT_EQ(vVersion_IsLegacyFormat(c.word), c.legacy);
        EXPECT_EQ(vVersion_ParseMajor(c.word), c.major);
        EXPECT_EQ(vVersion_ParseMinor(c.word), c.minor);
        EXPECT_EQ(vVersion_ParsePatch(c.word), c.patch);
        char text[32];
        EXPECT_EQ(vVersion_ParseString(c.word, text, sizeof text), static_cast<int>(strlen(c.text)));
        EXPECT_STREQ(text, c.text);
    }
}

TEST(vVersion, ParseStringBehavesLikeSnprintf) {
    const uint32_t word = vVersion_Pack(2, 15, 3);
    char small[4];
    EXPECT_EQ(vVersion_ParseString(word, small, sizeof small), 6) << "full length reported";
    EXPECT_STREQ(small, "2.1");
    EXPECT_EQ(vVersion_ParseString(word, nullptr, 0), 6);
    EXPECT_LT(vVersion_ParseString(word, nullptr, 8), 0);
}

TEST(vVersion, ComparisonGoesMajorThenMinorThenPatch) {
    struct Case {
        uint8_t a[3], b[3];
        bool atLeast;
    } cases[] = {
        {{2, 12, 0}, {2, 12, 0}, true},
        {{2, 12, 0}, {2, 12, 1}, false},
        {{2, 12, 1}, {2, 12, 0}, true},
        {{2, 12, 0}, {2, 13, 0}, false},
        {{2, 13, 0}, {2, 12, 255}, true},
        {{3, 0, 0}, {2, 255, 255}, true},
        {{2, 255, 255}, {3, 0, 0}, false},
        {{0, 0, 0}, {0, 0, 0}, true},
        {{255, 255, 255}, {255, 255, 255}, true},
        {{255, 255, 254}, {255, 255, 255}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << int{c.a[0]} << "." << int{c.a[1]} << "." << int{c.a[2]}
                                        << " vs " << int{c.b[0]} << "." << int{c.b[1]} << "."
                                        << int{c.b[2]});
        EXPECT_EQ(vVersion_IsAtLeastCompare(c.a[0], c.a[1], c.a[2], c.b[0], c.b[1], c.b[2]), c.atLeast);
    }
}

TEST(vVersion, TheLibrarysOwnVersion) {
    EXPECT_EQ(vVersion_GetMajor(), 2);
    EXPECT_EQ(vVersion_GetMinor(), 12);
    EXPECT_EQ(vVersion_GetPatch(), 0);
    EXPECT_STREQ(vVersion_GetString(), "2.12.0");
    EXPECT_EQ(vVersion_GetString(), vVersion_GetString()) << "built once";
    EXPECT_TRUE(vVersion_IsAtLeast(2, 12, 0));
    EXPECT_TRUE(vVersion_IsAtLeast(2, 11, 255));
    EXPECT_FALSE(vVersion_IsAtLeast(2, 12, 1));
    EXPECT_FALSE(vVersion_IsAtLeast(3, 0, 0));
}

TEST(vVersion, FeatureTable) {
    EXPECT_TRUE(vVersion_HasFeature("VERSION"));
    EXPECT_FALSE(vVersion_HasFeature("version"));
    EXPECT_FALSE(vVersion_HasFeature("VERSIONS"));
    EXPECT_FALSE(vVersion_HasFeature(""));
    EXPECT_FALSE(vVersion_HasFeature(nullptr));

    char* list = vVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    vVersion_DestroyFeatureList(&list);
    EXPECT_EQ(list, nullptr);
    vVersion_DestroyFeatureList(&list);
    vVersion_DestroyFeatureList(nullptr);
}

} // namespace

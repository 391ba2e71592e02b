#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "StoreTestSupport.h"
#include "store/KeyValueStore.h"

using namespace tandril::test;

namespace {

using Map = std::map<std::string, std::string>;

const std::regex kStamp("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}");

class KeyValueStoreTest : public ::testing::Test {
protected:
    std::string file(const char* name = ".settings") const { return dir.str() + "/" + name; }
    TempDir dir;
};

TEST_F(KeyValueStoreTest, MissingFileIsCreatedWithBothTimeStamps) {
    KeyValueStore store(file().c_str());
    EXPECT_FALSE(store.IsModified());
    EXPECT_EQ(store.Path(), file());
    std::smatch match;
    std::string text = readText(file());
    ASSERT_TRUE(std::regex_match(text, match, std::regex("CREATED_TIME=(.*)\nUPDATED_TIME=(.*)\n")))
        << text;
    EXPECT_TRUE(std::regex_match(match[1].str(), kStamp)) << match[1];
    EXPECT_TRUE(std::regex_match(match[2].str(), kStamp)) << match[2];
    EXPECT_EQ(store.GetString("CREATED_TIME", nullptr), match[1].str());
}

TEST_F(KeyValueStoreTest, LinesAreParsedAndBadOnesSkippedWithoutLosingTheRest) {
    struct Case {
        const char* name;
        std::string text;
        Map values;
    };
    const std::string longValue = std::string(3000, 'y') + "=tail"; // the tail looks like a line
    const std::string fullValue(2044, 'v'); // "k=" + value + "\n" fills the line buffer
    const std::vector<Case> cases = {
        {"spaces around key and value", "  NAME = a = b  \n", {{"NAME", "a = b"}}},
        {"tabs and inner spaces", "\tk\t=\tv w\t\n", {{"k", "v w"}}},
        {"comment", "#comment=1\nk=v\n", {{"k", "v"}}},
        {"hash after a space is a key", " #key=1\n", {{"#key", "1"}}},
        {"three characters give an empty value", "a=\n", {{"a", ""}}},
        {"two characters are ignored", "a\n=\n", {}},
        {"empty key", "=v\n", {{"", "v"}}},
        {"only spaces around the sign", "  =  \n", {{"", ""}}},
        {"carriage return", "k=v\r\n", {{"k", "v"}}},
        {"later line wins", "k=1\nk=2\n", {{"k", "2"}}},
        {"last line without newline", "a=1\nk=v", {{"a", "1"}, {"k", "v"}}},
        {"line without a sign", "a=1\nnothing here\nb=2\n", {{"a", "1"}, {"b", "2"}}},
        {"overlong line", "a=1\nx=" + longValue + "\nb=2\n", {{"a", "1"}, {"b", "2"}}},
        {"line that just fits", "k=" + fullValue + "\nb=2\n", {{"k", fullValue}, {"b", "2"}}},
        {"empty lines", "\n\na=1\n\n", {{"a", "1"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeText(file(), c.text);
        KeyValueStore store(file().c_str());
        EXPECT_EQ(store.Values(), c.values);
        EXPECT_FALSE(store.IsModified());
    }
}

TEST_F(KeyValueStoreTest, LoadKeepsEntriesTheFileDoesNotReplace) {
    writeText(file(), "b=file\nc=3\n");
    KeyValueStore store;
    store.Add("a", "memory");
    store.Add("b", "memory");
    store.Load(file().c_str());
    EXPECT_EQ(store.Values(), (Map{{"a", "memory"}, {"b", "file"}, {"c", "3"}}));
}

TEST_F(KeyValueStoreTest, SaveWritesSortedLinesAndStampsOnlyChanges) {
    writeText(file(), "UPDATED_TIME=old\nz=1\n");
    KeyValueStore store(file().c_str());
    store.Save(nullptr);
    EXPECT_EQ(readText(file()), "UPDATED_TIME=old\nz=1\n");

    store.Add("b", "two words");
    store.Add("a", 1);
    EXPECT_TRUE(store.IsModified());
    store.Save(nullptr);
    EXPECT_FALSE(store.IsModified());
    std::smatch match;
    std::string text = readText(file());
    ASSERT_TRUE(std::regex_match(text, match,
                                 std::regex("UPDATED_TIME=(.*)\na=1\nb=two words\nz=1\n")))
        << text;
    EXPECT_TRUE(std::regex_match(match[1].str(), kStamp));

    KeyValueStore reread(file().c_str());
    EXPECT_EQ(reread.Values(), store.Values());
}

TEST_F(KeyValueStoreTest, TypedValuesRoundTripThroughTheirTextForms) {
    KeyValueStore store(file().c_str());
    store.Add("int", -5);
    store.AddHex("hex", 0xABCD);
    store.AddHex("top", 0xFFFFFFFF);
    store.Add("double", 1.5);
    store.Add("huge", 1e300);
    store.Add("true", 7);
    store.Add("false", 0);
    store.Add("file", std::string("12345.bird"));
    store.Save(nullptr);

    KeyValueStore reread(file().c_str());
    EXPECT_STREQ(reread["int"], "-5");
    EXPECT_STREQ(reread["hex"], "0x0000ABCD");
    EXPECT_STREQ(reread["double"], "1.500000");
    EXPECT_EQ(reread.GetInt("int", 0), -5);
    EXPECT_EQ(reread.GetHex("hex", 0), 0xABCDu);
    EXPECT_EQ(reread.GetHex("top", 0), 0xFFFFFFFFu);
    EXPECT_DOUBLE_EQ(reread.GetDouble("double", 0), 1.5);
    EXPECT_DOUBLE_EQ(reread.GetDouble("huge", 0), 1e300);
    EXPECT_TRUE(reread.GetBOOL("true", false));
    EXPECT_FALSE(reread.GetBOOL("false", true));
    EXPECT_EQ(reread.GetInt("file", 0), 12345);
    EXPECT_EQ(reread.GetString("file", "default"), "12345.bird");
}

TEST_F(KeyValueStoreTest, TypedGettersEnterAbsentKeysEmptyWithoutMarkingAChange) {
    KeyValueStore store(file().c_str());
    store.Add("empty", "");
    EXPECT_EQ(store.GetInt("empty", 9), 9);
    EXPECT_EQ(store.GetString("none", nullptr), "");
    EXPECT_EQ(store.GetString("none", "def"), "def");
    EXPECT_EQ(store["none"], nullptr);
    EXPECT_EQ(store.GetInt("count", 7), 7);
    EXPECT_EQ(store.GetHex("mask", 0x10), 0x10u);
    EXPECT_TRUE(store.GetBOOL("flag", true));
    EXPECT_DOUBLE_EQ(store.GetDouble("ratio", 2.5), 2.5);
    EXPECT_FALSE(store.IsModified());
    store.Save(nullptr);
    std::string text = readText(file());
    for (const char* line : {"\ncount=\n", "\nflag=\n", "\nmask=\n", "\nratio=\n", "\nempty=\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << " in " << text;
    EXPECT_EQ(text.find("none"), std::string::npos);
}

TEST_F(KeyValueStoreTest, OnlyChangedTextMarksTheStoreModified) {
    KeyValueStore store(file().c_str());
    EXPECT_TRUE(store.Add("k", "v"));
    EXPECT_TRUE(store.IsModified());
    store.Save(nullptr);
    store.Add("k", "v");
    store.Add("absent", "");
    EXPECT_FALSE(store.IsModified());

    KeyValueStore empty;
    store.Add(empty);
    EXPECT_FALSE(store.IsModified());
    KeyValueStore other;
    other.Add("k", "v");
    store.Add(other);
    EXPECT_TRUE(store.IsModified());

    store.Save(nullptr);
    store.Clear();
    EXPECT_TRUE(store.IsModified());
    EXPECT_TRUE(store.Values().empty());
}

TEST_F(KeyValueStoreTest, FailedSaveKeepsTheOldFileAndTheChanges) {
    writeText(file(), "a=1\n");
    KeyValueStore store(file().c_str());
    for (char key = 'b'; key <= 'k'; ++key) // ten lines of 1000 characters
        store.Add(std::string(1, key).c_str(), std::string(1000, key));
    {
        LogCapture log(DEBUG_Attributes);
        FileSizeLimit full(4096);
        store.Save(nullptr);
        EXPECT_TRUE(log.contains("Attibutes: Error - cannot write attributes file: '" + file()))
            << log.text();
    }
    EXPECT_EQ(readText(file()), "a=1\n");
    EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{".settings"});
    EXPECT_TRUE(store.IsModified());
    EXPECT_EQ(store.Values().at("a"), "1");

    store.Save(nullptr);
    EXPECT_FALSE(store.IsModified());
    EXPECT_TRUE(KeyValueStore(file().c_str()).Values() == store.Values());
}

TEST_F(KeyValueStoreTest, UnwritablePlaceIsReportedAndNothingIsCreated) {
    writeText(file("plain"), "not a directory\n");
    LogCapture log(DEBUG_Attributes);
    std::string inside = file("plain") + "/.settings";
    KeyValueStore store(inside.c_str());
    EXPECT_TRUE(log.contains("Attibutes: Error - cannot open attributes file: '" + inside))
        << log.text();
    EXPECT_TRUE(store.Values().empty());

    std::string missingDir = file("missing") + "/.settings";
    store.Add("k", "v");
    store.Save(missingDir.c_str());
    EXPECT_TRUE(log.contains("Attibutes: Error - cannot open attributes file for writting: '" +
                             missingDir))
        << log.text();
    EXPECT_TRUE(store.IsModified());
    EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{"plain"});
}

TEST_F(KeyValueStoreTest, SaveWithoutAnyPathUsesTheWorkingDirectory) {
    std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    KeyValueStore store;
    store.Add("k", "v");
    LogCapture log(DEBUG_Attributes);
    store.Save(nullptr);
    std::filesystem::current_path(previous);
    EXPECT_EQ(store.Path(), ".settings");
    EXPECT_TRUE(log.contains("using default:[.settings]")) << log.text();
    EXPECT_NE(readText(file()).find("k=v\n"), std::string::npos);
}

} // namespace

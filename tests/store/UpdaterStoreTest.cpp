#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "StoreTestSupport.h"
#include "store/UpdaterStore.h"

using namespace tandril::test;
using namespace tandril::birdtool;
namespace fs = std::filesystem;

namespace {

std::string whatOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

Bytes sampleBird(const std::string& version) {
    return BirdWriter()
        .loader(0x10000000, patternBytes(64, 1))
        .firmware(0x1000, patternBytes(512, 2))
        .info("12345", version, "0001ABCD", "Tandril 8I8O")
        .file();
}

class UpdaterStoreTest : public ::testing::Test {
protected:
    std::string root() const { return (dir.path() / "updater").string(); }
    std::string in(const std::string& relative) const { return root() + "/" + relative; }
    void makeDir(const std::string& relative) const { fs::create_directories(in(relative)); }

    TempDir dir;
};

TEST_F(UpdaterStoreTest, RootIsCreatedWithMissingParentsOrRefused) {
    std::string nested = (dir.path() / "a" / "b" / "updater").string();
    UpdaterStore created(nested.c_str());
    EXPECT_TRUE(fs::is_directory(nested));
    EXPECT_STREQ(created.BasePath(), nested.c_str());
    UpdaterStore again(nested.c_str());

    std::string file = (dir.path() / "plain").string();
    writeText(file, "x");
    EXPECT_EQ(whatOf([&] { UpdaterStore store(file.c_str()); }),
              "UpdaterStore: " + file + " exists and is a file");
    std::string underFile = file + "/updater";
    EXPECT_EQ(whatOf([&] { UpdaterStore store(underFile.c_str()); }).rfind(
                  "UpdaterStore: Could not create directory " + underFile + " error ", 0),
              0u);
}

TEST_F(UpdaterStoreTest, AddDeviceMakesAnEightDigitDirectoryWithSettings) {
    UpdaterStore store(root().c_str());
    UpdaterStoreItem item = store.AddDevice(0x1ABCD);
    EXPECT_EQ(item.path, root());
    EXPECT_EQ(item.name, "0001ABCD");
    EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
    EXPECT_TRUE(item.IsValid());
    EXPECT_EQ(entriesOf(in("0001ABCD")), std::vector<std::string>{".settings"});
    EXPECT_EQ(item.settings.Values().size(), 2u);
    EXPECT_NE(item.settings["CREATED_TIME"], nullptr);
    EXPECT_NE(item.settings["UPDATED_TIME"], nullptr);

    EXPECT_EQ(store.AddDevice(0x1).name, "00000001");
    EXPECT_TRUE(fs::is_directory(in("00000001")));

    // Adding a known module keeps what its settings hold.
    item.settings.Add("LATEST_DOWNLOAD", "100.bird");
    item.settings.Save(nullptr);
    EXPECT_STREQ(store.AddDevice(0x1ABCD).settings["LATEST_DOWNLOAD"], "100.bird");

    for (const char* bad : {"", ".", "..", "a/b", "../0001ABCD"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(store.AddDevice(bad), std::runtime_error);
    }
    EXPECT_EQ(entriesOf(root()), (std::vector<std::string>{"00000001", "0001ABCD"}));
}

TEST_F(UpdaterStoreTest, ItemsWithoutPathOrNameNameNothingAndTouchNothing) {
    UpdaterStoreItem item;
    EXPECT_FALSE(item.IsValid());
    EXPECT_EQ(item.kind, STORE_ITEM_NONE);
    EXPECT_TRUE(item.settings.Values().empty());

    // Joined, these would name "/.settings" and "/x/.settings".
    ASSERT_FALSE(fs::exists("/.settings")) << "left by an earlier failing run: remove it";
    for (auto [path, name] : {std::pair{"", ""}, std::pair{"", "x"}}) {
        UpdaterStoreItem empty(path, name, STORE_ITEM_DIRECTORY);
        EXPECT_FALSE(empty.IsValid());
        EXPECT_TRUE(empty.settings.Values().empty());
    }
    EXPECT_FALSE(fs::exists("/.settings"));
}

TEST_F(UpdaterStoreTest, FindDeviceMatchesTheEntryNameAnywhere) {
    UpdaterStore store(root().c_str());
    makeDir("0001ABCD");
    makeDir("X0002BEEFY");
    writeText(in("00030000.txt"), "note");
    writeText(in("0001ABCD/.settings"), "LATEST_DOWNLOAD=100.bird\n");

    struct Case {
        const char* text;
        bool found;
        const char* name;
        store_item_t kind;
    };
    const std::vector<Case> cases = {
        {"0001ABCD", true, "0001ABCD", STORE_ITEM_DIRECTORY},
        {"0002BEEF", true, "X0002BEEFY", STORE_ITEM_DIRECTORY},
        {"00030000", true, "00030000.txt", STORE_ITEM_FILE},
        {"00000004", false, "", STORE_ITEM_NONE},
        {".", true, "00030000.txt", STORE_ITEM_FILE}, // never "." itself
        {"..", false, "", STORE_ITEM_NONE},
        {"updater", false, "", STORE_ITEM_NONE}, // the root's own name is no match
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        UpdaterStoreItem item;
        EXPECT_EQ(store.FindDevice(c.text, &item), c.found);
        EXPECT_EQ(item.name, c.name);
        EXPECT_EQ(item.kind, c.kind);
        EXPECT_EQ(item.path, c.found ? root() : "");
        EXPECT_EQ(store.FindDevice(c.text, nullptr), c.found);
    }

    UpdaterStoreItem item;
    ASSERT_TRUE(store.FindDevice(0x1ABCD, &item));
    EXPECT_STREQ(item.settings["LATEST_DOWNLOAD"], "100.bird");
    EXPECT_TRUE(store.FindDevice(0x2BEEF, &item));
    EXPECT_EQ(item.name, "X0002BEEFY");
    EXPECT_EQ(item.settings["LATEST_DOWNLOAD"], nullptr);
}

TEST_F(UpdaterStoreTest, SerialDigitsInTheRootPathDoNotMatchOtherModules) {
    std::string benchRoot = (dir.path() / "0000DEAD-bench" / "updater").string();
    UpdaterStore store(benchRoot.c_str());
    store.AddDevice(0x1);
    store.AddDevice(0x2);

    UpdaterStoreItem item;
    EXPECT_FALSE(store.FindDevice(0xDEAD, &item));
    EXPECT_FALSE(item.IsValid());

    store.AddDevice(0xDEAD);
    ASSERT_TRUE(store.FindDevice(0xDEAD, &item));
    EXPECT_EQ(item.name, "0000DEAD");
    EXPECT_EQ(item.path, benchRoot);
}

TEST_F(UpdaterStoreTest, FindDeviceInAMissingRootFindsNothing) {
    UpdaterStore store(root().c_str());
    fs::remove(root());
    UpdaterStoreItem item;
    EXPECT_FALSE(store.FindDevice(0x1ABCD, &item));
    std::vector<UpdaterStoreItem> items;
    EXPECT_TRUE(store.FindLocalBuilds(0x1ABCD, items));
    EXPECT_TRUE(items.empty());
}

TEST_F(UpdaterStoreTest, LocalBuildsAreTheVisibleEntriesOfEachModule) {
    UpdaterStore store(root().c_str());
    UpdaterStoreItem first = store.AddDevice(0x1ABCD);
    UpdaterStoreItem second = store.AddDevice(0x2BEEF);
    ASSERT_EQ(first.WriteFile("100.bird", sampleBird("1.0").data(), sampleBird("1.0").size()),
              vErrNone);
    ASSERT_EQ(first.WriteFile("99.bird", sampleBird("0.9").data(), sampleBird("0.9").size()),
              vErrNone);
    writeText(in("0001ABCD/.hidden"), "x");
    makeDir("0001ABCD/notes");
    ASSERT_EQ(second.WriteFile("200.bird", sampleBird("2.0").data(), sampleBird("2.0").size()),
              vErrNone);

    struct Case {
        unsigned serial;
        std::set<std::pair<std::string, store_item_t>> entries;
        std::string dir;
    };
    const std::vector<Case> cases = {
        {0x1ABCD,
         {{"100.bird", STORE_ITEM_FILE}, {"99.bird", STORE_ITEM_FILE}, {"notes", STORE_ITEM_DIRECTORY}},
         in("0001ABCD")},
        {0x2BEEF, {{"200.bird", STORE_ITEM_FILE}}, in("0002BEEF")},
        {0x3, {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.serial);
        std::vector<UpdaterStoreItem> items(1); // what was there stays
        EXPECT_TRUE(store.FindLocalBuilds(c.serial, items));
        std::set<std::pair<std::string, store_item_t>> found;
        for (size_t i = 1; i < items.size(); ++i) {
            found.insert({items[i].name, items[i].kind});
            EXPECT_EQ(items[i].path, c.dir);
        }
        EXPECT_EQ(items.size(), 1 + c.entries.size());
        EXPECT_EQ(found, c.entries);
    }
    // Loading a file item's settings creates nothing beside or inside it.
    EXPECT_EQ(entriesOf(in("0001ABCD")),
              (std::vector<std::string>{".hidden", ".settings", "100.bird", "99.bird", "notes"}));
}

TEST_F(UpdaterStoreTest, WrittenFilesReadBackAsBirdFiles) {
    UpdaterStore store(root().c_str());
    UpdaterStoreItem item = store.AddDevice(0x1ABCD);
    Bytes older = sampleBird("1.0"), newer = sampleBird("1.1");
    ASSERT_EQ(item.WriteFile("12345.bird", older.data(), older.size()), vErrNone);
    ASSERT_EQ(item.WriteFile("12345.bird", newer.data(), newer.size()), vErrNone);
    EXPECT_EQ(readBytes(in("0001ABCD/12345.bird")), newer);
    EXPECT_EQ(entriesOf(in("0001ABCD")), (std::vector<std::string>{".settings", "12345.bird"}));

    BirdFile bird = item.ReadBirdFile("12345.bird");
    EXPECT_EQ(bird.GetVersion(), "1.1");
    EXPECT_EQ(bird.path, in("0001ABCD/12345.bird"));
    EXPECT_EQ(bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).size(), 1u);
}

TEST_F(UpdaterStoreTest, ReadBirdFileRefusesBadFiles) {
    UpdaterStore store(root().c_str());
    UpdaterStoreItem item = store.AddDevice(0x1ABCD);
    writeText(in("0001ABCD/header.bird"), "BIRD\x01\x01 wrong signature");
    writeText(in("0001ABCD/body.bird"), "bird\x01\x01 not deflated");
    struct Case {
        const char* file;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"absent.bird", "Invalid bird " + in("0001ABCD/absent.bird")},
        {"header.bird", "Invalid bird " + in("0001ABCD/header.bird")},
        {"body.bird", "Failed to load bird data"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        EXPECT_EQ(whatOf([&] { item.ReadBirdFile(c.file); }), c.message);
    }
}

TEST_F(UpdaterStoreTest, WriteFileStaysInsideTheItemAndNeverLeavesHalfAFile) {
    UpdaterStore store(root().c_str());
    UpdaterStoreItem item = store.AddDevice(0x1ABCD);
    Bytes bytes = sampleBird("1.0");
    ASSERT_EQ(item.WriteFile("1.bird", bytes.data(), bytes.size()), vErrNone);

    EXPECT_EQ(item.WriteFile("2.bird", nullptr, 10), vErrNotFound);
    for (const char* bad : {"", ".", "..", "../escape.bird", "sub/2.bird"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(item.WriteFile(bad, bytes.data(), bytes.size()), vErrParam);
    }
    EXPECT_EQ(entriesOf(root()), std::vector<std::string>{"0001ABCD"});

    Bytes big = patternBytes(64 * 1024);
    {
        FileSizeLimit full(16 * 1024);
        EXPECT_EQ(item.WriteFile("1.bird", big.data(), big.size()), vErrIO);
    }
    EXPECT_EQ(readBytes(in("0001ABCD/1.bird")), bytes);
    EXPECT_EQ(entriesOf(in("0001ABCD")), (std::vector<std::string>{".settings", "1.bird"}));

    fs::remove_all(in("0001ABCD"));
    EXPECT_EQ(item.WriteFile("1.bird", bytes.data(), bytes.size()), vErrNotFound);
}

} // namespace

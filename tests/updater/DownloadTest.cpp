// Firmware from the virtual update server into the store, and the build listings,
// driven through the Updater object with a recording display.
#include <gtest/gtest.h>

#include <filesystem>

#include "UpdaterHarness.h"
#include "updater/Updater.h"

namespace tandril::test {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kModule = 0x40F5849A;

class DownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        FirmwareSpec older;
        older.serial = kModule;
        older.build = 12;
        older.version = "2.1.0";
        FirmwareSpec newer = older;
        newer.build = 20000;
        newer.version = "2.10.0";
        newer.images = {birdtool::patternBytes(2000, 9)};
        newest = MakeBird(newer);
        catalogue.add({kModule, "TDM-2", {{12, {"2.1.0", MakeBird(older)}}, {20000, {"2.10.0", newest}}}});
        catalogue.start();
    }

    Updater updater(const std::string& url) {
        return Updater(url.c_str(), store.root().string().c_str(), display);
    }
    fs::path stored(uint32_t build) const {
        return store.device(kModule) / (std::to_string(build) + ".bird");
    }

    ServerCatalogue catalogue;
    StoreDir store;
    RecordingDisplay display;
    Bytes newest;
};

TEST_F(DownloadTest, LatestBuildIsStoredByteForByteAndRecorded) {
    Updater u = updater(catalogue.url);
    EXPECT_EQ(u.Download_Firmware(kModule, "", false, false), 20000u);

    EXPECT_EQ(ReadText(stored(20000)), std::string(newest.begin(), newest.end()));
    EXPECT_EQ(SettingOf(store.settings(kModule), "LATEST_DOWNLOAD"), "20000.bird");
    EXPECT_NE(SettingOf(store.settings(kModule), "LAST_DOWNLOAD_DATE"), "<absent>");
    EXPECT_NE(SettingOf(store.settings(kModule), "CREATED_TIME"), "<absent>");
    EXPECT_TRUE(display.shows("Retrieving build 20000")) << display.all();
    EXPECT_TRUE(display.shows("Validating build 20000 with server"));
    EXPECT_TRUE(display.shows("Build 20000 is valid"));
    EXPECT_GE(display.spinnerFrames, 1u);
    EXPECT_TRUE(display.errors.empty()) << display.all();
}

TEST_F(DownloadTest, BuildTextIsReadAsLeadingDigits) {
    struct Case {
        const char* text;
        uint32_t result;
        const char* error; // null: none
    } cases[] = {
        {"12x", 12, nullptr},
        {" 12", 12, nullptr},
        {"x12", 0, "Build number 'x12' must be an number"},
        {"-12", 0, "Build number '-12' must be an number"},
        {"123456789012345678901234", 0, "Build number '123456789012345678901234' must be an number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        display.lines.clear();
        display.errors.clear();
        Updater u = updater(catalogue.url);
        EXPECT_EQ(u.Download_Firmware(kModule, c.text, false, false), c.result);
        if (c.error != nullptr) {
            EXPECT_EQ(display.errors, std::vector<std::string>{c.error});
        } else {
            EXPECT_TRUE(display.errors.empty()) << display.all();
            EXPECT_TRUE(fs::exists(stored(c.result)));
        }
    }
}

TEST_F(DownloadTest, BuildTheServerDoesNotListIsRefusedUnlessOverridden) {
    Updater u = updater(catalogue.url);
    EXPECT_EQ(u.Download_Firmware(kModule, "777", false, false), 0u);
    EXPECT_EQ(display.errors, std::vector<std::string>{"No valid build 777"});
    EXPECT_EQ(catalogue.requestsOf("bird"), 0u);

    display.errors.clear();
    EXPECT_EQ(u.Download_Firmware(kModule, "777", true, false), 0u);
    EXPECT_TRUE(display.shows("Override specified, skipping validation of build 777"));
    // The server has no such file, so the request is made and nothing arrives.
    EXPECT_EQ(catalogue.requestsOf("bird"), 1u);
    EXPECT_EQ(display.errors.back(), "Failed to retrieve a valid BIRD file");
    EXPECT_FALSE(fs::exists(stored(777)));
}

// Every failure leaves the store as it was: no file, settings unchanged.
TEST_F(DownloadTest, FailuresStoreNothingAndLeaveTheSettings) {
    const std::string url = catalogue.url;
    struct Case {
        const char* fault;       // server fault, or null for an unreachable server
        std::vector<std::string> errors;
    } cases[] = {
        {"badbase64@bird", {"Failed to retrieve a valid BIRD file"}},
        {"empty@bird", {"Download failed", "Failed to retrieve a valid BIRD file"}},
        {"truncated@bird", {"Download failed", "Failed to retrieve a valid BIRD file"}},
        {"notok@qu", {"No build information for device"}},
        {"status:500@builds", {"No valid build 20000"}},
        {nullptr, {"Server request failed for " + std::string(kUnreachableUrl)}},
    };
    // A module that already holds a download keeps naming it.
    {
        Updater u = updater(url);
        ASSERT_EQ(u.Download_Firmware(kModule, "12", false, false), 12u);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault ? c.fault : "unreachable");
        display.errors.clear();
        catalogue.fault(c.fault ? c.fault : "none");
        Updater u = updater(c.fault ? url : kUnreachableUrl);
        EXPECT_EQ(u.Download_Firmware(kModule, "", false, false), 0u);
        EXPECT_EQ(display.errors, c.errors);
        EXPECT_FALSE(fs::exists(stored(20000)));
        EXPECT_EQ(SettingOf(store.settings(kModule), "LATEST_DOWNLOAD"), "12.bird");
    }
}

TEST_F(DownloadTest, UnwritableFileIsAFailureAndTheSettingsKeepTheOldName) {
    {
        Updater u = updater(catalogue.url);
        ASSERT_EQ(u.Download_Firmware(kModule, "12", false, false), 12u);
    }
    // A directory in the place of the file makes the write fail.
    fs::create_directory(stored(20000));
    Updater u = updater(catalogue.url);
    EXPECT_EQ(u.Download_Firmware(kModule, "", false, false), 0u);
    ASSERT_EQ(display.errors.size(), 1u);
    EXPECT_EQ(display.errors[0].rfind("Failed to write file with ", 0), 0u) << display.errors[0];
    EXPECT_EQ(SettingOf(store.settings(kModule), "LATEST_DOWNLOAD"), "12.bird");
}

TEST_F(DownloadTest, SerialZeroIsRefusedBeforeAnyRequest) {
    Updater u = updater(catalogue.url);
    EXPECT_EQ(u.Download_Firmware(0, "", false, false), 0u);
    EXPECT_EQ(display.errors, std::vector<std::string>{"Serial Number must be non-zero"});
    EXPECT_TRUE(catalogue.server->requests().empty());
}

TEST_F(DownloadTest, StoreThatCannotBeMadeFailsWithItsMessage) {
    // A file where the store root should be.
    std::ofstream(store.root()) << "x";
    Updater u = updater(catalogue.url);
    EXPECT_EQ(u.Download_Firmware(kModule, "", false, false), 0u);
    ASSERT_EQ(display.errors.size(), 1u);
    EXPECT_EQ(display.errors[0].rfind("Failed to Create UpdaterStore in: Download_Firmware - Exception: ", 0),
              0u)
        << display.errors[0];
}

TEST_F(DownloadTest, ServerListingsAndToken) {
    Updater u = updater(catalogue.url);
    const std::map<std::string, std::string> expected = {{"12", "2.1.0"}, {"20000", "2.10.0"}};
    EXPECT_EQ(u.Get_BuildList(kModule), expected);
    EXPECT_EQ(u.Get_JWT(kModule), "aa.bb.cc");
    EXPECT_TRUE(display.errors.empty()) << display.all();

    catalogue.fault("notok@builds");
    EXPECT_TRUE(u.Get_BuildList(kModule).empty());
    catalogue.fault("notok@ent_jwt");
    EXPECT_EQ(u.Get_JWT(kModule), "");
    EXPECT_EQ(display.errors, (std::vector<std::string>{"Failed to retrieve builds for 40F5849A",
                                                         "Failed to retrieve jwt for 40F5849A"}));

    display.errors.clear();
    Updater offline = updater(kUnreachableUrl);
    EXPECT_TRUE(offline.Get_BuildList(kModule).empty());
    EXPECT_EQ(offline.Get_JWT(kModule), "");
    const std::string unreachable = "Server request failed for " + std::string(kUnreachableUrl);
    EXPECT_EQ(display.errors, (std::vector<std::string>{unreachable, unreachable}));
}

TEST_F(DownloadTest, LocalListingKeysFilesByNameAndReadsTheirVersions) {
    Updater u = updater(catalogue.url);
    EXPECT_TRUE(u.Get_BuildListLocal(kModule).empty());
    ASSERT_EQ(u.Download_Firmware(kModule, "12", false, false), 12u);
    ASSERT_EQ(u.Download_Firmware(kModule, "20000", false, false), 20000u);
    std::ofstream(store.device(kModule) / "notes.txt") << "not firmware";
    // Passes the header check but does not inflate.
    std::ofstream(store.device(kModule) / "7.bird") << "bird\x01\x01garbage";

    const std::map<std::string, std::string> expected = {
        {"12", "2.1.0"}, {"20000", "2.10.0"}, {"7", ""}, {"notes.txt", ""}};
    EXPECT_EQ(u.Get_BuildListLocal(kModule), expected);
    EXPECT_EQ(catalogue.server->requests().size(), 2 * 4u) << "the local listing asks the server nothing";
}

} // namespace
} // namespace tandril::test

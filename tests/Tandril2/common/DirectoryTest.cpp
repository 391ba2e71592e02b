// Directory helpers: every missing level made (and none left after a failure),
// listings that can stop early, the home directory, and bounded path joining.
#include <pwd.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "Tandril2/common/vDirectory.h"

namespace {

using tandril::test::TempDir;
namespace fs = std::filesystem;

TEST(DirectoryEnsure, MakesEveryMissingLevel) {
    TempDir dir;
    const std::string relative = "a/b/c";
    fs::path saved = fs::current_path();
    fs::current_path(dir.path());
    EXPECT_EQ(vDirectory_Ensure(relative.c_str(), 0755), vErrNone);
    fs::current_path(saved);
    EXPECT_TRUE(fs::is_directory(dir.path() / "a" / "b" / "c"));

    struct Case {
        std::string path;
        vErr result;
    };
    const Case cases[] = {
        {(dir.path() / "x" / "y" / "z").string(), vErrNone},
        {(dir.path() / "x" / "y" / "z").string(), vErrNone}, // already there
        {(dir.path() / "d1//d2/").string(), vErrNone},
        {dir.path().string() + "/" + std::string(300, 'n') + "/deeper", vErrPermission},
    };
    for (const Case& c : cases)
        EXPECT_EQ(vDirectory_Ensure(c.path.c_str(), 0755), c.result) << c.path;
    EXPECT_TRUE(fs::is_directory(dir.path() / "d1" / "d2"));
    EXPECT_EQ(vDirectory_Ensure(nullptr, 0755), vErrParam);
}

TEST(DirectoryEnsure, FileInTheWayFailsAndLeavesNothing) {
    TempDir dir;
    std::ofstream(dir.path() / "file") << "x";
    const std::string blocked[] = {(dir.path() / "file").string(), (dir.path() / "file" / "sub").string()};
    for (const std::string& path : blocked)
        EXPECT_EQ(vDirectory_Ensure(path.c_str(), 0755), vErrPermission) << path;
    // "new" and "mid" are made before the long name fails; both are removed again.
    std::string tooLong = (dir.path() / "new" / "mid" / std::string(300, 'n')).string();
    EXPECT_EQ(vDirectory_Ensure(tooLong.c_str(), 0755), vErrPermission);
    EXPECT_FALSE(fs::exists(dir.path() / "new"));
}

TEST(DirectoryEnsure, ModeIsApplied) {
    TempDir dir;
    mode_t old = umask(0);
    std::string path = (dir.path() / "m" / "n").string();
    EXPECT_EQ(vDirectory_Ensure(path.c_str(), 0700), vErrNone);
    umask(old);
    EXPECT_EQ(fs::status(dir.path() / "m").permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_all);
}

struct Listing {
    std::set<std::string> names;
    std::set<std::string> directories;
    uint32_t fileSize = 0;
    int calls = 0;
    int stopAfter = 1000;
};

bool collect(const vDirectoryListData* entry, void* reference) {
    auto* l = static_cast<Listing*>(reference);
    std::string name = fs::path(entry->path).filename().string();
    l->names.insert(name);
    if (entry->isDirectory)
        l->directories.insert(name);
    if (name == "file")
        l->fileSize = entry->size;
    return ++l->calls < l->stopAfter;
}

TEST(DirectoryList, EntriesWithFullPathsAndEarlyStop) {
    TempDir dir;
    fs::create_directory(dir.path() / "sub");
    std::ofstream(dir.path() / "file") << "12345";
    Listing all;
    EXPECT_EQ(vDirectory_List(dir.str().c_str(), collect, &all), vErrNone);
    EXPECT_EQ(all.names, (std::set<std::string>{".", "..", "sub", "file"}));
    EXPECT_EQ(all.directories, (std::set<std::string>{".", "..", "sub"}));
    EXPECT_EQ(all.fileSize, 5u);

    Listing first;
    first.stopAfter = 1;
    EXPECT_EQ(vDirectory_List(dir.str().c_str(), collect, &first), vErrNone);
    EXPECT_EQ(first.calls, 1);

    Listing none;
    EXPECT_EQ(vDirectory_List((dir.path() / "missing").string().c_str(), collect, &none), vErrNotFound);
    EXPECT_EQ(vDirectory_List(nullptr, collect, &none), vErrParam);
    EXPECT_EQ(none.calls, 0);
}

TEST(DirectoryHome, FromTheUserDatabase) {
    char home[2048];
    ASSERT_EQ(vDirectory_GetHomeDirectory(home, sizeof home), vErrNone);
    struct passwd* pw = getpwuid(getuid());
    if (pw != nullptr && pw->pw_dir[0] != '\0') {
        EXPECT_STREQ(home, pw->pw_dir);
    }
    char tiny[2] = "x";
    EXPECT_EQ(vDirectory_GetHomeDirectory(tiny, sizeof tiny), strlen(home) < 2 ? vErrNone : vErrOverrun);
    EXPECT_EQ(vDirectory_GetHomeDirectory(nullptr, 10), vErrParam);
}

TEST(DirectoryBuildPath, JoinsWithOneSeparator) {
    struct Case {
        const char* a;
        const char* b;
        const char* c;
        size_t length;
        vErr result;
        const char* joined;
    };
    const Case cases[] = {
        {"x/", "y", nullptr, 64, vErrNone, "x/y"},
        {"x", "/y", nullptr, 64, vErrNone, "x/y"},
        {"x", "y", nullptr, 64, vErrNone, "x/y"},
        {"x/", "/y", nullptr, 64, vErrNone, "x//y"},
        {"root", "0001ABCD", ".settings", 64, vErrNone, "root/0001ABCD/.settings"},
        {"", "y", nullptr, 64, vErrNone, "/y"},
        {"abc", nullptr, nullptr, 5, vErrNone, "abc"},
        {"abcd", nullptr, nullptr, 5, vErrOverrun, ""}, // one byte always stays spare
        {"ab", "c", nullptr, 6, vErrNone, "ab/c"},
        {"ab", "cd", nullptr, 6, vErrOverrun, ""},
    };
    for (const Case& c : cases) {
        char dst[64] = "garbage";
        vErr r = vDirectory_BuildPath(dst, c.length, c.a, c.b, c.c, nullptr);
        EXPECT_EQ(r, c.result) << c.a << "+" << (c.b ? c.b : "");
        EXPECT_STREQ(dst, c.joined) << c.a << "+" << (c.b ? c.b : "");
    }
}

TEST(DirectoryBuildPath, RefusesBadArguments) {
    char dst[256] = "garbage";
    EXPECT_EQ(vDirectory_BuildPath(dst, sizeof dst, "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", nullptr),
              vErrNone);
    EXPECT_STREQ(dst, "1/2/3/4/5/6/7/8/9/10");
    EXPECT_EQ(vDirectory_BuildPath(dst, sizeof dst, "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11",
                                   nullptr),
              vErrParam);
    EXPECT_STREQ(dst, "");
    EXPECT_EQ(vDirectory_BuildPath(nullptr, 10, "a", nullptr), vErrParam);
    EXPECT_EQ(vDirectory_BuildPath(dst, sizeof dst, "a", dst, nullptr), vErrParam);
    EXPECT_EQ(vDirectory_JoinPath(dst, sizeof dst, "a", "b"), vErrNone);
    EXPECT_STREQ(dst, "a/b");
}

} // namespace

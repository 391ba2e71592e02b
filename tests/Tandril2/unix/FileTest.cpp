// Buffered files: modes, reads at the end, seeks inside and outside the file, sizes,
// line reads against the buffer size, and refusal of stale handles.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "Tandril2/common/vFile.h"

namespace {

using tandril::test::TempDir;

class FileTest : public ::testing::Test {
protected:
    std::string path(const char* name) { return (dir_.path() / name).string(); }
    std::string withContent(const char* name, const std::string& content) {
        std::string p = path(name);
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }
    TempDir dir_;
};

TEST_F(FileTest, OpenRefusesBadRequests) {
    std::string existing = withContent("f", "x");
    std::string longPath = "/" + std::string(vFILE_MAX_PATH, 'a');
    std::string directory = dir_.str();
    struct Case {
        const char* name;
        const char* path;
        uint32_t mode;
    };
    const Case cases[] = {
        {"null", nullptr, vFileModeRead},
        {"empty", "", vFileModeRead},
        {"modeThree", existing.c_str(), 3},
        {"tooLong", longPath.c_str(), vFileModeWrite},
        {"missingForRead", "/nonexistent/file", vFileModeRead},
        {"directory", directory.c_str(), vFileModeWrite},
    };
    for (const Case& c : cases)
        EXPECT_EQ(vFile_Open(c.path, c.mode), nullptr) << c.name;
}

TEST_F(FileTest, ModesAllowOnlyTheirOperations) {
    std::string p = withContent("f", "line\n");
    struct Case {
        uint32_t mode;
        vErr read, write, readLine, printf, unbuffered;
    };
    const Case cases[] = {
        {vFileModeRead, vErrNone, vErrMode, vErrNone, vErrMode, vErrMode},
        {vFileModeWrite, vErrMode, vErrNone, vErrMode, vErrNone, vErrNone},
        {vFileModeAppend, vErrEOF, vErrNone, vErrEOF, vErrNone, vErrNone}, // append opens at the end
    };
    for (const Case& c : cases) {
        std::ofstream(p, std::ios::binary) << "line\n";
        vFile f = vFile_Open(p.c_str(), c.mode);
        ASSERT_NE(f, nullptr);
        char buffer[16];
        size_t n;
        EXPECT_EQ(vFile_SetUnbuffered(f), c.unbuffered) << c.mode;
        EXPECT_EQ(vFile_Read(f, buffer, 1, &n), c.read) << c.mode;
        EXPECT_EQ(vFile_ReadLine(f, buffer, sizeof buffer, &n), c.readLine) << c.mode;
        EXPECT_EQ(vFile_Write(f, "ab", 2, &n), c.write) << c.mode;
        EXPECT_EQ(vFile_Printf(f, "%d", 7), c.printf) << c.mode;
        EXPECT_EQ(vFile_Close(&f), vErrNone);
        EXPECT_EQ(f, nullptr);
    }
    // What write and append mode left behind: write truncated, append added.
    std::ifstream in(p, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "line\nab7");
}

TEST_F(FileTest, ReadsAtTheEnd) {
    vFile f = vFile_Open(withContent("f", "abc").c_str(), vFileModeRead);
    ASSERT_NE(f, nullptr);
    char buffer[10];
    size_t count = 99;
    EXPECT_EQ(vFile_Read(f, buffer, 10, &count), vErrNone);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(vFile_Read(f, buffer, 0, &count), vErrNone);
    EXPECT_EQ(vFile_Read(f, buffer, 10, &count), vErrEOF);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(vFile_Read(f, nullptr, 10, &count), vErrParam);
    vFile_Close(&f);
}

TEST_F(FileTest, SeekStaysInsideTheFile) {
    vFile f = vFile_Open(withContent("f", "0123456789").c_str(), vFileModeRead);
    ASSERT_NE(f, nullptr);
    struct Case {
        int64_t offset;
        int origin;
        vErr result;
        uint64_t position; // afterwards
    };
    const Case cases[] = {
        {4, 0, vErrNone, 4},   {2, 1, vErrNone, 6},    {-6, 1, vErrNone, 0}, {0, 2, vErrNone, 10},
        {1, 2, vErrRange, 10}, {-11, 2, vErrRange, 10}, {-1, 0, vErrRange, 10}, {-10, 2, vErrNone, 0},
        {3, 3, vErrParam, 0},  {INT64_MAX, 1, vErrRange, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vFile_Seek(f, c.offset, c.origin), c.result) << c.offset << "/" << c.origin;
        uint64_t position = 0;
        EXPECT_EQ(vFile_GetPosition(f, &position), vErrNone);
        EXPECT_EQ(position, c.position) << c.offset << "/" << c.origin;
    }
    vFile_Close(&f);
}

TEST_F(FileTest, SizeKeepsThePosition) {
    vFile f = vFile_Open(withContent("f", std::string(1000, 'z')).c_str(), vFileModeRead);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(vFile_Seek(f, 123, 0), vErrNone);
    uint64_t size = 0, position = 0;
    EXPECT_EQ(vFile_GetSize(f, &size), vErrNone);
    EXPECT_EQ(size, 1000u);
    EXPECT_EQ(vFile_GetPosition(f, &position), vErrNone);
    EXPECT_EQ(position, 123u);
    EXPECT_EQ(vFile_GetSize(f, nullptr), vErrParam);
    vFile_Close(&f);
}

TEST_F(FileTest, LinesAgainstTheBufferSize) {
    std::string fits(2047, 'a');
    fits.back() = '\n';
    std::string longLine(3000, 'b');
    vFile f = vFile_Open(withContent("f", fits + longLine + "\nlast").c_str(), vFileModeRead);
    ASSERT_NE(f, nullptr);
    char buffer[2048];
    size_t length = 0;
    EXPECT_EQ(vFile_ReadLine(f, buffer, sizeof buffer, &length), vErrNone);
    EXPECT_EQ(std::string(buffer, length), fits);
    EXPECT_EQ(vFile_ReadLine(f, buffer, sizeof buffer, &length), vErrOverrun);
    EXPECT_EQ(std::string(buffer, length), longLine.substr(0, 2047));
    EXPECT_EQ(vFile_ReadLine(f, buffer, sizeof buffer, &length), vErrNone); // the rest of it
    EXPECT_EQ(length, 3000u - 2047u + 1u);
    EXPECT_EQ(vFile_ReadLine(f, buffer, sizeof buffer, &length), vErrNone); // no newline at the end
    EXPECT_STREQ(buffer, "last");
    EXPECT_EQ(vFile_ReadLine(f, buffer, sizeof buffer, &length), vErrEOF);
    EXPECT_EQ(length, 0u);
    EXPECT_STREQ(buffer, "");
    vFile_Close(&f);
}

TEST_F(FileTest, StaleHandlesAreRefused) {
    vFile f = vFile_Open(withContent("f", "x").c_str(), vFileModeRead);
    ASSERT_EQ(vFile_Close(&f), vErrNone);
    EXPECT_EQ(vFile_Close(&f), vErrParam); // already nulled
    EXPECT_FALSE(vVALIDFILE(nullptr));
    char buffer[8] = "keep";
    size_t length = 5;
    EXPECT_EQ(vFile_ReadLine(nullptr, buffer, sizeof buffer, &length), vErrParam);
    EXPECT_STREQ(buffer, ""); // emptied even for a bad handle
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(vFile_Write(nullptr, "x", 1, nullptr), vErrParam);
    EXPECT_EQ(vFile_Seek(nullptr, 0, 0), vErrParam);
}

TEST_F(FileTest, ExistsAndDelete) {
    std::string p = withContent("f", "x");
    EXPECT_TRUE(vFile_Exists(p.c_str()));
    std::string directory = dir_.str();
    EXPECT_FALSE(vFile_Exists(directory.c_str()));
    EXPECT_FALSE(vFile_Exists(nullptr));
    EXPECT_FALSE(vFile_Exists(path("missing").c_str()));
    std::string longPath = "/" + std::string(vFILE_MAX_PATH, 'a');
    struct Case {
        const char* path;
        vErr result;
    };
    const Case cases[] = {
        {p.c_str(), vErrNone},
        {p.c_str(), vErrNotFound},
        {nullptr, vErrParam},
        {longPath.c_str(), vErrFileNameLength},
        {directory.c_str(), vErrIO},
    };
    for (const Case& c : cases)
        EXPECT_EQ(vFile_Delete(c.path), c.result) << (c.path ? c.path : "null");
    EXPECT_FALSE(std::filesystem::exists(p));
}

} // namespace

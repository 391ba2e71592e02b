// The diagnostic log: which packages write, the cut of long lines, silence
// without a stream, and whole lines from concurrent writers.
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/Log.h"

namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        file_ = std::tmpfile();
        ASSERT_NE(file_, nullptr);
        Log::SetOutput(file_);
        Log::DeactivatePackage(0xFFFFFFFF);
    }
    void TearDown() override {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(0xFFFFFFFF);
        std::fclose(file_);
    }
    std::string written() {
        std::fflush(file_);
        std::rewind(file_);
        std::string text;
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;)
            text.append(buffer, n);
        return text;
    }
    FILE* file_ = nullptr;
};

TEST_F(LogTest, PackagesDecideWhatIsWritten) {
    struct Step {
        uint32_t activate;
        uint32_t deactivate;
        uint32_t package;
        bool written;
    };
    const Step steps[] = {
        {0, 0, 0, true}, // package 0 always writes
        {0, 0, DEBUG_BirdFile, false},
        {DEBUG_BirdFile, 0, DEBUG_BirdFile, true},
        {0, 0, DEBUG_BirdFile | DEBUG_APP, true}, // any shared bit
        {0, 0, DEBUG_APP, false},
        {0xFFFF, 0, DEBUG_APP, false}, // a mask without the bit
        {0, DEBUG_BirdFile, DEBUG_BirdFile, false},
        {0x10000, 0, DEBUG_APP, true},
        {0, 0, DEBUG_iMXSerial, false},
    };
    for (const Step& s : steps) {
        Log::ActivatePackage(s.activate);
        Log::DeactivatePackage(s.deactivate);
        std::string before = written();
        Log::log(s.package, "line %u\n", s.package);
        std::string after = written();
        EXPECT_EQ(after.size() > before.size(), s.written) << std::hex << s.package;
    }
}

TEST_F(LogTest, NoLineBreakAddedAndLongLinesCut) {
    Log::log(0, "a%s", "b");
    std::string text(3000, 'y');
    Log::log(0, "%s", text.c_str());
    EXPECT_EQ(written(), "ab" + text.substr(0, 2047));
}

TEST_F(LogTest, NoStreamWritesNothing) {
    Log::SetOutput(nullptr);
    Log::log(0, "dropped\n");
    Log::SetOutput(file_);
    EXPECT_EQ(written(), "");
}

TEST_F(LogTest, ConcurrentLinesStayWhole) {
    Log::ActivatePackage(DEBUG_ServerComm);
    constexpr int kLines = 2000;
    auto writer = [](char c) {
        std::string body(100, c);
        for (int i = 0; i < kLines; ++i)
            Log::log(DEBUG_ServerComm, "%s\n", body.c_str());
    };
    std::thread a(writer, 'a');
    std::thread b(writer, 'b');
    a.join();
    b.join();
    std::string text = written();
    ASSERT_EQ(text.size(), 2u * kLines * 101);
    for (size_t at = 0; at < text.size(); at += 101) {
        std::string line = text.substr(at, 101);
        EXPECT_TRUE(line == std::string(100, 'a') + "\n" || line == std::string(100, 'b') + "\n") << at;
    }
}

} // namespace

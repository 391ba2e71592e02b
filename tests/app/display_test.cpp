// The console display: the exact progress bar and spinner on a terminal, nothing
// of them when the output is not a terminal, and the message routing and muting
// shared by every display.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "RecordingDisplay.h"
#include "TestSupport.h"
#include "app/CLI_Display.h"

namespace {

using tandril::test::PtyPair;
using tandril::test::TempDir;

// Points the standard output at `fd` for the lifetime of the object.
class StdoutTo {
public:
    explicit StdoutTo(int fd) : saved_(dup(STDOUT_FILENO)) {
        std::fflush(stdout);
        dup2(fd, STDOUT_FILENO);
    }
    ~StdoutTo() {
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }

private:
    int saved_;
};

std::string drain(int fd) {
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    std::string text;
    char buffer[1024];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    fcntl(fd, F_SETFL, flags);
    return text;
}

// What `draw` writes to a terminal.
template <class Draw>
std::string onTerminal(Draw draw) {
    PtyPair pty;
    CLI_Display display;
    {
        StdoutTo redirect(pty.slave());
        draw(display);
    }
    return drain(pty.master());
}

std::string bar(int filled, int spaces, const char* percent) {
    return "\r[" + std::string(filled, '=') + ">" + std::string(spaces, ' ') + "] (" + percent + "% ) ";
}

const std::string kClear = "\r" + std::string(88, ' ') + "\r";

TEST(ProgressBar, DrawnOnTerminal) {
    const std::string longLabel(70, 'L');
    struct Case {
        double fraction;
        const char* label;
        std::string drawn;
    };
    const Case cases[] = {
        {0.0, nullptr, bar(0, 68, "  0")},
        {0.5, nullptr, bar(34, 34, " 50")}, // 34.5 is cut to 34
        {0.999, nullptr, bar(68, 0, " 99")},
        {1.0, nullptr, bar(69, 1, "100")}, // full bar keeps one space before "]"
        {0.5, "abc", "\r (abc) [" + std::string(31, '=') + ">" + std::string(30, ' ') + "] ( 50% ) "},
        {1.5, nullptr, bar(69, 1, "100")},  // past the end is drawn full
        {-0.5, nullptr, bar(0, 68, "  0")}, // before the start is drawn empty
        {1.0, longLabel.c_str(), "\r (" + longLabel + ") [=> ] (100% ) "}, // one column left
    };
    for (const Case& c : cases)
        EXPECT_EQ(onTerminal([&](CLI_Display& d) { d.update_progress(c.fraction, c.label); }), c.drawn)
            << c.fraction;
}

TEST(ProgressBar, EndClearsTheLineAndStartDrawsNothing) {
    EXPECT_EQ(onTerminal([](CLI_Display& d) { d.display_progress(true); }), "");
    EXPECT_EQ(onTerminal([](CLI_Display& d) { d.display_progress(false); }), kClear);
}

TEST(Spinner, FramesCycleAcrossSpinnersAndClear) {
    std::string drawn = onTerminal([](CLI_Display& d) {
        d.update_spinner(false, nullptr); // clearing does not advance the frame
        for (int i = 0; i < 5; ++i)
            d.update_spinner(true, nullptr);
        CLI_Display other; // a later spinner continues where the last one stopped
        for (int i = 0; i < 4; ++i)
            other.update_spinner(true, nullptr);
        other.update_spinner(true, "Downloading");
    });
    std::string want = kClear;
    for (const char* frame : {".", "..", "...", "....", ".....", "....", "...", "..", "."})
        want += std::string("\r ") + frame + "      \r";
    want += "\r (Downloading) ..      \r";
    EXPECT_EQ(drawn, want);
}

TEST(NotATerminal, OnlyMessagesReachTheOutput) {
    TempDir dir;
    std::string path = (dir.path() / "out").string();
    int fd = open(path.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    {
        CLI_Display display;
        StdoutTo redirect(fd);
        display.display_progress(true);
        display.update_progress(0.5, nullptr);
        display.update_spinner(true, "Downloading");
        display.update_spinner(false, nullptr);
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "Transferring %d blocks", 12);
        display.display_progress(false);
    }
    lseek(fd, 0, SEEK_SET);
    EXPECT_EQ(drain(fd), "Transferring 12 blocks\n");
    close(fd);
}

class MessageRouting : public ::testing::Test {
protected:
    RecordingDisplay display;
};

TEST_F(MessageRouting, LevelsPickTheStream) {
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "info %s", "a");
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "error %d", 2);
    display.message(static_cast<UpdaterDisplayInterface::Level>(7), "other");
    EXPECT_EQ(display.info, (std::vector<std::string>{"info a", "other"}));
    EXPECT_EQ(display.errors, std::vector<std::string>{"error 2"});
}

TEST_F(MessageRouting, LongTextsAreCut) {
    std::string text(3000, 'x');
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s", text.c_str());
    ASSERT_EQ(display.info.size(), 1u);
    EXPECT_EQ(display.info[0], text.substr(0, 2047));
}

TEST_F(MessageRouting, MutingSilencesBothLevelsUntilUnmuted) {
    display.mute_messages(true);
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "hidden");
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "hidden");
    EXPECT_TRUE(display.info.empty());
    EXPECT_TRUE(display.errors.empty());
    display.mute_messages(false);
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "shown");
    EXPECT_EQ(display.errors, std::vector<std::string>{"shown"});
}

TEST(MutedConsole, ProgressStillDraws) {
    std::string drawn = onTerminal([](CLI_Display& d) {
        d.mute_messages(true);
        d.update_progress(0.0, nullptr);
    });
    EXPECT_EQ(drawn, bar(0, 68, "  0"));
}

} // namespace

// The harness itself: a fault here would make other tests pass or hang for the wrong reason.
#include <gtest/gtest.h>

#include <fstream>

#include "TestSupport.h"

using namespace tandril::test;
using namespace std::chrono_literals;

TEST(RunProcess, SeparatesStreamsAndStatus) {
    auto r = runProcess({"/bin/sh", "-c", "printf out; printf err >&2; exit 3"});
    EXPECT_EQ(r.out, "out");
    EXPECT_EQ(r.err, "err");
    EXPECT_EQ(r.status, 3);
    EXPECT_FALSE(r.timedOut);
}

TEST(RunProcess, FeedsInputAndEnvironment) {
    auto r = runProcess({"/bin/sh", "-c", "read x; printf \"%s-%s\" \"$x\" \"$TANDRIL_T\""}, 10s,
                        {{"TANDRIL_T", "v"}}, "line\n");
    EXPECT_EQ(r.out, "line-v");
}

TEST(RunProcess, KillsAChildThatOutlivesItsTimeOut) {
    // The grandchild keeps the pipes open: the time-out must still end the wait.
    auto r = runProcess({"/bin/sh", "-c", "sleep 30 & sleep 30"}, 300ms);
    EXPECT_TRUE(r.timedOut);
}

TEST(RunProcess, MissingProgramIs127) {
    EXPECT_EQ(runProcess({"/nonexistent/program"}).status, 127);
}

TEST(TempDirTest, RemovesItsTree) {
    std::filesystem::path kept;
    {
        TempDir d;
        kept = d.path();
        std::filesystem::create_directories(kept / "a" / "b");
        std::ofstream(kept / "a" / "b" / "f") << "x";
    }
    EXPECT_FALSE(std::filesystem::exists(kept));
}

// tandril-sim with a virtual USB bus: the command after "--" sees the bus's modules,
// and tandril-sim ends with the command's exit status.
#include <gtest/gtest.h>

#include "TestSupport.h"

using namespace tandril::test;

TEST(TandrilSimUsb, RunsACommandOnTheBusAndPassesItsStatusOn) {
    const std::string sim = buildPath("sim/module/tandril-sim");
    TempDir home;  // the updater's store
    ProcessResult listing = runProcess({sim, "--usb", "serial=0x0012ABCD,name=Bench Motor", "--usb",
                                        "serial=0x40F5849A,model=0x14,build=77", "--", buildPath("src/updater"), "-D"},
                                       std::chrono::seconds(60), {{"HOME", home.str()}});
    EXPECT_EQ(listing.status, 0) << listing.out << listing.err;
    for (const char* part : {"usb 0012ABCD /dev/bus/usb/001/", "ready", "0012ABCD  02", "Bench Motor", "40F5849A",
                             "TD-Servo4", "77"})
        EXPECT_NE(listing.out.find(part), std::string::npos) << part << "\n" << listing.out;

    EXPECT_EQ(runProcess({sim, "--usb", "serial=1", "--", "false"}).status, 1);
    EXPECT_EQ(runProcess({sim, "--usb", "serial=1", "--", "/nonexistent/program"}).status, 127);
    // A command needs a bus; a bad SPEC is refused before anything starts.
    EXPECT_EQ(runProcess({sim, "--tcp", "serial=1", "--", "true"}).status, 2);
    EXPECT_EQ(runProcess({sim, "--usb", "serial=1,colour=red", "--", "true"}).status, 2);
    EXPECT_EQ(runProcess({sim, "--imx-usb", "uid=xyz", "--", "true"}).status, 2);
    EXPECT_EQ(runProcess({sim, "--imx-usb", "uart=1,drop-gap-ms=x", "--", "true"}).status, 2);
}

TEST(TandrilSimUsb, PutsAnImxRomOnAUart) {
    ProcessResult run = runProcess({buildPath("sim/module/tandril-sim"), "--imx-usb", "uart=1,drop-gap-ms=200", "--",
                                    "true"}, std::chrono::seconds(60));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("imx-uart /dev/pts/"), std::string::npos) << run.out;
}

// tandril-sim runs the boot ROMs for users: the updater reads a fingerprint from its
// LPC loader, and the flash image is written out when the program stops.
#include <gtest/gtest.h>

#include <fstream>

#include "TestSupport.h"

using namespace tandril::test;

TEST(BootRomProgram, ServesAnLpcLoaderToTheUpdater) {
    TempDir dir;
    const std::string flash = (dir.path() / "flash.bin").string();
    const std::string script =
        "set -e\n"
        "\"$SIM\" --lpc ids=11111111:22222222:33333333:4444ABCD,flash-out=\"$FLASH\" > \"$DIR/sim.out\" &\n"
        "sim=$!\n"
        "for i in $(seq 100); do grep -q ready \"$DIR/sim.out\" && break; sleep 0.1; done\n"
        "port=$(sed -n 's/^lpc //p' \"$DIR/sim.out\")\n"
        "\"$UPDATER\" -i \"$DIR\" -N -s \"$port\"\n"
        "kill $sim; wait $sim || true\n";
    auto r = runProcess({"/bin/sh", "-c", script}, std::chrono::seconds(60),
                        {{"SIM", buildPath("sim/module/tandril-sim")},
                         {"UPDATER", buildPath("src/updater")},
                         {"DIR", dir.str()},
                         {"FLASH", flash}});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("[ 11111111 22222222 33333333 4444ABCD ]"), std::string::npos) << r.out << r.err;
    std::ifstream image(flash, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(image)), {});
    EXPECT_EQ(bytes, std::string(512 * 1024, '\xFF')) << "an identification writes nothing";
}

TEST(BootRomProgram, RefusesABadSpec) {
    for (const char* bad : {"--lpc=ids=1:2:3", "--lpc=nonsense=1", "--imx-serial=uid=zz", "--lpc=baud=-"}) {
        auto r = runProcess({buildPath("sim/module/tandril-sim"), bad});
        EXPECT_EQ(r.status, 2) << bad << r.err;
    }
}

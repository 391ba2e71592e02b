// The exit status when -N and -G run before (or instead of) a listing command,
// against a virtual update server: a failed step is remembered unless a later step
// succeeds or a listing command decides the status itself. Runs in a private
// network, since -N may look for modules.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "UpdaterHarness.h"

namespace {

using namespace tandril::test;

constexpr uint32_t kSerial = 0x40F5849A;

class RememberedStatus : public ::testing::Test {
protected:
    void SetUp() override {
        FirmwareSpec firmware;
        firmware.serial = kSerial;
        firmware.build = 12;
        firmware.version = "2.1.0";
        catalogue.add({kSerial, "TDM-2", {{12, {"2.1.0", MakeBird(firmware)}}}});
        catalogue.start();
    }
    ProcessResult run(const std::vector<std::string>& args) {
        std::vector<std::string> argv{buildPath("src/updater"), "-i", store.str(), "-u", catalogue.url};
        argv.insert(argv.end(), args.begin(), args.end());
        return runProcess(argv, std::chrono::seconds(120));
    }
    ServerCatalogue catalogue;
    TempDir store;
};

TEST_F(RememberedStatus, FollowsTheLastStepOrTheListing) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int status;
    };
    // /dev/null is no serial line: -N finds no chip there.
    const Case cases[] = {
        {"GetAlone", {"-G", "-d", "40F5849A"}, 0},
        {"GetUnknownBuild", {"-G", "-d", "40F5849A", "-b", "99"}, 1},
        {"FingerprintFailsAlone", {"-N", "-s", "/dev/null", "-C"}, 1},
        {"GetAfterFailedFingerprint", {"-N", "-s", "/dev/null", "-G", "-d", "40F5849A"}, 0},
        {"FailedGetAfterFailedFingerprint", {"-N", "-s", "/dev/null", "-G", "-d", "40F5849A", "-b", "99"}, 1},
        {"ListingAfterFailedGet", {"-G", "-d", "40F5849A", "-b", "99", "-L"}, 0},
        {"TokenAfterFailedFingerprint", {"-N", "-s", "/dev/null", "-J", "-d", "40F5849A"}, 0},
    };
    for (const Case& c : cases) {
        ProcessResult r = run(c.args);
        ASSERT_FALSE(r.timedOut) << c.name;
        EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.out << r.err;
    }
    // The listing after a failed get shows what the successful one stored.
    ProcessResult local = run({"-L", "-d", "40F5849A"});
    EXPECT_NE(local.out.find("12             \t2.1.0          "), std::string::npos) << local.out;
}

} // namespace

// Commands that look for modules, run inside a private network namespace with no
// module attached: what they announce, the listing's heading and their exit status.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

using tandril::test::buildPath;
using tandril::test::ProcessResult;
using tandril::test::runProcess;
using tandril::test::TempDir;

struct Case {
    std::string name;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> shown; // lines that appear on standard output, in this order
    std::vector<std::string> absent; // texts that must not appear on either stream
};

bool inOrder(const std::string& text, const std::vector<std::string>& lines) {
    size_t at = 0;
    for (const std::string& line : lines) {
        at = text.find("\n" + line + "\n", at);
        if (at == std::string::npos)
            return false;
        at += line.size() + 1;
    }
    return true;
}

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class DeviceCommands : public ::testing::TestWithParam<Case> {};

TEST_P(DeviceCommands, ListOrFail) {
    const Case& c = GetParam();
    TempDir dir;
    std::vector<std::string> argv{buildPath("src/updater"), "-i", dir.str(), "-u",
                                  "http://127.0.0.1:1/cgi/u"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ProcessResult r = runProcess(argv, std::chrono::seconds(120));
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_TRUE(inOrder(r.out, c.shown)) << r.out;
    for (const std::string& text : c.absent) {
        EXPECT_EQ(r.out.find(text), std::string::npos) << text;
        EXPECT_EQ(r.err.find(text), std::string::npos) << text;
    }
}

const std::vector<Case> kCases = {
    {"DiscoverUsbByDefault", {"-D"}, 0,
     {"Searching for Tandril devices", "Discovered Devices: (USB)"}, {}},
    {"DiscoverRecoverMeansUsb", {"-D", "-t", "RECOVER"}, 0,
     {"Searching for Tandril devices", "Discovered Devices: (USB)"}, {}},
    {"DiscoverTcpip", {"-D", "-t", "TCPIP"}, 0,
     {"Searching for Tandril devices", "Discovered Devices: (TCPIP)"}, {}},
    {"DiscoverBehindRouter", {"-D", "-r", "D272031D"}, 0,
     {"Searching for Tandril Network devices connected to D272031D", "Discovered Devices: (Unknown)"},
     {}},
    {"DiscoverWinsOverUpdate", {"-D", "-U", "-d", "40F5849A"}, 0,
     {"Searching for Tandril devices", "Discovered Devices: (USB)"},
     {"Could not find valid build for this device.", "Failed to load bird file"}},
    {"FailedGetDoesNotStopDiscover", {"-G", "-D", "-d", "40F5849A"}, 0,
     {"Retrieving firmware for device with serial number 40F5849A", "Searching for Tandril devices"}, {}},
    {"UpdateWithoutModuleFails", {"-U", "-d", "40F5849A", "-b", "abc"}, 1, {}, {}},
};

INSTANTIATE_TEST_SUITE_P(Runs, DeviceCommands, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return info.param.name; });

} // namespace

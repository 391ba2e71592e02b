// The updater binary as a user runs it: what it prints on each stream, its exit
// status, and whether it made the store directory. Every run gets -i with a
// temporary directory so the real home directory is never touched.
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

using tandril::test::buildPath;
using tandril::test::ProcessResult;
using tandril::test::runProcess;
using tandril::test::TempDir;

// Nothing listens on port 1 of the loopback: every server request fails at once.
const std::string kDeadServer = "http://127.0.0.1:1/cgi/u";

enum class Usage { None, Short, Help, All };

struct Case {
    std::string name;
    std::vector<std::string> args; // "{DIR}" is replaced by the temporary directory
    int status;
    bool notice;                    // the legal notice follows the version line
    std::vector<std::string> out;   // standard output lines after version (and notice)
    std::vector<std::string> errors; // standard error lines before any usage text
    Usage usage;
    bool storeCreated;
    bool exact = true; // false: `out` and `errors` are leading lines only (others' messages follow)
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            result.push_back(text.substr(start));
            break;
        }
        result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

ProcessResult run(const std::vector<std::string>& args, const std::string& dir) {
    std::vector<std::string> argv{buildPath("src/updater"), "-i", dir};
    for (const std::string& arg : args)
        argv.push_back(arg == "{DIR}" ? dir : arg);
    return runProcess(argv, std::chrono::seconds(60));
}

const std::regex kVersionLine(R"(Updater \(Version: 2\.12\.0 [A-Z][a-z]{2} [ 123][0-9] [0-9]{4}\))");

// The usage texts' markers, in the order they are printed.
const char kShortUsage[] =
    "\n"
    "Application Usage:\n"
    "Updater <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n"
    "    [-d serial_num]\n"
    "    [-t transport] [-r router_serial]\n"
    "    [-s serial_port] [-o baud_rate]\n"
    "\n"
    "  Tandril Update and Maintenance Application\n"
    "    -H -h or --help for full usage information.\n"
    "\n";
const char kParameterStart[] = "  Parameters to commands:\n";
const char kParameterTrailingSpace[] = "storage of \n                                firmware files.";
const char kExtendedStart[] = "  Extended Parameters:\n";
const char kSampleStart[] = " Sample usage:\n";
const char kSampleEnd[] = "indirectly through routing device D272031D.\n\n";

void expectUsage(const std::string& text, Usage usage) {
    if (usage == Usage::None) {
        EXPECT_EQ(text, "");
        return;
    }
    ASSERT_EQ(text.substr(0, sizeof kShortUsage - 1), kShortUsage);
    std::string rest = text.substr(sizeof kShortUsage - 1);
    if (usage == Usage::Short) {
        EXPECT_EQ(rest, "");
        return;
    }
    EXPECT_EQ(rest.rfind(kParameterStart, 0), 0u) << rest;
    EXPECT_NE(rest.find(kParameterTrailingSpace), std::string::npos);
    size_t extended = rest.find(kExtendedStart);
    size_t samples = rest.find(kSampleStart);
    ASSERT_NE(samples, std::string::npos);
    if (usage == Usage::All) {
        ASSERT_NE(extended, std::string::npos);
        EXPECT_LT(extended, samples);
        EXPECT_NE(rest.find("Default: update.vornic.example:port\n"), std::string::npos);
    } else {
        EXPECT_EQ(extended, std::string::npos);
    }
    EXPECT_EQ(rest.size() - rest.rfind(kSampleEnd), sizeof kSampleEnd - 1) << "samples come last";
}

void expectLeadingLines(const std::vector<std::string>& got, const std::vector<std::string>& want,
                        bool exact, const char* stream) {
    if (exact) {
        EXPECT_EQ(got, want) << stream;
        return;
    }
    ASSERT_GE(got.size(), want.size()) << stream;
    EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + want.size()), want) << stream;
}

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class CommandLine : public ::testing::TestWithParam<Case> {};

TEST_P(CommandLine, PrintsAndExits) {
    const Case& c = GetParam();
    TempDir dir;
    ProcessResult r = run(c.args, dir.str());
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;

    std::vector<std::string> out = lines(r.out);
    ASSERT_FALSE(out.empty());
    EXPECT_TRUE(std::regex_match(out[0], kVersionLine)) << out[0];
    size_t first = 1;
    if (c.notice) {
        ASSERT_GE(out.size(), 2u);
        EXPECT_FALSE(out[1].empty());
        first = 2;
    }
    expectLeadingLines(std::vector<std::string>(out.begin() + static_cast<long>(std::min(first, out.size())), out.end()),
                       c.out, c.exact, "stdout");

    // Messages first, then (for some cases) a usage text, which begins with a line break.
    size_t usageAt = c.usage == Usage::None ? std::string::npos : r.err.find("\nApplication Usage:\n");
    std::string messages = r.err.substr(0, usageAt);
    expectLeadingLines(lines(messages), c.errors, c.exact, "stderr");
    if (c.usage != Usage::None) {
        ASSERT_NE(usageAt, std::string::npos) << r.err;
        expectUsage(r.err.substr(usageAt), c.usage);
    }

    EXPECT_EQ(std::filesystem::is_directory(dir.path() / "updater"), c.storeCreated);
}

const std::vector<Case> kCases = {
    // Usage requests and runs without a command.
    {"NoCommand", {}, 0, true, {}, {}, Usage::Short, false},
    {"Help", {"-h"}, 0, true, {}, {}, Usage::Help, false},
    {"HelpUpper", {"-H"}, 0, true, {}, {}, Usage::Help, false},
    {"HelpLong", {"--help"}, 0, true, {}, {}, Usage::Help, false},
    {"HelpAbbreviated", {"--he"}, 0, true, {}, {}, Usage::Help, false},
    {"DebugMaskBeforeHelpAddsExtended", {"-X", "0x10000", "-h"}, 0, true, {}, {}, Usage::All, false},
    {"HelpEndsParsing", {"-h", "-X", "0x10000", "-d", "0"}, 0, true, {}, {}, Usage::Help, false},
    {"HelpWinsOverCommands", {"-U", "-d", "40F5849A", "-h"}, 0, true, {}, {}, Usage::Help, false},
    {"OptionsOnly", {"-d", "40F5849A", "-b", "12"}, 0, true, {}, {}, Usage::Short, false},
    {"UnknownWordsSkipped", {"foo", "-q", "-c", "-", "--"}, 0, true, {}, {}, Usage::Short, false},
    {"ArgumentToFlagSkipsIt", {"-C=1"}, 0, true, {}, {}, Usage::Short, false},
    {"AmbiguousAbbreviationSkipped", {"-OVERRIDEX"}, 0, true, {}, {}, Usage::Short, false},

    // Parse errors: all messages, then version, notice and the short usage; no store.
    {"SerialNotHex", {"-d", "40F5849G", "-D"}, 1, true, {},
     {"Invalid serial number obtained from argument [40F5849G]"}, Usage::Short, false},
    {"SerialZero", {"-d", "0", "-D"}, 1, true, {},
     {"Invalid serial number obtained from argument [0]"}, Usage::Short, false},
    {"SerialOnlyPrefix", {"-d", "0x", "-D"}, 1, true, {},
     {"Invalid serial number obtained from argument []"}, Usage::Short, false},
    {"SerialAfterEquals", {"-d=zz", "-D"}, 1, true, {},
     {"Invalid serial number obtained from argument [zz]"}, Usage::Short, false},
    {"RouterSerial", {"-r", "0X0", "-D"}, 1, true, {},
     {"Invalid router serial number obtained from argument [0]"}, Usage::Short, false},
    {"TransportLowerCase", {"-t", "tcp", "-D"}, 1, true, {},
     {"Invalid transport type:[tcp]", "Must be one of the following: USB, TCPIP, RECOVER"}, Usage::Short,
     false},
    {"Unhandled", {"-Y"}, 1, true, {}, {"Unhandled command: [-Y]"}, Usage::Short, false},
    {"EveryErrorShown", {"-d", "0", "-Y", "-t", "x", "-r", "g"}, 1, true, {},
     {"Invalid serial number obtained from argument [0]", "Unhandled command: [-Y]",
      "Invalid transport type:[x]", "Must be one of the following: USB, TCPIP, RECOVER",
      "Invalid router serial number obtained from argument [g]"},
     Usage::Short, false},
    {"ErrorBeforeHelpStillFails", {"-d", "0", "-h"}, 1, true, {},
     {"Invalid serial number obtained from argument [0]"}, Usage::Short, false},

    // Commands that need more than they were given.
    {"UpdateWithoutSerial", {"-U"}, 1, false, {}, {"Must specify the specific device to be updated"},
     Usage::None, true},
    {"SerialWithoutArgumentSkipped", {"-d", "-U"}, 1, false, {},
     {"Must specify the specific device to be updated"}, Usage::None, true},
    {"GetWithoutSerial", {"-G"}, 1, false, {},
     {"-G must specify a specific device via -d", "--help for usage information"}, Usage::None, true},
    {"FingerprintWithoutPort", {"-N", "-G", "-d", "1"}, 1, false, {},
     {"Must specify the serial port used for connecting"}, Usage::None, true},
    {"ListBuildsWithoutSerial", {"-B"}, 1, false, {},
     {"Error must supply a serial number for the List Builds command"}, Usage::Short, true},
    {"ListLocalWithoutSerial", {"-L"}, 1, false, {},
     {"Error must supply a serial number for the List Local Builds command"}, Usage::Short, true},
    {"TokenWithoutSerial", {"-J"}, 1, false, {},
     {"Error must supply a serial number for the Get JWT command"}, Usage::Short, true},

    // Commands that do nothing beyond the start-up.
    {"Check", {"-C"}, 0, false, {}, {}, Usage::None, true},
    {"Info", {"-I"}, 0, false, {}, {}, Usage::None, true},
    {"CommandZ", {"-Z", "anything"}, 0, false, {}, {}, Usage::None, true},
    {"CommandZWithoutWordSkipped", {"-Z"}, 0, true, {}, {}, Usage::Short, false},
    {"BadDebugMaskIsNoParseError", {"-X", "12z", "-C"}, 0, false, {},
     {"Invalid format for \"-X\" parameter, unprocessed characters [z]"}, Usage::None, true},

    // Commands against a server that cannot be reached.
    {"GetLatest", {"-G", "-d", "0x40F5849A", "-u", kDeadServer}, 1, false,
     {"Retrieving firmware for device with serial number 40F5849A", "No build specified",
      "Using Latest build"},
     {}, Usage::None, true, false},
    {"GetLowerCaseSerial", {"-G", "-d", "40f5849a", "-b", "99528558", "-u", kDeadServer}, 1, false,
     {"Retrieving firmware for device with serial number 40F5849A", "Retrieving firmware build 99528558"},
     {}, Usage::None, true, false},
    {"GetSerialKeepsLow32Bits", {"-G", "-d", "1234567890", "-b", "abc", "-u", kDeadServer}, 1, false,
     {"Retrieving firmware for device with serial number 34567890", "Retrieving firmware build 0"}, {},
     Usage::None, true, false},
    {"GetSerialAfterEquals", {"-G", "-d=2181F0EE", "-u", kDeadServer}, 1, false,
     {"Retrieving firmware for device with serial number 2181F0EE"}, {}, Usage::None, true, false},
    {"ListBuildsRunsWhateverTheServerSays", {"-B", "-d", "40F5849A", "-u", kDeadServer}, 0, false,
     {"No builds found for device [40F5849A]"}, {}, Usage::None, true, false},
    {"ListLocalEmptyStore", {"-L", "-d", "40F5849A"}, 0, false, {"No builds found for device [40F5849A]"},
     {}, Usage::None, true, false},
    {"TokenUnavailablePrintsEmptyLine", {"-J", "-d", "40F5849A", "-u", kDeadServer}, 0, false, {""}, {},
     Usage::None, true, false},
    {"ListBuildsBeforeListLocal", {"-L", "-B", "-d", "1", "-u", kDeadServer}, 0, false,
     {"No builds found for device [00000001]"}, {"Server request failed for " + kDeadServer},
     Usage::None, true, false},
};

INSTANTIATE_TEST_SUITE_P(Runs, CommandLine, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return info.param.name; });

TEST(CommandLineStore, DefaultsToUpdaterInsideTheGivenDirectory) {
    TempDir dir;
    std::string nested = (dir.path() / "a" / "b").string();
    ProcessResult r = runProcess({buildPath("src/updater"), "-i", nested, "-C"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "a" / "b" / "updater"));
}

TEST(CommandLineStore, UnusableDirectoryFailsWithoutLeavingAnything) {
    TempDir dir;
    std::filesystem::path file = dir.path() / "plain";
    { std::ofstream(file) << "x"; }
    struct Where {
        std::string storage;
        std::string reported;
    };
    const Where cases[] = {
        {file.string(), file.string() + "/updater"},
        {(file / "deeper").string(), (file / "deeper").string() + "/updater"},
    };
    for (const Where& w : cases) {
        ProcessResult r = runProcess({buildPath("src/updater"), "-i", w.storage, "-C"});
        EXPECT_EQ(r.status, 1) << w.storage;
        EXPECT_EQ(r.err, "Could not find updater directory at " + w.reported + "\n");
    }
    // Levels made before a deeper one fails are removed again.
    std::string tooLong(300, 'n');
    ProcessResult r =
        runProcess({buildPath("src/updater"), "-i", (dir.path() / "new" / tooLong).string(), "-C"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "new"));
}

TEST(CommandLineLog, ParametersAreLoggedUnderTheApplicationPackage) {
    TempDir dir;
    std::string binary = buildPath("src/updater");
    ProcessResult r = runProcess({binary, "-X", "0x10000", "-C", "-i", dir.str()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "\nApplication parameters:[updater]\n\t[" + binary + "]\n\t[-X]\n\t[0x10000]\n\t[-C]\n\t[-i]\n\t[" +
                         dir.str() + "]\n");
}

TEST(CommandLineLog, MaskAppliesToTheWordsAfterIt) {
    TempDir dir;
    struct Order {
        std::vector<std::string> args;
        bool serialLogged;
        bool routerLogged;
    };
    const Order orders[] = {
        {{"-X", "1", "-d", "0x40F5849A", "-r", "0XD272031D"}, true, true},
        {{"-d", "0x40F5849A", "-X", "1", "-r", "0XD272031D"}, false, true},
        {{"-d", "0x40F5849A", "-r", "0XD272031D", "-X", "1"}, false, false},
        {{"-X", "1", "-d", "40F5849A"}, false, false}, // nothing to discard
    };
    for (const Order& o : orders) {
        std::vector<std::string> argv{buildPath("src/updater"), "-i", dir.str(), "-C"};
        argv.insert(argv.end(), o.args.begin(), o.args.end());
        ProcessResult r = runProcess(argv);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err.find("Discarding '0x' serial number prefix\n") != std::string::npos, o.serialLogged)
            << r.err;
        EXPECT_EQ(r.err.find("Discarding '0x' router serial number prefix\n") != std::string::npos,
                  o.routerLogged)
            << r.err;
    }
}

} // namespace

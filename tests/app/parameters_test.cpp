// The command-line parser in process: which fields each word sets, which words
// are errors, and the number readers behind -d, -r, -b and -o.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "RecordingDisplay.h"
#include "app/Log.h"
#include "app/Parameters.h"

namespace {

struct Parsed {
    Parameters params;
    int result = 0;
    RecordingDisplay display;
};

void parse(std::vector<std::string> words, Parsed& p) {
    words.insert(words.begin(), "/usr/local/bin/updater");
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    p.result = _get_params(p.display, static_cast<int>(words.size()), argv.data(), &p.params);
}

struct Case {
    std::string name;
    std::vector<std::string> words;
    std::function<void(const Parameters&)> check;
    std::vector<std::string> errors = {};
    int result = 0;
};

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class ParameterWords : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(0xFFFFFFFF);
    }
    void TearDown() override { Log::DeactivatePackage(0xFFFFFFFF); }
};

TEST_P(ParameterWords, SetFieldsAndReportErrors) {
    const Case& c = GetParam();
    Parsed p;
    parse(c.words, p);
    EXPECT_EQ(p.result, c.result);
    EXPECT_EQ(p.display.errors, c.errors);
    EXPECT_TRUE(p.display.info.empty());
    c.check(p.params);
}

auto serialIs(uint32_t serial) {
    return [serial](const Parameters& p) { EXPECT_EQ(p.serialNumber, serial); };
}
auto transportIs(uint32_t transport) {
    return [transport](const Parameters& p) {
        EXPECT_EQ(p.transport, transport);
        EXPECT_TRUE(p.transportGiven);
    };
}
auto buildIs(const char* text) {
    return [text](const Parameters& p) { EXPECT_EQ(p.buildNumber, text); };
}
auto ueiBytesIs(bool on) {
    return [on](const Parameters& p) { EXPECT_EQ(p.ueiBytesLoad, on); };
}
auto commandsAre(uint32_t bits) {
    return [bits](const Parameters& p) { EXPECT_EQ(p.commands.bits, bits); };
}
auto overrideIs(bool on) {
    return [on](const Parameters& p) {
        EXPECT_EQ(p.override, on);
        EXPECT_EQ(p.commands.bits, 0u);
    };
}

const std::vector<Case> kCases = {
    {"Defaults", {},
     [](const Parameters& p) {
         EXPECT_EQ(p.commands.bits, 0u);
         EXPECT_EQ(p.serialNumber, 0u);
         EXPECT_EQ(p.routerSerialNumber, 0u);
         EXPECT_EQ(p.transport, 1u);
         EXPECT_FALSE(p.transportGiven);
         EXPECT_EQ(p.baudRate, 115200u);
         EXPECT_TRUE(p.ueiBytesLoad);
         EXPECT_EQ(p.buildNumber, "");
         EXPECT_EQ(p.storageDirectory, "");
         EXPECT_EQ(p.serverUrl, DefaultServerUrl());
         EXPECT_EQ(p.serverUrl.rfind("http://", 0), 0u);
         EXPECT_EQ(p.serverUrl.substr(p.serverUrl.size() - 6), "/cgi/u");
         EXPECT_FALSE(p.debugMaskGiven);
         EXPECT_FALSE(p.helpRequested);
     }},
    // Serial numbers.
    {"SerialHexPrefix", {"-d", "0x40F5849A"}, serialIs(0x40F5849A)},
    {"SerialUpperPrefix", {"-d", "0X40F5849A"}, serialIs(0x40F5849A)},
    {"SerialLowerCase", {"-d", "40f5849a"}, serialIs(0x40F5849A)},
    {"SerialAfterEquals", {"-d=40F5849A"}, serialIs(0x40F5849A)},
    {"SerialEmptyAfterEqualsTakesNextWord", {"-d=", "40F5849A"}, serialIs(0x40F5849A)},
    {"SerialLow32Bits", {"-d", "1234567890"}, serialIs(0x34567890)},
    {"SerialLastWordSkipped", {"-d"}, serialIs(0)},
    {"SerialNotHex", {"-d", "40F5849G"}, serialIs(0),
     {"Invalid serial number obtained from argument [40F5849G]"}, 1},
    {"SerialZero", {"-d", "0"}, serialIs(0), {"Invalid serial number obtained from argument [0]"}, 1},
    {"SerialWithSign", {"-d", "+1"}, serialIs(0), {"Invalid serial number obtained from argument [+1]"}, 1},
    {"RouterSerial", {"-r", "d272031d"},
     [](const Parameters& p) { EXPECT_EQ(p.routerSerialNumber, 0xD272031Du); }},
    {"RouterSerialZero", {"-r", "0x0"}, [](const Parameters&) {},
     {"Invalid router serial number obtained from argument [0]"}, 1},
    // Option words that are not arguments.
    {"SerialThenOptionWord", {"-d", "-U"}, [](const Parameters& p) {
         EXPECT_EQ(p.serialNumber, 0u);
         EXPECT_EQ(p.commands.bits, static_cast<uint32_t>(CMD_UPDATE));
     }},
    {"IgnoredOptionThenCommand", {"-l", "-G"}, commandsAre(CMD_GET)},
    {"IgnoredOptionsConsumeTheirWord", {"-l", "message", "-k", "APP.log", "-n", "-e", "-D"},
     commandsAre(CMD_DISCOVER)},
    {"WordsWithoutDashSkipped", {"U", "D", "-J"}, commandsAre(CMD_JWT)},
    {"ArgumentGivenToFlag", {"-U=1", "-D"}, commandsAre(CMD_DISCOVER)},
    {"CaseSensitive", {"-u", "x", "-c", "-d", "1"}, commandsAre(0)},
    {"AllCommands", {"-D", "-U", "-B", "-G", "-I", "-C", "-N", "-Z", "w", "-J", "-L"},
     commandsAre(0x3FF)},
    {"CommandZNeedsItsWord", {"-Z", "-C"}, commandsAre(CMD_CHECK)},
    // Builds and baud rates.
    {"Build", {"-b", "99528558"}, buildIs("99528558")},
    {"BuildLeadingZeros", {"-b", "007"}, buildIs("7")},
    {"BuildNotNumber", {"-b", "abc"}, buildIs("0")},
    {"BuildNegative", {"-b", "-5"}, buildIs("")}, // "-5" is an option word
    {"Baud", {"-o", "9600"}, [](const Parameters& p) { EXPECT_EQ(p.baudRate, 9600u); }},
    {"BaudNotNumber", {"-o", "fast"}, [](const Parameters& p) { EXPECT_EQ(p.baudRate, 0u); }},
    // Transports.
    {"TransportUsb", {"-t", "USB"}, transportIs(1)},
    {"TransportTcp", {"-t", "TCP"}, transportIs(2)},
    {"TransportTcpip", {"-t", "TCPIP"}, transportIs(2)},
    {"TransportRecover", {"-t", "RECOVER"}, transportIs(255)},
    {"TransportLowerCase", {"-t", "tcp"}, transportIs(0),
     {"Invalid transport type:[tcp]\nMust be one of the following: USB, TCPIP, RECOVER"}, 1},
    {"TransportShort", {"-t", "US"}, transportIs(0),
     {"Invalid transport type:[US]\nMust be one of the following: USB, TCPIP, RECOVER"}, 1},
    // UEI byte loading.
    {"UeiBytesOne", {"-m", "1"}, ueiBytesIs(true)},
    {"UeiBytesTrue", {"-m", "trueish"}, ueiBytesIs(true)},
    {"UeiBytesZero", {"-m", "0"}, ueiBytesIs(false)},
    {"UeiBytesYes", {"-m", "yes"}, ueiBytesIs(false)},
    {"UeiBytesCapitalTrue", {"-m", "True"}, ueiBytesIs(false)},
    // Texts.
    {"Texts", {"-i", "/tmp/store", "-f", "x.bird", "-s", "/dev/ttyS0", "-u", "http://h/cgi/u"},
     [](const Parameters& p) {
         EXPECT_EQ(p.storageDirectory, "/tmp/store");
         EXPECT_EQ(p.birdFile, "x.bird");
         EXPECT_EQ(p.serialPort, "/dev/ttyS0");
         EXPECT_EQ(p.serverUrl, "http://h/cgi/u");
     }},
    {"TextWithEquals", {"-f=a=b.bird"}, [](const Parameters& p) { EXPECT_EQ(p.birdFile, "a=b.bird"); }},
    // Abbreviations.
    {"Override", {"-OVERRIDE"}, overrideIs(true)},
    {"OverrideAbbreviated", {"-OVER"}, overrideIs(true)},
    {"OverrideShortest", {"-O"}, overrideIs(true)},
    {"OverrideTooLong", {"-OVERRIDES"}, overrideIs(false)},
    {"OverrideWrongDashes", {"--OVER"}, overrideIs(false)},
    {"LoneDashMatchesNothing", {"-"}, commandsAre(0)},
    {"HelpAbbreviated", {"--he"}, [](const Parameters& p) {
         EXPECT_TRUE(p.helpRequested);
         EXPECT_TRUE(p.commands.IsSet(CMD_HELP));
     }},
    {"DoubleDashAloneIsNotHelp", {"--"}, [](const Parameters& p) { EXPECT_FALSE(p.helpRequested); }},
    // Help ends parsing.
    {"HelpStopsBeforeErrors", {"-h", "-d", "0", "-Y"}, [](const Parameters& p) {
         EXPECT_TRUE(p.helpRequested);
         EXPECT_EQ(p.serialNumber, 0u);
     }},
    {"ErrorsBeforeHelpCount", {"-Y", "-H", "-D"}, [](const Parameters& p) {
         EXPECT_EQ(p.commands.bits, static_cast<uint32_t>(CMD_HELP));
     },
     {"Unhandled command: [-Y]"}, 1},
    // Debug masks.
    {"MaskHex", {"-X", "0x10"}, [](const Parameters& p) {
         EXPECT_EQ(p.debugMask, 0x10u);
         EXPECT_TRUE(p.debugMaskGiven);
         EXPECT_EQ(Log::package_bitmask, 0x10u);
     }},
    {"MaskDecimal", {"-X", "16"}, [](const Parameters& p) { EXPECT_EQ(p.debugMask, 16u); }},
    {"MasksAccumulate", {"-X", "1", "-X", "0x100"}, [](const Parameters&) {
         EXPECT_EQ(Log::package_bitmask, 0x101u);
     }},
    {"MaskLeftover", {"-X", "12z"}, [](const Parameters& p) {
         EXPECT_TRUE(p.debugMaskGiven);
         EXPECT_EQ(p.debugMask, 0u);
         EXPECT_EQ(Log::package_bitmask, 0u);
     },
     {"Invalid format for \"-X\" parameter, unprocessed characters [z]"}},
    {"MaskBarePrefix", {"-X", "0x"}, [](const Parameters&) { EXPECT_EQ(Log::package_bitmask, 0u); },
     {"Invalid format for \"-X\" parameter, unprocessed characters [x]"}},
    {"MaskHexDigitsInDecimal", {"-X", "1f"}, [](const Parameters&) {},
     {"Invalid format for \"-X\" parameter, unprocessed characters [f]"}},
    // Every error is shown, and parsing goes on.
    {"AllErrorsShown", {"-d", "0", "-Y", "-D"}, commandsAre(CMD_DISCOVER),
     {"Invalid serial number obtained from argument [0]", "Unhandled command: [-Y]"}, 1},
};

INSTANTIATE_TEST_SUITE_P(Words, ParameterWords, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return info.param.name; });

TEST(NumberArguments, ReadWholeTextOrGiveZero) {
    struct Number {
        const char* text;
        uint32_t hex;
        uint32_t decimal;
    };
    const Number numbers[] = {
        {"", 0, 0},
        {"0", 0, 0},
        {"10", 0x10, 10},
        {"FFFFFFFF", 0xFFFFFFFF, 0},
        {"1FFFFFFFF", 0xFFFFFFFF, 0},
        {"4294967296", 0x94967296, 0}, // both keep the low 32 bits: 2^32 -> 0
        {"4294967297", 0x94967297, 1},
        {"12 ", 0, 0},
        {" 12", 0, 0},
        {"-1", 0, 0},
        {"abc", 0xABC, 0},
    };
    for (const Number& n : numbers) {
        char* end = nullptr;
        EXPECT_EQ(_get_hex_arg(n.text, &end), n.hex) << n.text;
        EXPECT_EQ(_get_int_arg(n.text, nullptr), n.decimal) << n.text;
    }
    const char text[] = "40F5849A";
    char* end = nullptr;
    _get_hex_arg(text, &end);
    EXPECT_EQ(end, text + 8);
    _get_hex_arg("zz", &end);
    EXPECT_EQ(*end, 'z');
}

TEST(ParameterLog, WordsAreLoggedAfterParsingButNotAfterHelp) {
    char path[] = "/tmp/updater-log-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    FILE* file = fdopen(fd, "w+");
    Log::SetOutput(file);
    Log::DeactivatePackage(0xFFFFFFFF);
    Parsed withLog, help;
    parse({"-X", "0x10000", "-C"}, withLog);
    parse({"-h"}, help);
    Log::SetOutput(nullptr);
    Log::DeactivatePackage(0xFFFFFFFF);
    std::fflush(file);
    std::rewind(file);
    char buffer[512] = {};
    size_t n = std::fread(buffer, 1, sizeof buffer - 1, file);
    std::fclose(file);
    unlink(path);
    EXPECT_EQ(std::string(buffer, n),
              "\nApplication parameters:[updater]\n\t[/usr/local/bin/updater]\n\t[-X]\n\t[0x10000]\n\t[-C]\n");
}

} // namespace

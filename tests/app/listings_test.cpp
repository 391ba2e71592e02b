// The listings the front end prints: module rows by transport and error, build
// lists (ordered and cut to their columns), fingerprints and tokens.
#include <arpa/inet.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "RecordingDisplay.h"
#include "Tandril2/common/vDefs.h"
#include "app/Listings.h"

namespace {

const char kUsbHeader[] =
    "    Device    Module   Router  Model          Firmware Version (Build)    Device Name";
const char kNetHeader[] = "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       "
                          "Device Name";

DeviceInfo device(uint32_t type, uint32_t serial, vErr error = vErrNone) {
    DeviceInfo d;
    d.spec.type = type;
    d.spec.serial_num = serial;
    d.spec.module = 0x10;
    d.spec.router = 0x2;
    d.spec.model = vDefsModelTable[0].code;
    d.versionMajor = 2;
    d.versionMinor = 10;
    d.versionPatch = 4;
    d.build = 99528558;
    d.deviceName = "bench rig";
    d.error = error;
    return d;
}

// The model column: the table's name, left-aligned in 12 columns.
std::string modelColumn() {
    std::string name = vDefsModelTable[0].name;
    return name + std::string(name.size() < 12 ? 12 - name.size() : 0, ' ');
}

TEST(DeviceList, RowsByTransportAndError) {
    struct Case {
        const char* name;
        std::vector<DeviceInfo> devices;
        linkType type;
        std::vector<std::string> lines;
    };
    DeviceInfo tcp = device(TCPIP, 0x2181F0EE, vErrConnection); // errors show only on direct rows
    tcp.spec.ip_address = inet_addr("192.168.7.21");
    DeviceInfo unknownModel = device(USB, 1);
    unknownModel.spec.model = 0x1FF;
    const std::vector<Case> cases = {
        {"EmptyUsb", {}, USB, {"Discovered Devices: (USB)", "    No devices found."}},
        {"EmptyTcpip", {}, TCPIP, {"Discovered Devices: (TCPIP)", "    No devices found."}},
        {"EmptyOther", {}, INVALID, {"Discovered Devices: (Unknown)", "    No devices found."}},
        {"UsbRows",
         {device(USB, 0x40F5849A), device(USB, 0x0000ABCD, vErrBusy)},
         USB,
         {"Discovered Devices: (USB)", kUsbHeader,
          "    40F5849A  10       02      " + modelColumn() + "   2.10.4 (  99528558)         bench rig",
          "    0000ABCD  [Error (5): Is someone else connected to this device?]"}},
        {"TcpipRow",
         {tcp},
         TCPIP,
         {"Discovered Devices: (TCPIP)", kNetHeader,
          "    2181F0EE  10       02      " + modelColumn() +
              "   2.10.4 (  99528558)        [192.168.7.21]     bench rig"}},
        {"RouterListingHasNetworkHeader",
         {device(USB, 0x40F5849A)},
         INVALID,
         {"Discovered Devices: (Unknown)", kNetHeader,
          "    40F5849A  10       02      " + modelColumn() + "   2.10.4 (  99528558)         bench rig"}},
        {"ModelBeyondTableIsUnknown",
         {unknownModel},
         USB,
         {"Discovered Devices: (USB)", kUsbHeader,
          "    00000001  10       02      Unknown        2.10.4 (  99528558)         bench rig"}},
    };
    for (Case c : cases) {
        RecordingDisplay display;
        _display_device_list(display, c.devices, c.type);
        EXPECT_EQ(display.info, c.lines) << c.name;
        EXPECT_TRUE(display.errors.empty());
    }
}

TEST(BuildList, NewestFirstWithColumnsCut) {
    RecordingDisplay display;
    std::map<std::string, std::string> builds = {
        {"100", "2.9.12"},
        {"101", "2.10.1"},
        {"99", "2.9.3"},
        {"12345678901234567890", "unreadable-version"},
    };
    _display_builds(display, builds, 0x40F5849A);
    const std::vector<std::string> want = {
        "Build List for device [40F5849A]:\n",
        "Build          \tVersion        ",
        "101            \t2.10.1         ",
        "100            \t2.9.12         ",
        "99             \t2.9.3          ",
        "123456789012345\tunreadable-vers",
    };
    EXPECT_EQ(display.info, want);
}

TEST(BuildList, Empty) {
    RecordingDisplay display;
    std::map<std::string, std::string> builds;
    _display_builds(display, builds, 0x1);
    EXPECT_EQ(display.info, std::vector<std::string>{"No builds found for device [00000001]"});
}

TEST(Fingerprint, FourWordsInHex) {
    RecordingDisplay display;
    Fingerprint fingerprint{{0x1, 0xDEADBEEF, 0xABCD, 0xFFFFFFFF}};
    _display_fingerprint(display, fingerprint);
    EXPECT_EQ(display.info, std::vector<std::string>{"[ 00000001 DEADBEEF 0000ABCD FFFFFFFF ]"});
}

TEST(Token, PrintedAsItIsEvenEmpty) {
    RecordingDisplay display;
    _display_jwt(display, "a.b.c");
    _display_jwt(display, "");
    _display_jwt(display, "100%s");
    EXPECT_EQ(display.info, (std::vector<std::string>{"a.b.c", "", "100%s"}));
}

TEST(VersionLine, NameVersionAndBuildDate) {
    RecordingDisplay display;
    _display_app_version(display);
    ASSERT_EQ(display.info.size(), 1u);
    EXPECT_EQ(display.info[0], std::string("Updater (Version: 2.12.0 ") + __DATE__ + ")");
}

} // namespace

#include "app/Listings.h"

#include <cstdio>
#include <cstring>

#include "Tandril2/common/vDefs.h"
#include "app/Parameters.h"
#include "server_client/UpdateServerRequest.h"

namespace {

constexpr UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::LEVEL_INFO;

constexpr const char kAppName[] = "Updater";
constexpr const char kVersion[] = "Version: 2.12.0 ";

const char kShortUsage[] =
    "\n"
    "Application Usage:\n"
    "%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n"
    "    [-d serial_num]\n"
    "    [-t transport] [-r router_serial]\n"
    "    [-s serial_port] [-o baud_rate]\n"
    "\n"
    "  Tandril Update and Maintenance Application\n"
    "    -H -h or --help for full usage information.\n"
    "\n";

const char kParameterUsage[] =
    "  Parameters to commands:\n"
    "     -i <vornic_directory>  - The Vornic directory used for storage of \n"
    "                                firmware files. [Default: ~/.vornic ].\n"
    "     -b <build number>        - Build version of the firmware to transfer.\n"
    "                                [Default: latest version available].\n"
    "     -d <device>              - Device serial number of the device to access.\n"
    "     -t <transport type>      - communications method [USB,TCP,RECOVER].\n"
    "     -f <bird file>           - Firmware file to be transferred to device.\n"
    "     -r <router serial>       - indirect connection through router device\n"
    "     -s <serial port>         - name of serial port to use for recovery\n"
    "     -o <baud rate>           - baud rate for serial port (2400, 4800, 9600,\n"
    "                                19200, 38400, 57600, 115200, 230400)\n"
    "  Commands:\n"
    "     -B                       - list the Builds available for given device.\n"
    "\n"
    "     -L                       - list the local Builds available for given device.\n"
    "\n"
    "     -D                       - Discover devices that are currently connected.\n"
    "\n"
    "     -G                       - Get build file from the Vornic server and\n"
    "                                store on local machine for download to device.\n"
    "                                Must specify a specific device [\"-d\" option].\n"
    "                                Default is to obtain the latest build for the\n"
    "                                given device, override with \"-b\" option.\n"
    "\n"
    "     -U                       - Update the firmware on device specified.\n"
    "                                Must specify a specific device [\"-d\" option].\n"
    "                                Default is to download the latest build for the\n"
    "                                given device, override with \"-b\" option or\n"
    "                                specify specific BIRD file using \"-f\" option.\n"
    "     -J                       - Get a JWT containing the devices software features\n"
    "     -H or -h                 - Display extended usage information.\n"
    "\n";

const char kExtendedUsage[] =
    "  Extended Parameters:\n"
    "     -e                       - echoing of bytes enabled during recovery.\n"
    "\n"
    "     -m                       - Attemps to use UEIBytes for faster loading\n"
    "     -l 'log message'         - message to place in device history log\n"
    "     -k <filename>            - log messages written into given filename\n"
    "                                Default:[APP.log]\n"
    "     -u <host:port>           - The hostname and port of the update server\n"
    "                                Default: %s:port\n"
    "  Extended Commands:\n"
    "     -I                       - View stored device information.\n"
    "                                Must either use DISCOVER command [\"-D\"] or\n"
    "                                specify a specific device [\"-d\" option].\n"
    "\n"
    "     -OVERRIDE                - Override the model checks for BIRD firmware files.\n"
    "                                This option should only be used when authorized by\n"
    "                                Vornic development engineers.\n"
    "\n"
    "     -N                       - Get fingerprint from a device, requires -s\n"
    "\n"
    "     -X <BIT_MASK>            - Bitmask for Logging\n"
    "                                DEBUG_Updater       0x00000001\n"
    "                                DEBUG_History       0x00000002\n"
    "                                DEBUG_Attributes    0x00000004\n"
    "                                DEBUG_BirdFile      0x00000008\n"
    "                                DEBUG_Network       0x00000010\n"
    "                                DEBUG_ServerComm    0x00000020\n"
    "\n"
    "                                DEBUG_Network       0x00000100\n"
    "                                DEBUG_Network_SR    0x00000200\n"
    "                                DEBUG_Network_FIRM  0x00000400\n"
    "\n"
    "                                DEBUG_NXPSerial     0x00001000\n"
    "                                DEBUG_NXPSerial_E   0x00002000\n"
    "                                DEBUG_NXPSerial_SR  0x00004000\n"
    "\n"
    "                                DEBUG_APP           0x00010000\n"
    "\n"
    "                                DEBUG_iMXSerial     0x10000000\n"
    "\n"
    "     -C                       - Check the given BIRDFILE\n"
    "\n";

const char kSampleUsage[] =
    " Sample usage:\n"
    "\n"
    "-D                             Discover all devices connected by either USB or TCPIP.\n"
    "                               Records the device information into the settings for that device.\n"
    "\n"
    "-D -t USB                      Discover all the devices connected by USB. Records the\n"
    "                               device information into the settings for that device.\n"
    "\n"
    "-D -t USB -d 0F5849A           Discover settings of the specific device (serial number 0x40F5849A)\n"
    "\n"
    "-G -d 40F5849A                 Get the latest firmware for the given device.\n"
    "                               Downloads the firmware file into the updater specific device directory.\n"
    "\n"
    "-U -d 40F5849A                 Update the firmware on the specific device.\n"
    "                               Without other options, this command will try to locate\n"
    "                               the latest firmware version to be used for updating the device.\n"
    "\n"
    "-G -d 40F5849A -b 99528558     Get the specified build's firmware for the given device.\n"
    "                               Downloads the firmware file into the updater's specific\n"
    "                               device directory with the build number as the filename.\n"
    "\n"
    "-G -U -d 40F5849A              Get the latest firmware for the given device.\n"
    "                               Downloads the firmware file into the updater specific\n"
    "                               device directory. After download, update the firmware\n"
    "                               using the latest release.\n"
    "\n"
    "-U -t RECOVER -s /dev/serial   Update the firmware as described above, but uses the serial interface\n"
    "                               in communicating with the device to install the latest firmware.\n"
    "\n"
    " Sample usage for network discovery and updates:\n"
    "\n"
    "-D -r D272031D                 Discover all devices connected to the I2C Tandril network\n"
    "                               of the given routing device D272031D.\n"
    "\n"
    "-G -U -d 2181F0EE -r D272031D\n"
    "                               Get and Update to the latest firmware for device 2181F0EE\n"
    "                               indirectly through routing device D272031D.\n"
    "\n";

// The host part of the default server URL, as the extended text shows it.
std::string defaultServerHost() {
    std::string url = DefaultServerUrl();
    size_t start = url.find("://");
    start = start == std::string::npos ? 0 : start + 3;
    size_t end = url.find_first_of(":/", start);
    return url.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

const char* linkTypeLabel(linkType type) {
    switch (type) {
    case USB:
        return "USB";
    case TCPIP:
        return "TCPIP";
    default:
        return "Unknown";
    }
}

const char* modelName(uint32_t model) {
    // A code beyond the table's byte range must not alias a known model.
    return model <= 0xFF ? vDefs_GetModelName(static_cast<uint8_t>(model)) : "Unknown";
}

} // namespace

std::string AppVersionText() { return std::string(kVersion) + __DATE__; }

void _display_app_version(UpdaterDisplayInterface& display) {
    display.message(kInfo, "%s (%s)", kAppName, AppVersionText().c_str());
}

void _display_copyright(UpdaterDisplayInterface& display) {
    display.message(kInfo, "Copyright (C) Vornic. All rights reserved; use is subject to your licence "
                           "agreement.");
}

void _display_usage(bool extended, bool full) {
    std::fprintf(stderr, kShortUsage, kAppName);
    if (full)
        std::fputs(kParameterUsage, stderr);
    if (full && extended)
        std::fprintf(stderr, kExtendedUsage, defaultServerHost().c_str());
    if (full)
        std::fputs(kSampleUsage, stderr);
}

void _display_device_list(UpdaterDisplayInterface& display, std::vector<DeviceInfo>& devices,
                          linkType type) {
    display.message(kInfo, "Discovered Devices: (%s)", linkTypeLabel(type));
    if (devices.empty()) {
        display.message(kInfo, "    No devices found.");
        return;
    }
    if (type == USB)
        display.message(kInfo, "    Device    Module   Router  Model          Firmware Version "
                               "(Build)    Device Name");
    else
        display.message(kInfo, "    Device    Module   Router  Model          Firmware Version "
                               "(Build)   [IP address]       Device Name");
    for (const DeviceInfo& device : devices) {
        const linkSpec& spec = device.spec;
        if (spec.type == TCPIP) {
            uint8_t ip[4];
            std::memcpy(ip, &spec.ip_address, sizeof ip); // network order: first byte first
            char address[20];
            std::snprintf(address, sizeof address, "[%d.%d.%d.%d]", ip[0], ip[1], ip[2], ip[3]);
            display.message(kInfo, "    %08X  %02X       %02X      %-12s %3d.%d.%u (%10u)        %-17s  %s",
                            spec.serial_num, spec.module, spec.router, modelName(spec.model),
                            device.versionMajor, device.versionMinor, device.versionPatch,
                            device.build, address, device.deviceName.c_str());
        } else if (device.error != vErrNone) {
            display.message(kInfo, "    %08X  [Error (%d): Is someone else connected to this device?]",
                            spec.serial_num, static_cast<int>(device.error));
        } else {
            display.message(kInfo, "    %08X  %02X       %02X      %-12s %3d.%d.%u (%10u)         %s",
                            spec.serial_num, spec.module, spec.router, modelName(spec.model),
                            device.versionMajor, device.versionMinor, device.versionPatch,
                            device.build, device.deviceName.c_str());
        }
    }
}

void _display_builds(UpdaterDisplayInterface& display, std::map<std::string, std::string>& builds,
                     unsigned serial) {
    if (builds.empty()) {
        display.message(kInfo, "No builds found for device [%08X]", serial);
        return;
    }
    display.message(kInfo, "Build List for device [%08X]:\n", serial);
    display.message(kInfo, "%-15.15s\t%-15.15s", "Build", "Version");
    for (const auto& [build, version] : UpdateServerRequest::SortBuildsByVersion(builds))
        display.message(kInfo, "%-15.15s\t%-15.15s", build.c_str(), version.c_str());
}

void _display_fingerprint(UpdaterDisplayInterface& display, Fingerprint& fingerprint) {
    display.message(kInfo, "[ %08X %08X %08X %08X ]", fingerprint.word[0], fingerprint.word[1],
                    fingerprint.word[2], fingerprint.word[3]);
}

void _display_jwt(UpdaterDisplayInterface& display, std::string token) {
    display.message(kInfo, "%s", token.c_str());
}

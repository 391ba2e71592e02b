// The updater's front end: parse the command line, make sure the store exists, run
// the requested commands in their fixed order and turn the outcome into the exit status.
#include <map>
#include <string>
#include <vector>

#include "Tandril2/common/vDirectory.h"
#include "app/CLI_Display.h"
#include "app/Listings.h"
#include "app/Log.h"
#include "app/Parameters.h"
#include "store/BuildPath.h"
#include "updater/Updater.h"

namespace {

constexpr UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::LEVEL_INFO;
constexpr UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::LEVEL_ERROR;

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;

constexpr size_t kHomeBufferSize = 2048;
constexpr mode_t kStoreMode = 0755;
// -N talks to a chip that has no serial number yet.
constexpr unsigned int kFingerprintSerial = 0xDEADDEAD;

// The build of -b or of -G's download; 0 (latest) when empty or not a number.
unsigned int buildFromText(const std::string& text) { return _get_int_arg(text.c_str(), nullptr); }

// The store root: -i's directory, or .vornic under the home directory, and then
// "updater" inside it. False (after logging) when there is no home directory.
bool resolveStorageDirectory(Parameters& params) {
    if (params.storageDirectory.empty()) {
        char home[kHomeBufferSize];
        vErr err = vDirectory_GetHomeDirectory(home, sizeof home);
        if (err != vErrNone) {
            Log::log(DEBUG_APP, "Updater: FailedvDirectory_GetHomeDirectory()==> %d\n", err);
            return false;
        }
        params.storageDirectory = BuildPath(home, ".vornic");
    }
    params.storageDirectory = BuildPath(params.storageDirectory, "updater");
    return true;
}

int runDiscover(CLI_Display& display, Updater& updater, const Parameters& params) {
    linkType type = params.transportGiven && params.transport != kTransportRecover
                        ? static_cast<linkType>(params.transport)
                        : INVALID;
    std::vector<DeviceInfo> devices;
    if (params.routerSerialNumber != 0) {
        display.message(kInfo, "Searching for Tandril Network devices connected to %08X",
                        params.routerSerialNumber);
        devices = updater.Discover_BSNetwork_Devices(params.routerSerialNumber, type);
    } else {
        display.message(kInfo, "Searching for Tandril devices");
        // Without -t only USB is searched: the network search waits for answers.
        if (type == INVALID)
            type = USB;
        devices = updater.Discover_Devices(type);
    }
    _display_device_list(display, devices, type);
    return kExitSuccess;
}

int runUpdate(CLI_Display& display, Updater& updater, const Parameters& params) {
    unsigned int build = buildFromText(params.buildNumber);
    updater.Set_UEIBytes_Load(params.ueiBytesLoad);
    bool ok;
    if (params.transport == kTransportRecover) {
        ok = updater.Recover_Firmware(params.serialPort, build, params.baudRate, params.serialNumber,
                                      params.birdFile, params.override);
    } else {
        if (params.serialNumber == 0) {
            display.message(kError, "Must specify the specific device to be updated");
            return kExitFailure;
        }
        ok = updater.Update_Firmware(params.serialNumber, build, params.birdFile,
                                     params.moduleAddress, params.routerSerialNumber,
                                     params.override);
    }
    return ok ? kExitSuccess : kExitFailure;
}

// -B, -L, -J: need -d; their listing is printed whatever the server or store answered.
template <class Show>
int runListing(CLI_Display& display, const Parameters& params, const char* command, Show show) {
    if (params.serialNumber == 0) {
        display.message(kError, "Error must supply a serial number for the %s command", command);
        _display_usage(false, false);
        return kExitFailure;
    }
    show(params.serialNumber);
    return kExitSuccess;
}

} // namespace

int main(int argc, char** argv) {
    Parameters params;
    CLI_Display display;
    Log::SetOutput(stderr);

    if (_get_params(display, argc, argv, &params) != 0) {
        _display_app_version(display);
        _display_copyright(display);
        _display_usage(false, false);
        return kExitFailure;
    }
    _display_app_version(display);

    if (params.commands.IsSet(CMD_HELP) || !params.commands.IsSet(CMD_ANY_COMMAND)) {
        _display_copyright(display);
        _display_usage(params.debugMaskGiven, params.helpRequested);
        return kExitSuccess;
    }

    if (!resolveStorageDirectory(params))
        return kExitFailure;
    if (vDirectory_Ensure(params.storageDirectory.c_str(), kStoreMode) != vErrNone) {
        display.message(kError, "Could not find updater directory at %s",
                        params.storageDirectory.c_str());
        return kExitFailure;
    }

    Updater updater(params.serverUrl.c_str(), params.storageDirectory.c_str(), display);
    int status = kExitSuccess;

    if (params.commands.IsSet(CMD_FINGERPRINT)) {
        if (params.serialPort.empty()) {
            display.message(kError, "Must specify the serial port used for connecting");
            return kExitFailure;
        }
        Fingerprint fingerprint;
        if (updater.Get_Fingerprint(fingerprint, params.serialPort, kFingerprintSerial,
                                    params.birdFile, params.baudRate, true)) {
            _display_fingerprint(display, fingerprint);
        } else {
            display.message(kError, "Got no response from chip");
            status = kExitFailure;
        }
    }

    if (params.commands.IsSet(CMD_GET)) {
        if (params.serialNumber == 0) {
            display.message(kError, "-G must specify a specific device via -d");
            display.message(kError, "--help for usage information");
            return kExitFailure;
        }
        display.message(kInfo, "Retrieving firmware for device with serial number %08X",
                        params.serialNumber);
        if (params.buildNumber.empty()) {
            display.message(kInfo, "No build specified");
            display.message(kInfo, "Using Latest build");
        } else {
            display.message(kInfo, "Retrieving firmware build %s", params.buildNumber.c_str());
        }
        uint32_t stored =
            updater.Download_Firmware(params.serialNumber, params.buildNumber, params.override, false);
        if (stored != 0) {
            // A following -U installs exactly what was just stored.
            params.buildNumber = std::to_string(stored);
            status = kExitSuccess;
        } else {
            status = kExitFailure;
        }
    }

    if (params.commands.IsSet(CMD_DISCOVER))
        return runDiscover(display, updater, params);
    if (params.commands.IsSet(CMD_UPDATE))
        return runUpdate(display, updater, params);
    if (params.commands.IsSet(CMD_LIST_BUILDS))
        return runListing(display, params, "List Builds", [&](unsigned serial) {
            std::map<std::string, std::string> builds = updater.Get_BuildList(serial);
            _display_builds(display, builds, serial);
        });
    if (params.commands.IsSet(CMD_LIST_LOCAL))
        return runListing(display, params, "List Local Builds", [&](unsigned serial) {
            std::map<std::string, std::string> builds = updater.Get_BuildListLocal(serial);
            _display_builds(display, builds, serial);
        });
    if (params.commands.IsSet(CMD_JWT))
        return runListing(display, params, "Get JWT",
                          [&](unsigned serial) { _display_jwt(display, updater.Get_JWT(serial)); });
    return status;
}

// The one object through which the front end does everything that touches modules,
// the store or the update server. Each operation opens what it needs (store object,
// modules, server requests) and releases it before it returns; operations report to
// the user through the display and return false, 0 or an empty result on failure.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Tandril2/common/discover.h"
#include "app/UpdaterDisplayInterface.h"
#include "store/BirdFile.h"
#include "updater/DeviceInfo.h"
#include "updater/Fingerprint.h"

class Updater {
public:
    // Boot-ROM families recorded by Get_Fingerprint in chipFamily.
    static constexpr uint8_t kChipUnknown = 0;
    static constexpr uint8_t kChipIMX = 1;
    static constexpr uint8_t kChipLPC = 2;

    // Keeps copies of both texts and a reference to the display; touches nothing else.
    Updater(const char* serverUrl, const char* storageDirectory, UpdaterDisplayInterface& display);

    // Whether firmware data may be sent as UEI byte transfers.
    void Set_UEIBytes_Load(bool on) { ueiBytesLoad = on; }

    // Modules reachable by USB (1), TCP/IP (2) or both (0, USB first), with the error
    // met while querying each one in its record.
    std::vector<DeviceInfo> Discover_Devices(linkType type);
    // Modules on the I2C network of the router `routerSerial`, reached by `type`
    // (0: USB, else TCP/IP). Empty when the router is not found or cannot be routed.
    std::vector<DeviceInfo> Discover_BSNetwork_Devices(unsigned int routerSerial, linkType type);

    // Transfers firmware into a running module; true when the transfer up to the
    // reboot request succeeded and was recorded. build 0: chosen here; empty birdFile:
    // from the store; moduleAddress 0: unknown; routerSerial 0: direct connection.
    bool Update_Firmware(unsigned int serial, unsigned int build, std::string birdFile,
                         unsigned char moduleAddress, unsigned int routerSerial, bool override);
    // The given file, or the stored file of `build` (latest when 0), downloaded first
    // when missing and `allowDownload`. Throws std::runtime_error when it cannot be read.
    BirdFile load_bird(const char* label, std::string birdFile, unsigned int serial,
                       unsigned int build, bool allowDownload);

    // Fetches a build (latest for an empty text) into the store; the stored build
    // number, or 0.
    uint32_t Download_Firmware(unsigned int serial, std::string buildText, bool override,
                               bool noCal);
    // Build text to version text, from the server / from the store; empty on failure.
    std::map<std::string, std::string> Get_BuildList(unsigned int serial);
    std::map<std::string, std::string> Get_BuildListLocal(unsigned int serial);
    // The module's feature token, empty on failure.
    std::string Get_JWT(unsigned int serial);

    // Brings back a module whose firmware no longer runs, through its boot ROM.
    bool Recover_Firmware(std::string serialPort, unsigned int build, unsigned int baudRate,
                          unsigned int serial, std::string birdFile, bool override);
    // Reads the boot ROM's chip identifier words; records the family in chipFamily.
    bool Get_Fingerprint(Fingerprint& fingerprint, std::string serialPort, unsigned int serial,
                         std::string birdFile, unsigned int baudRate, bool resetAfter);
    // Fetches the recovery build the server names for a fingerprint; the stored build
    // number, or 0.
    uint32_t Download_Firmware(Fingerprint fingerprint, std::string buildText, bool override);

    // Whether the server lists `build` for the module.
    bool _valid_build(unsigned int serial, unsigned int build, const char* serverUrl);

    std::string serverUrl;
    std::string storageDirectory;
    UpdaterDisplayInterface& display;
    uint8_t chipFamily = kChipUnknown; // boot-ROM family of the last fingerprint
    bool ueiBytesLoad = false;
};

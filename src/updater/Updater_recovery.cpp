// Recovery through the boot ROM: identify the chip (an LPC part answering its serial
// ISP, otherwise an i.MX part that takes a RAM loader), ask the server which module
// and recovery build that chip is, and write the recovery firmware.
#include <memory>
#include <stdexcept>
#include <string>

#include "Tandril2/common/vError.h"
#include "Tandril2/common/vTime.h"
#include "Tandril2/objects/Module.h"
#include "Tandril2/objects/SystemClass.h"
#include "app/Log.h"
#include "recovery/HID_SDPLoader.h"
#include "recovery/NXPSerial.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader_unix.h"
#include "server_client/UpdateServerRequest.h"
#include "store/UpdaterStore.h"
#include "updater/Updater.h"
#include "updater/UpdaterSupport.h"

using Vornic::Tandril::Module;
using Vornic::Tandril::SystemClass;

namespace {

constexpr auto kInfo = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto kError = UpdaterDisplayInterface::LEVEL_ERROR;

constexpr unsigned kUnknownSerial = 0xDEADDEAD;
constexpr uint32_t kFingerprintBaud = 115200;
constexpr uint16_t kImxVendorId = 0x1FC9;
constexpr uint16_t kImxProductId = 0x0130;
constexpr uint32_t kImxDefaultStart = 0x20000400;
constexpr uint32_t kLpcChunk = 4096;
constexpr int kLpcLastSector = 29;
// A firmware block of this length (address and one word) closes an LPC recovery file.
constexpr size_t kLpcEndBlockLength = 8;

uint32_t bigEndian(const unsigned char* data) {
    return static_cast<uint32_t>(data[0]) << 24 | data[1] << 16 | data[2] << 8 | data[3];
}

bool _get_fingerprint_lpc(const std::string& serialPort, unsigned int baudRate, Fingerprint& fingerprint) {
    NXPSerialClass isp;
    vErr err = isp.Connect(serialPort, baudRate);
    if (err != vErrNone) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", err);
        return false;
    }
    Log::log(DEBUG_APP, "\n\tSync to Device:\n");
    if ((err = isp.Sync()) != vErrNone) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n", err);
        return false;
    }
    Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
    if (isp.GetDeviceID() != vErrNone) {
        Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
        return false;
    }
    for (int i = 0; i < 4; ++i) fingerprint.word[i] = isp.deviceId()[i];
    return true;
}

int _transfer_recovery_loader(UpdaterDisplayInterface&, BirdFile& bird, const std::string& serialPort) {
    Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
    SDPLoader loader;
    std::unique_ptr<SDPLoader_Interface> transport;
    if (serialPort == "USB")
        transport = std::make_unique<HID_SDPLoader>(kImxVendorId, kImxProductId);
    else
        transport = std::make_unique<Serial_SDPLoader>(serialPort.c_str());
    if (loader.setLoader(transport.get())) transport.release(); // the loader owns it now
    if (loader.init() != SDPLoader::Ok) return 11;

    uint32_t address = 0;
    int number = 0;
    for (const BirdBlock& block : bird.FindBlocks(BirdFile::BLOCK_LOADER)) {
        std::vector<unsigned char> image;
        if (block.length >= 4) {
            address = bigEndian(block.data);
            image.assign(block.data + 4, block.data + block.length);
        }
        Log::log(DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", number++, image.size(),
                 static_cast<int>(address));
        if (loader.writeLoader(image, address) != SDPLoader::Ok) return 25;
    }
    uint32_t start = kImxDefaultStart;
    auto starts = bird.FindBlocks(BirdFile::BLOCK_START_ADDRESS);
    if (!starts.empty() && starts.front().length >= 4) start = bigEndian(starts.front().data);
    loader.startLoader(start);
    return 0;
}

bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, const std::string& serialPort,
                          unsigned int serial, const std::string& birdFile, Fingerprint& fingerprint,
                          bool resetAfter) {
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display, updater.storageDirectory, "_get_fingerprint_imx");
    if (!store) return false;
    if (serial == 0) serial = kUnknownSerial;
    UpdaterStoreItem item;
    bool known = store->FindDevice(serial, &item) && item.IsValid();

    std::string name;
    if (!birdFile.empty()) {
        if (serial == kUnknownSerial) {
            display.message(kError, "Add serial number or remove the bird filename to use a default recovery image.");
            return false;
        }
    } else if (known) {
        name = item.settings.GetString("LATEST_DOWNLOAD", "");
    } else {
        display.mute_messages(true);
        Log::log(DEBUG_APP, "Existing loader device not found. Downloading.\n");
        uint32_t build = updater.Download_Firmware(serial, "", false, false);
        if (build != 0) {
            name = std::to_string(build) + ".bird";
            store->FindDevice(serial, &item);
        }
        display.mute_messages(false);
    }

    BirdFile bird;
    try {
        bird = birdFile.empty() ? item.ReadBirdFile(name.c_str()) : BirdFile(birdFile.c_str());
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_APP, "%s\n", e.what());
        return false;
    }
    if (_transfer_recovery_loader(display, bird, serialPort) != 0) {
        Log::log(DEBUG_APP, "Error loading liveloader.\n");
        return false;
    }

    Module module(0, 0);
    if (_disableEther(module, display) != vErrNone) return false;
    if (!_find_on_usb(module, serial, false, true)) {
        Log::log(DEBUG_APP, "Could not connect to device.\n");
        return false;
    }
    SystemClass system;
    system.init(&module, 0);
    for (uint8_t sub = 0; sub < 4; ++sub) {
        uint32_t value = 0;
        if (system.getUEI32(SystemClass::kIdentifiers, sub, &value) != vErrNone) {
            Log::log(DEBUG_APP, "Error getting Identifier %d.\n", sub);
            return false;
        }
        fingerprint.word[3 - sub] = value;
    }
    if (resetAfter) system.reset();
    return true;
}

bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& bird, std::string& serialPort,
                           unsigned int baudRate, Fingerprint&) {
    NXPSerialClass isp;
    // No new synchronisation: the loader is still synchronised from the fingerprint step.
    if (isp.Connect(serialPort, baudRate) != vErrNone) {
        Log::log(DEBUG_Network, "Could not connect to %s\n", serialPort.c_str());
        return false;
    }
    Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
    if (isp.Unlock() != vErrNone) {
        Log::log(DEBUG_Network, "Could not unlock\n");
        return false;
    }
    Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
    if (isp.Prepare(0, kLpcLastSector) != vErrNone) {
        Log::log(DEBUG_Network, "Could not prepare\n");
        return false;
    }
    Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
    if (isp.Erase(0, kLpcLastSector) != vErrNone) {
        Log::log(DEBUG_Network, "Could not erase\n");
        return false;
    }
    isp.SetEcho(false);
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", bird.path.c_str());

    const auto blocks = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    const int count = static_cast<int>(blocks.size()) - 1;
    int number = 0;
    size_t total = 0;
    for (const BirdBlock& block : blocks) {
        if (block.length == kLpcEndBlockLength) break;
        if (block.length < 4) continue;
        ++number;
        const uint32_t length = block.length - 4;
        uint32_t address = bigEndian(block.data);
        const unsigned char* image = block.data + 4;
        display.message(kInfo, "Transferring firmware block %d of %d, %d bytes", number, count,
                        static_cast<int>(length));
        display.display_progress(true);
        Log::log(DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n",
                 static_cast<int>(length), address);
        for (uint32_t offset = 0; offset < length;) {
            const uint32_t n = length - offset < kLpcChunk ? length - offset : kLpcChunk;
            const uint32_t copy = NXPSerialClass::CopyLength(n);
            Log::log(DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n", static_cast<int>(n), address);
            Log::log(DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", static_cast<int>(n),
                     NXPSerialClass::WRITE_ADDRESS);
            if (isp.Write(NXPSerialClass::WRITE_ADDRESS, n, image + offset) != vErrNone) {
                Log::log(DEBUG_Updater, "\t Write to RAM failed\n");
                display.display_progress(false);
                return false;
            }
            // The copy always moves CopyLength(n) bytes, so every sector it reaches must
            // be prepared, not only those the chunk's own bytes fall in.
            const int first = NXPSerialClass::SectorFromAddress(address);
            const int last = NXPSerialClass::SectorFromAddress(address + copy - 1);
            Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", first, last);
            if (isp.Prepare(first, last) != vErrNone) {
                Log::log(DEBUG_Updater, "\t Prepare failed\n");
                display.display_progress(false);
                return false;
            }
            Log::log(DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", static_cast<int>(copy),
                     NXPSerialClass::WRITE_ADDRESS, address);
            if (isp.CopyToFlash(address, NXPSerialClass::WRITE_ADDRESS, copy) != vErrNone) {
                Log::log(DEBUG_Updater, "\t Transfer to flash failed\n");
                display.display_progress(false);
                return false;
            }
            address += n;
            offset += n;
            display.update_progress(static_cast<double>(offset) / length, "");
        }
        display.display_progress(false);
        total += length;
    }
    display.message(kInfo, "Transferred %d blocks, %d total bytes", count, static_cast<int>(total));
    vErr err = isp.SetEcho(true);
    if (err != vErrNone) {
        display.message(kError, "Recovery Error transfering data to device ==> [%d, %s]", err,
                        vError_GetErrorText(err));
        return false;
    }
    display.message(kInfo, "Rebooting Device");
    isp.ExecuteFrom(0);
    return true;
}

bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& bird, unsigned int serial, bool ueiBytes) {
    Module module(0, 0);
    if (_disableEther(module, display) != vErrNone) return false;
    if (!_find_on_usb(module, serial, true, false)) {
        display.message(kError, "Could not connect to device");
        return false;
    }
    if (_transfer_firmware(display, module, bird, false, ueiBytes) != vErrNone) {
        display.message(kError, "Failed to transfer firmware");
        return false;
    }
    return true;
}

} // namespace

bool Updater::Get_Fingerprint(Fingerprint& fingerprint, std::string serialPort, unsigned int serial,
                              std::string birdFile, unsigned int baudRate, bool resetAfter) {
    if (_get_fingerprint_lpc(serialPort, baudRate, fingerprint)) {
        chipFamily = kChipLPC;
        return true;
    }
    chipFamily = kChipIMX;
    return _get_fingerprint_imx(display, *this, serialPort, serial, birdFile, fingerprint, resetAfter);
}

bool Updater::Recover_Firmware(std::string serialPort, unsigned int build, unsigned int baudRate,
                               unsigned int serial, std::string birdFile, bool) {
    const uint64_t start = vTime_GetMSTicks();
    Fingerprint fingerprint;
    if (!Get_Fingerprint(fingerprint, serialPort, serial, birdFile, kFingerprintBaud, false)) {
        display.message(kError, "Could not get Device Identifier");
        return false;
    }
    unsigned int recoveryBuild = 0;
    if (birdFile.empty()) {
        unsigned int serverSerial = 0, serverBuild = 0;
        if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.word, &serverSerial, &serverBuild,
                                                  serverUrl.c_str())) {
            display.message(kError, "Failed to retrieve recovery information from Vornic server");
            return false;
        }
        if (serverSerial != 0) serial = serverSerial;
        if (serverBuild != 0) recoveryBuild = serverBuild;
        if (build != 0) recoveryBuild = build;
    }
    BirdFile bird;
    try {
        bird = load_bird("Recovering", birdFile, serial, recoveryBuild, true);
    } catch (const std::runtime_error&) {
        display.message(kError, "Failed to load bird file");
        return false;
    }
    if (bird.hasSerialOffsets) {
        display.message(kError, "Updater does not support offline recovery");
        return false;
    }
    bool ok = false;
    switch (chipFamily) {
    case kChipIMX:
        ok = _recover_firmware_imx(display, bird, serial, ueiBytesLoad);
        break;
    case kChipLPC:
        bird.DecodeFirmwareBlocks(fingerprint.word);
        ok = _recover_firmware_lpc(display, bird, serialPort, baudRate, fingerprint);
        break;
    default:
        display.message(kError, "Unknown device");
        return false;
    }
    display.message(kInfo, "Update time: %.4f sec", (vTime_GetMSTicks() - start) / 1000.0);
    return ok;
}

uint32_t Updater::Download_Firmware(Fingerprint fingerprint, std::string buildText, bool override) {
    uint32_t build = BuildNumberOrZero(buildText);
    unsigned int serial = 0, serverBuild = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.word, &serial, &serverBuild, serverUrl.c_str())) {
        display.message(kError, "Failed to retrieve recovery information from Vornic update server");
        return 0;
    }
    if (build == 0) build = serverBuild;
    return Download_Firmware(serial, std::to_string(build), override, false);
}

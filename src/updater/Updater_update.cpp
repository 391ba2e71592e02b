// Firmware into a running module: choose and load the file, connect, check, start
// the loader, send the firmware, reboot, record the transfer.
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include "Tandril2/common/discover.h"
#include "Tandril2/common/vDefs.h"
#include "Tandril2/common/vTime.h"
#include "Tandril2/objects/Module.h"
#include "Tandril2/objects/SystemClass.h"
#include "app/Log.h"
#include "server_client/UpdateServerRequest.h"
#include "store/BirdFile.h"
#include "store/UpdaterStore.h"
#include "updater/Updater.h"
#include "updater/UpdaterEntity.h"
#include "updater/UpdaterSupport.h"

using Vornic::Tandril::Module;
using Vornic::Tandril::SystemClass;

namespace {

constexpr UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::LEVEL_INFO;
constexpr UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::LEVEL_ERROR;

// Each firmware block gets this many tries, each from its PREPARE on.
constexpr int kFirmwareBlockTries = 5;
// A module that left the bus when its loader started is looked for this often, a
// second apart, with a fresh USB context before every third attempt.
// A USB module whose loader starts leaves the bus right after LOAD, but its link only
// notices when the next transfer fails; checking at once can find it still "up" and
// send the firmware into a vanishing device.
constexpr auto kLoaderLeaveWait = std::chrono::milliseconds(1000);
constexpr auto kLoaderLeavePoll = std::chrono::milliseconds(10);

// Connects `module` by serial number over USB, or over TCP/IP when no USB module has it.
vErr ConnectDirect(Module& module, uint32_t serial) {
    vErr err = module.connect(USB, serial);
    if (err == vErrNotFound)
        err = module.connect(TCPIP, serial);
    return err;
}

bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& bird, Module& module,
                        unsigned int serial) {
    if (bird.blockCount == 0)
        return false;
    if (!bird.hasSerialOffsets && !bird.ValidateSerialNumber(serial))
        return false;
    Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    SystemClass system;
    system.init(&module, 0);
    uint32_t connected = 0;
    const vErr serialErr = system.getSerialNumber(&connected);
    if (connected != serial) {
        Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n",
                 serialErr);
        return false;
    }
    uint8_t model = 0;
    const vErr modelErr = system.getModel(&model);
    if (modelErr != vErrNone)
        model = 0;
    const char* name = vDefs_GetModelName(model);
    if (!bird.ValidateModel(name)) {
        display.message(kError, "Connected device model and Bird file model do not match [%s] (%d)",
                        name, modelErr);
        return false;
    }
    return true;
}

vErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, BirdFile& bird) {
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    vErr err = entity.LoaderInit();
    if (err != vErrNone) {
        Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", err, vError_GetErrorText(err));
        return err;
    }
    display.message(kInfo, "Transferring loader to device");
    const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_LOADER);
    display.display_progress(true);
    int sent = 0;
    unsigned total = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const BirdBlock& block = blocks[i];
        display.message(kInfo, "Transferring loader block %d of %d, %d bytes", sent + 1,
                        int(blocks.size()), int(block.length));
        unsigned short blockSize = 0;
        err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
        if (err != vErrNone && err != vErrTimeout) {
            Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", err,
                     vError_GetErrorText(err));
            break;
        }
        err = entity.LoaderTransfer(block.data, block.length);
        if (err != vErrNone) {
            // The loader is started only from a complete image: stop at the first
            // block that did not arrive.
            Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", err, vError_GetErrorText(err));
            break;
        }
        total += block.length;
        ++sent;
    }
    display.message(kInfo, "Transferred %d blocks, %d total bytes", sent, int(total));
    display.display_progress(false);
    if (err != vErrNone)
        return err;
    display.message(kInfo, "Starting Load on Device");
    err = entity.LoaderStart();
    if (err == vErrTimeout) {
        Log::log(DEBUG_Updater,
                 "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
        return vErrNone;
    }
    if (err != vErrNone)
        display.message(kError, "Error starting loader [%d, %s]", err, vError_GetErrorText(err));
    return err;
}

} // namespace

vErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, BirdFile& bird,
                        bool viaRouter, bool ueiBytes) {
    UpdaterEntity entity;
    entity.init(&module, 0, true, viaRouter);
    if (ueiBytes && entity.CheckUEIDataSupport() == vErrNone)
        entity.CheckPooledPacketsSupport();
    Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", bird.path.c_str());
    const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    vErr err = vErrNone;
    unsigned sent = 0;
    unsigned total = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const BirdBlock& block = blocks[i];
        for (int attempt = 0; attempt < kFirmwareBlockTries; ++attempt) {
            display.message(kInfo, "Transferring firmware block %u of %u, %d bytes", unsigned(i + 1),
                            unsigned(blocks.size()), int(block.length));
            if (attempt > 0)
                display.message(kInfo, "  Retry %d", attempt);
            unsigned short blockSize = 0;
            err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
            if (err != vErrNone) {
                Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", err,
                         vError_GetErrorText(err));
                break;
            }
            err = entity.FirmwareTransfer(block.data, block.length, blockSize, display);
            if (err == vErrNone)
                break;
            Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", err, vError_GetErrorText(err));
        }
        if (err != vErrNone) {
            Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
            break;
        }
        total += block.length;
        ++sent;
    }
    display.message(kInfo, "Transferred %d blocks, %d total bytes", int(sent), int(total));
    if (err == vErrNone)
        err = entity.LoaderReboot(display);
    return err;
}

namespace {

// Gives a USB module's link a moment to notice that the module left the bus when its
// loader started. Other links stay up through the loader and are not waited for.
void AwaitLoaderDeparture(Module& target) {
    linkSpec spec{};
    if (target.getLinkSpecifier(&spec) != vErrNone || spec.type != USB)
        return;
    const auto deadline = std::chrono::steady_clock::now() + kLoaderLeaveWait;
    while (target.isConnected() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(kLoaderLeavePoll);
}


} // namespace

BirdFile Updater::load_bird(const char* label, std::string birdFile, unsigned int serial,
                            unsigned int build, bool allowDownload) {
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storageDirectory, "load_bird");
    if (!store)
        return BirdFile();
    if (!birdFile.empty()) {
        display.message(kInfo, "%s from Birdfile: %s", label, birdFile.c_str());
        return BirdFile(birdFile.c_str());
    }
    UpdaterStoreItem item = store->AddDevice(serial);
    display.message(kInfo, "%s firmware with build: %u", label, build);
    const std::string fileName = std::to_string(build) + ".bird";
    try {
        return item.ReadBirdFile(fileName.c_str());
    } catch (const std::runtime_error&) {
        if (!allowDownload)
            throw std::runtime_error("Error reading birdfile");
    }
    display.message(kInfo, "Downloading firmware build %u", build);
    // Build 0 downloads the latest build, stored under its own number: install that one.
    const uint32_t stored = Download_Firmware(serial, std::to_string(build), false, false);
    if (stored == 0)
        throw std::runtime_error("Error reading birdfile");
    return item.ReadBirdFile((std::to_string(stored) + ".bird").c_str());
}

bool Updater::Update_Firmware(unsigned int serial, unsigned int build, std::string birdFile,
                              unsigned char moduleAddress, unsigned int routerSerial, bool override) {
    if (serial == 0) {
        display.message(kError, "Update command must specify the specific device");
        return false;
    }
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storageDirectory, "Update_Firmware");
    if (!store)
        return false;
    UpdaterStoreItem item;
    store->FindDevice(serial, &item);
    const uint64_t start = vTime_GetMSTicks();

    if (birdFile.empty()) {
        if (build == 0) {
            std::string serverBuild;
            std::string firmwareName;
            UpdateServerRequest::QueryBuild(serial, serverBuild, firmwareName, serverUrl.c_str());
            build = BuildNumberOrZero(serverBuild);
            if (build != 0) {
                try {
                    item.ReadBirdFile((std::to_string(build) + ".bird").c_str());
                } catch (const std::exception&) {
                    build = 0;
                    display.message(kInfo, "New firmware is available.  Updater will proceed if "
                                           "valid firmware is found locally.");
                }
            }
        }
        if (build == 0 && (build = item.settings.GetInt("LATEST_DOWNLOAD", 0)) != 0)
            display.message(kInfo, "Updating with the Latest Download");
        if (build == 0 && (build = item.settings.GetInt("LATEST_TRANSFER", 0)) != 0)
            display.message(kInfo, "Updating with the Latest Transfer");
        if (build == 0) {
            display.message(kError, "Could not find valid build for this device.");
            return false;
        }
    }

    BirdFile bird;
    try {
        bird = load_bird("Updating", birdFile, serial, build, false);
    } catch (const std::exception&) {
        display.message(kError, "Failed to load bird file");
        return false;
    }
    if (bird.hasSerialOffsets) {
        Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
        if (!bird.ReplaceSerialNumber(serial)) {
            Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
            return false;
        }
        Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
    }

    Module target(moduleAddress, 0);
    vErr err = _disableEther(target, display);
    if (err == vErrNone && routerSerial == 0) {
        err = ConnectDirect(target, serial);
        if (err != vErrNone)
            display.message(kError, "Failed to connect to module [%08X]", serial);
    } else if (err == vErrNone) {
        if (moduleAddress == 0) {
            const std::vector<DeviceInfo> network = Discover_BSNetwork_Devices(routerSerial, INVALID);
            if (network.empty()) {
                display.message(kError, "Unable to find modules on Network");
                return false;
            }
            uint16_t address = 0;
            for (const DeviceInfo& info : network) {
                if (info.spec.serial_num == serial)
                    address = info.networkAddress;
            }
            if (address == 0) {
                display.message(kError,
                                "Module address required for indirect firmware update, could not "
                                "find serial number [0x%08X] on network",
                                serial);
                return false;
            }
            target.setModuleAddress(static_cast<uint8_t>(address));
        }
        auto router = std::make_unique<Module>(0, 0);
        err = _disableEther(*router, display);
        if (err == vErrNone) {
            if (ConnectDirect(*router, routerSerial) != vErrNone) {
                display.message(kError, "Failed to connect to link module [%08X]", routerSerial);
                return false;
            }
            err = target.connectThroughLinkModule(router.get());
            if (err != vErrNone)
                display.message(kError, "Failed to connect to module [%08X]", serial);
        }
        // The target keeps the router's link open for as long as it uses it.
        router.reset();
    }

    if (err == vErrNone && target.isConnected() && !override &&
        !_validate_birdfile(display, bird, target, serial)) {
        display.message(kError, "Birdfile failed validation");
        return false;
    }
    if (err == vErrNone) {
        err = _transfer_loader(display, target, bird);
        if (err == vErrNone)
            AwaitLoaderDeparture(target);
        if (err == vErrNone && !target.isConnected()) {
            // The loader left the bus: look for the module again.
            target.disconnect();
            _find_on_usb(target, serial, false, true);
        }
    }
    if (err == vErrNone)
        err = _transfer_firmware(display, target, bird, routerSerial != 0, ueiBytesLoad);
    if (err != vErrNone) {
        Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", err);
        return false;
    }

    if (birdFile.empty())
        birdFile = std::to_string(build) + ".bird";
    // A module without a store directory has no settings to record the transfer in
    // (saving them would write a stray settings file into the working directory).
    if (item.IsValid()) {
        item.settings.Add("LATEST_TRANSFER", birdFile.c_str());
        item.settings.Add("LAST_TRANSFER_DATE", KeyValueStore::TimeStamp());
        item.settings.Save(nullptr);
    }
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    display.message(kInfo, "Update time: %.4f sec", double(vTime_GetMSTicks() - start) / 1000.0);
    return true;
}

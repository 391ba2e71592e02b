#include "updater/UpdaterEntity.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "Tandril2/common/vDefs.h"
#include "Tandril2/common/vUEI.h"
#include "Tandril2/objects/Link.h"
#include "Tandril2/objects/Module.h"
#include "Tandril2/objects/SystemClass.h"
#include "app/Log.h"
#include "app/UpdaterDisplayInterface.h"

using Vornic::Tandril::Module;

namespace {

// Every answer is received into a buffer that holds the largest packet.
constexpr unsigned char kAnswerCapacity = 28;

uint32_t bigEndian32(const unsigned char* bytes) {
    return (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) |
           uint32_t(bytes[3]);
}

uint32_t byteSum(const unsigned char* data, unsigned int size) {
    uint32_t sum = 0;
    for (unsigned int i = 0; i < size; ++i)
        sum += data[i];
    return sum;
}

void sleepMs(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

} // namespace

void UpdaterEntity::init(Module* target, unsigned char index, bool validateSums, bool router) {
    EntityClass::init(target, cmdUPGRADE, index);
    module = target;
    validate = validateSums;
    viaRouter = router;
    useUEIData = false;
}

vErr UpdaterEntity::send(unsigned char option, const unsigned char* payload,
                         unsigned char payloadLength) {
    unsigned char data[kAnswerCapacity - 1];
    data[0] = option;
    std::copy_n(payload, payloadLength, data + 1);
    return sendPacket(cmdUPGRADE, static_cast<unsigned char>(payloadLength + 1), data);
}

vErr UpdaterEntity::await(unsigned char option, unsigned char& length, unsigned char* answer) {
    const unsigned char match[2] = {cmdUPGRADE, option};
    length = 2;
    return receivePacket(match, &length, answer);
}

vErr UpdaterEntity::LoaderInit() {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
    vErr err = send(val_UPGRADE_INIT, nullptr, 0);
    if (err != vErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", err);
        return err;
    }
    unsigned char answer[kAnswerCapacity];
    unsigned char length = 0;
    err = await(val_UPGRADE_INIT, length, answer);
    if (err != vErrNone)
        return err;
    if (length < 6)
        return vErrPacket;
    const uint32_t base = bigEndian32(answer + 2);
    Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", int(base), base);
    return vErrNone;
}

vErr UpdaterEntity::TransferPrepare(const unsigned char* block, unsigned int length,
                                    unsigned char flags, unsigned short& blockSize) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", int(length), flags,
             blockSize);
    if (length < 4)
        return vErrParam;
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n",
             flags, block[0], block[1], block[2], block[3]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", int(bigEndian32(block)));
    const unsigned char payload[5] = {flags, block[0], block[1], block[2], block[3]};
    vErr err = send(val_UPGRADE_PREPARE, payload, sizeof payload);
    if (err != vErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", err);
        return err;
    }
    unsigned char answer[kAnswerCapacity];
    unsigned char answerLength = 0;
    err = await(val_UPGRADE_STATUS, answerLength, answer);
    if (err != vErrNone)
        return err;
    // A status without the block size is as useless as a refusal.
    if (answerLength < 5 || answer[2] != 0) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        return vErrInvalidOption;
    }
    blockSize = static_cast<unsigned short>((answer[3] << 8) | answer[4]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n",
             blockSize);
    return vErrNone;
}

vErr UpdaterEntity::LoaderStart() {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
    vErr err = send(val_UPGRADE_LOAD, nullptr, 0);
    if (err != vErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", err);
        return err;
    }
    unsigned char answer[kAnswerCapacity];
    unsigned char length = 0;
    if (await(val_UPGRADE_LOAD, length, answer) == vErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
        return vErrNone;
    }
    err = _reconnect(500);
    if (err != vErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", err,
                 vError_GetErrorText(err));
        return vErrTimeout;
    }
    err = await(val_UPGRADE_LOAD, length, answer);
    if (err == vErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
        return vErrNone;
    }
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", err,
             vError_GetErrorText(err));
    return vErrTimeout;
}

vErr UpdaterEntity::_reconnect(unsigned int delayMs) {
    if (module == nullptr)
        return vErrResource;
    module->disconnect();
    vErr err = vErrNone;
    for (unsigned attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
        Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", int(attempt),
                 int(kReconnectAttempts));
        err = module->reconnect();
        if (err == vErrNone) {
            Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
            return vErrNone;
        }
        Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
                 int(delayMs));
        sleepMs(delayMs);
    }
    return err;
}

vErr UpdaterEntity::CheckUEIDataSupport() {
    if (module == nullptr)
        return vErrResource;
    const vErr err = module->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, ueiOPTION_SET);
    Log::log(DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n", err);
    if (err == vErrNone)
        useUEIData = true;
    return err;
}

vErr UpdaterEntity::CheckPooledPacketsSupport() {
    if (module == nullptr)
        return vErrResource;
    Vornic::Tandril::SystemClass system;
    system.init(module, 0);
    uint32_t features = 0;
    const vErr err = system.getProtocolFeatures(&features);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Protocol Version: %d Error: %d\n", int(features), err);
    if (err != vErrNone)
        return err;
    if ((features & 0x80000000u) == 0)
        return vErrNone;
    Vornic::Tandril::Link* link = module->getLink();
    if (link == nullptr)
        return vErrConnection;
    return link->enablePooledPackets(true);
}

vErr UpdaterEntity::_block_transfer_uei_helper(const unsigned char* data, unsigned int size,
                                               unsigned int& blocks, unsigned int& sum) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n",
             int(size));
    const vErr err = setUEIBytes(val_UPGRADE_DATA_UEI, data, size);
    if (err != vErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", err);
        return err;
    }
    sum += byteSum(data, size);
    blocks = 1;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d bytes \n", int(size));
    return vErrNone;
}

vErr UpdaterEntity::_block_transfer(const unsigned char* data, unsigned int size,
                                    unsigned int& blocks) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
    uint32_t sum = 0;
    unsigned int remaining = size;
    vErr err = vErrNone;
    if (useUEIData) {
        err = _block_transfer_uei_helper(data, size, blocks, sum);
        if (err != vErrNone)
            return err;
        remaining = 0;
    }
    unsigned resends = 0;
    while (remaining > 0 && err == vErrNone) {
        const unsigned char n = static_cast<unsigned char>(std::min(remaining, kDataPieceBytes));
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n", n);
        err = send(val_UPGRADE_DATA, data, n);
        if (err != vErrNone) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", err);
            return err;
        }
        unsigned char answer[kAnswerCapacity];
        unsigned char length = 0;
        if (await(val_UPGRADE_DATA, length, answer) != vErrNone) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
            err = vErrPacket;
            break;
        }
        const int taken = length > 2 ? answer[2] : -1;
        if (taken != n) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n",
                     taken, n);
            // A loader that keeps taking another count will never take this piece.
            if (++resends > kMaxPieceResends) {
                Log::log(0, "\nNETWORK: Loader refused a piece of %d bytes %u times in a row.\n", n,
                         resends);
                err = vErrTimeout;
            }
            continue;
        }
        resends = 0;
        sum += byteSum(data, n);
        data += n;
        remaining -= n;
        blocks += 1;
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", n,
                 int(remaining), int(size));
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", int(size - remaining),
             int(size));
    if (err != vErrNone || !validate)
        return err;

    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
    // A lost request shows as the missing answer below.
    send(val_UPGRADE_SUM, nullptr, 0);
    unsigned char answer[kAnswerCapacity];
    unsigned char length = 0;
    if (await(val_UPGRADE_STATUS, length, answer) != vErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return vErrPacket;
    }
    const unsigned status = length > 2 ? answer[2] : 0xFF;
    const uint32_t loaderSum = length >= 7 ? bigEndian32(answer + 3) : ~sum;
    if (status == 0 && loaderSum == sum) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n",
                 status, sum, loaderSum, int(blocks));
        return vErrNone;
    }
    Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum,
             loaderSum);
    return vErrInvalidOption;
}

vErr UpdaterEntity::LoaderTransfer(const unsigned char* block, unsigned int length) {
    if (length < 4)
        return vErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", bigEndian32(block),
             int(length - 4));
    unsigned int blocks = 0;
    return _block_transfer(block + 4, length - 4, blocks);
}

vErr UpdaterEntity::FirmwareTransfer(const unsigned char* block, unsigned int length,
                                     unsigned short blockSize, UpdaterDisplayInterface& display) {
    if (length < 4)
        return vErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n",
             bigEndian32(block), int(length - 4));
    if (blockSize == 0 && length > 4) {
        Log::log(0, "NETWORK: Loader asked for pieces of 0 bytes; nothing can be sent.\n");
        return vErrInvalidOption;
    }
    unsigned int remaining = length - 4;
    const unsigned char* cursor = block + 4;
    unsigned int blocks = 0;
    vErr err = vErrNone;
    display.display_progress(true);
    while (remaining > 0 && err == vErrNone) {
        const unsigned int n = std::min<unsigned int>(remaining, blockSize);
        err = _block_transfer(cursor, n, blocks);
        if (err != vErrNone)
            break;
        remaining -= n;
        cursor += n;
        blocks += 1;
        display.update_progress(double(length - remaining) / double(length), nullptr);
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", int(n),
                 int(remaining), int(length));
        err = FirmwareWrite(n);
    }
    display.display_progress(false);
    Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n", int(length - remaining),
             int(length));
    if (err != vErrNone)
        Log::log(0, "NETWORK: Failed to transfer firmware\n");
    return err;
}

vErr UpdaterEntity::FirmwareWrite(unsigned int size) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n",
             int(size));
    const unsigned char payload[2] = {static_cast<unsigned char>(size >> 8),
                                      static_cast<unsigned char>(size)};
    vErr err = send(val_UPGRADE_WRITE, payload, sizeof payload);
    if (err != vErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", err,
                 vError_GetErrorText(err));
        return err;
    }
    unsigned char answer[kAnswerCapacity];
    unsigned char length = 0;
    err = await(val_UPGRADE_STATUS, length, answer);
    if (err != vErrNone || length < 3 || answer[2] != 0) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
        return vErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
    return vErrNone;
}

vErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
    vErr result = send(val_UPGRADE_REBOOT, nullptr, 0);
    if (result != vErrNone)
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    unsigned rounds = 0;
    while (module != nullptr && module->isConnected()) {
        if (rounds == kRebootRounds) {
            // A module that keeps its link up never took the new firmware into use.
            Log::log(0, "NETWORK: Link still up %u ms after REBOOT; the module did not restart.\n",
                     kRebootRounds * kRebootRoundMs);
            if (result == vErrNone)
                result = vErrTimeout;
            break;
        }
        sleepMs(kRebootRoundMs);
        ++rounds;
        display.update_spinner(true, "Verifying Update");
        Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
        Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
        if (viaRouter)
            break;
    }
    display.update_spinner(false, "Verifying Update");
    return result;
}

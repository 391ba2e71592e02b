// Host side of a module's UPGRADE command: start the RAM loader, hand it the
// firmware block by block with a byte-sum check after every piece, write, reboot.
//
// One UpdaterEntity is bound to one connected Module for one phase of an update
// (loader phase, then firmware phase) and owns nothing. Every step speaks raw
// command packets; firmware data may instead go as one UEI byte transfer when the
// module supports it (CheckUEIDataSupport).
#pragma once

#include "Tandril2/common/vError.h"
#include "Tandril2/objects/Entity.h"

class UpdaterDisplayInterface;

namespace Vornic::Tandril {
class Module;
}

class UpdaterEntity : public Vornic::Tandril::EntityClass {
public:
    // Option codes (data byte 1 of each packet); fixed by the module firmware.
    enum Option : unsigned char {
        val_UPGRADE_INIT = 0,
        val_UPGRADE_DATA = 1,
        val_UPGRADE_LOAD = 2,
        val_UPGRADE_PREPARE = 3,
        val_UPGRADE_SUM = 4,
        val_UPGRADE_WRITE = 5,
        val_UPGRADE_REBOOT = 6,
        val_UPGRADE_STATUS = 7,
        val_UPGRADE_DATA_UEI = 10, // UEI option of a byte-transfer data set
    };

    // Image bytes carried by one plain DATA request (28 data bytes less command and option).
    static constexpr unsigned kDataPieceBytes = 26;

    // Bounds on waits the protocol itself leaves open:
    // rounds a DATA piece is resent while the loader keeps taking a different count,
    static constexpr unsigned kMaxPieceResends = 8;
    // and spinner rounds of 250 ms waiting for a direct link to drop after REBOOT.
    static constexpr unsigned kRebootRounds = 40;
    static constexpr unsigned kRebootRoundMs = 250;
    // Reconnection attempts after a missing LOAD echo.
    static constexpr unsigned kReconnectAttempts = 5;

    UpdaterEntity() = default;

    // Binds to `module` (command 95, `index`), sets the two modes and clears the UEI data mode.
    void init(Vornic::Tandril::Module* module, unsigned char index, bool validate, bool viaRouter);

    // INIT. vErrTimeout without echo, vErrPacket for an echo under 6 data bytes,
    // vErrResource when unbound, or the send error.
    vErr LoaderInit();
    // PREPARE for a block whose data starts with its 4-byte load address; `blockSize`
    // receives the loader's piece size. vErrTimeout without answer, vErrInvalidOption
    // for a refusal or an answer too short to hold the block size, or the send error.
    vErr TransferPrepare(const unsigned char* block, unsigned int length, unsigned char flags,
                         unsigned short& blockSize);
    // LOAD; when the echo does not come, reconnects once and waits again.
    // vErrTimeout when no echo came either way, or the send error.
    vErr LoaderStart();
    // Whether the module takes data as UEI byte transfers (the hasUEI result);
    // sets the UEI data mode when it does.
    vErr CheckUEIDataSupport();
    // Switches the link to pooled writes when the module announces support.
    // The getProtocolFeatures error, vErrConnection without link, or the link's result.
    vErr CheckPooledPacketsSupport();
    // The loader image (block data after its address) as one checked block transfer.
    // vErrParam for a block shorter than its address.
    vErr LoaderTransfer(const unsigned char* block, unsigned int length);
    // The firmware image in pieces of `blockSize`, each checked and written, with a
    // progress bar. vErrInvalidOption for a block size of 0 (no progress possible),
    // vErrParam for a block shorter than its address, or the first piece's error.
    vErr FirmwareTransfer(const unsigned char* block, unsigned int length,
                          unsigned short blockSize, UpdaterDisplayInterface& display);
    // WRITE of the piece just sent. vErrInvalidOption without a status-0 answer, or the send error.
    vErr FirmwareWrite(unsigned int size);
    // REBOOT, then wait for the link to drop (one round through a router).
    // The send error, or vErrTimeout when a direct link is still up after the bound.
    vErr LoaderReboot(UpdaterDisplayInterface& display);

private:
    vErr _reconnect(unsigned int delayMs);
    vErr _block_transfer(const unsigned char* data, unsigned int size, unsigned int& blocks);
    vErr _block_transfer_uei_helper(const unsigned char* data, unsigned int size,
                                    unsigned int& blocks, unsigned int& sum);
    // Sends [95, option, payload...]; the waits below match the first two answer bytes.
    vErr send(unsigned char option, const unsigned char* payload, unsigned char payloadLength);
    vErr await(unsigned char option, unsigned char& length, unsigned char* answer);

    Vornic::Tandril::Module* module = nullptr;
    bool validate = true;
    bool viaRouter = false;
    bool useUEIData = false;
};

// The virtual module's firmware loader: keeps what a host sends through the
// upgrade entity (loader blocks, firmware pieces and where they were written) so
// that a test can compare it byte for byte with the image it sent.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace tandril::sim {

class UpgradeLoader {
public:
    struct Block {
        uint32_t address = 0;
        uint8_t flags = 0;
        std::vector<uint8_t> bytes;
    };

    // INIT: the loader starts taking blocks; earlier blocks are forgotten.
    void init();
    // PREPARE: a new block at `address`; the pending piece and its sum restart. A block
    // prepared again at the same address starts over (a host retrying it).
    void prepare(uint32_t address, uint8_t flags);
    // DATA (plain or UEI bytes): appends to the pending piece.
    void data(const uint8_t* bytes, size_t n);
    // The byte sum of the pending piece (modulo 2^32).
    uint32_t sum() const { return sum_; }
    size_t pending() const { return pending_.size(); }
    // WRITE: commits the pending piece to the firmware block when `size` equals its
    // length; false (nothing written) otherwise. The piece is cleared either way.
    bool write(uint16_t size);
    // Drops the pending piece without writing it.
    void discard();
    // LOAD: the pending loader image becomes the running loader.
    void load();
    // REBOOT: true when firmware was written since INIT.
    bool hasFirmware() const { return !firmware_.empty(); }

    bool loaded() const { return loaded_; }
    unsigned initCount() const { return inits_; }
    const std::vector<Block>& loaderBlocks() const { return loaderBlocks_; }
    const std::map<uint32_t, Block>& firmware() const { return firmware_; }
    const std::vector<uint16_t>& writeSizes() const { return writes_; }

    // REBOOT: the module leaves the loader; what it received is kept.
    void reboot();
    unsigned reboots() const { return reboots_; }

    // The loader's state as a JSON object (bytes as lower-case hex strings).
    nlohmann::json json() const;

private:
    void closeLoaderBlock();

    unsigned inits_ = 0;
    unsigned reboots_ = 0;
    bool loaded_ = false;
    bool prepared_ = false;
    Block current_;                 // the block named by the last PREPARE
    std::vector<uint8_t> pending_;  // bytes since the last PREPARE, WRITE or discard
    uint32_t sum_ = 0;
    std::vector<Block> loaderBlocks_;
    std::map<uint32_t, Block> firmware_;
    std::vector<uint16_t> writes_;
};

} // namespace tandril::sim

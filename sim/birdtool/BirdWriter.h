// Builds BIRD firmware files block by block: the maker's side of the format that
// store/BirdFile reads. Tests, the demo and users make their firmware files with it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace tandril::birdtool {

using Bytes = std::vector<uint8_t>;

// Block types with a fixed meaning; every other value 0-31 is carried as it is.
enum BlockType : uint8_t {
    kLoader = 0,
    kFirmware = 1,
    kSerialOffsets = 2,
    kInfo = 4,
    kStartAddress = 5,
};

// The fingerprint that scrambles a recovery image: four words, most significant byte first.
using Fingerprint = std::array<uint32_t, 4>;

struct Block {
    uint8_t type = 0;  // 0-31
    uint8_t flags = 0; // 0-7
    Bytes data;        // as stored, load address included for loader and firmware blocks
};

// Collects blocks in the order they are added and turns them into an image (the
// decompressed content) or a whole file. The setters throw std::invalid_argument for
// values the format cannot hold (a type above 31, flags above 7, an info field over 16
// characters).
class BirdWriter {
public:
    BirdWriter& loader(uint32_t address, const Bytes& image, uint8_t flags = 0);
    BirdWriter& firmware(uint32_t address, const Bytes& image, uint8_t flags = 0);
    // The information block: four 16-character fields padded with spaces.
    BirdWriter& info(const std::string& build, const std::string& version,
                     const std::string& serial, const std::string& model);
    // Absolute addresses of the serial-number word and of the USB serial-number text;
    // 0 means absent.
    BirdWriter& serialOffsets(uint32_t serialWord, uint32_t descriptorText);
    BirdWriter& startAddress(uint32_t address);
    // Any block with any data, for types without a builder and for malformed blocks.
    BirdWriter& raw(uint8_t type, const Bytes& data, uint8_t flags = 0);

    // Scrambles the firmware blocks' images with `key` when the image is built.
    BirdWriter& scramble(const Fingerprint& key);
    // The block count written at the image's start (default: the number of blocks).
    BirdWriter& claimedCount(uint32_t count);

    const std::vector<Block>& blocks() const { return blocks_; }

    // Block count, blocks, then a CRC-32 of everything before it as the checksum.
    Bytes image() const;
    // Header ("bird", version) and the image compressed at `level` (zlib's 0-9).
    Bytes file(uint16_t version = 0x0101, int level = 9) const;

private:
    std::vector<Block> blocks_;
    bool scrambled_ = false;
    Fingerprint key_{};
    bool countGiven_ = false;
    uint32_t count_ = 0;
};

// Header and zlib stream around an existing image. `signature` must be 4 bytes.
Bytes packFile(const Bytes& image, uint16_t version = 0x0101, int level = 9,
               const std::string& signature = "bird");

// The scrambling that the loader's DecodeFirmwareBlocks undoes: each byte is XORed
// with the key stream and with the previous plain byte.
Bytes scrambleImage(const Bytes& plain, const Fingerprint& key);

// `count` bytes of a fixed pseudo-random sequence (hardly compressible), from `seed`.
Bytes patternBytes(size_t count, uint32_t seed = 1);

// "%08X", the serial-number text of the information block and the store.
std::string serialText(uint32_t serial);

// Appends a big-endian 32-bit word.
void putWord(Bytes& out, uint32_t value);

// Writes `bytes` to `path`; throws std::runtime_error naming the path and the reason.
void writeBytes(const std::string& path, const Bytes& bytes);
// Reads a whole file; throws std::runtime_error naming the path and the reason.
Bytes readBytes(const std::string& path);

} // namespace tandril::birdtool

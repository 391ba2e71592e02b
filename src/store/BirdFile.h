// A BIRD firmware file in memory: header, zlib-compressed image, typed blocks.
// Loading never reads outside the file or the image; the file on disk is never written.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One block of a loaded file: a view into the owning BirdFile's image, valid while that
// file lives and is neither reloaded nor moved from.
struct BirdBlock {
    uint8_t type = 0;        // 0-31
    uint8_t flags = 0;       // 0-7, handed to the module with the block
    uint32_t length = 0;     // data length (for loader and firmware: address included)
    uint32_t address = 0;    // load address of loader and firmware blocks, else 0
    unsigned char* data = nullptr;
};

class BirdFile {
public:
    enum BLOCK_TYPE : uint8_t {
        BLOCK_LOADER = 0,
        BLOCK_FIRMWARE = 1,
        BLOCK_SERIAL_OFFSETS = 2,
        BLOCK_INFO = 4,
        BLOCK_START_ADDRESS = 5,
    };

    static constexpr uint32_t BIRD_FILE_SIGNATURE = 0x62697264; // "bird"
    static constexpr uint16_t BIRD_FILE_VERSION = 0x0101;
    static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
    static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;

    // Smallest data length that the block type's layout needs (0 for uninterpreted types).
    static uint32_t MinimumLength(uint8_t type);

    BirdFile() = default;
    // Loads `path`; throws std::runtime_error("Failed to load bird data") when that fails.
    explicit BirdFile(const char* path);
    BirdFile(BirdFile&& other) noexcept;
    BirdFile& operator=(BirdFile&& other) noexcept;
    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;
    ~BirdFile() = default;

    // Reads, decompresses and scans `path`. False when the file is missing, unreadable,
    // does not inflate, or holds a block shorter than its type's layout; a block count
    // or size that does not add up is only logged.
    bool Load();
    // Inflates `len` bytes of zlib data into a new image of at most 8 x `len` bytes.
    // False (imageSize 0) on any zlib error, including an image that does not fit.
    bool DecompressData(const unsigned char* src, unsigned long len);
    // Splits the image into blocks. False when the claimed count or the sizes do not add
    // up; the blocks that were found stay.
    bool ScanBlocks(const unsigned char* image, unsigned int size);

    // Copies of all blocks of `type`, in file order.
    std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;
    // Takes serialNumberOffset and descriptorOffset from the first serial-offsets block.
    // False when there is none.
    bool FindSerialNumberOffsets();
    // Writes `serial` into the firmware images at the serial offsets (the word
    // little-endian, the USB text as eight hexadecimal digits). False unless every
    // offset that is set fell inside a firmware image and was written.
    bool ReplaceSerialNumber(unsigned int serial);
    // Undoes the scrambling of all firmware images with a 16-byte fingerprint. Apply once.
    bool DecodeFirmwareBlocks(const unsigned int* key);
    // True when the information block's model name begins with `model`.
    bool ValidateModel(const char* model) const;
    // The information block's serial number, 0 without one.
    unsigned int GetSerialNumber() const;
    bool ValidateSerialNumber(unsigned int serial) const;
    // The information block's version text, empty without one.
    std::string GetVersion() const;

    // Cheap header check: "bird" and two nonzero version bytes.
    static bool VerifyFile(const char* path);

    std::string path;
    uint32_t signature = 0;
    uint32_t version = 0;
    uint32_t fileChecksum = 0;
    uint32_t blockCount = 0;
    std::vector<BirdBlock> blocks;
    bool hasSerialOffsets = false;
    uint32_t serialNumberOffset = 0;
    uint32_t descriptorOffset = 0;
    std::unique_ptr<unsigned char[]> image;
    uint32_t imageSize = 0;

private:
    // The first information block's 16-byte field at `offset`, or null without one.
    const unsigned char* InfoField(unsigned offset) const;
};

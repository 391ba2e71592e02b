#include "store/BirdFile.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

#include "Tandril2/common/vByteOrder.h"
#include "Tandril2/common/vFile.h"
#include "app/Log.h"

namespace {

constexpr unsigned kHeaderSize = 6;
constexpr unsigned kBlockHeaderSize = 5;
constexpr unsigned kInfoFieldSize = 16;
constexpr unsigned kInfoVersion = 16, kInfoSerial = 32, kInfoModel = 48;
constexpr unsigned kSerialTextDigits = 8;

// True when `count` bytes at absolute address `at` lie inside the image of a loader or
// firmware block; `index` is then their position in the block's data.
bool locate(const BirdBlock& block, uint32_t at, uint32_t count, uint32_t& index) {
    if (block.length < 4)
        return false;
    uint64_t start = block.address;
    uint64_t end = start + (block.length - 4); // first address past the image
    if (at < start || uint64_t(at) + count > end)
        return false;
    index = at - block.address + 4;
    return true;
}

const char* printable(const char* path) { return path ? path : "(null)"; }

} // namespace

uint32_t BirdFile::MinimumLength(uint8_t type) {
    switch (type) {
    case BLOCK_LOADER:
    case BLOCK_FIRMWARE:
    case BLOCK_START_ADDRESS:
        return 4;
    case BLOCK_SERIAL_OFFSETS:
        return 8;
    case BLOCK_INFO:
        return 4 * kInfoFieldSize;
    default:
        return 0;
    }
}

BirdFile::BirdFile(const char* filePath) : path(filePath ? filePath : "") {
    if (!Load())
        throw std::runtime_error("Failed to load bird data");
}

BirdFile::BirdFile(BirdFile&& other) noexcept { *this = std::move(other); }

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
    if (this == &other)
        return *this;
    // The image buffer itself changes owner, so the block views stay valid here.
    path = std::exchange(other.path, std::string());
    signature = std::exchange(other.signature, 0);
    version = std::exchange(other.version, 0);
    fileChecksum = std::exchange(other.fileChecksum, 0);
    blockCount = std::exchange(other.blockCount, 0);
    blocks = std::exchange(other.blocks, {});
    hasSerialOffsets = std::exchange(other.hasSerialOffsets, false);
    serialNumberOffset = std::exchange(other.serialNumberOffset, 0);
    descriptorOffset = std::exchange(other.descriptorOffset, 0);
    image = std::move(other.image);
    imageSize = std::exchange(other.imageSize, 0);
    return *this;
}

bool BirdFile::Load() {
    const char* name = path.c_str();
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", name);
    if (!vFile_Exists(name)) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", name);
        return false;
    }
    vFile file = vFile_Open(name, vFileModeRead);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", name);
        return false;
    }
    uint64_t size = 0;
    vErr err = vFile_GetSize(file, &size);
    if (err != vErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n",
                 static_cast<int>(err), name);
        vFile_Close(&file);
        return false;
    }
    // The image may be at most 8 times the compressed body and must fit 32 bits, so a
    // larger file could never load: refuse it before reading it into memory.
    if (size > kHeaderSize + UINT32_MAX / 8) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %s is too large (%llu bytes) for a bird file\n",
                 name, static_cast<unsigned long long>(size));
        vFile_Close(&file);
        return false;
    }

    bool result = false;
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[size ? size : 1]);
    size_t got = 0;
    if (!buffer) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", static_cast<int>(vErrMemory),
                 name);
    } else if ((err = vFile_Read(file, buffer.get(), size, &got)) != vErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", static_cast<int>(err), name);
    } else if (got < size) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n",
                 name, got, static_cast<size_t>(size));
    } else {
        if (size > kHeaderSize) {
            signature = vByteOrder_GetBE32(buffer.get());
            version = vByteOrder_GetBE16(buffer.get() + 4);
        }
        if (size < kHeaderSize) {
            Log::log(DEBUG_BirdFile,
                     "BIRDFILE: Error - %s holds %zu bytes, fewer than a bird header\n", name,
                     static_cast<size_t>(size));
        } else if (DecompressData(buffer.get() + kHeaderSize, size - kHeaderSize)) {
            ScanBlocks(image.get(), imageSize);
            result = true;
            // A block too short for its type's layout would send a truncated image to a
            // module or leave the serial number unwritten: the file is unusable.
            for (size_t i = 0; i < blocks.size(); ++i) {
                if (blocks[i].length < MinimumLength(blocks[i].type)) {
                    Log::log(DEBUG_BirdFile,
                             "BIRDFILE: Error - block %zu of type %02X holds %u bytes, fewer "
                             "than the %u of its layout\n",
                             i, blocks[i].type, blocks[i].length, MinimumLength(blocks[i].type));
                    result = false;
                }
            }
        }
    }
    // Only a serial-offsets block gives the offsets, so this is the one place to read them.
    if (!FindBlocks(BLOCK_SERIAL_OFFSETS).empty()) {
        hasSerialOffsets = true;
        FindSerialNumberOffsets();
    }
    vFile_Close(&file);
    return result;
}

bool BirdFile::DecompressData(const unsigned char* src, unsigned long len) {
    // Blocks point into the image being replaced.
    blocks.clear();
    blockCount = 0;
    imageSize = 0;
    image.reset();
    uint64_t capacity = 8ull * len;
    int err = Z_BUF_ERROR;
    if (src && capacity <= UINT32_MAX) {
        image.reset(new (std::nothrow) unsigned char[capacity ? capacity : 1]);
        if (!image) {
            err = Z_MEM_ERROR;
        } else {
            uLongf produced = static_cast<uLongf>(capacity);
            err = uncompress(image.get(), &produced, src, len);
            if (err == Z_OK) {
                imageSize = static_cast<uint32_t>(produced);
                return true;
            }
        }
    }
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", err);
    image.reset();
    return false;
}

bool BirdFile::ScanBlocks(const unsigned char* img, unsigned int size) {
    blocks.clear();
    blockCount = 0;
    fileChecksum = 0;
    if (!img || size < 4) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 static_cast<int>(size));
        return false;
    }
    uint32_t claimed = vByteOrder_GetBE32(img);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", static_cast<int>(claimed));
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

    uint32_t pos = 4;
    int64_t remaining = int64_t(size) - 4;
    while (remaining > 4) {
        BirdBlock block;
        block.type = img[pos] & BIRD_FILE_TYPE_MASK;
        block.flags = (img[pos] & BIRD_FILE_FLAG_MASK) >> 5;
        block.length = vByteOrder_GetBE32(img + pos + 1);
        if (kBlockHeaderSize + uint64_t(block.length) > uint64_t(remaining)) {
            Log::log(DEBUG_BirdFile,
                     "BIRDFILE: Block at offset %u claims %u bytes, past the end of the image\n",
                     pos, block.length);
            break;
        }
        block.data = const_cast<unsigned char*>(img) + pos + kBlockHeaderSize;
        if ((block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE) && block.length >= 4)
            block.address = vByteOrder_GetBE32(block.data);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
                 static_cast<int>(block.length));
        if (block.type == BLOCK_INFO && block.length >= MinimumLength(BLOCK_INFO)) {
            for (unsigned field = 0; field < 4; ++field)
                Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n",
                         reinterpret_cast<const char*>(block.data + field * kInfoFieldSize));
        }
        blocks.push_back(block);
        ++blockCount;
        pos += kBlockHeaderSize + block.length;
        remaining -= kBlockHeaderSize + int64_t(block.length);
    }

    if (remaining >= 4) {
        fileChecksum = vByteOrder_GetBE32(img + pos);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", fileChecksum);
    }
    // Counted even when missing, so an image without its checksum is a mismatch too.
    remaining -= 4;

    bool result = true;
    if (remaining != 0) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 static_cast<int>(remaining));
        result = false;
    }
    if (blockCount != claimed) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 static_cast<int>(blockCount), static_cast<int>(claimed));
        return false;
    }
    return result;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
    std::vector<BirdBlock> found;
    for (const BirdBlock& block : blocks)
        if (block.type == type)
            found.push_back(block);
    return found;
}

bool BirdFile::FindSerialNumberOffsets() {
    if (blockCount == 0)
        return false;
    for (const BirdBlock& block : blocks) {
        if (block.type != BLOCK_SERIAL_OFFSETS)
            continue;
        if (!block.data || block.length < MinimumLength(BLOCK_SERIAL_OFFSETS))
            return false;
        serialNumberOffset = vByteOrder_GetBE32(block.data);
        descriptorOffset = vByteOrder_GetBE32(block.data + 4);
        Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
                 static_cast<int>(serialNumberOffset), static_cast<int>(descriptorOffset));
        return true;
    }
    return false;
}

bool BirdFile::ReplaceSerialNumber(unsigned int serial) {
    char digits[kSerialTextDigits + 1];
    std::snprintf(digits, sizeof digits, "%08X", serial);
    bool wordWritten = false;
    bool textWritten = false;
    for (BirdBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE)
            continue;
        uint32_t index = 0;
        if (serialNumberOffset != 0 && locate(block, serialNumberOffset, 4, index)) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                     vByteOrder_GetLE32(block.data + index), serial);
            vByteOrder_PutLE32(block.data + index, serial);
            wordWritten = true;
        }
        // The USB string descriptor text is UTF-16LE: only the low bytes carry digits.
        if (descriptorOffset != 0 && locate(block, descriptorOffset, 2 * kSerialTextDigits, index)) {
            for (unsigned i = 0; i < kSerialTextDigits; ++i)
                block.data[index + 2 * i] = static_cast<unsigned char>(digits[i]);
            textWritten = true;
        }
    }
    // A location outside every image would leave the module with a stranger's serial
    // number: that is a failure, not a success.
    bool complete = (serialNumberOffset == 0 || wordWritten) &&
                    (descriptorOffset == 0 || textWritten);
    if (!complete)
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Error - serial number location %08X / descriptor %08X lies outside "
                 "every firmware image\n",
                 serialNumberOffset, descriptorOffset);
    return complete && (wordWritten || textWritten);
}

bool BirdFile::DecodeFirmwareBlocks(const unsigned int* key) {
    if (!key)
        return false;
    unsigned char stream[16];
    for (unsigned i = 0; i < 16; ++i)
        stream[i] = static_cast<unsigned char>(key[i / 4] >> (24 - 8 * (i % 4)));
    for (BirdBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE || block.length < 4)
            continue;
        unsigned char prev = 0;
        unsigned char* bytes = block.data + 4;
        for (uint32_t i = 0; i < block.length - 4; ++i) {
            unsigned char plain = bytes[i] ^ stream[i % 16] ^ prev;
            bytes[i] = plain;
            prev = plain;
        }
    }
    return true;
}

const unsigned char* BirdFile::InfoField(unsigned offset) const {
    for (const BirdBlock& block : blocks)
        if (block.type == BLOCK_INFO)
            return block.data && block.length >= MinimumLength(BLOCK_INFO) ? block.data + offset
                                                                           : nullptr;
    return nullptr;
}

bool BirdFile::ValidateModel(const char* model) const {
    const unsigned char* field = InfoField(kInfoModel);
    if (!field || !model)
        return false;
    char name[kInfoFieldSize + 1] = {};
    std::memcpy(name, field, kInfoFieldSize);
    for (int i = kInfoFieldSize - 1; i >= 0 && name[i] == ' '; --i)
        name[i] = '\0';
    // Only the length of `model` is compared, and strncmp stops at the field's end.
    if (std::strncmp(name, model, std::strlen(model)) != 0)
        return false;
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", name, model);
    return true;
}

unsigned int BirdFile::GetSerialNumber() const {
    const unsigned char* field = InfoField(kInfoSerial);
    if (!field)
        return 0;
    char text[kSerialTextDigits + 1] = {};
    std::memcpy(text, field, kSerialTextDigits);
    return static_cast<unsigned int>(std::strtoul(text, nullptr, 16));
}

bool BirdFile::ValidateSerialNumber(unsigned int serial) const {
    return serial == GetSerialNumber();
}

std::string BirdFile::GetVersion() const {
    const unsigned char* field = InfoField(kInfoVersion);
    if (!field)
        return std::string();
    char text[kInfoFieldSize];
    std::memcpy(text, field, kInfoFieldSize);
    text[kInfoFieldSize - 1] = '\0';
    for (char& c : text)
        if (c == ' ')
            c = '\0';
    return std::string(text);
}

bool BirdFile::VerifyFile(const char* filePath) {
    vFile file = vFile_Open(filePath, vFileModeRead);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n",
                 printable(filePath));
        return false;
    }
    unsigned char header[kHeaderSize];
    size_t got = 0;
    bool ok = vFile_Read(file, header, sizeof header, &got) == vErrNone && got == sizeof header &&
              vByteOrder_GetBE32(header) == BIRD_FILE_SIGNATURE && header[4] != 0 && header[5] != 0;
    vFile_Close(&file);
    return ok;
}

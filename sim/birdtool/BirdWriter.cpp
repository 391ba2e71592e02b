#include "birdtool/BirdWriter.h"

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tandril::birdtool {

namespace {

constexpr size_t kInfoField = 16;

void appendField(Bytes& out, const std::string& text, const char* what) {
    if (text.size() > kInfoField)
        throw std::invalid_argument(std::string(what) + " \"" + text + "\" is longer than " +
                                    std::to_string(kInfoField) + " characters");
    out.insert(out.end(), text.begin(), text.end());
    out.insert(out.end(), kInfoField - text.size(), ' ');
}

Bytes addressed(uint32_t address, const Bytes& image) {
    Bytes data;
    data.reserve(4 + image.size());
    putWord(data, address);
    data.insert(data.end(), image.begin(), image.end());
    return data;
}

} // namespace

void putWord(Bytes& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

std::string serialText(uint32_t serial) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", serial);
    return text;
}

BirdWriter& BirdWriter::raw(uint8_t type, const Bytes& data, uint8_t flags) {
    if (type > 31)
        throw std::invalid_argument("block type " + std::to_string(type) + " is above 31");
    if (flags > 7)
        throw std::invalid_argument("block flags " + std::to_string(flags) + " are above 7");
    blocks_.push_back(Block{type, flags, data});
    return *this;
}

BirdWriter& BirdWriter::loader(uint32_t address, const Bytes& image, uint8_t flags) {
    return raw(kLoader, addressed(address, image), flags);
}

BirdWriter& BirdWriter::firmware(uint32_t address, const Bytes& image, uint8_t flags) {
    return raw(kFirmware, addressed(address, image), flags);
}

BirdWriter& BirdWriter::info(const std::string& build, const std::string& version,
                             const std::string& serial, const std::string& model) {
    Bytes data;
    appendField(data, build, "build");
    appendField(data, version, "version");
    appendField(data, serial, "serial number");
    appendField(data, model, "model");
    return raw(kInfo, data);
}

BirdWriter& BirdWriter::serialOffsets(uint32_t serialWord, uint32_t descriptorText) {
    Bytes data;
    putWord(data, serialWord);
    putWord(data, descriptorText);
    return raw(kSerialOffsets, data);
}

BirdWriter& BirdWriter::startAddress(uint32_t address) {
    Bytes data;
    putWord(data, address);
    return raw(kStartAddress, data);
}

BirdWriter& BirdWriter::scramble(const Fingerprint& key) {
    scrambled_ = true;
    key_ = key;
    return *this;
}

BirdWriter& BirdWriter::claimedCount(uint32_t count) {
    countGiven_ = true;
    count_ = count;
    return *this;
}

Bytes BirdWriter::image() const {
    Bytes out;
    putWord(out, countGiven_ ? count_ : static_cast<uint32_t>(blocks_.size()));
    for (const Block& block : blocks_) {
        out.push_back(static_cast<uint8_t>(block.type | (block.flags << 5)));
        putWord(out, static_cast<uint32_t>(block.data.size()));
        if (scrambled_ && block.type == kFirmware && block.data.size() > 4) {
            // The address stays readable; only the image bytes after it are scrambled.
            out.insert(out.end(), block.data.begin(), block.data.begin() + 4);
            Bytes scrambled = scrambleImage(Bytes(block.data.begin() + 4, block.data.end()), key_);
            out.insert(out.end(), scrambled.begin(), scrambled.end());
        } else {
            out.insert(out.end(), block.data.begin(), block.data.end());
        }
    }
    putWord(out, static_cast<uint32_t>(crc32(0L, out.data(), static_cast<uInt>(out.size()))));
    return out;
}

Bytes BirdWriter::file(uint16_t version, int level) const {
    return packFile(image(), version, level);
}

Bytes packFile(const Bytes& image, uint16_t version, int level, const std::string& signature) {
    if (signature.size() != 4)
        throw std::invalid_argument("a signature is 4 bytes");
    Bytes out(signature.begin(), signature.end());
    out.push_back(static_cast<uint8_t>(version >> 8));
    out.push_back(static_cast<uint8_t>(version));
    uLongf packedSize = compressBound(static_cast<uLong>(image.size()));
    Bytes packed(packedSize);
    int err = compress2(packed.data(), &packedSize, image.data(),
                        static_cast<uLong>(image.size()), level);
    if (err != Z_OK)
        throw std::runtime_error("zlib could not compress the image (" + std::to_string(err) +
                                 ")");
    out.insert(out.end(), packed.begin(), packed.begin() + packedSize);
    return out;
}

Bytes scrambleImage(const Bytes& plain, const Fingerprint& key) {
    uint8_t stream[16];
    for (size_t i = 0; i < 16; ++i)
        stream[i] = static_cast<uint8_t>(key[i / 4] >> (24 - 8 * (i % 4)));
    Bytes out(plain.size());
    uint8_t prev = 0;
    for (size_t i = 0; i < plain.size(); ++i) {
        out[i] = plain[i] ^ stream[i % 16] ^ prev;
        prev = plain[i];
    }
    return out;
}

Bytes patternBytes(size_t count, uint32_t seed) {
    // xorshift32: cheap, repeatable, and poor material for deflate.
    uint32_t state = seed ? seed : 0x9E3779B9u;
    Bytes out(count);
    for (auto& byte : out) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<uint8_t>(state >> 24);
    }
    return out;
}

void writeBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out)
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    if (out)
        out.close();
    if (!out)
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
}

Bytes readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    return bytes;
}

} // namespace tandril::birdtool

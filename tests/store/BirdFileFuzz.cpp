// Feeds arbitrary bytes to the BIRD loader, either as a whole file or, to reach the block
// scanner more often, as an image that the harness compresses itself; then runs every
// operation on whatever loaded. The sanitizers catch any read outside the image.
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "store/BirdFile.h"

namespace {

std::string scratchPath() {
    return "/tmp/tandril-bird-fuzz-" + std::to_string(getpid()) + ".bird";
}

bool writeScratch(const std::string& path, const uint8_t* data, size_t size) {
    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out)
        return false;
    bool ok = std::fwrite(data, 1, size, out) == size;
    return std::fclose(out) == 0 && ok;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = scratchPath();
    if (size == 0)
        return 0;
    std::vector<uint8_t> file;
    if (data[0] & 1) {
        file.assign(data + 1, data + size);
    } else {
        file = {'b', 'i', 'r', 'd', 0x01, 0x01};
        uLongf packed = compressBound(size - 1);
        file.resize(6 + packed);
        if (compress2(file.data() + 6, &packed, data + 1, size - 1, 1) != Z_OK)
            return 0;
        file.resize(6 + packed);
    }
    if (!writeScratch(path, file.data(), file.size()))
        return 0;

    BirdFile::VerifyFile(path.c_str());
    try {
        BirdFile bird(path.c_str());
        for (const BirdBlock& block : bird.blocks)
            for (uint32_t i = 0; i < block.length; ++i)
                (void)*static_cast<volatile unsigned char*>(block.data + i);
        bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
        bird.ReplaceSerialNumber(0x1A2B3C4D);
        const unsigned key[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
        bird.DecodeFirmwareBlocks(key);
        bird.GetSerialNumber();
        bird.GetVersion();
        bird.ValidateModel("Tandril");
        BirdFile moved(std::move(bird));
        moved.FindSerialNumberOffsets();
    } catch (const std::runtime_error&) {
    }
    return 0;
}

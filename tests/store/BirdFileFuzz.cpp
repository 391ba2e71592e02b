// Feeds arbitrary bytes to the BIRD loader, either as a whole file or, to reach the block
// scanner more often, as an image that the harness compresses itself; then runs every
// operation on whatever loaded. The sanitizers catch any read outside the image.
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "store/BirdFile.h"

namespace {

// An in-memory file, reached by path through /proc: no scratch file to clean up.
struct MemoryFile {
    MemoryFile() : fd(memfd_create("bird-fuzz", 0)), path("/proc/self/fd/" + std::to_string(fd)) {}
    bool put(const std::vector<uint8_t>& bytes) const {
        return fd >= 0 && ftruncate(fd, 0) == 0 &&
               pwrite(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size());
    }
    int fd;
    std::string path;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const MemoryFile scratch;
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
    if (!scratch.put(file))
        return 0;

    const char* path = scratch.path.c_str();
    BirdFile::VerifyFile(path);
    try {
        BirdFile bird(path);
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

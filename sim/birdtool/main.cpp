// birdtool: makes a BIRD firmware file from its parts, or shows the blocks of one.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "Tandril2/common/vByteOrder.h"
#include "app/Log.h"
#include "birdtool/BirdWriter.h"
#include "store/BirdFile.h"

using namespace tandril::birdtool;

namespace {

const char* const kUsage =
    "usage: birdtool make -o FILE [options]   write a BIRD file; blocks in the order given\n"
    "       birdtool show [-v] FILE           print the blocks of a BIRD file\n"
    "\n"
    "make options:\n"
    "  --loader ADDR:SOURCE        loader block: load address and image\n"
    "  --firmware ADDR:SOURCE      firmware block (repeat for several)\n"
    "  --info BUILD,VERSION,SERIAL,MODEL\n"
    "                              information block; each field at most 16 characters,\n"
    "                              SERIAL as 8 hexadecimal digits\n"
    "  --serial-offsets WORD:TEXT  addresses of the serial-number word and of the USB\n"
    "                              serial-number text inside a firmware image (0: none)\n"
    "  --start-address ADDR        start address of the recovery loader\n"
    "  --block TYPE:SOURCE         any block type (0-31) with raw data\n"
    "  --flags N                   flags (0-7) of the blocks that follow (default 0)\n"
    "  --scramble W0,W1,W2,W3      scramble the firmware images with this fingerprint\n"
    "  --file-version N            header version (default 0x0101)\n"
    "SOURCE is a file, or @N for N bytes of a fixed pseudo-random pattern.\n"
    "Numbers are decimal or 0x-prefixed hexadecimal.\n"
    "\n"
    "show -v also writes the loader's diagnostic lines to standard error.\n";

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "birdtool: %s\n", message.c_str());
    std::exit(1);
}

uint32_t number(const std::string& text, const char* what, uint32_t max = UINT32_MAX) {
    errno = 0;
    char* end = nullptr;
    unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || value > max)
        fail(std::string("invalid ") + what + " \"" + text + "\"");
    return static_cast<uint32_t>(value);
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at - start));
        if (at == std::string::npos)
            return parts;
        start = at + 1;
    }
}

// "FIRST:REST" split at the first colon (REST may be a path holding colons).
std::pair<std::string, std::string> pairOf(const std::string& text, const char* option) {
    size_t colon = text.find(':');
    if (colon == std::string::npos)
        fail(std::string(option) + " wants A:B, got \"" + text + "\"");
    return {text.substr(0, colon), text.substr(colon + 1)};
}

Bytes source(const std::string& text) {
    if (!text.empty() && text[0] == '@')
        return patternBytes(number(text.substr(1), "pattern size", 1u << 30));
    try {
        return readBytes(text);
    } catch (const std::exception& e) {
        fail(e.what());
    }
}

int make(int argc, char** argv) {
    BirdWriter writer;
    std::string output;
    uint16_t fileVersion = 0x0101;
    uint8_t flags = 0;
    for (int i = 0; i < argc; ++i) {
        std::string option = argv[i];
        if (i + 1 >= argc)
            fail(option + " needs a value (see birdtool --help)");
        std::string value = argv[++i];
        try {
            if (option == "-o") {
                output = value;
            } else if (option == "--loader" || option == "--firmware") {
                auto [address, from] = pairOf(value, option.c_str());
                uint32_t at = number(address, "address");
                if (option == "--loader")
                    writer.loader(at, source(from), flags);
                else
                    writer.firmware(at, source(from), flags);
            } else if (option == "--info") {
                std::vector<std::string> fields = split(value, ',');
                if (fields.size() != 4)
                    fail("--info wants BUILD,VERSION,SERIAL,MODEL");
                writer.info(fields[0], fields[1], fields[2], fields[3]);
            } else if (option == "--serial-offsets") {
                auto [word, text] = pairOf(value, option.c_str());
                writer.serialOffsets(number(word, "address"), number(text, "address"));
            } else if (option == "--start-address") {
                writer.startAddress(number(value, "address"));
            } else if (option == "--block") {
                auto [type, from] = pairOf(value, option.c_str());
                writer.raw(static_cast<uint8_t>(number(type, "block type", 31)), source(from),
                           flags);
            } else if (option == "--flags") {
                flags = static_cast<uint8_t>(number(value, "flags", 7));
            } else if (option == "--scramble") {
                std::vector<std::string> words = split(value, ',');
                if (words.size() != 4)
                    fail("--scramble wants four words W0,W1,W2,W3");
                Fingerprint key{};
                for (size_t w = 0; w < 4; ++w)
                    key[w] = number(words[w], "fingerprint word");
                writer.scramble(key);
            } else if (option == "--file-version") {
                fileVersion = static_cast<uint16_t>(number(value, "file version", 0xFFFF));
            } else {
                fail("unknown option " + option + " (see birdtool --help)");
            }
        } catch (const std::invalid_argument& e) {
            fail(e.what());
        }
    }
    if (output.empty())
        fail("make needs -o FILE");
    if (writer.blocks().empty())
        fail("make needs at least one block");
    try {
        writeBytes(output, writer.file(fileVersion));
    } catch (const std::exception& e) {
        fail(e.what());
    }
    return 0;
}

const char* typeName(uint8_t type) {
    switch (type) {
    case BirdFile::BLOCK_LOADER:
        return "loader";
    case BirdFile::BLOCK_FIRMWARE:
        return "firmware";
    case BirdFile::BLOCK_SERIAL_OFFSETS:
        return "serial-offsets";
    case BirdFile::BLOCK_INFO:
        return "info";
    case BirdFile::BLOCK_START_ADDRESS:
        return "start-address";
    default:
        return "other";
    }
}

int show(int argc, char** argv) {
    std::string path;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "-v") == 0)
            Log::ActivatePackage(DEBUG_BirdFile);
        else if (path.empty())
            path = argv[i];
        else
            fail("show takes one file");
    }
    if (path.empty())
        fail("show needs a file");
    Log::SetOutput(stderr);
    BirdFile bird;
    try {
        bird = BirdFile(path.c_str());
    } catch (const std::exception& e) {
        fail(path + ": " + e.what() + " (show -v tells why)");
    }
    // The loader does not look at the header; the store refuses files that fail this.
    if (!BirdFile::VerifyFile(path.c_str()))
        std::printf("warning: %s does not start with \"bird\" and a nonzero version\n",
                    path.c_str());
    std::printf("%s: signature %08X, version %04X, image %u bytes, checksum %08X, %u blocks\n",
                path.c_str(), bird.signature, bird.version, bird.imageSize, bird.fileChecksum,
                bird.blockCount);
    std::printf("  #  type               flags  length      contents\n");
    for (size_t i = 0; i < bird.blocks.size(); ++i) {
        const BirdBlock& block = bird.blocks[i];
        std::printf("%3zu  %2u %-15s  %u      %-10u  ", i, block.type, typeName(block.type),
                    block.flags, block.length);
        switch (block.type) {
        case BirdFile::BLOCK_LOADER:
        case BirdFile::BLOCK_FIRMWARE:
            std::printf("0x%08X (%u image bytes)", block.address, block.length - 4);
            break;
        case BirdFile::BLOCK_SERIAL_OFFSETS:
            std::printf("word 0x%08X, text 0x%08X", vByteOrder_GetBE32(block.data), vByteOrder_GetBE32(block.data + 4));
            break;
        case BirdFile::BLOCK_INFO:
            std::printf("build [%.16s] version [%.16s] serial [%.16s] model [%.16s]",
                        reinterpret_cast<const char*>(block.data),
                        reinterpret_cast<const char*>(block.data + 16),
                        reinterpret_cast<const char*>(block.data + 32),
                        reinterpret_cast<const char*>(block.data + 48));
            break;
        case BirdFile::BLOCK_START_ADDRESS:
            std::printf("0x%08X", vByteOrder_GetBE32(block.data));
            break;
        default:
            break;
        }
        std::printf("\n");
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 1 : 0;
    }
    std::string command = argv[1];
    if (command == "make")
        return make(argc - 2, argv + 2);
    if (command == "show")
        return show(argc - 2, argv + 2);
    fail("unknown command " + command + " (see birdtool --help)");
}

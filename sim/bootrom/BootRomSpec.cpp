#include "bootrom/BootRomSpec.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>

namespace tandril::sim {

namespace {

using Handler = std::function<void(const std::string& value)>;

uint64_t number(const std::string& text, int base = 0) {
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), &end, base);
    if (text.empty() || *end || errno) throw std::invalid_argument("bad number \"" + text + "\"");
    return v;
}

// Applies every key=value item of `spec` through `handlers`.
bool applySpec(const std::string& spec, const std::map<std::string, Handler>& handlers, std::string& error) {
    size_t start = 0;
    while (start < spec.size()) {
        size_t comma = spec.find(',', start);
        std::string item = spec.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        start = comma == std::string::npos ? spec.size() : comma + 1;
        if (item.empty()) continue;
        size_t eq = item.find('=');
        auto handler = handlers.find(item.substr(0, eq));
        if (eq == std::string::npos || handler == handlers.end()) {
            error = "unknown item \"" + item + "\"";
            return false;
        }
        try {
            handler->second(item.substr(eq + 1));
        } catch (const std::exception& e) {
            error = "\"" + item + "\": " + e.what();
            return false;
        }
    }
    return true;
}

std::unique_ptr<PtyPort> openPort(PtyPort::Device device, unsigned baud, std::string& error) {
    try {
        return std::make_unique<PtyPort>(std::move(device), baud);
    } catch (const std::exception& e) {
        error = e.what();
        return nullptr;
    }
}

} // namespace

std::unique_ptr<LpcIspOnPty> LpcIspOnPty::create(const std::string& spec, std::string& error) {
    LpcIspConfig config;
    unsigned baud = 0;
    std::string flashOut;
    const std::map<std::string, Handler> handlers = {
        {"ids",
         [&](const std::string& v) {
             size_t at = 0;
             for (int i = 0; i < 4; ++i) {
                 size_t colon = v.find(':', at);
                 if ((i < 3) != (colon != std::string::npos)) throw std::invalid_argument("four words W0:W1:W2:W3");
                 uint64_t w = number(v.substr(at, colon == std::string::npos ? std::string::npos : colon - at), 16);
                 if (w > 0xFFFFFFFF) throw std::invalid_argument("a word over 32 bits");
                 config.serialWords[i] = static_cast<uint32_t>(w);
                 at = colon + 1;
             }
         }},
        {"baud", [&](const std::string& v) { baud = static_cast<unsigned>(number(v)); }},
        {"erase-ms", [&](const std::string& v) { config.eraseMsPerSector = static_cast<unsigned>(number(v)); }},
        {"copy-ms", [&](const std::string& v) { config.copyMsPer256 = static_cast<unsigned>(number(v)); }},
        {"flash-out", [&](const std::string& v) { flashOut = v; }},
    };
    if (!applySpec(spec, handlers, error)) return nullptr;
    std::unique_ptr<LpcIspOnPty> rom(new LpcIspOnPty(config));
    rom->flashOut_ = flashOut;
    LpcIsp* isp = &rom->isp_;
    rom->port_ = openPort(
        [isp](const std::string& in, const PtyPort::Send& send) { return isp->receive(in, send); }, baud, error);
    if (!rom->port_) return nullptr;
    return rom;
}

LpcIspOnPty::~LpcIspOnPty() {
    port_.reset(); // no more bytes reach the ROM while its flash is written out
    if (flashOut_.empty()) return;
    auto flash = isp_.flash();
    std::ofstream(flashOut_, std::ios::binary)
        .write(reinterpret_cast<const char*>(flash.data()), static_cast<std::streamsize>(flash.size()));
}

std::unique_ptr<ImxRomOnPty> ImxRomOnPty::create(const std::string& spec, std::string& error) {
    ImxSdpRomConfig config;
    unsigned baud = 0;
    const std::map<std::string, Handler> handlers = {
        {"uid", [&](const std::string& v) { config.uniqueId = number(v, 16); }},
        {"drop-gap-ms",
         [&](const std::string& v) { config.dropPartialFrameAfterMs = static_cast<unsigned>(number(v)); }},
        {"baud", [&](const std::string& v) { baud = static_cast<unsigned>(number(v)); }},
    };
    if (!applySpec(spec, handlers, error)) return nullptr;
    std::unique_ptr<ImxRomOnPty> rom(new ImxRomOnPty(config));
    ImxSdpRom* core = &rom->rom_;
    rom->port_ = openPort([core](const std::string& in, const PtyPort::Send&) { return core->receiveSerial(in); },
                          baud, error);
    if (!rom->port_) return nullptr;
    return rom;
}

const char* bootRomSpecHelp() {
    return "  --lpc SPEC: ids=W0:W1:W2:W3 (hex \"N\" words), baud=N (pace at this rate; 0: none),\n"
           "             erase-ms=N (per sector), copy-ms=N (per 256 bytes), flash-out=FILE (flash\n"
           "             image written at exit)\n"
           "  --imx-serial SPEC: uid=HEX (64-bit unique identifier), baud=N, drop-gap-ms=N (drop a\n"
           "             partial 16-byte command after this much silence; the real ROM's behaviour\n"
           "             here is not documented, so the default 0 keeps the partial command)\n";
}

} // namespace tandril::sim

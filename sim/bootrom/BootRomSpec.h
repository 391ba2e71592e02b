// Virtual boot ROMs as the tandril-sim program runs them: each on a pseudo-terminal
// of its own, configured by a SPEC of key=value items.
#pragma once

#include <memory>
#include <string>

#include "bootrom/ImxSdpRom.h"
#include "bootrom/LpcIsp.h"
#include "bootrom/PtyPort.h"

namespace tandril::sim {

// A virtual LPC17xx ISP boot loader on a pseudo-terminal. Keys: ids=W0:W1:W2:W3 (the
// "N" words, hexadecimal), baud=N (pace bytes at this line rate; 0: no pacing),
// erase-ms=N (per sector), copy-ms=N (per 256 bytes), flash-out=FILE (the flash image,
// written when the ROM is destroyed).
class LpcIspOnPty {
public:
    // Null with `error` set for a bad SPEC or when no pseudo-terminal can be had.
    static std::unique_ptr<LpcIspOnPty> create(const std::string& spec, std::string& error);
    ~LpcIspOnPty();
    const std::string& path() const { return port_->slavePath(); }
    LpcIsp& isp() { return isp_; }

private:
    explicit LpcIspOnPty(const LpcIspConfig& config) : isp_(config) {}
    LpcIsp isp_;
    std::unique_ptr<PtyPort> port_;
    std::string flashOut_;
};

// A virtual i.MX serial download ROM on a pseudo-terminal. Keys: uid=HEX (the 64-bit
// unique identifier), drop-gap-ms=N (drop a partial command frame after this much
// silence; whether a real ROM resynchronises so is not documented, 0 keeps it),
// baud=N (pacing).
class ImxRomOnPty {
public:
    static std::unique_ptr<ImxRomOnPty> create(const std::string& spec, std::string& error);
    const std::string& path() const { return port_->slavePath(); }
    ImxSdpRom& rom() { return rom_; }

private:
    explicit ImxRomOnPty(const ImxSdpRomConfig& config) : rom_(config) {}
    ImxSdpRom rom_;
    std::unique_ptr<PtyPort> port_;
};

// The help text of both SPECs, for --help.
const char* bootRomSpecHelp();

} // namespace tandril::sim

#include "LpcIsp.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <charconv>
#include <sstream>
#include <thread>

namespace tandril::sim {

namespace {

constexpr uint32_t kLocalRamBase = 0x10000000, kLocalRamSize = 32 * 1024;
constexpr uint32_t kAhbRamBase = 0x2007C000, kAhbRamSize = 32 * 1024;
constexpr uint32_t kUnlockCode = 23130;
constexpr int kLinesPerChecksum = 20;
constexpr uint32_t kBytesPerLine = 45;
constexpr std::array<uint32_t, 6> kBaudRates = {9600, 19200, 38400, 57600, 115200, 230400};
constexpr std::array<uint32_t, 4> kCopySizes = {256, 512, 1024, 4096};

// The LPC17xx flash: sixteen 4 KiB sectors, then fourteen 32 KiB sectors.
struct SectorRow {
    int first, last;
    uint32_t base, size;
};
constexpr std::array<SectorRow, 2> kSectorMap = {{{0, 15, 0x00000, 0x1000}, {16, 29, 0x10000, 0x8000}}};

char uuChar(uint32_t v) { return v == 0 ? '`' : static_cast<char>(0x20 + (v & 0x3F)); }

std::string uuEncode(const uint8_t* data, uint32_t n) {
    std::string line(1, uuChar(n));
    for (uint32_t i = 0; i < n; i += 3) {
        uint32_t b0 = data[i], b1 = i + 1 < n ? data[i + 1] : 0, b2 = i + 2 < n ? data[i + 2] : 0;
        uint32_t v = (b0 << 16) | (b1 << 8) | b2;
        for (int s = 18; s >= 0; s -= 6) line += uuChar((v >> s) & 0x3F);
    }
    return line;
}

// Decodes one UU line; returns the byte count the line announces.
uint32_t uuDecode(const std::string& line, std::vector<uint8_t>& out) {
    out.clear();
    if (line.empty()) return 0;
    uint32_t n = (static_cast<uint8_t>(line[0]) - 0x20) & 0x3F;
    for (size_t i = 1; i + 3 < line.size() && out.size() < n; i += 4) {
        uint32_t v = 0;
        for (size_t k = 0; k < 4; ++k) v = (v << 6) | ((static_cast<uint8_t>(line[i + k]) - 0x20) & 0x3F);
        for (int s = 16; s >= 0 && out.size() < n; s -= 8) out.push_back(static_cast<uint8_t>(v >> s));
    }
    out.resize(n, 0); // a short line still counts as n bytes; its checksum then fails
    return n;
}

bool parseNumbers(const std::vector<std::string>& words, std::vector<uint32_t>& values) {
    for (size_t i = 1; i < words.size(); ++i) {
        uint32_t v = 0;
        auto [p, ec] = std::from_chars(words[i].data(), words[i].data() + words[i].size(), v);
        if (ec != std::errc() || p != words[i].data() + words[i].size()) return false;
        values.push_back(v);
    }
    return true;
}

std::string reply(IspCode code) { return std::to_string(static_cast<int>(code)) + "\r\n"; }

} // namespace

const char* ispCodeName(IspCode code) {
    static const char* const names[] = {"CMD_SUCCESS", "INVALID_COMMAND", "SRC_ADDR_ERROR",
                                        "DST_ADDR_ERROR", "SRC_ADDR_NOT_MAPPED",
                                        "DST_ADDR_NOT_MAPPED", "COUNT_ERROR", "INVALID_SECTOR",
                                        "SECTOR_NOT_BLANK", "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
                                        "COMPARE_ERROR", "BUSY", "PARAM_ERROR", "ADDR_ERROR",
                                        "ADDR_NOT_MAPPED", "CMD_LOCKED", "INVALID_CODE",
                                        "INVALID_BAUD_RATE", "INVALID_STOP_BIT",
                                        "CODE_READ_PROTECTION_ENABLED"};
    auto i = static_cast<size_t>(code);
    return i < std::size(names) ? names[i] : "Unknown error";
}

LpcIsp::LpcIsp(LpcIspConfig config)
    : config_(config), prepared_(kSectors, false), flash_(kFlashSize, 0xFF),
      localRam_(kLocalRamSize, 0), ahbRam_(kAhbRamSize, 0) {
    sleep_ = [](unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
}

int LpcIsp::sectorOf(uint32_t address) {
    for (const auto& row : kSectorMap) {
        uint32_t end = row.base + row.size * static_cast<uint32_t>(row.last - row.first + 1);
        if (address >= row.base && address < end)
            return row.first + static_cast<int>((address - row.base) / row.size);
    }
    return -1;
}

uint32_t LpcIsp::sectorStart(int sector) {
    for (const auto& row : kSectorMap)
        if (sector >= row.first && sector <= row.last)
            return row.base + row.size * static_cast<uint32_t>(sector - row.first);
    return kFlashSize;
}

uint32_t LpcIsp::sectorSize(int sector) {
    for (const auto& row : kSectorMap)
        if (sector >= row.first && sector <= row.last) return row.size;
    return 0;
}

void LpcIsp::reset() {
    std::lock_guard lock(mutex_);
    state_ = State::AutoBaud;
    echo_ = true;
    unlocked_ = false;
    started_ = false;
    std::fill(prepared_.begin(), prepared_.end(), false);
    line_.clear();
}

bool LpcIsp::synchronised() const {
    std::lock_guard lock(mutex_);
    return state_ != State::AutoBaud && state_ != State::SyncString && state_ != State::Crystal;
}

std::vector<uint8_t> LpcIsp::flash() const {
    std::lock_guard lock(mutex_);
    return flash_;
}

std::vector<std::string> LpcIsp::commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

uint8_t* LpcIsp::memory(uint32_t address, uint32_t count, bool forWrite) {
    auto within = [&](uint32_t base, uint32_t size) {
        return address >= base && count <= size && address - base <= size - count;
    };
    if (within(kLocalRamBase, kLocalRamSize)) return localRam_.data() + (address - kLocalRamBase);
    if (within(kAhbRamBase, kAhbRamSize)) return ahbRam_.data() + (address - kAhbRamBase);
    if (!forWrite && within(0, kFlashSize)) return flash_.data() + address;
    return nullptr;
}

std::string LpcIsp::receive(const std::string& bytes, const Flush& flush) {
    std::lock_guard lock(mutex_);
    flush_ = flush ? &flush : nullptr;
    std::string out;
    for (char c : bytes) {
        switch (state_) {
        case State::Running:
            continue; // the firmware owns the UART now
        case State::AutoBaud:
            if (c == '?') {
                out += "Synchronized\r\n";
                state_ = State::SyncString;
                line_.clear();
            }
            continue;
        default:
            break;
        }
        if (echo_) out += c;
        if (c != '\n') {
            if (line_.size() < 256) line_ += c;
            continue;
        }
        std::string line = line_;
        line_.clear();
        if (!line.empty() && line.back() == '\r') line.pop_back();
        onLine(line, out);
    }
    flush_ = nullptr;
    return out;
}

void LpcIsp::busy(unsigned ms, std::string& out) {
    if (ms == 0) return;
    if (flush_) {
        (*flush_)(out);
        out.clear();
    }
    sleep_(ms);
}

void LpcIsp::onLine(const std::string& line, std::string& out) {
    switch (state_) {
    case State::SyncString:
        if (line == "Synchronized") {
            out += "OK\r\n";
            state_ = State::Crystal;
        } else {
            state_ = State::AutoBaud;
        }
        break;
    case State::Crystal:
        out += "OK\r\n";
        state_ = State::Command;
        break;
    case State::Command:
        command(line, out);
        break;
    case State::WriteData:
        writeLine(line, out);
        break;
    case State::ReadAck:
        if (line == "OK") {
            dataConfirmed_ = dataPos_;
            if (dataPos_ < dataCount_)
                sendReadBlock(out);
            else
                state_ = State::Command;
        } else if (line == "RESEND") {
            dataPos_ = dataConfirmed_;
            sendReadBlock(out);
        } else {
            state_ = State::Command;
        }
        break;
    default:
        break;
    }
}

void LpcIsp::command(const std::string& line, std::string& out) {
    commands_.push_back(line);
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string w; in >> w;) words.push_back(w);
    if (words.empty() || words[0].size() != 1) {
        out += reply(IspCode::InvalidCommand);
        return;
    }
    const char cmd = words[0][0];
    // The go command takes a mode letter as its last word.
    std::string mode;
    if (cmd == 'G' && words.size() == 3) {
        mode = words[2];
        words.pop_back();
    }
    std::vector<uint32_t> v;
    if (!parseNumbers(words, v)) {
        out += reply(IspCode::ParamError);
        return;
    }
    static const std::string kArgCounts = "U1B2A1W2R2P2C3E2I2J0K0M3N0G2";
    auto pos = kArgCounts.find(cmd);
    if (pos == std::string::npos) {
        out += reply(IspCode::InvalidCommand);
        return;
    }
    if (v.size() != static_cast<size_t>(kArgCounts[pos + 1] - '0') - (cmd == 'G' ? 1 : 0)) {
        out += reply(IspCode::ParamError);
        return;
    }
    auto sectorsValid = [](uint32_t a, uint32_t b) { return a <= b && b < kSectors; };

    switch (cmd) {
    case 'U':
        unlocked_ = v[0] == kUnlockCode;
        out += reply(unlocked_ ? IspCode::Success : IspCode::InvalidCode);
        return;
    case 'B':
        if (std::find(kBaudRates.begin(), kBaudRates.end(), v[0]) == kBaudRates.end())
            out += reply(IspCode::InvalidBaudRate);
        else if (v[1] != 1 && v[1] != 2)
            out += reply(IspCode::InvalidStopBit);
        else
            out += reply(IspCode::Success);
        return;
    case 'A':
        if (v[0] > 1) {
            out += reply(IspCode::ParamError);
            return;
        }
        echo_ = v[0] == 1;
        out += reply(IspCode::Success);
        return;
    case 'W':
    case 'R': {
        if (v[0] % 4) {
            out += reply(IspCode::AddrError);
            return;
        }
        if (v[1] % 4) {
            out += reply(IspCode::CountError);
            return;
        }
        if (!memory(v[0], v[1], cmd == 'W')) {
            out += reply(IspCode::AddrNotMapped);
            return;
        }
        out += reply(IspCode::Success);
        dataAddress_ = v[0];
        dataCount_ = v[1];
        dataPos_ = dataConfirmed_ = 0;
        dataLines_ = 0;
        expectChecksum_ = false;
        if (v[1] == 0) return;
        if (cmd == 'W') {
            state_ = State::WriteData;
        } else {
            sendReadBlock(out);
        }
        return;
    }
    case 'P':
        if (!sectorsValid(v[0], v[1])) {
            out += reply(IspCode::InvalidSector);
            return;
        }
        for (uint32_t s = v[0]; s <= v[1]; ++s) prepared_[s] = true;
        out += reply(IspCode::Success);
        return;
    case 'C':
        out += reply(copy(v[0], v[1], v[2], out));
        return;
    case 'E':
        out += reply(sectorsValid(v[0], v[1]) ? erase(static_cast<int>(v[0]), static_cast<int>(v[1]), out)
                                              : IspCode::InvalidSector);
        return;
    case 'I': {
        if (!sectorsValid(v[0], v[1])) {
            out += reply(IspCode::InvalidSector);
            return;
        }
        std::string extra;
        out += reply(blankCheck(static_cast<int>(v[0]), static_cast<int>(v[1]), extra)) + extra;
        return;
    }
    case 'J':
        out += reply(IspCode::Success) + std::to_string(config_.partId) + "\r\n";
        return;
    case 'K':
        out += reply(IspCode::Success) + std::to_string(config_.bootMajor) + "\r\n" +
               std::to_string(config_.bootMinor) + "\r\n";
        return;
    case 'N':
        out += reply(IspCode::Success);
        for (uint32_t w : config_.serialWords) out += std::to_string(w) + "\r\n";
        return;
    case 'M': {
        if (v[2] % 4) {
            out += reply(IspCode::CountError);
            return;
        }
        if (v[0] % 4 || v[1] % 4) {
            out += reply(IspCode::AddrError);
            return;
        }
        const uint8_t* a = memory(v[0], v[2], false);
        const uint8_t* b = memory(v[1], v[2], false);
        if (!a || !b) {
            out += reply(IspCode::AddrNotMapped);
            return;
        }
        for (uint32_t i = 0; i < v[2]; i += 4) {
            if (!std::equal(a + i, a + i + 4, b + i)) {
                out += reply(IspCode::CompareError) + std::to_string(i) + "\r\n";
                return;
            }
        }
        out += reply(IspCode::Success);
        return;
    }
    case 'G':
        if (!unlocked_) {
            out += reply(IspCode::CmdLocked);
            return;
        }
        if ((mode != "T" && mode != "A") || v[0] % 2) {
            out += reply(mode != "T" && mode != "A" ? IspCode::ParamError : IspCode::AddrError);
            return;
        }
        out += reply(IspCode::Success);
        started_ = true;
        startAddress_ = v[0];
        state_ = State::Running;
        return;
    default:
        out += reply(IspCode::InvalidCommand);
    }
}

void LpcIsp::writeLine(const std::string& line, std::string& out) {
    uint8_t* base = memory(dataAddress_, dataCount_, true);
    if (expectChecksum_) {
        uint32_t expected = 0;
        for (uint32_t i = dataConfirmed_; i < dataPos_; ++i) expected += base[i];
        uint32_t got = 0;
        auto [p, ec] = std::from_chars(line.data(), line.data() + line.size(), got);
        bool noisy = config_.noisyChecksums > 0;
        if (noisy) --config_.noisyChecksums;
        if (!noisy && ec == std::errc() && p == line.data() + line.size() && got == expected) {
            out += "OK\r\n";
            dataConfirmed_ = dataPos_;
            if (dataPos_ >= dataCount_) state_ = State::Command;
        } else {
            out += "RESEND\r\n";
            dataPos_ = dataConfirmed_;
        }
        dataLines_ = 0;
        expectChecksum_ = false;
        return;
    }
    std::vector<uint8_t> bytes;
    uint32_t n = uuDecode(line, bytes);
    uint32_t take = std::min(n, dataCount_ - dataPos_);
    std::copy_n(bytes.begin(), take, base + dataPos_);
    dataPos_ += take;
    if (++dataLines_ == kLinesPerChecksum || dataPos_ >= dataCount_) expectChecksum_ = true;
}

void LpcIsp::sendReadBlock(std::string& out) {
    const uint8_t* base = memory(dataAddress_, dataCount_, false);
    uint32_t sum = 0;
    for (int lines = 0; lines < kLinesPerChecksum && dataPos_ < dataCount_; ++lines) {
        uint32_t n = std::min(kBytesPerLine, dataCount_ - dataPos_);
        out += uuEncode(base + dataPos_, n) + "\r\n";
        for (uint32_t i = 0; i < n; ++i) sum += base[dataPos_ + i];
        dataPos_ += n;
    }
    out += std::to_string(sum) + "\r\n";
    state_ = State::ReadAck;
}

IspCode LpcIsp::copy(uint32_t dst, uint32_t src, uint32_t count, std::string& out) {
    if (std::find(kCopySizes.begin(), kCopySizes.end(), count) == kCopySizes.end())
        return IspCode::CountError;
    if (dst % 256) return IspCode::DstAddrError;
    if (src % 4) return IspCode::SrcAddrError;
    if (dst >= kFlashSize || kFlashSize - dst < count) return IspCode::DstAddrNotMapped;
    const uint8_t* from = memory(src, count, true);
    if (!from) return IspCode::SrcAddrNotMapped;
    if (!unlocked_) return IspCode::CmdLocked;
    for (int s = sectorOf(dst); s <= sectorOf(dst + count - 1); ++s)
        if (!prepared_[static_cast<size_t>(s)]) return IspCode::SectorNotPrepared;
    // Programming can only clear bits: writing over unerased flash ANDs the data in.
    for (uint32_t i = 0; i < count; ++i) flash_[dst + i] &= from[i];
    std::fill(prepared_.begin(), prepared_.end(), false);
    busy(config_.copyMsPer256 * (count / 256), out);
    return IspCode::Success;
}

IspCode LpcIsp::erase(int first, int last, std::string& out) {
    if (!unlocked_) return IspCode::CmdLocked;
    for (int s = first; s <= last; ++s)
        if (!prepared_[static_cast<size_t>(s)]) return IspCode::SectorNotPrepared;
    for (int s = first; s <= last; ++s)
        std::fill_n(flash_.begin() + sectorStart(s), sectorSize(s), 0xFF);
    std::fill(prepared_.begin(), prepared_.end(), false);
    busy(config_.eraseMsPerSector * static_cast<unsigned>(last - first + 1), out);
    return IspCode::Success;
}

IspCode LpcIsp::blankCheck(int first, int last, std::string& extra) {
    for (uint32_t a = sectorStart(first); a < sectorStart(last) + sectorSize(last); a += 4) {
        uint32_t word = flash_[a] | flash_[a + 1] << 8 | flash_[a + 2] << 16 |
                        static_cast<uint32_t>(flash_[a + 3]) << 24;
        if (word != 0xFFFFFFFF) {
            extra = std::to_string(a) + "\r\n" + std::to_string(word) + "\r\n";
            return IspCode::SectorNotBlank;
        }
    }
    return IspCode::Success;
}

} // namespace tandril::sim

#include "ImxSdpRom.h"

#include <algorithm>

namespace tandril::sim {

namespace {

constexpr uint16_t kReadRegister = 0x0101;
constexpr uint16_t kWriteRegister = 0x0202;
constexpr uint16_t kWriteFile = 0x0404;
constexpr uint16_t kErrorStatus = 0x0505;
constexpr uint16_t kJumpAddress = 0x0B0B;
constexpr uint32_t kUniqueIdLow = 0x401F4410;
constexpr uint32_t kUniqueIdHigh = 0x401F4420;
constexpr size_t kStatusPayload = 64;
// An image vector table starts with tag 0xD1, a big-endian length of 0x20, and version 0x4x.
constexpr uint8_t kIvtTag = 0xD1;

uint32_t bigEndian(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

std::vector<uint8_t> littleEndian(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

ImxSdpRom::Report security() { return {3, littleEndian(ImxSdpRom::kHabOpen)}; }

ImxSdpRom::Report status(std::vector<uint8_t> payload) { return {4, std::move(payload)}; }

} // namespace

ImxSdpRom::ImxSdpRom(ImxSdpRomConfig config) : config_(config) {}

void ImxSdpRom::onJump(std::function<void(uint32_t)> callback) {
    std::lock_guard lock(mutex_);
    onJump_ = std::move(callback);
}

bool ImxSdpRom::jumped() const {
    std::lock_guard lock(mutex_);
    return jumped_;
}

uint32_t ImxSdpRom::jumpAddress() const {
    std::lock_guard lock(mutex_);
    return jumpAddress_;
}

std::vector<std::pair<uint32_t, std::vector<uint8_t>>> ImxSdpRom::writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

std::vector<uint16_t> ImxSdpRom::commandsSeen() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

uint8_t ImxSdpRom::byteAt(uint32_t address) const {
    auto page = pages_.find(address & ~0xFFFu);
    return page == pages_.end() ? 0 : page->second[address & 0xFFF];
}

std::vector<uint8_t> ImxSdpRom::memory(uint32_t address, size_t n) const {
    std::lock_guard lock(mutex_);
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = byteAt(address + static_cast<uint32_t>(i));
    return out;
}

void ImxSdpRom::store(uint32_t address, const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        uint32_t a = address + static_cast<uint32_t>(i);
        auto [page, fresh] = pages_.try_emplace(a & ~0xFFFu);
        if (fresh) page->second.fill(0);
        page->second[a & 0xFFF] = bytes[i];
    }
}

std::string ImxSdpRom::flatten(const std::vector<Report>& reports) {
    std::string out;
    for (const auto& r : reports) out.append(r.payload.begin(), r.payload.end());
    return out;
}

std::vector<ImxSdpRom::Report> ImxSdpRom::command(const uint8_t* frame) {
    uint16_t type = static_cast<uint16_t>(frame[0] << 8 | frame[1]);
    uint32_t address = bigEndian(frame + 2);
    uint32_t count = bigEndian(frame + 7);
    commands_.push_back(type);
    switch (type) {
    case kErrorStatus: {
        auto payload = littleEndian(lastError_);
        lastError_ = kStatusOk;
        return {security(), status(payload)};
    }
    case kWriteFile:
        if (count == 0) return {security(), status(littleEndian(kWriteComplete))};
        writeAddress_ = address;
        writeLeft_ = count;
        writeData_.clear();
        return {};
    case kReadRegister: {
        std::vector<uint8_t> payload;
        for (uint32_t i = 0; i < std::max<uint32_t>(count, 4); i += 4) {
            uint32_t a = address + i;
            uint32_t v = a == kUniqueIdLow    ? static_cast<uint32_t>(config_.uniqueId)
                         : a == kUniqueIdHigh ? static_cast<uint32_t>(config_.uniqueId >> 32)
                                              : static_cast<uint32_t>(byteAt(a) | byteAt(a + 1) << 8 |
                                                                      byteAt(a + 2) << 16 | byteAt(a + 3) << 24);
            auto bytes = littleEndian(v);
            payload.insert(payload.end(), bytes.begin(), bytes.end());
        }
        return {security(), status(payload)};
    }
    case kJumpAddress: {
        bool ivt = byteAt(address) == kIvtTag && byteAt(address + 1) == 0x00 && byteAt(address + 2) == 0x20 &&
                   (byteAt(address + 3) & 0xF0) == 0x40;
        if (!ivt) {
            lastError_ = kErrorNoImage;
            return {security(), status(littleEndian(kErrorNoImage))};
        }
        jumped_ = true;
        jumpAddress_ = address;
        return {security()};
    }
    case kWriteRegister:
    default:
        lastError_ = kErrorBadCommand;
        return {security(), status(littleEndian(kErrorBadCommand))};
    }
}

std::vector<ImxSdpRom::Report> ImxSdpRom::data(const uint8_t* bytes, size_t n) {
    size_t take = std::min<size_t>(n, writeLeft_);
    writeData_.insert(writeData_.end(), bytes, bytes + take);
    writeLeft_ -= static_cast<uint32_t>(take);
    if (writeLeft_ > 0) return {};
    store(writeAddress_, writeData_.data(), writeData_.size());
    writes_.emplace_back(writeAddress_, std::move(writeData_));
    writeData_.clear();
    return {security(), status(littleEndian(kWriteComplete))};
}

std::string ImxSdpRom::receiveSerial(const std::string& bytes, std::chrono::steady_clock::time_point now) {
    std::function<void(uint32_t)> jumpedTo;
    uint32_t target = 0;
    std::string out;
    {
        std::lock_guard lock(mutex_);
        if (jumped_) return {};
        if (config_.dropPartialFrameAfterMs && !partial_.empty() && writeLeft_ == 0 &&
            now - lastByte_ >= std::chrono::milliseconds(config_.dropPartialFrameAfterMs))
            partial_.clear();
        lastByte_ = now;
        size_t i = 0;
        while (i < bytes.size() && !jumped_) {
            const auto* p = reinterpret_cast<const uint8_t*>(bytes.data()) + i;
            if (writeLeft_ > 0) {
                size_t take = std::min<size_t>(writeLeft_, bytes.size() - i);
                out += flatten(data(p, take));
                i += take;
                continue;
            }
            partial_ += bytes[i++];
            if (partial_.size() == kFrameSize) {
                out += flatten(command(reinterpret_cast<const uint8_t*>(partial_.data())));
                partial_.clear();
            }
        }
        if (jumped_) {
            jumpedTo = onJump_;
            target = jumpAddress_;
        }
    }
    if (jumpedTo) jumpedTo(target);
    return out;
}

std::vector<ImxSdpRom::Report> ImxSdpRom::receiveReport(const std::vector<uint8_t>& report) {
    std::function<void(uint32_t)> jumpedTo;
    uint32_t target = 0;
    std::vector<Report> out;
    {
        std::lock_guard lock(mutex_);
        if (jumped_ || report.empty()) return {};
        if (report[0] == 1 && report.size() >= 1 + kFrameSize) {
            out = command(report.data() + 1);
        } else if (report[0] == 2 && writeLeft_ > 0) {
            out = data(report.data() + 1, report.size() - 1);
        }
        if (jumped_) {
            jumpedTo = onJump_;
            target = jumpAddress_;
        }
    }
    for (auto& r : out)
        if (r.id == 4) r.payload.resize(kStatusPayload, 0);
    if (jumpedTo) jumpedTo(target);
    return out;
}

} // namespace tandril::sim

#include "UpgradeLoader.h"

#include <algorithm>

#include <nlohmann/json.hpp>

namespace tandril::sim {

void UpgradeLoader::init() {
    ++inits_;
    loaded_ = false;
    prepared_ = false;
    current_ = Block{};
    pending_.clear();
    sum_ = 0;
    loaderBlocks_.clear();
    firmware_.clear();
    writes_.clear();
}

void UpgradeLoader::closeLoaderBlock() {
    if (!prepared_ || loaded_)
        return;
    current_.bytes = pending_;
    // A host that repeats a loader block means the repeat to count, not both.
    auto same = std::find_if(loaderBlocks_.begin(), loaderBlocks_.end(),
                             [&](const Block& b) { return b.address == current_.address; });
    if (same != loaderBlocks_.end())
        *same = current_;
    else
        loaderBlocks_.push_back(current_);
    prepared_ = false;
}

void UpgradeLoader::prepare(uint32_t address, uint8_t flags) {
    closeLoaderBlock();
    current_ = Block{address, flags, {}};
    prepared_ = true;
    pending_.clear();
    sum_ = 0;
    if (loaded_)
        firmware_[address] = current_;
}

void UpgradeLoader::data(const uint8_t* bytes, size_t n) {
    pending_.insert(pending_.end(), bytes, bytes + n);
    for (size_t i = 0; i < n; ++i)
        sum_ += bytes[i];
}

bool UpgradeLoader::write(uint16_t size) {
    // Only the running loader writes flash, and only a piece it has whole.
    bool ok = loaded_ && prepared_ && size == pending_.size();
    if (ok) {
        auto& block = firmware_[current_.address];
        block.bytes.insert(block.bytes.end(), pending_.begin(), pending_.end());
        writes_.push_back(size);
    }
    discard();
    return ok;
}

void UpgradeLoader::discard() {
    pending_.clear();
    sum_ = 0;
}

void UpgradeLoader::load() {
    closeLoaderBlock();
    loaded_ = true;
    prepared_ = false;
    discard();
}

void UpgradeLoader::reboot() {
    ++reboots_;
    loaded_ = false;
    prepared_ = false;
    discard();
}

static std::string hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

static nlohmann::json blockJson(const UpgradeLoader::Block& block) {
    return {{"address", block.address},
            {"flags", block.flags},
            {"size", block.bytes.size()},
            {"data", hex(block.bytes)}};
}

nlohmann::json UpgradeLoader::json() const {
    nlohmann::json loader = nlohmann::json::array();
    for (const auto& b : loaderBlocks_)
        loader.push_back(blockJson(b));
    nlohmann::json firmware = nlohmann::json::array();
    for (const auto& [address, b] : firmware_)
        firmware.push_back(blockJson(b));
    return {{"inits", inits_},   {"loaded", loaded_},     {"reboots", reboots_},
            {"loader", loader},  {"firmware", firmware},  {"writes", writes_},
            {"pending", pending_.size()}};
}

} // namespace tandril::sim

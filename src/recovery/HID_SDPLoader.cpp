#include "recovery/HID_SDPLoader.h"

#include <hidapi/hidapi.h>

#include <cstring>

#include "app/Log.h"

namespace {
constexpr size_t kReportSize = 65;
constexpr unsigned char kReportSecurity = 0x03;
constexpr size_t kSecurityReportCount = 5;
constexpr size_t kAnswerSize = kSecurityReportCount + kReportSize; // report 3, then report 4
constexpr unsigned kMaxIndex = 15;
} // namespace

HID_SDPLoader::HID_SDPLoader(uint16_t vendorId, uint16_t productId) : vendorId_(vendorId), productId_(productId) {}

HID_SDPLoader::~HID_SDPLoader() {
    if (handle_) hid_close(handle_);
    hid_exit();
}

bool HID_SDPLoader::init() {
    if (hid_init() != 0) return false;
    if (!handle_) handle_ = hid_open(vendorId_, productId_, nullptr);
    Log::log(DEBUG_iMXSerial, "handle: %p\n", static_cast<void*>(handle_));
    return handle_ != nullptr;
}

int HID_SDPLoader::writeData(const std::vector<unsigned char>& packet) {
    if (!handle_) return -1;
    return hid_write(handle_, packet.data(), packet.size());
}

int HID_SDPLoader::readData(std::vector<unsigned char>& out, unsigned timeout) {
    if (!handle_) return 0;
    int total = 0;
    unsigned char buffer[kReportSize] = {};
    while (true) {
        int got = hid_read_timeout(handle_, buffer, sizeof buffer, static_cast<int>(timeout));
        if (got <= 0) break;
        size_t count = buffer[0] == kReportSecurity ? kSecurityReportCount : static_cast<size_t>(got);
        out.insert(out.end(), buffer, buffer + count);
        total += static_cast<int>(count);
        std::memset(buffer, 0, sizeof buffer);
    }
    return total;
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<unsigned char>& answer, unsigned index, unsigned& value) {
    if (answer.size() != kAnswerSize || index > kMaxIndex) return false;
    for (unsigned i = 0; i < 4; ++i) value |= static_cast<unsigned>(answer[6 + index + i]) << (8 * i);
    return true;
}

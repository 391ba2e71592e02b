// A virtual i.MX RT boot ROM speaking the Serial Download Protocol, over a UART or
// as USB HID reports. It keeps what it was sent (a test can check a loader byte for
// byte) and jumps only to an address that holds an image vector table, as the real
// part does.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace tandril::sim {

struct ImxSdpRomConfig {
    uint64_t uniqueId = 0x0123456789ABCDEFull; // read through the fuse shadow registers
    // A UART command frame is 16 bytes; stray bytes from another protocol's probe can
    // leave the ROM holding part of one. With a gap set, a partial frame followed by
    // this much silence is dropped. Whether the real ROM does so is not documented:
    // 0 (the default) keeps the partial frame, as a ROM without such a rule would.
    unsigned dropPartialFrameAfterMs = 0;
};

class ImxSdpRom {
public:
    static constexpr uint32_t kHabOpen = 0x56787856;
    static constexpr uint32_t kStatusOk = 0xF0F0F0F0;
    static constexpr uint32_t kWriteComplete = 0x88888888;
    static constexpr uint32_t kErrorNoImage = 0x33333333; // jump target holds no vector table
    static constexpr uint32_t kErrorBadCommand = 0x55555555;
    static constexpr size_t kFrameSize = 16;

    // One input report (ID 3: security word; ID 4: status or data) for the HID side.
    struct Report {
        uint8_t id;
        std::vector<uint8_t> payload;
    };

    explicit ImxSdpRom(ImxSdpRomConfig config = {});

    // Called once after a successful jump (the ROM no longer answers afterwards).
    void onJump(std::function<void(uint32_t address)> callback);

    // UART side: bytes in, bytes out. `now` dates the arrival for the partial-frame rule.
    std::string receiveSerial(const std::string& bytes,
                              std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());
    // HID side: one output report from the host (ID 1 command, ID 2 data); the input
    // reports it answers with.
    std::vector<Report> receiveReport(const std::vector<uint8_t>& report);

    bool jumped() const;
    uint32_t jumpAddress() const;
    // Bytes written at [address, address + n), zero where nothing was written.
    std::vector<uint8_t> memory(uint32_t address, size_t n) const;
    // Every WRITE_FILE that completed: its address and data, in order.
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> writes() const;
    std::vector<uint16_t> commandsSeen() const;

private:
    std::vector<Report> command(const uint8_t* frame);
    std::vector<Report> data(const uint8_t* bytes, size_t n);
    void store(uint32_t address, const uint8_t* bytes, size_t n);
    uint8_t byteAt(uint32_t address) const;
    static std::string flatten(const std::vector<Report>& reports);

    ImxSdpRomConfig config_;
    mutable std::mutex mutex_;
    std::function<void(uint32_t)> onJump_;
    std::map<uint32_t, std::array<uint8_t, 4096>> pages_;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> writes_;
    std::vector<uint16_t> commands_;
    std::string partial_;
    std::chrono::steady_clock::time_point lastByte_{};
    uint32_t lastError_ = kStatusOk;
    bool jumped_ = false;
    uint32_t jumpAddress_ = 0;
    // An open WRITE_FILE data phase.
    uint32_t writeAddress_ = 0;
    uint32_t writeLeft_ = 0;
    std::vector<uint8_t> writeData_;
};

} // namespace tandril::sim

// A virtual NXP LPC17xx ISP boot loader: the text protocol the ROM speaks on its
// UART, with its flash, RAM and sector rules, so that recovery can be exercised (and
// checked byte for byte) without a board. Bytes go in, bytes come out; a transport
// (see PtyPort.h) moves them and paces them at the line's baud rate.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace tandril::sim {

struct LpcIspConfig {
    uint32_t partId = 0x26013F37; // an LPC1768
    uint8_t bootMajor = 4, bootMinor = 1;
    uint32_t serialWords[4] = {0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978};
    // Time the ROM needs per flash operation; the host must wait for the return code.
    unsigned eraseMsPerSector = 0;
    unsigned copyMsPer256 = 0;
    // Line noise: this many checksums of W data are answered RESEND whatever they are.
    int noisyChecksums = 0;
};

// ISP return codes as the ROM prints them.
enum class IspCode : int {
    Success = 0,
    InvalidCommand = 1,
    SrcAddrError = 2,
    DstAddrError = 3,
    SrcAddrNotMapped = 4,
    DstAddrNotMapped = 5,
    CountError = 6,
    InvalidSector = 7,
    SectorNotBlank = 8,
    SectorNotPrepared = 9,
    CompareError = 10,
    Busy = 11,
    ParamError = 12,
    AddrError = 13,
    AddrNotMapped = 14,
    CmdLocked = 15,
    InvalidCode = 16,
    InvalidBaudRate = 17,
    InvalidStopBit = 18,
    CodeReadProtection = 19,
};

class LpcIsp {
public:
    static constexpr uint32_t kFlashSize = 512 * 1024;
    static constexpr int kSectors = 30;

    explicit LpcIsp(LpcIspConfig config = {});

    // Feeds bytes received on the UART; returns what the ROM sends back. A flash
    // operation that takes time first hands what is due so far (its echo) to `flush`,
    // then calls the sleep function (tests may set a no-op).
    using Flush = std::function<void(const std::string&)>;
    std::string receive(const std::string& bytes, const Flush& flush = {});
    void setSleep(std::function<void(unsigned ms)> sleep) { sleep_ = std::move(sleep); }

    // A reset: back to auto-baud, echo on, locked, RAM kept as it is (flash too).
    void reset();

    bool synchronised() const;
    bool echo() const { return echo_; }
    bool started() const { return started_; }
    uint32_t startAddress() const { return startAddress_; }
    std::vector<uint8_t> flash() const;
    // Commands received since construction, one line each, for tests that check
    // what a client asked for (data lines are not recorded).
    std::vector<std::string> commands() const;

    static int sectorOf(uint32_t address); // -1 beyond the flash
    static uint32_t sectorStart(int sector);
    static uint32_t sectorSize(int sector);

private:
    enum class State { AutoBaud, SyncString, Crystal, Command, WriteData, ReadAck, Running };

    void onLine(const std::string& line, std::string& out);
    void command(const std::string& line, std::string& out);
    void busy(unsigned ms, std::string& out);
    void writeLine(const std::string& line, std::string& out);
    void sendReadBlock(std::string& out);
    IspCode copy(uint32_t dst, uint32_t src, uint32_t count, std::string& out);
    IspCode erase(int first, int last, std::string& out);
    IspCode blankCheck(int first, int last, std::string& extra);
    uint8_t* memory(uint32_t address, uint32_t count, bool forWrite);

    LpcIspConfig config_;
    std::function<void(unsigned)> sleep_;
    mutable std::mutex mutex_;
    State state_ = State::AutoBaud;
    bool echo_ = true;
    bool unlocked_ = false;
    bool started_ = false;
    uint32_t startAddress_ = 0;
    std::vector<bool> prepared_;
    std::vector<uint8_t> flash_;
    std::vector<uint8_t> localRam_; // 0x10000000, 32 KiB
    std::vector<uint8_t> ahbRam_;   // 0x2007C000, 32 KiB
    std::string line_;
    std::vector<std::string> commands_;
    const Flush* flush_ = nullptr; // set during receive()

    // A data phase (W or R): where it goes, how far it got, what the last checksum confirmed.
    uint32_t dataAddress_ = 0, dataCount_ = 0, dataPos_ = 0, dataConfirmed_ = 0;
    int dataLines_ = 0;
    bool expectChecksum_ = false;
};

const char* ispCodeName(IspCode code);

} // namespace tandril::sim

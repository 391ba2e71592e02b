// The i.MX boot ROM over a UART at 115200 baud, 8N1, raw. Packets go without their
// HID report ID; answers are the plain bytes.
#pragma once

#include <memory>

#include "recovery/SDPLoader.h"

struct PrivateSerial_SDPLoader;

class Serial_SDPLoader : public SDPLoader_Interface {
public:
    // `portName` must outlive the object.
    explicit Serial_SDPLoader(const char* portName);
    ~Serial_SDPLoader() override; // flushes and closes the port
    Serial_SDPLoader(const Serial_SDPLoader&) = delete;
    Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

    // Opens and sets up the port; false when it cannot be opened or is not a terminal.
    // Leaves the line idle long enough for the ROM to drop a partial command that an
    // earlier probe of the port may have left, then flushes both queues.
    bool init() override;
    // The bytes sent; gives up (returning what went out) when the port accepts
    // nothing for kWriteStallMs.
    int writeData(const std::vector<unsigned char>& packet) override;
    int readData(std::vector<unsigned char>& out, unsigned timeout) override;
    // Needs an index of at most 15 and (index + 2) * 4 bytes; reads after the security word.
    bool getDataFromBuffer(const std::vector<unsigned char>& answer, unsigned index, unsigned& value) override;

    static constexpr unsigned kIdleGapMs = 1000;
    static constexpr unsigned kWriteStallMs = 2000;

private:
    std::unique_ptr<PrivateSerial_SDPLoader> p_;
};

// The i.MX boot ROM over USB HID (hidapi, hidraw backend). Answers arrive as input
// reports of 65 bytes; the 4-byte security report (ID 3) counts as 5 bytes, so a
// complete answer is report 3 followed by report 4: 70 bytes.
#pragma once

#include <cstdint>

#include "recovery/SDPLoader.h"

struct hid_device_;

class HID_SDPLoader : public SDPLoader_Interface {
public:
    HID_SDPLoader(uint16_t vendorId, uint16_t productId);
    ~HID_SDPLoader() override; // closes the device, releases hidapi
    HID_SDPLoader(const HID_SDPLoader&) = delete;
    HID_SDPLoader& operator=(const HID_SDPLoader&) = delete;

    // Opens the first device with the vendor and product ID; false when there is none.
    bool init() override;
    // hidapi's result: the bytes written, or -1.
    int writeData(const std::vector<unsigned char>& packet) override;
    int readData(std::vector<unsigned char>& out, unsigned timeout) override;
    // Needs exactly 70 bytes and an index of at most 15; reads the data of report 4.
    bool getDataFromBuffer(const std::vector<unsigned char>& answer, unsigned index, unsigned& value) override;

private:
    hid_device_* handle_ = nullptr;
    uint16_t vendorId_;
    uint16_t productId_;
};

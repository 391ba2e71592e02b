// One module in a listing.
#pragma once

#include <cstdint>
#include <string>

#include "Tandril2/common/discover.h"
#include "Tandril2/common/vError.h"

struct DeviceInfo {
    linkSpec spec{};              // how the module is reached
    uint16_t networkAddress = 0;  // address on its router's I2C network (network listing only)
    uint32_t build = 0;           // firmware build, 0 when it could not be read
    uint8_t versionMajor = 0;
    uint8_t versionMinor = 0;
    uint32_t versionPatch = 0;
    std::string modelName;        // display name of spec.model
    std::string deviceName;       // name stored in the module, empty when unknown
    vErr error = vErrNone;        // first error met while querying the module
};

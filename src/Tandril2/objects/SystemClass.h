// The system entity of a module (command cmdSYSTEM): identity, versions, power,
// temperatures, LEDs, routing and name. Each operation is one typed UEI get, set or
// call of one option; results are those of EntityClass.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Tandril2/objects/Entity.h"

namespace Vornic::Tandril {

class SystemClass : public EntityClass {
public:
    // Option codes of the system entity.
    enum Option : uint8_t {
        kModule = 1,
        kRouter = 2,
        kHBInterval = 3,
        kLED = 4,
        kBootSlot = 6,
        kVersion = 7,
        kModel = 8,
        kSerialNumber = 9,
        kSave = 10,
        kReset = 11,
        kInputVoltage = 12,
        kModuleHardwareOffset = 13,
        kModuleBaseAddress = 14,
        kModuleSoftwareOffset = 15,
        kRouterAddressSetting = 16,
        kRouteToMe = 20,
        kInputCurrent = 21,
        kUptime = 22,
        kMaximumTemperature = 23,
        kLogEvents = 24,
        kUnregulatedVoltage = 25,
        kUnregulatedCurrent = 26,
        kTemperature = 27,
        kMinimumTemperature = 28,
        kInputPowerSource = 29,
        kInputPowerBehavior = 30,
        kInputPowerBehaviorConfig = 31,
        kName = 32,
        kPowerLimit = 33,
        kPowerLimitMax = 34,
        kPowerLimitState = 35,
        kResetDeviceToFactoryDefaults = 37,
        kLinkInterface = 38,
        kIdentifiers = 39, // four 32-bit words, subindexes 0..3
        kHardwareVersion = 40,
        kErrors = 41,
        kLEDMaxBrightness = 42,
        kBuild = 43,
        kProtocolFeatures = 45,
    };
    // Bit of the protocol features: the module accepts pooled writes.
    static constexpr uint32_t kFeaturePooledPackets = 0x80000000u;

    void init(Module* module, uint8_t index);

    vErr getModule(uint8_t* address);
    vErr setRouter(uint8_t address);
    vErr getRouter(uint8_t* address);
    vErr setHBInterval(uint8_t interval);
    vErr getHBInterval(uint8_t* interval);
    vErr setLED(uint8_t state);
    vErr getLED(uint8_t* state);
    vErr setBootSlot(uint8_t slot);
    vErr getBootSlot(uint8_t* slot);
    vErr getVersion(uint32_t* packedVersion);
    vErr getModel(uint8_t* model);
    vErr getSerialNumber(uint32_t* serialNumber);
    vErr save();
    vErr reset();
    vErr getInputVoltage(uint32_t* microvolts);
    vErr getModuleHardwareOffset(uint8_t* offset);
    vErr getModuleBaseAddress(uint8_t* address);
    vErr setModuleSoftwareOffset(uint8_t offset);
    vErr getModuleSoftwareOffset(uint8_t* offset);
    vErr getRouterAddressSetting(uint8_t* address);
    vErr routeToMe(uint8_t on);
    vErr getInputCurrent(uint32_t* current);
    vErr getUptime(uint32_t* uptime);
    vErr getMaximumTemperature(int32_t* temperature);
    vErr logEvents();
    vErr getUnregulatedVoltage(int32_t* voltage);
    vErr getUnregulatedCurrent(int32_t* current);
    vErr getTemperature(int32_t* temperature);
    vErr getMinimumTemperature(int32_t* temperature);
    vErr getInputPowerSource(uint8_t* source);
    vErr setInputPowerBehavior(uint8_t behavior);
    vErr getInputPowerBehavior(uint8_t* behavior);
    // An array of 32-bit words (host order here, big-endian on the wire). The get's
    // capacity and count are in words; vErrMemory for a reply that is not whole words.
    vErr setInputPowerBehaviorConfig(const uint32_t* words, size_t count);
    vErr getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count);
    // The module's name, not NUL-terminated; *count is its length.
    vErr setName(const uint8_t* name, size_t length);
    vErr getName(uint8_t* name, size_t capacity, size_t* count);
    vErr getPowerLimit(uint32_t* limit);
    vErr setPowerLimitMax(uint32_t limit);
    vErr getPowerLimitMax(uint32_t* limit);
    vErr getPowerLimitState(uint32_t* state);
    vErr resetDeviceToFactoryDefaults();
    vErr setLinkInterface(uint8_t link);
    vErr getLinkInterface(uint8_t* link);
    vErr getHardwareVersion(uint32_t* version);
    vErr getErrors(uint32_t* errors);
    vErr setLEDMaxBrightness(uint8_t brightness);
    vErr getLEDMaxBrightness(uint8_t* brightness);
    vErr getBuild(uint32_t* build);
    vErr getProtocolFeatures(uint32_t* features);

private:
    vErr getSigned(uint8_t option, int32_t* value);
};

} // namespace Vornic::Tandril

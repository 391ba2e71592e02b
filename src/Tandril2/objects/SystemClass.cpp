#include "Tandril2/objects/SystemClass.h"

#include <vector>

#include "Tandril2/common/vDefs.h"

namespace Vornic::Tandril {

void SystemClass::init(Module* module, uint8_t index) { EntityClass::init(module, cmdSYSTEM, index); }

vErr SystemClass::getModule(uint8_t* address) { return getUEI8(kModule, address); }
vErr SystemClass::setRouter(uint8_t address) { return setUEI8(kRouter, address); }
vErr SystemClass::getRouter(uint8_t* address) { return getUEI8(kRouter, address); }
vErr SystemClass::setHBInterval(uint8_t interval) { return setUEI8(kHBInterval, interval); }
vErr SystemClass::getHBInterval(uint8_t* interval) { return getUEI8(kHBInterval, interval); }
vErr SystemClass::setLED(uint8_t state) { return setUEI8(kLED, state); }
vErr SystemClass::getLED(uint8_t* state) { return getUEI8(kLED, state); }
vErr SystemClass::setBootSlot(uint8_t slot) { return setUEI8(kBootSlot, slot); }
vErr SystemClass::getBootSlot(uint8_t* slot) { return getUEI8(kBootSlot, slot); }
vErr SystemClass::getVersion(uint32_t* packedVersion) { return getUEI32(kVersion, packedVersion); }
vErr SystemClass::getModel(uint8_t* model) { return getUEI8(kModel, model); }
vErr SystemClass::getSerialNumber(uint32_t* serialNumber) { return getUEI32(kSerialNumber, serialNumber); }
vErr SystemClass::save() { return callUEI(kSave); }
vErr SystemClass::reset() { return callUEI(kReset); }
vErr SystemClass::getInputVoltage(uint32_t* microvolts) { return getUEI32(kInputVoltage, microvolts); }
vErr SystemClass::getModuleHardwareOffset(uint8_t* offset) { return getUEI8(kModuleHardwareOffset, offset); }
vErr SystemClass::getModuleBaseAddress(uint8_t* address) { return getUEI8(kModuleBaseAddress, address); }
vErr SystemClass::setModuleSoftwareOffset(uint8_t offset) { return setUEI8(kModuleSoftwareOffset, offset); }
vErr SystemClass::getModuleSoftwareOffset(uint8_t* offset) { return getUEI8(kModuleSoftwareOffset, offset); }
vErr SystemClass::getRouterAddressSetting(uint8_t* address) { return getUEI8(kRouterAddressSetting, address); }
vErr SystemClass::routeToMe(uint8_t on) { return setUEI8(kRouteToMe, on); }
vErr SystemClass::getInputCurrent(uint32_t* current) { return getUEI32(kInputCurrent, current); }
vErr SystemClass::getUptime(uint32_t* uptime) { return getUEI32(kUptime, uptime); }
vErr SystemClass::logEvents() { return callUEI(kLogEvents); }
vErr SystemClass::getInputPowerSource(uint8_t* source) { return getUEI8(kInputPowerSource, source); }
vErr SystemClass::setInputPowerBehavior(uint8_t behavior) { return setUEI8(kInputPowerBehavior, behavior); }
vErr SystemClass::getInputPowerBehavior(uint8_t* behavior) { return getUEI8(kInputPowerBehavior, behavior); }
vErr SystemClass::getPowerLimit(uint32_t* limit) { return getUEI32(kPowerLimit, limit); }
vErr SystemClass::setPowerLimitMax(uint32_t limit) { return setUEI32(kPowerLimitMax, limit); }
vErr SystemClass::getPowerLimitMax(uint32_t* limit) { return getUEI32(kPowerLimitMax, limit); }
vErr SystemClass::getPowerLimitState(uint32_t* state) { return getUEI32(kPowerLimitState, state); }
vErr SystemClass::resetDeviceToFactoryDefaults() { return callUEI(kResetDeviceToFactoryDefaults); }
vErr SystemClass::setLinkInterface(uint8_t link) { return setUEI8(kLinkInterface, link); }
vErr SystemClass::getLinkInterface(uint8_t* link) { return getUEI8(kLinkInterface, link); }
vErr SystemClass::getHardwareVersion(uint32_t* version) { return getUEI32(kHardwareVersion, version); }
vErr SystemClass::getErrors(uint32_t* errors) { return getUEI32(kErrors, errors); }
vErr SystemClass::setLEDMaxBrightness(uint8_t brightness) { return setUEI8(kLEDMaxBrightness, brightness); }
vErr SystemClass::getLEDMaxBrightness(uint8_t* brightness) { return getUEI8(kLEDMaxBrightness, brightness); }
vErr SystemClass::getBuild(uint32_t* build) { return getUEI32(kBuild, build); }
vErr SystemClass::getProtocolFeatures(uint32_t* features) { return getUEI32(kProtocolFeatures, features); }

// Values the module sends as signed 32-bit numbers.
vErr SystemClass::getSigned(uint8_t option, int32_t* value)
{
    if (value == nullptr)
        return vErrParam;
    uint32_t raw = 0;
    vErr result = getUEI32(option, &raw);
    if (result == vErrNone || result == vErrStreamStale)
        *value = static_cast<int32_t>(raw);
    return result;
}

vErr SystemClass::getMaximumTemperature(int32_t* temperature) { return getSigned(kMaximumTemperature, temperature); }
vErr SystemClass::getUnregulatedVoltage(int32_t* voltage) { return getSigned(kUnregulatedVoltage, voltage); }
vErr SystemClass::getUnregulatedCurrent(int32_t* current) { return getSigned(kUnregulatedCurrent, current); }
vErr SystemClass::getTemperature(int32_t* temperature) { return getSigned(kTemperature, temperature); }
vErr SystemClass::getMinimumTemperature(int32_t* temperature) { return getSigned(kMinimumTemperature, temperature); }

vErr SystemClass::setInputPowerBehaviorConfig(const uint32_t* words, size_t count)
{
    if (words == nullptr && count > 0)
        return vErrParam;
    std::vector<uint8_t> bytes(count * 4);
    for (size_t i = 0; i < count; i++)
        vUEI_StoreInt(bytes.data() + 4 * i, words[i]);
    return setUEIBytes(kInputPowerBehaviorConfig, bytes.data(), bytes.size());
}

vErr SystemClass::getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count)
{
    if (words == nullptr || count == nullptr)
        return vErrParam;
    vErr result = getUEIBytes(kInputPowerBehaviorConfig, reinterpret_cast<uint8_t*>(words), capacity * 4, count);
    if (result == vErrNone)
        result = getUEIBytesCheck(count, 4);
    if (result == vErrNone)
        vUEI_ModifyIntBuffer(words, *count);
    return result;
}

vErr SystemClass::setName(const uint8_t* name, size_t length) { return setUEIBytes(kName, name, length); }

vErr SystemClass::getName(uint8_t* name, size_t capacity, size_t* count)
{
    vErr result = getUEIBytes(kName, name, capacity, count);
    return result == vErrNone ? getUEIBytesCheck(count, 1) : result;
}

} // namespace Vornic::Tandril

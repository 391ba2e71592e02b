// Listing modules: those attached directly (USB, TCP/IP) and those behind a router.
#include <arpa/inet.h>

#include <cstring>
#include <memory>

#include "Tandril2/common/discover.h"
#include "Tandril2/common/vDefs.h"
#include "Tandril2/common/vVersion.h"
#include "Tandril2/objects/I2CClass.h"
#include "Tandril2/objects/Link.h"
#include "Tandril2/objects/Module.h"
#include "Tandril2/objects/SystemClass.h"
#include "app/Log.h"
#include "updater/Updater.h"
#include "updater/UpdaterSupport.h"

using Vornic::Tandril::I2CClass;
using Vornic::Tandril::Module;
using Vornic::Tandril::SystemClass;

namespace {

constexpr UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::LEVEL_ERROR;

// Discovery is not tied to any one interface.
const uint32_t kAnyInterface = htonl(INADDR_LOOPBACK);

// Module address every directly attached module answers on before it is asked its own.
constexpr uint8_t kDirectAddress = 2;

// Module-information query for the firmware build number.
constexpr unsigned char kBuildQuery = 0xFF;

// The device name is stored by firmware 2.10.4 and later.
constexpr uint8_t kNameMajor = 2, kNameMinor = 10, kNamePatch = 4;
constexpr size_t kNameCapacity = 32;

// Candidate addresses on a router's I2C network: every even address 2..252.
constexpr uint8_t kFirstNetworkAddress = 2;
constexpr uint8_t kLastNetworkAddress = 252;
constexpr uint8_t kI2CSpeedCode = 3;

struct LinkSearch {
    uint32_t serial = 0;
    uint32_t type = INVALID;
};

bool _discovered_device(const linkSpec* spec, bool* found, void* reference) {
    auto* list = static_cast<std::vector<DeviceInfo>*>(reference);
    DeviceInfo info;
    info.spec = *spec;
    list->push_back(info);
    *found = true;
    return true;
}

bool _discovered_link(const linkSpec* spec, bool* found, void* reference) {
    auto* search = static_cast<LinkSearch*>(reference);
    if (spec->serial_num != search->serial)
        return true;
    Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serial_num,
             int(spec->type));
    search->type = spec->type;
    *found = true;
    return false;
}

// USB first, then TCP/IP; INVALID when neither reaches the module.
uint32_t _discover_link_type(uint32_t serial) {
    for (uint32_t type : {uint32_t(USB), uint32_t(TCPIP)}) {
        LinkSearch search{serial, INVALID};
        vDiscovery_EnumerateModules(type, _discovered_link, &search, kAnyInterface);
        if (search.type != INVALID)
            return search.type;
    }
    return INVALID;
}

uint32_t _get_build_number(Module& module) {
    Vornic::Tandril::Link* link = module.getLink();
    if (link == nullptr)
        return 0;
    const uint8_t address = module.getModuleAddress();
    const unsigned char request[1] = {kBuildQuery};
    if (link->sendPacket(address, cmdMODULE_INFO, 1, request) != vErrNone)
        return 0;
    const unsigned char match[2] = {cmdMODULE_INFO, kBuildQuery};
    unsigned char reply[28];
    unsigned char length = 2;
    if (link->receivePacket(address, match, &length, reply) != vErrNone || length != 6)
        return 0;
    return (uint32_t(reply[2]) << 24) | (uint32_t(reply[3]) << 16) | (uint32_t(reply[4]) << 8) |
           uint32_t(reply[5]);
}

vErr _get_version(Module& module, DeviceInfo& info) {
    SystemClass system;
    system.init(&module, 0);
    uint32_t packed = 0;
    vErr err = system.getVersion(&packed);
    if (err != vErrNone)
        return err;
    info.versionMajor = static_cast<uint8_t>(vVersion_ParseMajor(packed));
    info.versionMinor = static_cast<uint8_t>(vVersion_ParseMinor(packed));
    info.versionPatch = vVersion_ParsePatch(packed);
    uint8_t address = 0;
    if ((err = system.getModule(&address)) != vErrNone)
        return err;
    info.spec.module = address;
    if ((err = system.getRouter(&address)) != vErrNone)
        return err;
    info.spec.router = address;
    return vErrNone;
}

vErr _get_device_name(Module& module, DeviceInfo& info) {
    if (!vVersion_IsAtLeastCompare(info.versionMajor, info.versionMinor,
                                   static_cast<uint8_t>(info.versionPatch), kNameMajor, kNameMinor,
                                   kNamePatch))
        return vErrNone;
    SystemClass system;
    system.init(&module, 0);
    unsigned char name[kNameCapacity];
    size_t count = 0;
    const vErr err = system.getName(name, sizeof name, &count);
    if (err == vErrNone)
        info.deviceName.assign(reinterpret_cast<const char*>(name), count);
    return err;
}

} // namespace

vErr _disableEther(Module& module, UpdaterDisplayInterface& display) {
    vEtherConfig config;
    config.enabled = 0;
    config.fallback = 0;
    config.localOnly = 1;
    const vErr err = module.setConfig(config);
    if (err != vErrNone)
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to SET network configuration");
    return err;
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type) {
    std::vector<DeviceInfo> devices;
    const std::vector<uint32_t> types =
        type == INVALID ? std::vector<uint32_t>{USB, TCPIP} : std::vector<uint32_t>{type};
    for (uint32_t searched : types)
        vDiscovery_EnumerateModules(searched, _discovered_device, &devices, kAnyInterface);

    // One module open at a time: a listing never holds two links.
    for (DeviceInfo& info : devices) {
        info.modelName = vDefs_GetModelName(info.spec.model);
        Module module(kDirectAddress, 0);
        if (_disableEther(module, display) != vErrNone)
            continue;
        info.error = module.connectFromSpec(&info.spec);
        if (info.error != vErrNone)
            continue;
        info.build = _get_build_number(module);
        info.error = _get_version(module, info);
        if (info.error == vErrNone)
            info.error = _get_device_name(module, info);
        module.disconnect();
    }
    return devices;
}

std::vector<DeviceInfo> Updater::Discover_BSNetwork_Devices(unsigned int routerSerial, linkType type) {
    std::vector<DeviceInfo> devices;
    uint32_t routerType = type;
    if (routerType == INVALID)
        routerType = _discover_link_type(routerSerial);
    std::unique_ptr<linkSpec, void (*)(linkSpec*)> found(
        vDiscovery_FindModule(routerType, routerSerial, kAnyInterface),
        [](linkSpec* spec) { vLinkSpec_Destroy(&spec); });
    if (!found)
        return devices;

    Log::log(DEBUG_Updater, "Found Link Module");
    Module router(kDirectAddress, 0);
    if (_disableEther(router, display) != vErrNone)
        return devices;
    vErr err = router.connectFromSpec(found.get());
    if (err != vErrNone) {
        display.message(kError, "Error %d on connectFromSpec", err);
        return devices;
    }
    SystemClass routerSystem;
    routerSystem.init(&router, 0);
    if ((err = routerSystem.routeToMe(1)) != vErrNone) {
        display.message(kError, "Error %d on route to me", err);
        router.disconnect();
        return devices;
    }

    {
        I2CClass bus;
        bus.init(&router, 0);
        bus.setSpeed(kI2CSpeedCode);
        const uint8_t routerAddress = router.getModuleAddress();
        for (unsigned address = kFirstNetworkAddress; address <= kLastNetworkAddress; address += 2) {
            if (address == routerAddress)
                continue;
            Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", address);
            const unsigned char probe[2] = {0x00, 0x00};
            if (bus.write(static_cast<uint8_t>(address), 2, probe) != vErrNone)
                continue;
            Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
            Module target(static_cast<uint8_t>(address), false, 0);
            _disableEther(target, display);
            if (target.connectThroughLinkModule(&router) != vErrNone)
                continue;
            SystemClass system;
            system.init(&target, 0);
            uint32_t serial = 0;
            if (system.getSerialNumber(&serial) != vErrNone) {
                target.disconnect();
                continue;
            }
            Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serial);
            DeviceInfo info;
            info.spec = *found;
            info.spec.module = 0;
            info.spec.model = 0;
            info.spec.type = found->type;
            info.spec.serial_num = serial;
            info.spec.router = routerAddress;
            info.spec.router_serial_num = routerSerial;
            info.networkAddress = static_cast<uint16_t>(address);
            info.build = _get_build_number(target);
            info.error = _get_version(target, info);
            uint8_t model = 0;
            const vErr modelErr = system.getModel(&model);
            if (modelErr == vErrNone) {
                info.spec.model = model;
                info.modelName = vDefs_GetModelName(model);
            } else {
                info.error = modelErr;
            }
            target.disconnect();
            devices.push_back(std::move(info));
        }
    }
    routerSystem.routeToMe(0);
    router.disconnect();
    return devices;
}

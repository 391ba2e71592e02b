#include "Tandril2/objects/Module.h"

#include <cstring>

#include "Tandril2/common/vDefs.h"
#include "Tandril2/common/vTime.h"
#include "Tandril2/common/vUEI.h"

namespace Vornic::Tandril {

namespace {
constexpr int kAddressAttempts = 4;
constexpr uint32_t kAddressRetryMs = 5;
// cmdMODULE_INFO requests.
constexpr uint8_t kInfoHasUEI = 1;
constexpr uint8_t kInfoClassQuantity = 4;
constexpr uint8_t kInfoSubClassQuantity = 5;
constexpr uint8_t kInfoEntityGroup = 6;
constexpr uint8_t kInfoBuild = 0xFF;
constexpr uint8_t kRequestBitsReserved = 0x3F;
} // namespace

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool networking, uint8_t modelCode)
    : link(std::make_unique<Link>("Link")), moduleAddress(address), networkingMode(networking), model(modelCode)
{
}

Module::~Module() = default;

vErr Module::_autoNetwork()
{
    if (!networkingMode || !link)
        return vErrNone;
    vErr result = vErrNotReady;
    uint8_t address = 0;
    for (int attempt = 0; attempt < kAddressAttempts; attempt++) {
        result = link->getModuleAddress(&address);
        if (result != vErrNotReady)
            break;
        vTime_MSSleep(kAddressRetryMs);
    }
    if (result == vErrNone && address != 0 && address != moduleAddress)
        moduleAddress = address;
    return result;
}

vErr Module::connect(uint32_t type, uint32_t serialNumber)
{
    if (serialNumber == 0)
        return vErrParam;
    return discoverAndConnect(type, serialNumber);
}

vErr Module::discoverAndConnect(uint32_t type, uint32_t serialNumber)
{
    if (!link)
        return vErrInitialization;
    vErr result = link->discoverAndConnect(type, serialNumber, model);
    return result == vErrNone ? _autoNetwork() : result;
}

vErr Module::connectFromSpec(const linkSpec* specifier)
{
    if (!link)
        return vErrInitialization;
    if (link->isConnected())
        return vErrBusy;
    if (vErr result = link->setLinkSpecifier(specifier); result != vErrNone)
        return result;
    vErr result = link->connect();
    return result == vErrNone ? _autoNetwork() : result;
}

vErr Module::connectThroughLinkModule(Module* router)
{
    if (!link)
        return vErrInitialization;
    if (isConnected())
        return vErrNone;
    if (router == nullptr)
        return vErrParam;
    linkSpec specifier{};
    if (vErr result = router->getLinkSpecifier(&specifier); result != vErrNone)
        return result;
    Link* routerLink = router->getLink();
    if (routerLink == nullptr)
        return vErrInitialization;
    vEtherConfig config;
    routerLink->getConfig(&config);
    if (vErr result = link->setConfig(config); result != vErrNone)
        return result;
    if (config.enabled) {
        // The router's link is served: reach it through its server.
        specifier.type = VETHER;
        specifier.ip_address = config.networkInterface;
        specifier.ip_port = config.port;
    }
    if (vErr result = link->setLinkSpecifier(&specifier); result != vErrNone)
        return result;
    vErr result = link->connectThroughLinkModule(routerLink);
    // Answers to cmdMAGIC on that link come from the router, not from this module.
    if (result == vErrNone)
        networkingMode = false;
    return result;
}

vErr Module::reconnect()
{
    if (!link)
        return vErrInitialization;
    vErr result = link->connect();
    return result == vErrNone ? _autoNetwork() : result;
}

vErr Module::disconnect()
{
    if (!link)
        return vErrInitialization;
    return link->disconnect();
}

bool Module::isConnected() const { return link && link->isConnected(); }

vLinkStatus Module::getStatus() const { return link ? link->getStatus() : vLinkStatusFifoError; }

uint8_t Module::getModuleAddress() const { return moduleAddress; }

void Module::setModuleAddress(uint8_t address) { moduleAddress = address; }

void Module::setNetworkingMode(bool on) { networkingMode = on; }

bool Module::getNetworkingMode() const { return networkingMode; }

Link* Module::getLink() const { return link.get(); }

vErr Module::getLinkSpecifier(linkSpec* specifier) const
{
    return link ? link->getLinkSpecifier(specifier) : vErrNotReady;
}

vErr Module::getConfig(vEtherConfig* config) const
{
    if (config == nullptr)
        return vErrParam;
    return link ? link->getConfig(config) : vErrNotReady;
}

vErr Module::setConfig(const vEtherConfig& config) { return link ? link->setConfig(config) : vErrNotReady; }

vErr Module::enablePacketLog(const char* path) { return link ? link->enablePacketLog(path) : vErrNotReady; }

vErr Module::disablePacketLog() { return link ? link->disablePacketLog() : vErrNotReady; }

vErr Module::_query(uint8_t command, const uint8_t* request, uint8_t requestLength, uint8_t* reply,
                    uint8_t* replyLength)
{
    if (!link)
        return vErrInitialization;
    if (vErr result = link->sendPacket(moduleAddress, command, requestLength, request); result != vErrNone)
        return result;
    *replyLength = 1;
    return link->receivePacket(moduleAddress, &command, replyLength, reply);
}

vErr Module::getBuild(uint32_t* build)
{
    if (build == nullptr)
        return vErrParam;
    if (!link)
        return vErrInitialization;
    const uint8_t request[] = {kInfoBuild};
    if (vErr result = link->sendPacket(moduleAddress, cmdMODULE_INFO, 1, request); result != vErrNone)
        return result;
    const uint8_t match[] = {cmdMODULE_INFO, kInfoBuild};
    uint8_t reply[vPACKET_MAX_DATA];
    uint8_t length = sizeof match;
    if (vErr result = link->receivePacket(moduleAddress, match, &length, reply); result != vErrNone)
        return result;
    if (length != 6)
        return vErrSize;
    *build = vUEI_RetrieveInt(reply + 2);
    return vErrNone;
}

vErr Module::_infoQuery(const uint8_t* request, uint8_t requestLength, uint8_t echoed, uint8_t replyLength,
                        uint8_t* answer)
{
    uint8_t reply[vPACKET_MAX_DATA];
    uint8_t length = 0;
    if (vErr result = _query(cmdMODULE_INFO, request, requestLength, reply, &length); result != vErrNone)
        return result;
    if (length != replyLength || std::memcmp(reply + 1, request, echoed) != 0)
        return vErrUnknown;
    *answer = reply[replyLength - 1];
    return vErrNone;
}

vErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t requestBits)
{
    if ((requestBits & kRequestBitsReserved) != 0 || (requestBits & ueiOPTION_ACK) == ueiOPTION_ACK)
        return vErrParam;
    const uint8_t request[] = {kInfoHasUEI, command, option, index, requestBits};
    uint8_t answer = 0;
    // The answer echoes the request up to the index and ends with the module's code.
    vErr result = _infoQuery(request, sizeof request, 4, 6, &answer);
    return result == vErrNone ? static_cast<vErr>(answer) : result;
}

vErr Module::classQuantity(uint8_t command, uint8_t* count)
{
    if (count == nullptr)
        return vErrParam;
    const uint8_t request[] = {kInfoClassQuantity, command};
    return _infoQuery(request, sizeof request, sizeof request, 4, count);
}

vErr Module::subClassQuantity(uint8_t command, uint8_t subclass, uint8_t* count)
{
    if (count == nullptr)
        return vErrParam;
    const uint8_t request[] = {kInfoSubClassQuantity, command, subclass};
    return _infoQuery(request, sizeof request, sizeof request, 5, count);
}

vErr Module::entityGroup(uint8_t command, uint8_t index, uint8_t* group)
{
    if (group == nullptr)
        return vErrParam;
    const uint8_t request[] = {kInfoEntityGroup, command, index};
    return _infoQuery(request, sizeof request, sizeof request, 5, group);
}

vErr Module::debug(const uint8_t* data, uint8_t size)
{
    if (size > vPACKET_MAX_DATA - 1 || (size > 0 && data == nullptr))
        return vErrParam;
    uint8_t reply[vPACKET_MAX_DATA];
    uint8_t length = 0;
    if (vErr result = _query(cmdDEBUG, data, size, reply, &length); result != vErrNone)
        return result;
    if (length != size + 1 || (size > 0 && std::memcmp(reply + 1, data, size) != 0))
        return vErrIO;
    return vErrNone;
}

} // namespace Vornic::Tandril

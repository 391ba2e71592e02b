#include "Tandril2/objects/Link.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "Tandril2/common/vDefs.h"
#include "Tandril2/common/vLogger.h"
#include "Tandril2/common/vPacketDebug.h"
#include "Tandril2/common/vTime.h"

namespace Vornic::Tandril {

namespace {

// Serialises the creation of links by every Link of the process, so that two Links
// asking for the same module share one link instead of opening it twice.
std::mutex linkCreateHelperSerializer;

constexpr int kConnectPolls = 200;
constexpr uint32_t kStatusPollMs = 10;
constexpr uint8_t kMaxSendLength = vPACKET_MAX_DATA - 1; // the command byte takes one

bool sBadModuleAddress(uint8_t address) { return vPacket_CheckModuleAddress(address) != vErrNone; }

struct Match {
    const uint8_t* bytes;
    uint8_t length;
};

uint8_t sMatchFilter(const vPacket* packet, void* reference)
{
    const auto* match = static_cast<const Match*>(reference);
    return packet->dataSize >= match->length && std::memcmp(packet->data, match->bytes, match->length) == 0;
}

uint8_t sEmptyPacketFilter(const vPacket* packet, void*) { return packet->dataSize == 0; }

struct FirstOfModel {
    uint8_t model;
    linkSpec* found;
};

bool sFirstOfModel(const linkSpec* spec, bool* found, void* reference)
{
    auto* want = static_cast<FirstOfModel*>(reference);
    if (want->model != 0 && spec->model != want->model)
        return true;
    want->found = vLinkSpec_Copy(spec);
    *found = want->found != nullptr;
    return want->found == nullptr;
}

} // namespace

struct Link::impl {
    Link* owner;
    int32_t linkId = 0;
    vLogger* logger = nullptr;
    vEtherConfig config;
    std::string name;
    linkSpec* specifier = nullptr;

    impl(Link* link, const char* text) : owner(link)
    {
        if (text != nullptr)
            name.assign(text, strnlen(text, kMaxName));
    }
};

Link::Link(const char* name) : d(std::make_unique<impl>(this, name)) {}

Link::Link(const linkSpec* specifier, const char* name) : Link(name)
{
    if (specifier != nullptr)
        d->specifier = vLinkSpec_Copy(specifier);
}

Link::~Link()
{
    if (d->logger != nullptr)
        vLogger_Destroy(&d->logger);
    disconnect();
    if (d->specifier != nullptr)
        vLinkSpec_Destroy(&d->specifier);
}

vErr Link::waitForLink(int polls)
{
    for (int poll = 0;; poll++) {
        switch (vLink_GetStatus(d->linkId)) {
        case vLinkStatusRunning:
            return vErrNone;
        case vLinkStatusStopped:
        case vLinkStatusStarting:
        case vLinkStatusSyncing:
            if (poll >= polls)
                return vErrConnection;
            vTime_MSSleep(kStatusPollMs);
            break;
        case vLinkStatusStopping:
            return vErrBusy;
        default:
            return vErrConnection;
        }
    }
}

vErr Link::createFromSpecifier(int32_t reference)
{
    const linkSpec& spec = *d->specifier;
    int32_t id = 0;
    {
        std::lock_guard lock(linkCreateHelperSerializer);
        switch (spec.type) {
        case USB:
            id = vLink_CreateUSB(spec.serial_num);
            break;
        case TCPIP:
            id = vLink_CreateTCPIP(spec.serial_num, spec.ip_address, static_cast<uint16_t>(spec.ip_port));
            break;
        case SERIAL: {
            // The name shares its bytes with other fields and may fill them all.
            char port[kLinkSpecPortNameSize + 1] = {};
            std::memcpy(port, spec.port_name, kLinkSpecPortNameSize);
            id = vLink_CreateSerial(spec.serial_num, port, spec.baudrate);
            break;
        }
        default:
            if (!vLinkType_IsVEther(spec.type))
                return vErrMode;
            if (!d->config.enabled)
                return vErrConfiguration;
            id = vLink_CreateClient(spec.ip_address, static_cast<uint16_t>(spec.ip_port), reference);
            break;
        }
        if (id != 0 && !vLinkType_IsVEther(spec.type) && d->config.enabled) {
            int32_t device = id;
            uint16_t port = d->config.port;
            uint32_t interfaceAddress = d->config.networkInterface;
            id = vLink_CreateServer(device, &port, &interfaceAddress, d->config.localOnly);
            if (id != 0) {
                d->config.port = port;
                d->config.networkInterface = interfaceAddress;
            } else {
                vLink_Destroy(&device);
            }
        }
    }
    if (id == 0)
        return vErrConnection;
    d->linkId = id;
    return waitForLink(kConnectPolls);
}

vErr Link::connect()
{
    if (d->specifier == nullptr)
        return vErrConfiguration;
    if (d->linkId != 0)
        return vErrConnection;
    return createFromSpecifier(0);
}

vErr Link::connectThroughLinkModule(const Link* other)
{
    if (other == nullptr || other->d->linkId == 0)
        return vErrInitialization;
    if (d->specifier == nullptr)
        return vErrConfiguration;
    if (d->linkId != 0)
        return vErrConnection;
    return createFromSpecifier(other->d->linkId);
}

vErr Link::findAndConnect(uint32_t type, uint32_t serialNumber, uint8_t model)
{
    linkSpec* found = nullptr;
    if (serialNumber != 0) {
        found = vDiscovery_FindModule(type, serialNumber, d->config.networkInterface);
    } else {
        FirstOfModel want{model, nullptr};
        vDiscovery_EnumerateModules(type, sFirstOfModel, &want, d->config.networkInterface);
        found = want.found;
    }
    if (found == nullptr)
        return vErrNotFound;
    if (d->specifier != nullptr)
        vLinkSpec_Destroy(&d->specifier);
    d->specifier = found;
    return connect();
}

vErr Link::discoverAndConnect(uint32_t type, uint32_t serialNumber, uint8_t model)
{
    // A held link keeps its specifier: finding the module again would replace it.
    if (d->linkId != 0)
        return vErrConnection;
    vErr result = findAndConnect(type, serialNumber, model);
    bool retry = result == vErrNotFound || result == vErrInitialization || result == vErrConnection;
    bool other = type == USB || type == TCPIP || vLinkType_IsVEther(type);
    if (retry && other && d->config.fallback && d->linkId == 0)
        result = findAndConnect(vLinkType_IsVEther(type) ? USB : VETHER, serialNumber, model);
    return result;
}

bool Link::isConnected() const { return d->linkId != 0 && vLink_GetStatus(d->linkId) == vLinkStatusRunning; }

vLinkStatus Link::getStatus() const
{
    return d->linkId == 0 ? vLinkStatusFifoError : vLink_GetStatus(d->linkId);
}

vErr Link::disconnect()
{
    if (d->linkId != 0)
        vLink_Destroy(&d->linkId);
    d->linkId = 0;
    return vErrNone;
}

vErr Link::reset()
{
    if (d->linkId != 0)
        vLink_Reset(d->linkId);
    return vErrNone;
}

int32_t Link::getLinkId() const { return d->linkId; }

vErr Link::getModuleAddress(uint8_t* address)
{
    if (address == nullptr)
        return vErrParam;
    *address = 0;
    if (!isConnected())
        return vErrNotReady;
    vPacket* magic = vPacket_Create();
    if (magic == nullptr)
        return vErrNotReady;
    magic->address = cmdMAGIC;
    magic->received = 2;
    vLink_PutPacket(d->linkId, magic);
    vPacket_Destroy(&magic);
    vPacket* answer = vLink_AwaitFirst(d->linkId, sEmptyPacketFilter, nullptr, kReplyTimeoutMs);
    if (answer == nullptr)
        return vErrNotReady;
    *address = answer->address;
    vPacket_Destroy(&answer);
    return vErrNone;
}

vErr Link::sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data)
{
    if (!isConnected())
        return vErrConnection;
    if (length > kMaxSendLength || (length > 0 && data == nullptr))
        return vErrParam;
    if (sBadModuleAddress(address))
        return vErrPacket;
    uint8_t bytes[vPACKET_MAX_DATA];
    bytes[0] = command;
    if (length > 0)
        std::memcpy(bytes + 1, data, length);
    vPacket* packet = vPacket_CreateWithData(address, static_cast<uint8_t>(length + 1), bytes);
    if (packet == nullptr)
        return vErrResource;
    vLink_PutPacket(d->linkId, packet);
    vPacket_Destroy(&packet);
    return vErrNone;
}

// A reply that came before the link went down still counts; with nothing to take, a
// link that is down gives vErrConnection and a running one vErrTimeout.
vErr Link::noReply() const { return isConnected() ? vErrTimeout : vErrConnection; }

vErr Link::receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* buffer)
{
    if (d->linkId == 0)
        return vErrConnection;
    if (sBadModuleAddress(address))
        return vErrPacket;
    if (length == nullptr || buffer == nullptr || *length > vPACKET_MAX_DATA || (*length > 0 && match == nullptr))
        return vErrParam;
    Match want{match, *length};
    vPacket* packet = vLink_AwaitFirst(d->linkId, sMatchFilter, &want, kReplyTimeoutMs);
    if (packet == nullptr)
        return noReply();
    *length = packet->dataSize;
    std::memcpy(buffer, packet->data, packet->dataSize);
    vPacket_Destroy(&packet);
    return vErrNone;
}

namespace {

// Encodes and queues the record's packets; `subindex` < 0 for none.
vErr sPutUEI(int32_t id, const uei& record, int subindex)
{
    vPacket* packet = vPacket_Create();
    if (packet == nullptr)
        return vErrResource;
    vErr result = vErrNone;
    if (record.type == ueiTypeBytes) {
        size_t count = subindex < 0 ? vUEI_BytesPacketCount(record.bytesSize) : 0;
        if (count == 0)
            result = vErrParam;
        for (size_t i = 0; i < count && result == vErrNone; i++) {
            result = vUEI_EncodeBytesPacket(&record, i, packet);
            if (result == vErrNone)
                result = vLink_PutPacket(id, packet);
        }
    } else {
        result = subindex < 0 ? vUEI_Encode(&record, packet)
                              : vUEI_EncodeWithSubindex(&record, static_cast<uint8_t>(subindex), packet);
        if (result == vErrNone)
            result = vLink_PutPacket(id, packet);
    }
    vPacket_Destroy(&packet);
    return result;
}

} // namespace

vErr Link::sendUEI(const uei& record)
{
    if (!isConnected())
        return vErrConnection;
    if (sBadModuleAddress(record.module))
        return vErrPacket;
    return sPutUEI(d->linkId, record, -1);
}

vErr Link::sendUEI(const uei& record, uint8_t subindex)
{
    if (!isConnected())
        return vErrConnection;
    if (sBadModuleAddress(record.module))
        return vErrPacket;
    return sPutUEI(d->linkId, record, subindex);
}

uint8_t Link::sUEIFilter(const vPacket* packet, void* reference)
{
    auto* record = static_cast<uei*>(reference);
    return vUEI_IsReplyTo(packet, record) && vUEI_DecodeReply(packet, record) == vErrNone;
}

uint8_t Link::sUEIBytesFilter(const vPacket* packet, void* reference)
{
    auto* record = static_cast<uei*>(reference);
    return vUEI_IsReplyTo(packet, record) && vUEI_DecodeBytesPacket(packet, record) == vErrNone;
}

vErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record)
{
    return receiveUEI(module, command, option, index, record, sUEIFilter);
}

vErr Link::receiveUEI(uint8_t module, uint8_t, uint8_t, uint8_t, uei* record, vPacketFifoFilter filter)
{
    if (d->linkId == 0)
        return vErrConnection;
    if (sBadModuleAddress(module))
        return vErrPacket;
    if (record == nullptr || filter == nullptr)
        return vErrParam;
    uint32_t timeout = kReplyTimeoutMs;
    if (record->type == ueiTypeBytes && record->bytesSize > kLargePayload)
        timeout = kLargeReplyTimeoutMs;
    vPacket* packet = vLink_AwaitFirst(d->linkId, filter, record, timeout);
    if (packet == nullptr)
        return noReply();
    vPacket_Destroy(&packet);
    return vErrNone;
}

vErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index)
{
    if (!isConnected())
        return vErrConnection;
    if (sBadModuleAddress(module))
        return vErrPacket;
    uei record{};
    record.module = module;
    record.command = command;
    record.option = option;
    record.specifier = index;
    vLink_DrainPackets(d->linkId, sUEIFilter, &record);
    return vErrNone;
}

vErr Link::enablePooledPackets(bool on)
{
    if (d->linkId == 0)
        return vErrConnection;
    return vLink_EnablePooledPackets(d->linkId, on);
}

vErr Link::getLinkSpecifier(linkSpec* specifier) const
{
    if (specifier == nullptr)
        return vErrParam;
    if (d->specifier == nullptr)
        return vErrNotFound;
    *specifier = *d->specifier;
    return vErrNone;
}

vErr Link::setLinkSpecifier(const linkSpec* specifier)
{
    if (specifier == nullptr)
        return vErrParam;
    if (isConnected())
        return vErrBusy;
    linkSpec* copy = vLinkSpec_Copy(specifier);
    if (copy == nullptr)
        return vErrMemory;
    if (d->specifier != nullptr)
        vLinkSpec_Destroy(&d->specifier);
    d->specifier = copy;
    return vErrNone;
}

vErr Link::getConfig(vEtherConfig* config) const
{
    if (config == nullptr)
        return vErrParam;
    *config = d->config;
    return vErrNone;
}

vErr Link::setConfig(const vEtherConfig& config)
{
    if (isConnected())
        return vErrMode;
    d->config = config;
    return vErrNone;
}

const char* Link::getName() const { return d->name.c_str(); }

vErr Link::enablePacketLog(const char* path)
{
    if (d->linkId == 0)
        return vErrConfiguration;
    if (path == nullptr)
        return vErrParam;
    if (d->logger != nullptr)
        return vErrBusy;
    if (vErr result = vLink_PacketDebug_Enable(d->linkId); result != vErrNone)
        return result;
    static const uint8_t kStart[] = "START";
    vLink_PacketDebug_Write(d->linkId, vPacketLogText, sizeof kStart, kStart);
    d->logger = vLogger_Create(d->linkId, path);
    if (d->logger == nullptr || vLogger_Enable(d->logger) != vErrNone) {
        if (d->logger != nullptr)
            vLogger_Destroy(&d->logger);
        vLink_PacketDebug_Disable(d->linkId);
        return vErrResource;
    }
    return vErrNone;
}

vErr Link::disablePacketLog()
{
    if (d->logger == nullptr)
        return vErrNotReady;
    // The logger drains what the link has logged before it stops; only then may the
    // link drop its log.
    vLogger_Destroy(&d->logger);
    vLink_PacketDebug_Disable(d->linkId);
    return vErrNone;
}

} // namespace Vornic::Tandril

#include "Tandril2/common/discover.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "Tandril2/common/vByteOrder.h"
#include "Tandril2/common/vLink.h"
#include "Tandril2/common/vMulticast.h"
#include "Tandril2/common/zBeaconInterface.h"

namespace {

constexpr int kMaxInterfaces = 50;
constexpr int kBeaconAttempts = 22;
constexpr int kBeaconReceiveMs = 100;

uint32_t sAddress(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

bool sIsNoInterface(uint32_t netInterface) {
    return netInterface == 0 || netInterface == htonl(INADDR_LOOPBACK);
}

// The specifiers one vEther discovery has passed on, so that a server heard twice
// (it answers every beacon, every 100 ms) reaches the callback once.
class SeenList {
public:
    bool isNew(const linkSpec& spec) const {
        for (const linkSpec& s : seen_) {
            if (s.serial_num == spec.serial_num && s.ip_address == spec.ip_address && s.ip_port == spec.ip_port &&
                s.type == spec.type)
                return false;
        }
        return true;
    }
    void add(const linkSpec& spec) {
        try {
            seen_.push_back(spec);
        } catch (const std::bad_alloc&) {
            // Without memory the worst case is one more call for the same server.
        }
    }

private:
    std::vector<linkSpec> seen_;
};

struct FindTarget {
    linkSpec* spec;
    bool anySerial; // the first module with a non-zero serial number
};

bool sFindCallback(const linkSpec* spec, bool* found, void* reference) {
    auto* target = static_cast<FindTarget*>(reference);
    const bool match = target->anySerial ? spec->serial_num != 0 : spec->serial_num == target->spec->serial_num;
    if (!match)
        return true;
    std::memcpy(target->spec, spec, sizeof(linkSpec));
    *found = true;
    return false;
}

linkSpec* sFind(uint32_t type, uint32_t serialNumber, bool anySerial, uint32_t netInterface) {
    linkSpec* spec = vLinkSpec_Create(type);
    if (spec == nullptr)
        return nullptr;
    spec->serial_num = serialNumber;
    FindTarget target{spec, anySerial};
    if (vDiscovery_EnumerateModules(type, sFindCallback, &target, netInterface) == 0)
        vLinkSpec_Destroy(&spec);
    return spec;
}

// Finds servers on this machine: each holds one slot's query port, which the
// operating system refuses to bind a second time.
void sFindLinkSpecsMulticast(vDiscoveryRun* run, bool localMode) {
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    const uint32_t group = sAddress(kVEtherGroup);
    SeenList seen;
    for (int slot = 0; slot < kVEtherSlots && !run->stopped; ++slot) {
        const auto queryPort = static_cast<uint16_t>(kVEtherQueryPort + slot);
        vMulticast* probe = vMulticast_Create(loopback, group, queryPort, false);
        if (probe != nullptr) {
            vMulticast_Destroy(&probe); // nobody holds the slot
            continue;
        }
        vMulticast* receiver = vMulticast_Create(loopback, group, static_cast<uint16_t>(kVEtherReplyPort + slot), false);
        vMulticast* sender = vMulticast_Create(loopback, group, queryPort, true);
        if (receiver != nullptr && sender != nullptr) {
            uint8_t query[4];
            vByteOrder_PutLE32(query, kVEtherQueryValue);
            // Room for more than a specifier, so that a longer datagram shows as such.
            alignas(linkSpec) uint8_t reply[2 * sizeof(linkSpec)];
            int n = vMulticast_Send(sender, query, sizeof(query));
            if (n == static_cast<int>(sizeof(query)))
                n = vMulticast_Receive(receiver, reply, sizeof(reply));
            if (n == static_cast<int>(sizeof(linkSpec))) {
                linkSpec spec;
                std::memcpy(&spec, reply, sizeof(spec));
                vDiscovery_Trace(vTRACE_DISCOVERY, "Got NEW linkSpec(multicast: SN: 0x%08X - Port: %d - Address: %d - Type: %d\n",
                                 spec.serial_num, spec.ip_port, spec.ip_address, spec.type);
                if (localMode && spec.ip_address != loopback) {
                    vDiscovery_Trace(vTRACE_DISCOVERY, "We are in local mode, ignoring(2)");
                } else if (seen.isNew(spec)) {
                    seen.add(spec);
                    vDiscovery_Offer(run, &spec);
                }
            } else {
                vDiscovery_Trace(vTRACE_DISCOVERY, "Unknown Error sending request message: %d\n", n);
            }
        }
        vMulticast_Destroy(&receiver);
        vMulticast_Destroy(&sender);
    }
}

// Finds servers on one network interface by their UDP beacons.
void _findLinkSpecs_beacon(vDiscoveryRun* run, const char* interfaceText, bool localMode) {
    if (!zBeaconInterface_backupSetAndLock(interfaceText))
        return;
    // The tool keeps its own signal handling; CZMQ must not take SIGINT/SIGTERM.
    zsys_handler_set(nullptr);
    zactor_t* beacon = zactor_new(zbeacon, nullptr);
    if (beacon == nullptr) {
        zBeaconInterface_restoreAndUnlock();
        return;
    }
    zsock_send(beacon, "si", "CONFIGURE", static_cast<int>(kBeaconPort));
    char* hostname = zstr_recv(beacon);
    vDiscovery_Trace(vTRACE_DISCOVERY, "Beacon hostname(_findLinkSpecs_beacon): %s - Port: %d\n",
                     hostname ? hostname : "", kBeaconPort);
    // An empty host name means no interface can carry beacons.
    if (hostname != nullptr && *hostname != '\0') {
        const uint32_t ownAddress = sAddress(hostname);
        zsock_send(beacon, "sbi", "PUBLISH", kBeaconSearchText, std::strlen(kBeaconSearchText), kBeaconIntervalMs);
        zsock_send(beacon, "sb", "SUBSCRIBE", "", static_cast<size_t>(0));
        zsock_set_rcvtimeo(beacon, kBeaconReceiveMs);
        SeenList seen;
        for (int attempt = 0; attempt < kBeaconAttempts && !run->stopped; ++attempt) {
            char* sender = zstr_recv(beacon);
            if (sender == nullptr)
                continue;
            zframe_t* payload = zframe_recv(beacon);
            if (payload != nullptr && zframe_size(payload) == sizeof(linkSpec)) {
                linkSpec spec;
                std::memcpy(&spec, zframe_data(payload), sizeof(spec));
                vDiscovery_Trace(vTRACE_DISCOVERY,
                                 "Got NEW linkSpec(beacon): SN: 0x%08X - Port: %d - Address: %d - Type: %d - Model: %d\n",
                                 spec.serial_num, spec.ip_port, spec.ip_address, spec.type, spec.model);
                if (localMode && spec.ip_address != htonl(INADDR_LOOPBACK) && spec.ip_address != ownAddress) {
                    vDiscovery_Trace(vTRACE_DISCOVERY, "We are in local mode, ignoring(1)");
                } else if (seen.isNew(spec)) {
                    seen.add(spec);
                    vDiscovery_Offer(run, &spec);
                }
            }
            zframe_destroy(&payload);
            zstr_free(&sender);
        }
        vDiscovery_Trace(vTRACE_DISCOVERY, "Done with discovery");
        zstr_sendx(beacon, "SILENCE", nullptr);
        zstr_sendx(beacon, "UNSUBSCRIBE", nullptr);
    }
    zstr_free(&hostname);
    zactor_destroy(&beacon);
    zBeaconInterface_restoreAndUnlock();
}

} // namespace

const char* vLinkType_Name(uint32_t type) {
    static const char* const kNames[] = {"INVALID", "USB",        "TCPIP",        "SERIAL",
                                         "VETHER",  "VETHER_USB", "VETHER_TCPIP", "VETHER_SERIAL"};
    return type < sizeof(kNames) / sizeof(kNames[0]) ? kNames[type] : "unknown";
}

void vDiscovery_Trace(uint32_t area, const char* format, ...) {
    if (!vTandrilDebuggingEnable || (vTandrilDebuggingLevel & area) == 0)
        return;
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

linkSpec* vLinkSpec_Create(uint32_t type) {
    auto* spec = static_cast<linkSpec*>(std::calloc(1, sizeof(linkSpec)));
    if (spec != nullptr)
        spec->type = type;
    return spec;
}

linkSpec* vLinkSpec_Copy(const linkSpec* spec) {
    if (spec == nullptr)
        return nullptr;
    auto* copy = static_cast<linkSpec*>(std::malloc(sizeof(linkSpec)));
    if (copy != nullptr)
        std::memcpy(copy, spec, sizeof(linkSpec));
    return copy;
}

vErr vLinkSpec_Destroy(linkSpec** spec) {
    if (spec == nullptr || *spec == nullptr)
        return vErrParam;
    std::free(*spec);
    *spec = nullptr;
    return vErrNone;
}

bool vDiscovery_Offer(vDiscoveryRun* run, const linkSpec* spec) {
    if (run->stopped)
        return false;
    bool found = false;
    const bool goOn = run->callback(spec, &found, run->reference);
    if (found && run->count < UINT8_MAX)
        ++run->count;
    run->stopped = !goOn;
    return goOn;
}

uint8_t vDiscovery_EnumerateModules(uint32_t type, vDiscoveryCallback callback, void* reference,
                                    uint32_t netInterface) {
    if (callback == nullptr)
        return 0;
    if (vLinkType_IsVEther(type))
        return vDiscovery_Enumerate_vEtherModules(callback, reference, netInterface);
    vDiscoveryRun run{callback, reference, 0, false};
    if (type == USB)
        _findLinkSpecs_usb(type, &run);
    else if (type == TCPIP)
        _findLinkSpecs_tcpip(&run, netInterface);
    return run.count;
}

linkSpec* vDiscovery_FindModule(uint32_t type, uint32_t serialNumber, uint32_t netInterface) {
    return sFind(type, serialNumber, false, netInterface);
}

linkSpec* vDiscovery_FindFirstModule(uint32_t type, uint32_t netInterface) {
    return sFind(type, 0, true, netInterface);
}

uint8_t vDiscovery_Enumerate_vEtherModules(vDiscoveryCallback callback, void* reference, uint32_t netInterface) {
    if (callback == nullptr)
        return 0;
    vDiscoveryRun run{callback, reference, 0, false};
    const bool localMode = sIsNoInterface(netInterface);
    uint32_t interfaces[kMaxInterfaces];
    const int count = vDiscovery_GetIPv4Interfaces(interfaces, kMaxInterfaces);
    vDiscovery_Trace(vTRACE_DISCOVERY, "vDiscovery_Enumerate_vEtherModules found count: %d\n", count);
    char text[INET_ADDRSTRLEN];
    if (localMode || count == 0) {
        sFindLinkSpecsMulticast(&run, true);
    } else if (vDiscovery_ConvertIPv4Interface(netInterface, text, sizeof(text)) > 0) {
        vDiscovery_Trace(vTRACE_DISCOVERY, "New Interface: %s\n", text);
        _findLinkSpecs_beacon(&run, text, false);
    }
    return run.count;
}

int vDiscovery_GetIPv4Interfaces(uint32_t* addresses, int capacity) {
    if (addresses == nullptr || capacity <= 0)
        return 0;
    ziflist_t* list = ziflist_new();
    if (list == nullptr)
        return 0;
    int count = 0;
    for (const char* name = ziflist_first(list); name != nullptr && count < capacity; name = ziflist_next(list)) {
        in_addr a{};
        if (inet_pton(AF_INET, ziflist_address(list), &a) == 1)
            addresses[count++] = a.s_addr;
    }
    ziflist_destroy(&list);
    return count;
}

int vDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size) {
    if (buffer == nullptr || size < INET_ADDRSTRLEN)
        return 0;
    in_addr a{};
    a.s_addr = address;
    if (inet_ntop(AF_INET, &a, buffer, static_cast<socklen_t>(size)) == nullptr)
        return 0;
    return static_cast<int>(std::strlen(buffer));
}

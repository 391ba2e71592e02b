// The transports' own module enumerations: USB through libusb, TCP/IP modules
// through their multicast query.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Tandril2/common/discover.h"
#include "Tandril2/common/vByteOrder.h"
#include "Tandril2/common/vTime.h"
#include "Tandril2/unix/tdusb_driver.h"

namespace {

constexpr size_t kSerialStringSize = 32;
constexpr int kReplyTimeoutS = 2;
// Replies keep a query going for two more seconds each; a peer that never stops
// answering must not keep it going for ever.
constexpr uint64_t kQueryLimitMs = 10000;
// A reply that does not reach the serial number does not name a module.
constexpr size_t kReplyMinimum = 8;
constexpr size_t kReplyModelOffset = 12;

// One request through one interface, on a socket of its own. True when it went out.
bool sSendQuery(in_addr through) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const int on = 1;
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(kTcpipQueryPort);
    inet_pton(AF_INET, kTcpipQueryGroup, &group.sin_addr);
    uint8_t query[kTcpipQuerySize] = {0x01};
    const bool sent = ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == 0 &&
                      ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &through, sizeof(through)) == 0 &&
                      ::sendto(fd, query, sizeof(query), 0, reinterpret_cast<sockaddr*>(&group), sizeof(group)) ==
                          static_cast<ssize_t>(sizeof(query));
    ::close(fd);
    return sent;
}

// Through the given interface, or through every IPv4 interface but loopback.
bool sSendQueries(uint32_t netInterface, bool anyInterface) {
    if (!anyInterface)
        return sSendQuery(in_addr{netInterface});
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return sSendQuery(in_addr{htonl(INADDR_ANY)});
    bool sent = false;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        const in_addr address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr;
        if (address.s_addr == htonl(INADDR_LOOPBACK) || address.s_addr == htonl(INADDR_ANY))
            continue;
        sent = sSendQuery(address) || sent;
    }
    ::freeifaddrs(list);
    return sent;
}

} // namespace

void _findLinkSpecs_usb(uint32_t type, vDiscoveryRun* run) {
    libusb_context* context = Tandril_libusb_context();
    libusb_device** list = nullptr;
    const ssize_t count = context != nullptr ? libusb_get_device_list(context, &list) : -1;
    for (ssize_t i = 0; i < count && !run->stopped; ++i) {
        if (!is_tandril_device(list[i]))
            continue;
        libusb_device_handle* handle = nullptr;
        if (libusb_open(list[i], &handle) != 0)
            continue;
        libusb_device_descriptor descriptor{};
        unsigned char text[kSerialStringSize] = {};
        uint32_t serial = 0;
        if (libusb_get_device_descriptor(list[i], &descriptor) == 0 &&
            libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, sizeof(text) - 1) > 0 &&
            tdusb_parse_serial(reinterpret_cast<char*>(text), &serial)) {
            linkSpec spec{};
            spec.type = type;
            spec.serial_num = serial;
            spec.usb_id = serial;
            spec.model = descriptor.idProduct & 0xFF;
            vDiscovery_Offer(run, &spec);
        }
        libusb_close(handle);
    }
    if (count >= 0)
        libusb_free_device_list(list, 1);
}

void _findLinkSpecs_tcpip(vDiscoveryRun* run, uint32_t netInterface) {
    const bool anyInterface = netInterface == 0 || netInterface == htonl(INADDR_LOOPBACK);
    const int listener = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (listener < 0)
        return;
    const int on = 1;
    const timeval timeout{kReplyTimeoutS, 0};
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kTcpipReplyPort);
    local.sin_addr.s_addr = anyInterface ? htonl(INADDR_ANY) : netInterface;
    const bool bound = ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == 0 &&
                       ::bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof(local)) == 0 &&
                       ::setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) == 0;
    if (bound && sSendQueries(netInterface, anyInterface)) {
        const uint64_t start = vTime_GetMSTicks();
        while (!run->stopped && vTime_GetMSTicks() - start < kQueryLimitMs) {
            // Fields a short reply does not reach read as zero, the model as unknown.
            uint8_t reply[kTcpipQuerySize] = {};
            reply[kReplyModelOffset] = 0xFF;
            sockaddr_in from{};
            socklen_t fromSize = sizeof(from);
            const ssize_t got =
                ::recvfrom(listener, reply, sizeof(reply), 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                break; // the time-out ends the query
            if (static_cast<size_t>(got) < kReplyMinimum)
                continue;
            linkSpec spec{};
            spec.type = TCPIP;
            spec.serial_num = vByteOrder_GetLE32(&reply[4]);
            spec.module = reply[1];
            spec.router = reply[1];
            spec.router_serial_num = spec.serial_num;
            spec.model = reply[kReplyModelOffset];
            spec.ip_address = from.sin_addr.s_addr;
            spec.ip_port = vByteOrder_GetLE16(&reply[2]);
            vDiscovery_Offer(run, &spec);
        }
    }
    ::close(listener);
}

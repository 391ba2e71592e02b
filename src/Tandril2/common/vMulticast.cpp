#include "Tandril2/common/vMulticast.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "Tandril2/common/discover.h"

struct vMulticast {
    int descriptor;
    sockaddr_in group;      // group address and port
    sockaddr_in bindAddress;
    in_addr interface;
    uint8_t sender;         // 1 sender, 0 receiver
};

namespace {

constexpr int kNullEndpoint = -2;
constexpr int kWrongRole = -3;

// Applies one socket option; traces the step that failed.
bool sOption(int fd, int level, int name, const void* value, socklen_t size, const char* step) {
    if (::setsockopt(fd, level, name, value, size) == 0)
        return true;
    vDiscovery_Trace(vTRACE_MULTICAST, "%s %d - %d\n", step, fd, errno);
    return false;
}

} // namespace

vMulticast* vMulticast_Create(uint32_t netInterface, uint32_t group, uint16_t port, bool sender) {
    if (netInterface == 0)
        netInterface = htonl(INADDR_LOOPBACK);
    auto* endpoint = new (std::nothrow) vMulticast{};
    if (endpoint == nullptr)
        return nullptr;
    endpoint->sender = sender ? 1 : 0;
    endpoint->interface.s_addr = netInterface;
    endpoint->group.sin_family = AF_INET;
    endpoint->group.sin_addr.s_addr = group;
    endpoint->group.sin_port = htons(port);
    endpoint->bindAddress.sin_family = AF_INET;
    endpoint->bindAddress.sin_addr.s_addr = sender ? netInterface : htonl(INADDR_ANY);
    endpoint->bindAddress.sin_port = sender ? 0 : htons(port);
    endpoint->descriptor = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int fd = endpoint->descriptor;
    const int off = 0;
    const int on = 1;
    const int ttl = 1;
    const timeval receiveTimeout{1, 0};
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = group;
    membership.imr_interface = endpoint->interface;
    // Address reuse stays off: a second receiver on a port must fail, which is how
    // the local discovery tells a slot that a server holds.
    bool ok = fd >= 0 && sOption(fd, SOL_SOCKET, SO_REUSEADDR, &off, sizeof(off), "_setReuse");
    if (ok && !sender && ::bind(fd, reinterpret_cast<sockaddr*>(&endpoint->bindAddress), sizeof(endpoint->bindAddress)) != 0) {
        vDiscovery_Trace(vTRACE_MULTICAST, "bind() failed with error code %d \n", errno);
        ok = false;
    }
    ok = ok && sOption(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership), "_joinMulticastGroup") &&
         sOption(fd, IPPROTO_IP, IP_MULTICAST_IF, &endpoint->interface, sizeof(endpoint->interface), "_setMulticastInterface") &&
         sOption(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl), "_setMulticastTTL") &&
         sOption(fd, SOL_SOCKET, SO_RCVTIMEO, &receiveTimeout, sizeof(receiveTimeout), "_setReceiveTimeout") &&
         sOption(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &on, sizeof(on), "_setMulticastLoopback");
    if (!ok) {
        vMulticast_Destroy(&endpoint);
        return nullptr;
    }
    return endpoint;
}

int vMulticast_Send(vMulticast* endpoint, const uint8_t* data, size_t length) {
    if (endpoint == nullptr)
        return kNullEndpoint;
    if (!endpoint->sender)
        return kWrongRole;
    if (data == nullptr)
        return -1;
    const ssize_t sent = ::sendto(endpoint->descriptor, data, length, 0, reinterpret_cast<sockaddr*>(&endpoint->group),
                                  sizeof(endpoint->group));
    return sent < 0 ? -1 : static_cast<int>(sent);
}

int vMulticast_Receive(vMulticast* endpoint, uint8_t* buffer, size_t size) {
    if (endpoint == nullptr)
        return kNullEndpoint;
    if (endpoint->sender)
        return kWrongRole;
    if (buffer == nullptr)
        return -1;
    ssize_t got;
    do {
        got = ::recv(endpoint->descriptor, buffer, size, 0);
    } while (got < 0 && errno == EINTR);
    return got < 0 ? -1 : static_cast<int>(got);
}

int vMulticast_Destroy(vMulticast** endpoint) {
    if (endpoint == nullptr || *endpoint == nullptr)
        return kNullEndpoint;
    if ((*endpoint)->descriptor >= 0)
        ::close((*endpoint)->descriptor);
    delete *endpoint;
    *endpoint = nullptr;
    return 0;
}

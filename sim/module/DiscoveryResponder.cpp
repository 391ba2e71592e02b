#include "DiscoveryResponder.h"

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Tandril2/common/vByteOrder.h"

namespace tandril::sim {

namespace {

constexpr size_t kQuerySize = 16;
constexpr uint8_t kQueryMark = 0x01;

int failWith(std::string& error, const std::string& what, int fd1 = -1, int fd2 = -1) {
    error = what + ": " + strerror(errno);
    if (fd1 >= 0)
        close(fd1);
    if (fd2 >= 0)
        close(fd2);
    return -1;
}

} // namespace

std::vector<uint8_t> DiscoveryResponder::reply(const Module& module, uint32_t ipv4NetworkOrder) {
    std::vector<uint8_t> r(16, 0);
    r[0] = 0x02;
    r[1] = module.address;
    vByteOrder_PutLE16(&r[2], module.port);
    vByteOrder_PutLE32(&r[4], module.serial);
    std::memcpy(&r[8], &ipv4NetworkOrder, 4);
    r[12] = module.model;
    return r;
}

std::unique_ptr<DiscoveryResponder> DiscoveryResponder::create(const std::string& interfaceAddress,
                                                               std::vector<Module> modules, std::string& error) {
    in_addr interface{}, group{};
    if (inet_pton(AF_INET, interfaceAddress.c_str(), &interface) != 1) {
        error = "not an IPv4 address: " + interfaceAddress;
        return nullptr;
    }
    inet_pton(AF_INET, kGroup, &group);

    int listener = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        failWith(error, "socket");
        return nullptr;
    }
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // Bound to the group address, the socket takes only the group's datagrams, so
    // several responders (several processes) can share the port.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kQueryPort);
    local.sin_addr = group;
    if (bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        failWith(error, "bind " + std::string(kGroup) + ":" + std::to_string(kQueryPort), listener);
        return nullptr;
    }
    ip_mreq membership{};
    membership.imr_multiaddr = group;
    membership.imr_interface = interface;
    if (setsockopt(listener, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        failWith(error, "join " + std::string(kGroup) + " on " + interfaceAddress, listener);
        return nullptr;
    }

    // Replies leave from the interface's address: the host connects to the source of
    // the reply.
    int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr = interface;
    if (sender < 0 || bind(sender, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
        failWith(error, "reply socket on " + interfaceAddress, listener, sender);
        return nullptr;
    }
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        failWith(error, "eventfd", listener, sender);
        return nullptr;
    }
    return std::unique_ptr<DiscoveryResponder>(
        new DiscoveryResponder(listener, sender, wake, interface.s_addr, std::move(modules)));
}

DiscoveryResponder::DiscoveryResponder(int listener, int sender, int wake, uint32_t interface,
                                       std::vector<Module> modules)
    : listener_(listener), sender_(sender), wake_(wake), interface_(interface), modules_(std::move(modules)) {
    thread_ = std::thread(&DiscoveryResponder::run, this);
}

DiscoveryResponder::~DiscoveryResponder() {
    stopping_ = true;
    uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);
    thread_.join();
    close(listener_);
    close(sender_);
    close(wake_);
}

void DiscoveryResponder::run() {
    while (!stopping_) {
        pollfd fds[2] = {{wake_, POLLIN, 0}, {listener_, POLLIN, 0}};
        if (poll(fds, 2, 1000) < 0 && errno != EINTR)
            return;
        if (stopping_)
            return;
        if (!(fds[1].revents & POLLIN))
            continue;
        uint8_t query[64];
        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        ssize_t n = recvfrom(listener_, query, sizeof query, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&peer),
                             &peerLength);
        if (n < 1 || query[0] != kQueryMark || static_cast<size_t>(n) > kQuerySize)
            continue;  // not a discovery query
        peer.sin_port = htons(kReplyPort);
        ++answered_;  // counted first: a host may look as soon as a reply lands
        for (const auto& module : modules_) {
            auto r = reply(module, interface_);
            sendto(sender_, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
        }
    }
}

} // namespace tandril::sim

// TCP/IP discovery of virtual modules, inside the test's own network namespace:
// the query goes out through one end of the veth pair, the responder listens on
// the other.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include "DiscoveryResponder.h"
#include "ModuleServer.h"
#include "TestSupport.h"

using namespace tandril::sim;
namespace support = tandril::test;

namespace {

// The host's side: a listener on port 9889 and one query through `via`.
class Query {
public:
    Query() {
        listener_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(DiscoveryResponder::kReplyPort);
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~Query() { close(listener_); }
    void send(const std::vector<uint8_t>& datagram, const char* via = support::kPrivateAddrA) {
        int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        in_addr interface{};
        inet_pton(AF_INET, via, &interface);
        setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof interface);
        sockaddr_in group{};
        group.sin_family = AF_INET;
        group.sin_port = htons(DiscoveryResponder::kQueryPort);
        inet_pton(AF_INET, DiscoveryResponder::kGroup, &group.sin_addr);
        EXPECT_EQ(sendto(s, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&group), sizeof group),
                  static_cast<ssize_t>(datagram.size()));
        close(s);
    }
    // One reply within a bounded wait; empty when none came.
    std::vector<uint8_t> reply(std::string* from = nullptr) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 3000) <= 0)
            return {};
        std::vector<uint8_t> b(64);
        sockaddr_in source{};
        socklen_t length = sizeof source;
        ssize_t n = recvfrom(listener_, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&source), &length);
        b.resize(n > 0 ? n : 0);
        if (from) {
            char text[INET_ADDRSTRLEN];
            *from = inet_ntop(AF_INET, &source.sin_addr, text, sizeof text);
        }
        return b;
    }

private:
    int listener_ = -1;
};

TEST(Discovery, QueryIsAnsweredPerModuleFromTheInterfaceItJoined) {
    std::string error;
    auto responder = DiscoveryResponder::create(support::kPrivateAddrA,
                                                {{4, 0x1234, 0x00A1B2C3, 0x21}, {6, 40000, 0xDEADBEEF, 0x07}}, error);
    ASSERT_TRUE(responder) << error;
    Query q;
    q.send({0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});  // not a query: ignored
    q.send({0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    std::string from;
    auto first = q.reply(&from);
    auto second = q.reply();
    EXPECT_EQ(from, support::kPrivateAddrA);
    ASSERT_EQ(first.size(), 16u);
    ASSERT_EQ(second.size(), 16u);
    EXPECT_EQ(first[1], 4);
    EXPECT_EQ(first[2] | first[3] << 8, 0x1234);
    EXPECT_EQ(std::vector<uint8_t>(first.begin() + 4, first.begin() + 8), (std::vector<uint8_t>{0xC3, 0xB2, 0xA1, 0x00}));
    EXPECT_EQ(first[12], 0x21);
    EXPECT_EQ(second[1], 6);
    EXPECT_EQ(second[2] | second[3] << 8, 40000);
    EXPECT_EQ(second[12], 0x07);
    EXPECT_EQ(responder->queriesAnswered(), 1u);
}

TEST(Discovery, ADiscoveredModuleIsReachableAtTheReplysSourceAndPort) {
    std::string error;
    ModuleConfig c;
    c.heartbeatMs = 0;
    c.serial = 0x0BADCAFE;
    auto server = TcpModuleServer::create(c, support::kPrivateAddrA, 0, error);
    ASSERT_TRUE(server) << error;
    auto responder = DiscoveryResponder::create(support::kPrivateAddrA,
                                                {{c.address, server->port(), c.serial, c.model}}, error);
    ASSERT_TRUE(responder) << error;
    Query q;
    q.send(std::vector<uint8_t>{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    std::string from;
    auto r = q.reply(&from);
    ASSERT_EQ(r.size(), 16u);

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(r[2] | r[3] << 8));
    inet_pton(AF_INET, from.c_str(), &a.sin_addr);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(write(fd, "\xAD\x00", 2), 2);
    uint8_t answer[2] = {};
    pollfd p{fd, POLLIN, 0};
    ASSERT_GT(poll(&p, 1, 3000), 0);
    EXPECT_EQ(read(fd, answer, 2), 2);
    EXPECT_EQ(answer[0], r[1]);
    EXPECT_EQ(answer[1], 0);
    close(fd);
}

TEST(Discovery, AnInterfaceThatIsNotAnAddressIsRefused) {
    std::string error;
    EXPECT_FALSE(DiscoveryResponder::create("tdv1", {}, error));
    EXPECT_NE(error.find("tdv1"), std::string::npos);
}

} // namespace

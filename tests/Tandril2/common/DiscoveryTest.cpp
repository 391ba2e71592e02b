// Discovery inside the test's private network namespace (veth pair tdv0/tdv1):
// TCP/IP modules answered by small in-test responders, served modules found by the
// local multicast query and by beacons, and the beacon interface store.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <czmq.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "Tandril2/common/discover.h"
#include "Tandril2/common/vByteOrder.h"
#include "Tandril2/common/vMulticast.h"
#include "Tandril2/common/zBeaconInterface.h"
#include "TestSupport.h"

namespace {

using tandril::test::kPrivateAddrA;
using tandril::test::kPrivateAddrB;

uint32_t address(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

std::vector<uint8_t> moduleReply(uint8_t moduleAddress, uint16_t port, uint32_t serial, uint8_t model,
                                 size_t length = 16) {
    std::vector<uint8_t> r(16, 0);
    r[0] = 0x02;
    r[1] = moduleAddress;
    vByteOrder_PutLE16(&r[2], port);
    vByteOrder_PutLE32(&r[4], serial);
    r[12] = model;
    r.resize(length, 0xEE);
    return r;
}

// Answers the 16-byte TCP/IP query, heard on `listenOn`, with a fixed reply sent
// back to the asker's reply port. Within one namespace a query reaches it as the
// sending host's own multicast copy on the interface it went out of (the copy that
// crosses the veth pair carries a local source address and is dropped as martian).
class Responder {
public:
    Responder(const char* listenOn, std::vector<uint8_t> reply) : reply_(std::move(reply)) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        const int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(kTcpipQueryPort);
        local.sin_addr.s_addr = address(kTcpipQueryGroup);
        ready_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) == 0;
        ip_mreq join{};
        join.imr_multiaddr.s_addr = address(kTcpipQueryGroup);
        join.imr_interface.s_addr = address(listenOn);
        ready_ = ready_ && ::setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof(join)) == 0;
        thread_ = std::thread([this] { run(); });
    }
    ~Responder() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    bool ready() const { return ready_; }
    int queries() const { return queries_; }

private:
    void run() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) != 1)
                continue;
            uint8_t query[64];
            sockaddr_in from{};
            socklen_t size = sizeof(from);
            const ssize_t n = ::recvfrom(fd_, query, sizeof(query), 0, reinterpret_cast<sockaddr*>(&from), &size);
            if (n != static_cast<ssize_t>(kTcpipQuerySize) || query[0] != 0x01)
                continue;
            ++queries_;
            from.sin_port = htons(kTcpipReplyPort);
            ::sendto(fd_, reply_.data(), reply_.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof(from));
        }
    }
    std::vector<uint8_t> reply_;
    int fd_ = -1;
    bool ready_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<int> queries_{0};
    std::thread thread_;
};

// Collects what an enumeration hands out; `stopAfter` calls end it, `count` sets found.
struct Collector {
    std::vector<linkSpec> specs;
    int stopAfter = 1000;
    bool count = true;
};

bool collect(const linkSpec* spec, bool* found, void* reference) {
    auto* c = static_cast<Collector*>(reference);
    c->specs.push_back(*spec);
    *found = c->count;
    return static_cast<int>(c->specs.size()) < c->stopAfter;
}

const uint32_t kThroughA = address(kPrivateAddrA);

TEST(LinkSpec, WireLayoutAndLifetime) {
    linkSpec* spec = vLinkSpec_Create(VETHER_TCPIP);
    ASSERT_NE(spec, nullptr);
    spec->serial_num = 0x01020304;
    spec->ip_address = address("10.1.2.3");
    spec->ip_port = 0x1234;
    const auto* bytes = reinterpret_cast<const uint8_t*>(spec);
    EXPECT_EQ(bytes[0], 6);
    EXPECT_EQ(vByteOrder_GetLE32(bytes + 4), 0x01020304u) << "little-endian on the wire";
    EXPECT_EQ(std::memcmp(bytes + 24, "\x0a\x01\x02\x03", 4), 0) << "address in network order";
    EXPECT_EQ(vByteOrder_GetLE16(bytes + 28), 0x1234);
    for (size_t i = 32; i < sizeof(linkSpec); ++i)
        ASSERT_EQ(bytes[i], 0) << "zeroed at " << i;
    linkSpec* copy = vLinkSpec_Copy(spec);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::memcmp(copy, spec, sizeof(linkSpec)), 0);
    EXPECT_EQ(vLinkSpec_Destroy(&spec), vErrNone);
    EXPECT_EQ(spec, nullptr);
    EXPECT_EQ(vLinkSpec_Destroy(&spec), vErrParam);
    vLinkSpec_Destroy(&copy);
    EXPECT_STREQ(vLinkType_Name(VETHER_SERIAL), "VETHER_SERIAL");
    EXPECT_STREQ(vLinkType_Name(8), "unknown");
}

TEST(Discovery, UndiscoverableTypesFindNothing) {
    for (uint32_t type : {uint32_t{INVALID}, uint32_t{SERIAL}, 99u}) {
        Collector c;
        EXPECT_EQ(vDiscovery_EnumerateModules(type, collect, &c, kThroughA), 0);
        EXPECT_TRUE(c.specs.empty());
    }
}

TEST(TcpipDiscovery, OneResponder) {
    Responder module(kPrivateAddrA, moduleReply(6, 5000, 0x11223344, 0x42));
    ASSERT_TRUE(module.ready());
    Collector c;
    EXPECT_EQ(vDiscovery_EnumerateModules(TCPIP, collect, &c, kThroughA), 1);
    ASSERT_EQ(c.specs.size(), 1u);
    const linkSpec& s = c.specs[0];
    EXPECT_EQ(s.type, uint32_t{TCPIP});
    EXPECT_EQ(s.serial_num, 0x11223344u);
    EXPECT_EQ(s.module, 6u);
    EXPECT_EQ(s.router, 6u);
    EXPECT_EQ(s.router_serial_num, 0x11223344u);
    EXPECT_EQ(s.model, 0x42u);
    EXPECT_EQ(s.ip_port, 5000u);
    EXPECT_TRUE(s.ip_address == address(kPrivateAddrA) || s.ip_address == address(kPrivateAddrB));
}

TEST(TcpipDiscovery, RepliesOfEveryLength) {
    // Short replies leave what they do not reach unknown; long ones are cut to the layout.
    struct Case {
        size_t length;
        int found;
        uint32_t model;
    };
    const Case cases[] = {{12, 1, 0xFF}, {13, 1, 0x42}, {8, 1, 0xFF}, {4, 0, 0}, {200, 1, 0x42}};
    for (const Case& k : cases) {
        Responder module(kPrivateAddrA, moduleReply(6, 5000, 0x55667788, 0x42, k.length));
        ASSERT_TRUE(module.ready());
        Collector c;
        EXPECT_EQ(vDiscovery_EnumerateModules(TCPIP, collect, &c, kThroughA), k.found) << k.length;
        if (k.found == 1 && c.specs.size() == 1) {
            EXPECT_EQ(c.specs[0].model, k.model) << k.length;
            EXPECT_EQ(c.specs[0].serial_num, 0x55667788u) << k.length;
            EXPECT_EQ(c.specs[0].ip_port, 5000u) << k.length;
        }
    }
}

TEST(TcpipDiscovery, TwoRespondersAndNone) {
    {
        Collector c;
        EXPECT_EQ(vDiscovery_EnumerateModules(TCPIP, collect, &c, kThroughA), 0);
        EXPECT_TRUE(c.specs.empty());
        EXPECT_EQ(vDiscovery_FindFirstModule(TCPIP, kThroughA), nullptr);
    }
    Responder first(kPrivateAddrA, moduleReply(6, 5001, 0xA1A1A1A1, 1));
    Responder second(kPrivateAddrA, moduleReply(8, 5002, 0xB2B2B2B2, 2));
    ASSERT_TRUE(first.ready() && second.ready());
    Collector c;
    EXPECT_EQ(vDiscovery_EnumerateModules(TCPIP, collect, &c, kThroughA), 2);
    std::set<uint32_t> serials;
    for (const linkSpec& s : c.specs)
        serials.insert(s.serial_num);
    EXPECT_EQ(serials, (std::set<uint32_t>{0xA1A1A1A1, 0xB2B2B2B2}));
}

TEST(TcpipDiscovery, CallbackEndsTheEnumeration) {
    Responder first(kPrivateAddrA, moduleReply(6, 5001, 0xA1A1A1A1, 1));
    Responder second(kPrivateAddrA, moduleReply(8, 5002, 0xB2B2B2B2, 2));
    for (bool count : {true, false}) {
        Collector c;
        c.stopAfter = 1;
        c.count = count;
        EXPECT_EQ(vDiscovery_EnumerateModules(TCPIP, collect, &c, kThroughA), count ? 1 : 0);
        EXPECT_EQ(c.specs.size(), 1u);
    }
}

TEST(TcpipDiscovery, FindBySerialNumber) {
    Responder first(kPrivateAddrA, moduleReply(6, 5001, 0, 1)); // a module without serial number
    Responder second(kPrivateAddrA, moduleReply(8, 5002, 0xB2B2B2B2, 2));
    linkSpec* found = vDiscovery_FindModule(TCPIP, 0xB2B2B2B2, kThroughA);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->ip_port, 5002u);
    EXPECT_EQ(found->module, 8u);
    vLinkSpec_Destroy(&found);
    EXPECT_EQ(vDiscovery_FindModule(TCPIP, 0x0BADF00D, kThroughA), nullptr);
    linkSpec* first_ = vDiscovery_FindFirstModule(TCPIP, kThroughA);
    ASSERT_NE(first_, nullptr);
    EXPECT_EQ(first_->serial_num, 0xB2B2B2B2u) << "serial number 0 is skipped";
    vLinkSpec_Destroy(&first_);
}

TEST(TcpipDiscovery, NoParticularInterfaceAsksEveryInterface) {
    Responder module(kPrivateAddrA, moduleReply(6, 5000, 0x11223344, 0x42));
    Collector c;
    EXPECT_GE(vDiscovery_EnumerateModules(TCPIP, collect, &c, htonl(INADDR_LOOPBACK)), 1);
    for (const linkSpec& s : c.specs)
        EXPECT_EQ(s.serial_num, 0x11223344u);
    EXPECT_GE(module.queries(), 1);
}

// A served module on this machine: holds its slot's query port and answers the
// 4-byte query with its specifier.
class LocalServer {
public:
    LocalServer(int slot, const linkSpec& spec) : spec_(spec) {
        const uint32_t group = address(kVEtherGroup);
        listener_ = vMulticast_Create(0, group, static_cast<uint16_t>(kVEtherQueryPort + slot), false);
        answer_ = vMulticast_Create(0, group, static_cast<uint16_t>(kVEtherReplyPort + slot), true);
        thread_ = std::thread([this] { run(); });
    }
    ~LocalServer() {
        stop_ = true;
        thread_.join();
        vMulticast_Destroy(&listener_);
        vMulticast_Destroy(&answer_);
    }
    bool ready() const { return listener_ != nullptr && answer_ != nullptr; }

private:
    void run() {
        while (!stop_ && ready()) {
            uint8_t query[16];
            if (vMulticast_Receive(listener_, query, sizeof(query)) == 4 &&
                vByteOrder_GetLE32(query) == kVEtherQueryValue)
                vMulticast_Send(answer_, reinterpret_cast<const uint8_t*>(&spec_), sizeof(spec_));
        }
    }
    linkSpec spec_;
    vMulticast* listener_ = nullptr;
    vMulticast* answer_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

linkSpec servedSpec(uint32_t serial, const char* ip, uint16_t port) {
    linkSpec s{};
    s.type = VETHER_USB;
    s.serial_num = serial;
    s.model = 0x11;
    s.ip_address = address(ip);
    s.ip_port = port;
    return s;
}

TEST(VEtherDiscovery, LocalServersOnceEachAndOnlyLocalOnes) {
    LocalServer a(2, servedSpec(0xC0FFEE01, "127.0.0.1", 7001));
    LocalServer twin(5, servedSpec(0xC0FFEE01, "127.0.0.1", 7001)); // the same server seen twice
    LocalServer remote(7, servedSpec(0xC0FFEE02, kPrivateAddrB, 7002));
    ASSERT_TRUE(a.ready() && twin.ready() && remote.ready());
    Collector c;
    EXPECT_EQ(vDiscovery_EnumerateModules(VETHER, collect, &c, htonl(INADDR_LOOPBACK)), 1);
    ASSERT_EQ(c.specs.size(), 1u);
    EXPECT_EQ(c.specs[0].serial_num, 0xC0FFEE01u);
    EXPECT_EQ(c.specs[0].type, uint32_t{VETHER_USB});
    EXPECT_EQ(c.specs[0].ip_port, 7001u);

    linkSpec* found = vDiscovery_FindModule(VETHER_USB, 0xC0FFEE01, 0);
    ASSERT_NE(found, nullptr);
    vLinkSpec_Destroy(&found);
}

TEST(Multicast, EndpointRolesAndSlots) {
    const uint32_t group = address(kVEtherGroup);
    vMulticast* receiver = vMulticast_Create(0, group, 9899, false);
    ASSERT_NE(receiver, nullptr);
    EXPECT_EQ(vMulticast_Create(0, group, 9899, false), nullptr) << "a held port cannot be bound twice";
    vMulticast* sender = vMulticast_Create(htonl(INADDR_LOOPBACK), group, 9899, true);
    ASSERT_NE(sender, nullptr);
    uint8_t buffer[8];
    EXPECT_EQ(vMulticast_Send(receiver, buffer, 1), -3);
    EXPECT_EQ(vMulticast_Receive(sender, buffer, sizeof(buffer)), -3);
    EXPECT_EQ(vMulticast_Send(nullptr, buffer, 1), -2);
    EXPECT_EQ(vMulticast_Receive(nullptr, buffer, 1), -2);
    EXPECT_EQ(vMulticast_Send(sender, reinterpret_cast<const uint8_t*>("hey"), 3), 3);
    EXPECT_EQ(vMulticast_Receive(receiver, buffer, sizeof(buffer)), 3);
    EXPECT_EQ(std::memcmp(buffer, "hey", 3), 0);
    EXPECT_EQ(vMulticast_Destroy(&receiver), 0);
    EXPECT_EQ(receiver, nullptr);
    EXPECT_EQ(vMulticast_Destroy(&receiver), -2);
    vMulticast_Destroy(&sender);
}

TEST(BeaconInterface, AcceptsAddressesEmptyAndStarOnly) {
    struct Case {
        const char* text;
        bool accepted;
    };
    const Case cases[] = {{"10.77.0.1", true}, {"", true},           {"*", true},     {"eth0", false},
                          {"10.77.0", false},  {"10.77.0.256", false}, {nullptr, false}, {"tdv0", false}};
    for (const Case& c : cases) {
        const std::string before = zBeaconInterface_get();
        const bool taken = zBeaconInterface_setAndLock(c.text);
        EXPECT_EQ(taken, c.accepted) << (c.text ? c.text : "null");
        if (taken) {
            EXPECT_STREQ(zBeaconInterface_get(), c.text);
            zBeaconInterface_unlock();
            zBeaconInterface_setAndLock(before.c_str());
            zBeaconInterface_unlock();
        } else {
            EXPECT_EQ(before, zBeaconInterface_get()) << "a refused text changes nothing";
        }
        // The lock is free either way: another thread can take it at once.
        std::thread other([] {
            ASSERT_TRUE(zBeaconInterface_setAndLock("*"));
            zBeaconInterface_unlock();
        });
        other.join();
    }
}

TEST(BeaconInterface, BackupAndRestore) {
    ASSERT_TRUE(zBeaconInterface_setAndLock("10.77.0.2"));
    zBeaconInterface_unlock();
    ASSERT_TRUE(zBeaconInterface_backupSetAndLock("10.77.0.1"));
    EXPECT_STREQ(zBeaconInterface_get(), "10.77.0.1");
    EXPECT_STREQ(zBeaconInterface_getBackup(), "10.77.0.2");
    zBeaconInterface_restoreAndUnlock();
    EXPECT_STREQ(zBeaconInterface_get(), "10.77.0.2");
    EXPECT_FALSE(zBeaconInterface_backupSetAndLock("eth0"));
    EXPECT_STREQ(zBeaconInterface_get(), "10.77.0.2");
}

TEST(Interfaces, ListAndText) {
    uint32_t list[50];
    const int n = vDiscovery_GetIPv4Interfaces(list, 50);
    std::set<uint32_t> found(list, list + n);
    EXPECT_TRUE(found.count(address(kPrivateAddrA)) && found.count(address(kPrivateAddrB)));
    EXPECT_EQ(vDiscovery_GetIPv4Interfaces(nullptr, 50), 0);
    EXPECT_LE(vDiscovery_GetIPv4Interfaces(list, 1), 1);

    char text[16];
    EXPECT_EQ(vDiscovery_ConvertIPv4Interface(address("255.255.255.255"), text, sizeof(text)), 15);
    EXPECT_STREQ(text, "255.255.255.255");
    char small[15];
    EXPECT_EQ(vDiscovery_ConvertIPv4Interface(address("1.2.3.4"), small, sizeof(small)), 0);
}

// A served module on the network: answers searching clients' beacons with its
// specifier, as a shared-device server does.
class BeaconServer {
public:
    BeaconServer(const char* interfaceText, const linkSpec& spec) {
        if (!zBeaconInterface_setAndLock(interfaceText))
            return;
        beacon_ = zactor_new(zbeacon, nullptr);
        zsock_send(beacon_, "si", "CONFIGURE", static_cast<int>(kBeaconPort));
        char* host = zstr_recv(beacon_);
        ready_ = host != nullptr && *host != '\0';
        zstr_free(&host);
        zBeaconInterface_unlock();
        zsock_send(beacon_, "sbi", "PUBLISH", reinterpret_cast<const char*>(&spec), sizeof(spec), kBeaconIntervalMs);
    }
    ~BeaconServer() {
        if (beacon_ != nullptr) {
            zstr_sendx(beacon_, "SILENCE", nullptr);
            zactor_destroy(&beacon_);
        }
    }
    bool ready() const { return ready_; }

private:
    zactor_t* beacon_ = nullptr;
    bool ready_ = false;
};

TEST(VEtherDiscovery, BeaconsOnAnInterfaceReachTheCallbackOnce) {
    zsys_handler_set(nullptr);
    BeaconServer server(kPrivateAddrB, servedSpec(0xBEAC0001, kPrivateAddrB, 7100));
    ASSERT_TRUE(server.ready());
    const std::string setting = zBeaconInterface_get();
    Collector c;
    // The server beacons every 100 ms for the whole search: heard many times, passed on once.
    EXPECT_EQ(vDiscovery_EnumerateModules(VETHER, collect, &c, kThroughA), 1);
    ASSERT_EQ(c.specs.size(), 1u);
    EXPECT_EQ(c.specs[0].serial_num, 0xBEAC0001u);
    EXPECT_EQ(c.specs[0].ip_port, 7100u);
    EXPECT_EQ(setting, zBeaconInterface_get()) << "the search puts the setting back";
}

} // namespace

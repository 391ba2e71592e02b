// How much the link engine costs on top of the transport it uses, all on loopback:
//  - round trip of one command packet (put, module answer, await) through a link,
//    against a raw TCP client asking a virtual module the same question, and against
//    a bare socket ping-pong with an echo thread;
//  - throughput of a 64 KiB UEI byte transfer (a set and its acknowledgement), with
//    and without pooled writes, against a raw client sending the same packets;
//  - processor time of an idle connected link.
// Prints one line per figure and the ratios; the goal is a link round trip within 3x
// of the raw client and an idle link well under 1 % of a core.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ModuleServer.h"
#include "Tandril2/common/vDefs.h"
#include "Tandril2/common/vLink.h"
#include "Tandril2/common/vUEI.h"
#include "Tandril2/objects/Entity.h"
#include "Tandril2/objects/Module.h"

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

namespace {

// Each figure is measured in rounds that alternate the link and its baselines, and the
// median of the per-round ratios is reported, so that a burst of other work on the
// machine weighs on both sides of a ratio alike.
constexpr int kRoundTrips = 400;
constexpr int kRounds = 9;
constexpr size_t kTransferSize = 65536;

int connectTo(uint16_t port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    where.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
        perror("connect");
        exit(1);
    }
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

bool readExactly(int fd, uint8_t* buffer, size_t n)
{
    while (n > 0) {
        ssize_t got = ::recv(fd, buffer, n, 0);
        if (got <= 0)
            return false;
        buffer += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

template <typename F>
double seconds(F&& work)
{
    auto start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The get of the serial number (system option 9) to module address 2, and its reply
// of 7 data bytes.
const Bytes kRequest = {2, 3, cmdSYSTEM, 9 | ueiOPTION_GET, ueiSPECIFIER_HOST};
constexpr size_t kReplyBytes = 2 + 7;

// kRoundTrips requests written and replies read on a plain socket; microseconds each.
double socketRoundTrips(int fd)
{
    uint8_t reply[kReplyBytes];
    return seconds([&] {
               for (int i = 0; i < kRoundTrips; i++) {
                   ::send(fd, kRequest.data(), kRequest.size(), 0);
                   if (!readExactly(fd, reply, sizeof reply)) {
                       fprintf(stderr, "raw round trip: connection lost\n");
                       exit(1);
                   }
               }
           }) * 1e6 / kRoundTrips;
}

// A thread that answers every 5-byte request with 9 bytes until the peer closes.
struct EchoPeer {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    std::thread thread;
    int fd = -1;

    EchoPeer()
    {
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener, reinterpret_cast<sockaddr*>(&where), sizeof where);
        ::listen(listener, 1);
        socklen_t length = sizeof where;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&where), &length);
        thread = std::thread([this] {
            int peer = ::accept(listener, nullptr, nullptr);
            int on = 1;
            ::setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            uint8_t request[5], reply[kReplyBytes] = {};
            while (readExactly(peer, request, sizeof request))
                ::send(peer, reply, sizeof reply, 0);
            ::close(peer);
        });
        fd = connectTo(ntohs(where.sin_port));
    }
    ~EchoPeer()
    {
        ::close(fd);
        thread.join();
        ::close(listener);
    }
};

uint8_t sSerialReply(const vPacket* packet, void*)
{
    return packet->dataSize == 7 && packet->data[0] == cmdSYSTEM && packet->data[1] == 9;
}

double linkRoundTrips(int32_t id)
{
    vPacket* request = vPacket_CreateWithData(kRequest[0], kRequest[1], kRequest.data() + 2);
    double us = seconds([&] {
                    for (int i = 0; i < kRoundTrips; i++) {
                        vLink_PutPacket(id, request);
                        vPacket* reply = vLink_AwaitFirst(id, sSerialReply, nullptr, 1000);
                        if (reply == nullptr) {
                            fprintf(stderr, "link round trip %d: no reply\n", i);
                            exit(1);
                        }
                        vPacket_Destroy(&reply);
                    }
                }) * 1e6 / kRoundTrips;
    vPacket_Destroy(&request);
    return us;
}

// The packets of a 64 KiB set of upgrade option 10, serialised back to back.
Bytes transferPackets(const Bytes& image)
{
    uei record{};
    record.module = 2;
    record.command = cmdUPGRADE;
    record.option = 10 | ueiOPTION_SET;
    record.specifier = ueiSPECIFIER_HOST;
    record.type = ueiTypeBytes;
    record.value.bytes = const_cast<uint8_t*>(image.data());
    record.bytesSize = image.size();
    Bytes all;
    vPacket* packet = vPacket_Create();
    for (size_t i = 0; i < vUEI_BytesPacketCount(image.size()); i++) {
        vUEI_EncodeBytesPacket(&record, i, packet);
        uint8_t bytes[vPACKET_MAX_SERIAL];
        size_t length = 0;
        vPacket_GetBytes(packet, bytes, sizeof bytes, &length);
        all.insert(all.end(), bytes, bytes + length);
    }
    vPacket_Destroy(&packet);
    return all;
}

// One transfer written on a plain socket and its acknowledgement read; MB/s.
double rawTransfer(int fd, const Bytes& wire)
{
    uint8_t ack[2 + 3];
    return kTransferSize / seconds([&] {
               ::send(fd, wire.data(), wire.size(), 0);
               if (!readExactly(fd, ack, sizeof ack)) {
                   fprintf(stderr, "raw transfer: connection lost\n");
                   exit(1);
               }
           }) / 1e6;
}

double linkTransfer(Vornic::Tandril::Module& module, const Bytes& image, bool pooled)
{
    module.getLink()->enablePooledPackets(pooled);
    Vornic::Tandril::EntityClass upgrade;
    upgrade.init(&module, cmdUPGRADE, 0);
    return kTransferSize / seconds([&] {
               if (vErr result = upgrade.setUEIBytes(10, image.data(), image.size()); result != vErrNone) {
                   fprintf(stderr, "transfer: %s\n", vError_GetErrorText(result));
                   exit(1);
               }
           }) / 1e6;
}

double cpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

// Processor time of the whole process while the calling thread sleeps, in percent of
// one core.
double idleShare()
{
    double cpuBefore = cpuSeconds();
    double elapsed = seconds([] { std::this_thread::sleep_for(std::chrono::seconds(2)); });
    return (cpuSeconds() - cpuBefore) / elapsed * 100;
}

std::unique_ptr<tandril::sim::TcpModuleServer> startModule(const tandril::sim::ModuleConfig& config)
{
    std::string error;
    auto server = tandril::sim::TcpModuleServer::create(config, "127.0.0.1", 0, error);
    if (!server) {
        fprintf(stderr, "virtual module: %s\n", error.c_str());
        exit(1);
    }
    return server;
}

} // namespace

int main()
{
    tandril::sim::ModuleConfig config;
    config.address = 2;
    config.heartbeatMs = 0;
    // A module takes one host link at a time: one for the raw client, one for the link.
    auto rawModule = startModule(config);
    auto linkModule = startModule(config);

    double modulesAlone = idleShare();

    Vornic::Tandril::Module module(2, false, 0);
    vEtherConfig direct;
    direct.enabled = 0;
    direct.fallback = 0;
    module.setConfig(direct);
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serial_num = config.serial;
    spec.ip_address = htonl(INADDR_LOOPBACK);
    spec.ip_port = linkModule->port();
    if (vErr result = module.connectFromSpec(&spec); result != vErrNone) {
        fprintf(stderr, "connect: %s\n", vError_GetErrorText(result));
        return 1;
    }
    int32_t id = module.getLink()->getLinkId();

    // Idle: nothing but the link's own threads (and the modules') for two seconds.
    double withLink = idleShare();

    EchoPeer echo;
    int raw = connectTo(rawModule->port());
    std::vector<double> echoUs, rawUs, linkUs, toRaw, toEcho;
    linkRoundTrips(id); // warm up
    for (int round = 0; round < kRounds; round++) {
        echoUs.push_back(socketRoundTrips(echo.fd));
        rawUs.push_back(socketRoundTrips(raw));
        linkUs.push_back(linkRoundTrips(id));
        toRaw.push_back(linkUs.back() / rawUs.back());
        toEcho.push_back(linkUs.back() / echoUs.back());
    }

    Bytes image(kTransferSize);
    for (size_t i = 0; i < image.size(); i++)
        image[i] = static_cast<uint8_t>(i);
    const Bytes wire = transferPackets(image);
    std::vector<double> rawMBps, plainMBps, pooledMBps, plainRatio, pooledRatio;
    for (int round = 0; round < kRounds; round++) {
        rawMBps.push_back(rawTransfer(raw, wire));
        plainMBps.push_back(linkTransfer(module, image, false));
        pooledMBps.push_back(linkTransfer(module, image, true));
        plainRatio.push_back(rawMBps.back() / plainMBps.back());
        pooledRatio.push_back(rawMBps.back() / pooledMBps.back());
    }
    ::close(raw);

    printf("medians of %d rounds\n", kRounds);
    printf("round trip, bare socket echo        %8.1f us\n", median(echoUs));
    printf("round trip, raw client to module    %8.1f us\n", median(rawUs));
    printf("round trip, through the link        %8.1f us\n", median(linkUs));
    printf("ratio link / raw client to module   %8.2f  (goal: at most 3)\n", median(toRaw));
    printf("ratio link / bare socket echo       %8.2f\n", median(toEcho));
    printf("64 KiB UEI set, raw client          %8.2f MB/s\n", median(rawMBps));
    printf("64 KiB UEI set, link                %8.2f MB/s  (raw / link %.2f)\n", median(plainMBps),
           median(plainRatio));
    printf("64 KiB UEI set, link, pooled writes %8.2f MB/s  (raw / link %.2f)\n", median(pooledMBps),
           median(pooledRatio));
    printf("idle, virtual modules alone         %8.3f %% of one core\n", modulesAlone);
    printf("idle, with a connected link         %8.3f %% of one core\n", withLink);
    printf("idle connected link's own share     %8.3f %% of one core (goal: under 1)\n", withLink - modulesAlone);
    return 0;
}

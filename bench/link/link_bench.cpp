// How much the link engine costs on top of the transport it uses, all on loopback:
//  - round trip of one command packet (put, module answer, await) through a link,
//    against a raw TCP client asking the same virtual module the same question, and
//    against a bare socket ping-pong with an echo thread;
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

// Round trips are timed in batches and the median batch is reported, so that a burst
// of other work on the machine does not decide the figure.
constexpr int kRoundTrips = 500;
constexpr int kBatches = 7;
constexpr int kTransfers = 5;
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

void readExactly(int fd, uint8_t* buffer, size_t n)
{
    while (n > 0) {
        ssize_t got = ::recv(fd, buffer, n, 0);
        if (got <= 0) {
            perror("recv");
            exit(1);
        }
        buffer += got;
        n -= static_cast<size_t>(got);
    }
}

double microseconds(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

template <typename F>
double medianBatch(F&& batch)
{
    std::vector<double> means;
    for (int i = 0; i < kBatches; i++)
        means.push_back(batch());
    std::sort(means.begin(), means.end());
    return means[means.size() / 2];
}

// The get of the serial number (system option 9) to module address 2, and its reply
// of 7 data bytes.
const Bytes kRequest = {2, 3, cmdSYSTEM, 9 | ueiOPTION_GET, ueiSPECIFIER_HOST};
constexpr size_t kReplyBytes = 2 + 7;

// The request written and its reply read on a plain socket, kRoundTrips times per batch.
double socketRoundTrips(int fd)
{
    uint8_t reply[kReplyBytes];
    return medianBatch([&] {
        auto start = Clock::now();
        for (int i = 0; i < kRoundTrips; i++) {
            ::send(fd, kRequest.data(), kRequest.size(), 0);
            readExactly(fd, reply, sizeof reply);
        }
        return microseconds(Clock::now() - start) / kRoundTrips;
    });
}

double rawModuleRoundTrip(uint16_t port)
{
    int fd = connectTo(port);
    double us = socketRoundTrips(fd);
    ::close(fd);
    return us;
}

double echoRoundTrip()
{
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&where), sizeof where);
    ::listen(listener, 1);
    socklen_t length = sizeof where;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&where), &length);
    std::thread echo([listener] {
        int fd = ::accept(listener, nullptr, nullptr);
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        uint8_t request[5], reply[kReplyBytes] = {};
        for (int i = 0; i < kRoundTrips * kBatches; i++) {
            readExactly(fd, request, sizeof request);
            ::send(fd, reply, sizeof reply, 0);
        }
        ::close(fd);
    });
    int fd = connectTo(ntohs(where.sin_port));
    double us = socketRoundTrips(fd);
    echo.join();
    ::close(fd);
    ::close(listener);
    return us;
}

uint8_t sSerialReply(const vPacket* packet, void*)
{
    return packet->dataSize == 7 && packet->data[0] == cmdSYSTEM && packet->data[1] == 9;
}

double linkRoundTrip(int32_t id)
{
    vPacket* request = vPacket_CreateWithData(kRequest[0], kRequest[1], kRequest.data() + 2);
    double us = medianBatch([&] {
        auto start = Clock::now();
        for (int i = 0; i < kRoundTrips; i++) {
            vLink_PutPacket(id, request);
            vPacket* reply = vLink_AwaitFirst(id, sSerialReply, nullptr, 1000);
            if (reply == nullptr) {
                fprintf(stderr, "link round trip %d: no reply\n", i);
                exit(1);
            }
            vPacket_Destroy(&reply);
        }
        return microseconds(Clock::now() - start) / kRoundTrips;
    });
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

double rawTransferMBps(uint16_t port, const Bytes& wire)
{
    int fd = connectTo(port);
    uint8_t ack[2 + 3];
    auto start = Clock::now();
    for (int i = 0; i < kTransfers; i++) {
        ::send(fd, wire.data(), wire.size(), 0);
        readExactly(fd, ack, sizeof ack);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fd);
    return kTransfers * kTransferSize / seconds / 1e6;
}

double linkTransferMBps(Vornic::Tandril::Module& module, const Bytes& image, bool pooled)
{
    module.getLink()->enablePooledPackets(pooled);
    Vornic::Tandril::EntityClass upgrade;
    upgrade.init(&module, cmdUPGRADE, 0);
    auto start = Clock::now();
    for (int i = 0; i < kTransfers; i++) {
        if (vErr result = upgrade.setUEIBytes(10, image.data(), image.size()); result != vErrNone) {
            fprintf(stderr, "transfer: %s\n", vError_GetErrorText(result));
            exit(1);
        }
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return kTransfers * kTransferSize / seconds / 1e6;
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
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    return (cpuSeconds() - cpuBefore) / std::chrono::duration<double>(Clock::now() - start).count() * 100;
}

} // namespace

int main()
{
    tandril::sim::ModuleConfig config;
    config.address = 2;
    config.heartbeatMs = 0;
    std::string error;
    auto server = tandril::sim::TcpModuleServer::create(config, "127.0.0.1", 0, error);
    if (!server) {
        fprintf(stderr, "virtual module: %s\n", error.c_str());
        return 1;
    }

    double moduleAlone = idleShare();
    double echo = echoRoundTrip();
    double raw = rawModuleRoundTrip(server->port());

    Vornic::Tandril::Module module(2, false, 0);
    vEtherConfig direct;
    direct.enabled = 0;
    direct.fallback = 0;
    module.setConfig(direct);
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serial_num = config.serial;
    spec.ip_address = htonl(INADDR_LOOPBACK);
    spec.ip_port = server->port();
    if (vErr result = module.connectFromSpec(&spec); result != vErrNone) {
        fprintf(stderr, "connect: %s\n", vError_GetErrorText(result));
        return 1;
    }
    int32_t id = module.getLink()->getLinkId();
    linkRoundTrip(id); // warm up
    double link = linkRoundTrip(id);

    // Idle: nothing but the link's own threads (and the module's) for two seconds.
    double withLink = idleShare();

    Bytes image(kTransferSize);
    for (size_t i = 0; i < image.size(); i++)
        image[i] = static_cast<uint8_t>(i);
    double linkPlain = linkTransferMBps(module, image, false);
    double linkPooled = linkTransferMBps(module, image, true);
    module.disconnect();
    double rawTransfer = rawTransferMBps(server->port(), transferPackets(image));

    printf("round trip, bare socket echo        %8.1f us\n", echo);
    printf("round trip, raw client to module    %8.1f us\n", raw);
    printf("round trip, through the link        %8.1f us\n", link);
    printf("ratio link / raw client to module   %8.2f  (goal: at most 3)\n", link / raw);
    printf("ratio link / bare socket echo       %8.2f\n", link / echo);
    printf("64 KiB UEI set, raw client          %8.2f MB/s\n", rawTransfer);
    printf("64 KiB UEI set, link                %8.2f MB/s  (ratio raw/link %.2f)\n", linkPlain, rawTransfer / linkPlain);
    printf("64 KiB UEI set, link, pooled writes %8.2f MB/s  (ratio raw/link %.2f)\n", linkPooled,
           rawTransfer / linkPooled);
    printf("idle, virtual module alone          %8.3f %% of one core\n", moduleAlone);
    printf("idle, with a connected link         %8.3f %% of one core\n", withLink);
    printf("idle connected link's own share     %8.3f %% of one core (goal: under 1)\n", withLink - moduleAlone);
    return 0;
}

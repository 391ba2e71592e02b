// The TCP socket stream against a listener on the loopback interface.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "Tandril2/common/vStreamsocket.h"
#include "TestSupport.h"

namespace {

using tandril::test::waitUntil;

// A listening socket on 127.0.0.1 with an ephemeral port.
class Listener {
public:
    Listener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        ::listen(fd_, 4);
        socklen_t len = sizeof(a);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Listener() { ::close(fd_); }
    uint16_t port() const { return port_; }
    // The next connection, or -1 when none comes within `ms`.
    int accept(int ms = 5000) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) != 1)
            return -1;
        return ::accept(fd_, nullptr, nullptr);
    }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

uint32_t loopback() { return htonl(INADDR_LOOPBACK); }

// Polls get until it answers something other than vErrNotReady (bounded).
vErr nextByte(vStream* stream, uint8_t* byte) {
    vErr err = vErrNotReady;
    waitUntil([&] { return (err = stream->get(byte, stream->reference)) != vErrNotReady; });
    return err;
}

std::string receiveAll(int fd, size_t n) {
    std::string out;
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1)
            break;
        char buffer[256];
        const ssize_t got = ::recv(fd, buffer, std::min(sizeof(buffer), n - out.size()), 0);
        if (got <= 0)
            break;
        out.append(buffer, static_cast<size_t>(got));
    }
    return out;
}

class SocketStream : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(vStream_CreateSocket(loopback(), listener.port(), &stream), vErrNone);
        peer = listener.accept();
        ASSERT_GE(peer, 0);
    }
    void TearDown() override {
        vStream_Destroy(&stream);
        if (peer >= 0)
            ::close(peer);
    }
    Listener listener;
    vStream* stream = nullptr;
    int peer = -1;
};

TEST_F(SocketStream, RoundTrip) {
    ASSERT_EQ(::send(peer, "hello", 5, 0), 5);
    uint8_t got[5];
    vErr err = vErrNotReady;
    ASSERT_TRUE(waitUntil([&] { return (err = vStream_Read(stream, got, 5)) != vErrNotReady; }));
    EXPECT_EQ(err, vErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(got), 5), "hello");

    EXPECT_EQ(vStream_Write(stream, reinterpret_cast<const uint8_t*>("world!"), 6), vErrNone);
    EXPECT_EQ(vStream_Write(stream, reinterpret_cast<const uint8_t*>("?"), 1), vErrNone);
    EXPECT_EQ(receiveAll(peer, 7), "world!?");
}

TEST_F(SocketStream, PeerClosingInOrderDropsTheConnection) {
    ASSERT_EQ(::send(peer, "z", 1, 0), 1);
    ::close(peer);
    peer = -1;
    uint8_t byte = 0;
    EXPECT_EQ(nextByte(stream, &byte), vErrNone) << "bytes sent before the close still arrive";
    EXPECT_EQ(byte, 'z');
    EXPECT_EQ(nextByte(stream, &byte), vErrConnection);
    EXPECT_EQ(stream->get(&byte, stream->reference), vErrConnection) << "stays dropped";
    EXPECT_EQ(vStream_Write(stream, reinterpret_cast<const uint8_t*>("ab"), 2), vErrConnection);
    EXPECT_LT(listener.accept(300), 0) << "an orderly close is not answered by reconnecting";
}

TEST_F(SocketStream, ResetConnectionIsRenewed) {
    const linger reset{1, 0};
    ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    ::close(peer);
    peer = -1;
    uint8_t byte = 0;
    // The get that meets the reset reconnects at once; the listener then has the new connection.
    std::thread feeder([&] {
        peer = listener.accept();
        if (peer >= 0)
            ::send(peer, "N", 1, 0);
    });
    const vErr err = nextByte(stream, &byte);
    feeder.join();
    ASSERT_GE(peer, 0) << "no reconnection";
    EXPECT_EQ(err, vErrNone);
    EXPECT_EQ(byte, 'N');
}

TEST_F(SocketStream, WriteToAPeerThatNeverReadsGivesUp) {
    // Once every buffer on the way is full, ten attempts without progress end the write.
    const std::vector<uint8_t> block(32 << 20, 0x5A);
    EXPECT_EQ(vStream_Write(stream, block.data(), block.size()), vErrBusy);
}

TEST_F(SocketStream, IdleGetWaitsInsteadOfSpinning) {
    // An idle reader calls get back to back; each call should sleep in poll, not burn CPU.
    rusage before{}, after{};
    ::getrusage(RUSAGE_THREAD, &before);
    uint8_t byte;
    for (int i = 0; i < 60; ++i)
        ASSERT_EQ(stream->get(&byte, stream->reference), vErrNotReady);
    ::getrusage(RUSAGE_THREAD, &after);
    auto cpuUs = [](const rusage& r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000000L + r.ru_utime.tv_usec + r.ru_stime.tv_usec;
    };
    // 60 waits of a few milliseconds each; spinning would spend all of it on the CPU.
    EXPECT_LT(cpuUs(after) - cpuUs(before), 60 * 1000);
}

TEST_F(SocketStream, ReaderAndWriterAtOnce) {
    // The peer echoes; one thread writes while another reads, as a link does.
    std::thread echo([fd = peer] {
        char buffer[512];
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 3000) != 1)
                return;
            const ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
            if (got <= 0 || ::send(fd, buffer, static_cast<size_t>(got), 0) != got)
                return;
        }
    });
    std::string sent;
    for (int i = 0; i < 300; ++i)
        sent += "packet-" + std::to_string(i) + ";";
    std::thread writer([&] {
        for (size_t at = 0; at < sent.size(); at += 37)
            vStream_Write(stream, reinterpret_cast<const uint8_t*>(sent.data() + at), std::min<size_t>(37, sent.size() - at));
    });
    std::string received;
    waitUntil([&] {
        uint8_t byte;
        while (stream->get(&byte, stream->reference) == vErrNone)
            received.push_back(static_cast<char>(byte));
        return received.size() >= sent.size();
    });
    writer.join();
    ::shutdown(peer, SHUT_RDWR);
    echo.join();
    EXPECT_EQ(received, sent);
}

TEST(SocketStreamCreate, Failures) {
    int port;
    {
        Listener gone; // a port that just stopped listening
        port = gone.port();
    }
    vStream* stream = reinterpret_cast<vStream*>(1);
    EXPECT_EQ(vStream_CreateSocket(loopback(), static_cast<uint16_t>(port), &stream), vErrResource);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(vStream_CreateSocket(loopback(), static_cast<uint16_t>(port), nullptr), vErrParam);
}

} // namespace

// Serial streams over pseudo-terminal pairs with real termios.
#include <gtest/gtest.h>

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "Tandril2/common/cobs.h"
#include "Tandril2/common/crc8.h"
#include "Tandril2/unix/unix_streamserial.h"
#include "TestSupport.h"

namespace {

using tandril::test::PtyPair;
using tandril::test::waitUntil;

std::string readMaster(int fd, size_t n) {
    std::string out;
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 3000) != 1)
            break;
        char buffer[256];
        const ssize_t got = ::read(fd, buffer, std::min(sizeof(buffer), n - out.size()));
        if (got <= 0)
            break;
        out.append(buffer, static_cast<size_t>(got));
    }
    return out;
}

// Reads n bytes from the stream, polling while it is not ready (bounded).
vErr readStream(vStream* stream, std::string& out, size_t n) {
    std::vector<uint8_t> buffer(n);
    vErr err = vErrNotReady;
    waitUntil([&] { return (err = vStream_Read(stream, buffer.data(), n)) != vErrNotReady; });
    out.assign(buffer.begin(), buffer.end());
    return err;
}

class SerialSpeeds : public ::testing::TestWithParam<uint32_t> {};

TEST_P(SerialSpeeds, RawModeAtTheRateAndRoundTrip) {
    const uint32_t index = GetParam();
    const speed_t expected[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
    PtyPair pty;
    termios before{};
    ::tcgetattr(pty.slave(), &before);
    ::cfsetospeed(&before, B1200);
    ::cfsetispeed(&before, B1200);
    before.c_lflag |= ECHO | ICANON;
    ::tcsetattr(pty.slave(), TCSANOW, &before);

    vStream* stream = nullptr;
    ASSERT_EQ(vStream_CreateSerial(pty.slaveName().c_str(), index, 0, 0, 0, &stream), vErrNone);
    termios now{};
    ::tcgetattr(pty.slave(), &now);
    EXPECT_EQ(::cfgetospeed(&now), expected[index]);
    EXPECT_EQ(::cfgetispeed(&now), expected[index]);
    EXPECT_EQ(now.c_lflag & (ECHO | ICANON), 0u) << "raw mode";
    EXPECT_EQ(now.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(now.c_cc[VMIN], 0);
    EXPECT_EQ(vSerial_SpeedIndex(kSerialBaudRates[index]), static_cast<int>(index));

    ASSERT_EQ(::write(pty.master(), "ping\0\xff", 6), 6);
    std::string got;
    EXPECT_EQ(readStream(stream, got, 6), vErrNone);
    EXPECT_EQ(got, std::string("ping\0\xff", 6)) << "bytes pass unchanged";
    EXPECT_EQ(vStream_Write(stream, reinterpret_cast<const uint8_t*>("pong\n"), 5), vErrNone);
    EXPECT_EQ(vStream_Write(stream, reinterpret_cast<const uint8_t*>("!"), 1), vErrNone);
    EXPECT_EQ(readMaster(pty.master(), 6), "pong\n!");

    EXPECT_EQ(vStream_Destroy(&stream), vErrNone);
    ::tcgetattr(pty.slave(), &now);
    EXPECT_EQ(::cfgetospeed(&now), static_cast<speed_t>(B1200)) << "the port's own settings come back";
    EXPECT_EQ(now.c_lflag & (ECHO | ICANON), static_cast<tcflag_t>(ECHO | ICANON));
}

INSTANTIATE_TEST_SUITE_P(AllRates, SerialSpeeds, ::testing::Range(0u, kSerialSpeedCount));

TEST(SerialStream, LineSettingsFollowTheSelectors) {
    // A pseudo-terminal keeps eight data bits without parity whatever is asked, so
    // parity shows in the input flags and the stop bits in the control flags.
    struct Case {
        uint8_t parity, stopBits;
        tcflag_t iflag, cflag;
    };
    const Case cases[] = {
        {0, 0, 0, 0},
        {1, 0, IGNPAR, 0},
        {0, 1, 0, CSTOPB},
        {1, 1, IGNPAR, CSTOPB},
    };
    for (const Case& c : cases) {
        PtyPair pty;
        vStream* stream = nullptr;
        ASSERT_EQ(vStream_CreateSerial(pty.slaveName().c_str(), 6, c.parity, 0, c.stopBits, &stream), vErrNone);
        termios now{};
        ::tcgetattr(pty.slave(), &now);
        EXPECT_EQ(now.c_iflag & (IGNPAR | IGNBRK | ICRNL | IXON), c.iflag | IGNBRK) << int(c.parity) << int(c.stopBits);
        EXPECT_EQ(now.c_cflag & (CSTOPB | CLOCAL | CREAD), c.cflag | CLOCAL | CREAD) << int(c.parity) << int(c.stopBits);
        vStream_Destroy(&stream);
    }
}

TEST(SerialStream, BadArgumentsAndPortsGiveErrors) {
    PtyPair pty;
    const char* port = pty.slaveName().c_str();
    struct Case {
        const char* port;
        uint32_t speed;
        uint8_t dataBits, stopBits;
        vErr expected;
    };
    const std::string longName(5000, 'x');
    const Case cases[] = {
        {port, 8, 0, 0, vErrParam},  // outside the rate table
        {port, 0, 2, 0, vErrParam},
        {port, 0, 0, 2, vErrParam},
        {nullptr, 0, 0, 0, vErrParam},
        {longName.c_str(), 0, 0, 0, vErrParam},
        {"/dev/no-such-port", 0, 0, 0, vErrNotFound},
        {"/dev/null", 0, 0, 0, vErrIO}, // not a terminal
    };
    for (const Case& c : cases) {
        for (auto create : {vStream_CreateSerial, vStream_CreateSerial_Packetized}) {
            vStream* stream = reinterpret_cast<vStream*>(1);
            EXPECT_EQ(create(c.port, c.speed, 0, c.dataBits, c.stopBits, &stream), c.expected)
                << (c.port ? c.port : "null") << " speed " << c.speed;
            EXPECT_EQ(stream, nullptr);
        }
    }
    EXPECT_EQ(vStream_CreateSerial(port, 0, 0, 0, 0, nullptr), vErrParam);
    EXPECT_EQ(vSerial_SpeedIndex(300), -1);
    EXPECT_EQ(vSerial_SpeedIndex(115200), 6);
}

TEST(SerialStream, HangUpIsAFailureNotSilence) {
    auto* pty = new PtyPair;
    vStream* plain = nullptr;
    vStream* framed = nullptr;
    ASSERT_EQ(vStream_CreateSerial(pty->slaveName().c_str(), 6, 0, 0, 0, &plain), vErrNone);
    ASSERT_EQ(vStream_CreateSerial_Packetized(pty->slaveName().c_str(), 6, 0, 0, 0, &framed), vErrNone);
    delete pty; // both ends of the test's own pair go; the streams' descriptors see a hang-up
    uint8_t byte;
    EXPECT_EQ(plain->get(&byte, plain->reference), vErrIO);
    EXPECT_EQ(framed->get(&byte, framed->reference), vErrIO);
    vStream_Destroy(&plain);
    vStream_Destroy(&framed);
}

TEST(SerialStream, WriteToALineThatTakesNothingEnds) {
    // The far end never reads: once the terminal's buffers are full the write gives up
    // instead of holding the writer for ever.
    PtyPair pty;
    vStream* stream = nullptr;
    ASSERT_EQ(vStream_CreateSerial(pty.slaveName().c_str(), 7, 0, 0, 0, &stream), vErrNone);
    const std::vector<uint8_t> block(1 << 20, 0x55);
    EXPECT_EQ(vStream_Write(stream, block.data(), block.size()), vErrTimeout);
    vStream_Destroy(&stream);
}

TEST(SerialStream, PacketizedCarriesFrames) {
    PtyPair pty;
    vStream* stream = nullptr;
    ASSERT_EQ(vStream_CreateSerial_Packetized(pty.slaveName().c_str(), 7, 0, 0, 0, &stream), vErrNone);
    const uint8_t packet[] = {0x06, 0x03, 0x03, 0x00, 0x20};
    uint8_t frame[16] = {};
    std::copy(packet, packet + 5, frame);
    frame[5] = crc8_create(packet, 5);
    const size_t n = cobs_encode_inplace(frame, 6);
    frame[n] = 0;

    EXPECT_EQ(vStream_Write(stream, packet, sizeof(packet)), vErrNone);
    EXPECT_EQ(readMaster(pty.master(), n + 1), std::string(reinterpret_cast<char*>(frame), n + 1));

    ASSERT_EQ(::write(pty.master(), frame, n + 1), static_cast<ssize_t>(n + 1));
    std::string got;
    EXPECT_EQ(readStream(stream, got, sizeof(packet)), vErrNone);
    EXPECT_EQ(got, std::string(reinterpret_cast<const char*>(packet), sizeof(packet)));
    EXPECT_EQ(vStream_Destroy(&stream), vErrNone);
}

TEST(SerialStream, PacketizedReaderAndWriterAtOnce) {
    // As a link uses it: one thread writes packets while another reads the echoed frames.
    PtyPair pty;
    vStream* stream = nullptr;
    ASSERT_EQ(vStream_CreateSerial_Packetized(pty.slaveName().c_str(), 7, 0, 0, 0, &stream), vErrNone);
    std::atomic<bool> done{false};
    std::thread echo([&] {
        char buffer[256];
        while (!done) {
            pollfd p{pty.master(), POLLIN, 0};
            if (::poll(&p, 1, 20) != 1)
                continue;
            const ssize_t got = ::read(pty.master(), buffer, sizeof(buffer));
            if (got <= 0 || ::write(pty.master(), buffer, static_cast<size_t>(got)) != got)
                return;
        }
    });
    constexpr int kPackets = 200;
    std::thread writer([&] {
        for (int i = 0; i < kPackets; ++i) {
            const uint8_t packet[] = {0x06, 0x03, 0x03, static_cast<uint8_t>(i), 0x20};
            vStream_Write(stream, packet, sizeof(packet));
        }
    });
    int received = 0;
    bool inOrder = true;
    waitUntil([&] {
        // A framed stream answers "not ready" for each byte it collects: keep asking
        // a while before handing back to the waiting loop.
        uint8_t packet[5];
        for (int misses = 0; misses < 64 && received < kPackets;) {
            if (vStream_Read(stream, packet, sizeof(packet)) != vErrNone) {
                ++misses;
                continue;
            }
            inOrder = inOrder && packet[3] == static_cast<uint8_t>(received);
            ++received;
            misses = 0;
        }
        return received == kPackets;
    });
    writer.join();
    done = true;
    echo.join();
    EXPECT_EQ(received, kPackets);
    EXPECT_TRUE(inOrder);
    vStream_Destroy(&stream);
}

} // namespace

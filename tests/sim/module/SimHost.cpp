#include "SimHost.h"

#include <cerrno>
#include <cstring>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Tandril2/common/cobs.h"
#include "Tandril2/common/crc8.h"

namespace tandril::sim::test {

namespace {

// Every wait for an answer is bounded by this; answers normally take microseconds.
constexpr int kAnswerWaitMs = 3000;

// Reads exactly n bytes or fails within the bound.
bool readExactly(int fd, uint8_t* into, size_t n) {
    size_t got = 0;
    while (got < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, kAnswerWaitMs) <= 0)
            return false;
        ssize_t r = read(fd, into + got, n - got);
        if (r <= 0)
            return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

class TcpHost final : public Host {
public:
    explicit TcpHost(const ModuleConfig& config) {
        std::string error;
        server_ = TcpModuleServer::create(config, "127.0.0.1", 0, error);
        if (!server_)
            throw std::runtime_error(error);
        if (!reconnect())
            throw std::runtime_error("cannot connect to the virtual module");
    }
    ~TcpHost() override {
        if (fd_ >= 0)
            close(fd_);
    }
    void send(const Bytes& b) override { ASSERT_EQ(write(fd_, b.data(), b.size()), static_cast<ssize_t>(b.size())); }
    std::optional<Bytes> receive() override {
        uint8_t head[2];
        if (!readExactly(fd_, head, 2))
            return std::nullopt;
        Bytes p{head[0], head[1]};
        p.resize(2 + head[1]);
        if (head[1] > 28 || !readExactly(fd_, p.data() + 2, head[1]))
            return std::nullopt;
        return p;
    }
    nlohmann::json state() override { return nlohmann::json::parse(server_->stateJson()); }
    void pass(unsigned ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
    bool reconnect() override {
        if (fd_ >= 0)
            close(fd_);
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(server_->port());
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            return false;
        // A module that is away closes the connection at once; a magic tells.
        Bytes magic{0xAD, 0};
        if (write(fd_, magic.data(), 2) != 2)
            return false;
        auto answer = receive();
        return answer && answer->size() == 2 && (*answer)[1] == 0;
    }
    const char* name() const override { return "tcp"; }
    int fd() const { return fd_; }

private:
    std::unique_ptr<TcpModuleServer> server_;
    int fd_ = -1;
};

class PtyHost final : public Host {
public:
    explicit PtyHost(const ModuleConfig& config) {
        std::string error;
        server_ = PtyModuleServer::create(config, error);
        if (!server_)
            throw std::runtime_error(error);
        fd_ = open(server_->endpoint().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0)
            throw std::runtime_error("cannot open " + server_->endpoint());
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~PtyHost() override { close(fd_); }
    // Each packet of the bytes becomes a frame of its own, as a host's framing layer does.
    void send(const Bytes& b) override {
        for (size_t at = 0; at < b.size();) {
            size_t n = at + 1 < b.size() ? std::min(b.size() - at, size_t{2} + b[at + 1]) : b.size() - at;
            sendFrame(Bytes(b.begin() + at, b.begin() + at + n));
            at += n;
        }
    }
    void sendFrame(const Bytes& b) {
        Bytes plain = b;
        plain.push_back(crc8_create(b.data(), b.size()));
        Bytes frame(cobs_max_encoded(plain.size()) + 1);
        size_t n = cobs_encode(plain.data(), plain.size(), frame.data());
        frame[n++] = 0;
        ASSERT_EQ(write(fd_, frame.data(), n), static_cast<ssize_t>(n));
    }
    std::optional<Bytes> receive() override {
        for (;;) {
            Bytes encoded;
            uint8_t byte;
            do {
                if (!readExactly(fd_, &byte, 1))
                    return std::nullopt;
                if (byte)
                    encoded.push_back(byte);
            } while (byte != 0);
            Bytes plain(encoded.size());
            size_t n = cobs_decode(encoded.data(), encoded.size(), plain.data());
            if (n >= 3 && plain[1] + 3u == n && crc8_check(plain.data(), n - 1, plain[n - 1])) {
                plain.resize(n - 1);
                return plain;
            }
            ++rejected;  // a broken frame; the host drops it and reads on
        }
    }
    nlohmann::json state() override { return nlohmann::json::parse(server_->stateJson()); }
    void pass(unsigned ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
    bool reconnect() override { return barrier(server_->withCore([](ModuleCore& c) { return c.config().address; })).has_value(); }
    const char* name() const override { return "pty"; }

    unsigned rejected = 0;

private:
    std::unique_ptr<PtyModuleServer> server_;
    int fd_ = -1;
};

} // namespace

Bytes packet(uint8_t address, Bytes data) {
    Bytes p(2 + data.size());
    p[0] = address;
    p[1] = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), p.begin() + 2);
    return p;
}

std::string hex(const Bytes& bytes) {
    std::string s;
    char b[3];
    for (uint8_t x : bytes) {
        std::snprintf(b, sizeof b, "%02x", x);
        s += b;
    }
    return s;
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return b;
}

std::optional<std::vector<Bytes>> Host::barrier(uint8_t address) {
    send({0xAD, 0});
    std::vector<Bytes> before;
    for (int i = 0; i < 200; ++i) {
        auto p = receive();
        if (!p)
            return std::nullopt;
        if (*p == Bytes{address, 0})
            return before;
        before.push_back(*p);
    }
    return std::nullopt;
}

const char* carrierName(Carrier carrier) {
    switch (carrier) {
    case Carrier::Core: return "core";
    case Carrier::Tcp: return "tcp";
    case Carrier::Pty: return "pty";
    }
    return "?";
}

std::unique_ptr<Host> makeHost(Carrier carrier, const ModuleConfig& config) {
    switch (carrier) {
    case Carrier::Core: return std::make_unique<CoreHost>(config);
    case Carrier::Tcp: return std::make_unique<TcpHost>(config);
    case Carrier::Pty: return std::make_unique<PtyHost>(config);
    }
    return nullptr;
}

CoreHost::CoreHost(const ModuleConfig& config) : core(config), now(Clock::time_point{} + std::chrono::hours(1)) {
    core.attach(this);
    core.linkUp(now);
}

void CoreHost::send(const Bytes& serialised) { core.receive(serialised.data(), serialised.size(), now); }

std::optional<Bytes> CoreHost::receive() {
    core.tick(now);
    if (out.empty())
        return std::nullopt;
    Bytes p = out.front();
    out.pop_front();
    return p;
}

void CoreHost::pass(unsigned ms) {
    // Step through the interval so that every timer fires at its own time.
    for (unsigned i = 0; i < ms; ++i) {
        now += std::chrono::milliseconds(1);
        core.tick(now);
    }
}

uint32_t transfer(Host& host, uint8_t address, const Bytes& data, bool ueiData) {
    uint32_t sum = 0;
    for (uint8_t b : data)
        sum += b;
    if (ueiData) {
        size_t offset = 0;
        uint8_t sequence = 0;
        do {
            size_t n = std::min<size_t>(24, data.size() - offset);
            Bytes d{95, 0x8A, 0x20};
            d.insert(d.end(), data.begin() + offset, data.begin() + offset + n);
            offset += n;
            d.push_back(static_cast<uint8_t>((sequence++ & 0x7F) | (offset < data.size() ? 0x80 : 0)));
            host.send(packet(address, d));
        } while (offset < data.size());
        auto ack = host.receive();
        EXPECT_EQ(ack, packet(address, {95, 0xCA, 0})) << host.name();
    } else {
        for (size_t offset = 0; offset < data.size();) {
            size_t n = std::min<size_t>(26, data.size() - offset);
            Bytes d{95, 1};
            d.insert(d.end(), data.begin() + offset, data.begin() + offset + n);
            auto answer = host.ask(packet(address, d));
            EXPECT_EQ(answer, packet(address, {95, 1, static_cast<uint8_t>(n)})) << host.name();
            if (answer != packet(address, {95, 1, static_cast<uint8_t>(n)}))
                return sum;
            offset += n;
        }
    }
    auto status = host.ask(packet(address, {95, 4}));
    EXPECT_EQ(status, packet(address, {95, 7, 0, static_cast<uint8_t>(sum >> 24), static_cast<uint8_t>(sum >> 16),
                                       static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum)}))
        << host.name();
    return sum;
}

static uint16_t prepare(Host& host, uint8_t address, const Block& block) {
    auto answer = host.ask(packet(address, {95, 3, block.flags, static_cast<uint8_t>(block.address >> 24),
                                            static_cast<uint8_t>(block.address >> 16),
                                            static_cast<uint8_t>(block.address >> 8),
                                            static_cast<uint8_t>(block.address)}));
    EXPECT_TRUE(answer && answer->size() == 7 && (*answer)[2] == 95 && (*answer)[3] == 7 && (*answer)[4] == 0)
        << host.name() << " PREPARE answer " << (answer ? hex(*answer) : "none");
    return answer && answer->size() == 7 ? static_cast<uint16_t>((*answer)[5] << 8 | (*answer)[6]) : 0;
}

void upgrade(Host& host, uint8_t address, const std::vector<Block>& loader, const std::vector<Block>& firmware,
             bool ueiData) {
    auto init = host.ask(packet(address, {95, 0}));
    ASSERT_TRUE(init && init->size() == 8 && (*init)[2] == 95 && (*init)[3] == 0) << host.name();
    for (const auto& block : loader) {
        prepare(host, address, block);
        transfer(host, address, block.bytes, false);  // the application firmware takes the loader plainly
    }
    ASSERT_EQ(host.ask(packet(address, {95, 2})), packet(address, {95, 2})) << host.name();
    for (const auto& block : firmware) {
        uint16_t blockSize = prepare(host, address, block);
        ASSERT_GT(blockSize, 0) << host.name();
        for (size_t offset = 0; offset < block.bytes.size(); offset += blockSize) {
            size_t n = std::min<size_t>(blockSize, block.bytes.size() - offset);
            transfer(host, address, Bytes(block.bytes.begin() + offset, block.bytes.begin() + offset + n), ueiData);
            ASSERT_EQ(host.ask(packet(address, {95, 5, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)})),
                      packet(address, {95, 7, 0}))
                << host.name();
        }
    }
    host.send(packet(address, {95, 6}));
}

} // namespace tandril::sim::test

#include "ModuleServer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include "Tandril2/common/cobs.h"
#include "Tandril2/common/crc8.h"

namespace tandril::sim {

namespace {

// The serving thread wakes at least this often, so a stop never waits on a timer.
constexpr int kMaxWaitMs = 1000;
// A host that stops reading must not stall the module for ever.
constexpr int kSendTimeoutMs = 2000;
// Encoded frame of a full packet: 30 bytes + CRC, plus the COBS overhead byte.
constexpr size_t kMaxFrame = cobs_max_encoded(vPACKET_MAX_SERIAL + 1);

} // namespace

// ---------------------------------------------------------------- ModuleServer

ModuleServer::ModuleServer(const ModuleConfig& config) : core_(config) {
    core_.attach(this);
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

ModuleServer::~ModuleServer() {
    stop();
    if (wake_ >= 0)
        close(wake_);
}

void ModuleServer::start() { thread_ = std::thread(&ModuleServer::run, this); }

void ModuleServer::stop() {
    if (!thread_.joinable())
        return;
    stopping_ = true;
    uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);  // cannot fail short of a full counter
    thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!statePath_.empty())
        saveState();
}

void ModuleServer::saveStateTo(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    statePath_ = path;
}

// Called with the mutex held.
void ModuleServer::saveState() {
    savedMilestones_ = core_.milestones();
    const std::string temporary = statePath_ + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << core_.stateJson() << "\n";
        if (!out)
            return;  // the previous state file stays as it was
    }
    std::rename(temporary.c_str(), statePath_.c_str());
}

void ModuleServer::run() {
    std::vector<pollfd> fds;
    while (!stopping_) {
        int waitMs;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto now = Clock::now();
            idle(now);
            const auto next = core_.tick(now);
            if (!statePath_.empty() && core_.milestones() != savedMilestones_)
                saveState();
            const auto untilNext = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
            waitMs = static_cast<int>(std::clamp<int64_t>(next == Clock::time_point::max() ? kMaxWaitMs : untilNext,
                                                          0, kMaxWaitMs));
        }
        fds.clear();
        fds.push_back({wake_, POLLIN, 0});
        pollSet(fds);
        if (poll(fds.data(), fds.size(), waitMs) < 0 && errno != EINTR)
            break;
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            (void)!read(wake_, &count, sizeof count);
        }
        if (stopping_)
            break;
        std::lock_guard<std::mutex> lock(mutex_);
        pollDone(fds, Clock::now());
    }
}

// ---------------------------------------------------------------- TCP

std::unique_ptr<TcpModuleServer> TcpModuleServer::create(const ModuleConfig& config, const std::string& bindAddress,
                                                         uint16_t port, std::string& error) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, bindAddress.c_str(), &addr.sin_addr) != 1) {
        error = "not an IPv4 address: " + bindAddress;
        return nullptr;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = std::string("socket: ") + strerror(errno);
        return nullptr;
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        error = "cannot listen on " + bindAddress + ":" + std::to_string(port) + ": " + strerror(errno);
        close(fd);
        return nullptr;
    }
    std::unique_ptr<TcpModuleServer> server(new TcpModuleServer(config, fd, bindAddress, ntohs(addr.sin_port)));
    server->start();
    return server;
}

TcpModuleServer::TcpModuleServer(const ModuleConfig& config, int listener, std::string address, uint16_t port)
    : ModuleServer(config), listener_(listener), address_(std::move(address)), port_(port) {}

TcpModuleServer::~TcpModuleServer() {
    stop();
    if (client_ >= 0)
        close(client_);
    close(listener_);
}

std::string TcpModuleServer::endpoint() const { return address_ + ":" + std::to_string(port_); }

void TcpModuleServer::pollSet(std::vector<pollfd>& fds) {
    fds.push_back({listener_, POLLIN, 0});
    if (client_ >= 0)
        fds.push_back({client_, POLLIN, 0});
}

void TcpModuleServer::closeClient() {
    if (client_ < 0)
        return;
    close(client_);
    client_ = -1;
    core_.linkDown();
}

void TcpModuleServer::pollDone(const std::vector<pollfd>& fds, Clock::time_point now) {
    if (client_ >= 0 && fds.size() > 2 && fds[2].fd == client_ && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
        uint8_t buffer[4096];
        ssize_t n = recv(client_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0)
            core_.receive(buffer, static_cast<size_t>(n), now);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            closeClient();
    }
    if (fds[1].revents & POLLIN) {
        int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        if (core_.away(now)) {
            close(fd);  // rebooting: nobody there to take the link
            return;
        }
        closeClient();
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        timeval timeout{kSendTimeoutMs / 1000, (kSendTimeoutMs % 1000) * 1000};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        client_ = fd;
        core_.linkUp(now);
    }
}

void TcpModuleServer::send(const uint8_t* bytes, size_t length) {
    if (client_ < 0)
        return;
    // One packet, one write: with TCP_NODELAY it leaves as one segment.
    ssize_t n = ::send(client_, bytes, length, MSG_NOSIGNAL);
    if (n != static_cast<ssize_t>(length))
        closeClient();  // a host that cannot take a packet has lost the link
}

void TcpModuleServer::dropLink(Clock::time_point) { closeClient(); }

// ---------------------------------------------------------------- serial (pseudo-terminal)

std::unique_ptr<PtyModuleServer> PtyModuleServer::create(const ModuleConfig& config, std::string& error) {
    int master = -1, slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        error = std::string("openpty: ") + strerror(errno);
        return nullptr;
    }
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B115200);
    tcsetattr(slave, TCSANOW, &t);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    std::unique_ptr<PtyModuleServer> server(new PtyModuleServer(config, master, slave, name));
    server->start();
    return server;
}

PtyModuleServer::PtyModuleServer(const ModuleConfig& config, int master, int slave, std::string path)
    : ModuleServer(config), master_(master), slave_(slave), path_(std::move(path)) {
    // A serial line is always there; the module talks whether or not a host listens.
    core_.linkUp(Clock::now());
}

PtyModuleServer::~PtyModuleServer() {
    stop();
    close(master_);
    close(slave_);
}

void PtyModuleServer::pollSet(std::vector<pollfd>& fds) { fds.push_back({master_, POLLIN, 0}); }

void PtyModuleServer::idle(Clock::time_point now) {
    if (!core_.linked())
        core_.linkUp(now);  // back from a reboot: the line is live again
}

void PtyModuleServer::pollDone(const std::vector<pollfd>& fds, Clock::time_point now) {
    if (!(fds[1].revents & POLLIN))
        return;
    idle(now);
    uint8_t buffer[4096];
    ssize_t n = read(master_, buffer, sizeof buffer);
    for (ssize_t i = 0; i < n; ++i) {
        if (buffer[i] == 0) {
            frameEnded(now);
        } else if (frame_.size() < kMaxFrame) {
            frame_.push_back(buffer[i]);
        } else {
            frameTooLong_ = true;
        }
    }
}

void PtyModuleServer::frameEnded(Clock::time_point now) {
    if (frame_.empty())
        return;
    uint8_t decoded[kMaxFrame];
    size_t n = frameTooLong_ ? 0 : cobs_decode(frame_.data(), frame_.size(), decoded);
    frame_.clear();
    frameTooLong_ = false;
    // address, size, data, CRC: the size must account for every byte.
    if (n < 3 || size_t{decoded[1]} + 3 != n || decoded[1] > vPACKET_MAX_DATA ||
        !crc8_check(decoded, n - 1, decoded[n - 1])) {
        core_.frameRejected();
        return;
    }
    vPacket packet{};
    packet.check = vPACKET_CHECK;
    packet.address = decoded[0];
    packet.dataSize = decoded[1];
    packet.received = static_cast<uint8_t>(n - 1);
    std::memcpy(packet.data, decoded + 2, packet.dataSize);
    core_.receivePacket(packet, now);
}

void PtyModuleServer::send(const uint8_t* bytes, size_t length) {
    uint8_t plain[vPACKET_MAX_SERIAL + 1];
    if (length > vPACKET_MAX_SERIAL)
        return;
    std::memcpy(plain, bytes, length);
    plain[length] = crc8_create(bytes, length);
    uint8_t frame[kMaxFrame + 1];
    size_t n = cobs_encode(plain, length + 1, frame);
    frame[n++] = 0;
    // With nobody reading the line, the pseudo-terminal's buffer fills and the frame is
    // lost, as it would be on a wire.
    (void)!write(master_, frame, n);
}

void PtyModuleServer::sendNoise(const uint8_t* bytes, size_t length) {
    // Noise followed by a delimiter: the host sees one broken frame.
    std::vector<uint8_t> line(bytes, bytes + length);
    line.push_back(0);
    (void)!write(master_, line.data(), line.size());
}

} // namespace tandril::sim

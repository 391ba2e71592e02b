#include "PtyPort.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace tandril::sim {

PtyPort::PtyPort(Device device, unsigned baud) : device_(std::move(device)), baud_(baud) {
    if (pipe2(wake_, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + strerror(errno));
    thread_ = std::thread([this] { run(); });
}

PtyPort::~PtyPort() {
    stop_ = true;
    char c = 0;
    ssize_t ignored = write(wake_[1], &c, 1);
    (void)ignored;
    thread_.join();
    for (int fd : wake_) close(fd);
}

void PtyPort::pace(size_t bytes) const {
    if (baud_ == 0 || bytes == 0) return;
    std::this_thread::sleep_for(std::chrono::microseconds(bytes * 10 * 1000000ULL / baud_));
}

void PtyPort::run() {
    char buf[4096];
    while (!stop_) {
        pollfd fds[2] = {{pty_.master(), POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        ssize_t n = read(pty_.master(), buf, sizeof buf);
        if (n <= 0) continue;
        pace(static_cast<size_t>(n));
        Send sender = [this](const std::string& bytes) { send(bytes); };
        send(device_(std::string(buf, static_cast<size_t>(n)), sender));
    }
}

void PtyPort::send(const std::string& out) {
    pace(out.size());
    for (size_t done = 0; done < out.size();) {
        ssize_t w = write(pty_.master(), out.data() + done, out.size() - done);
        if (w < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return;
        }
        done += static_cast<size_t>(w);
    }
}

} // namespace tandril::sim

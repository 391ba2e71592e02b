#include "recovery/Serial_SDPLoader_unix.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <thread>

#include "app/Log.h"

struct PrivateSerial_SDPLoader {
    int fd = 0;
    const char* portName = nullptr;
    termios settings{};
};

namespace {
constexpr unsigned kMaxIndex = 15;
void sleepMs(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
} // namespace

Serial_SDPLoader::Serial_SDPLoader(const char* portName) : p_(std::make_unique<PrivateSerial_SDPLoader>()) {
    p_->portName = portName;
}

Serial_SDPLoader::~Serial_SDPLoader() {
    if (p_->fd != 0) {
        tcflush(p_->fd, TCIOFLUSH);
        close(p_->fd);
    }
}

bool Serial_SDPLoader::init() {
    if (!p_->portName) return false;
    int fd = open(p_->portName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Log::log(DEBUG_iMXSerial, "Could not open %s: %s\n", p_->portName, strerror(errno));
        return false;
    }
    if (!isatty(fd)) {
        close(fd);
        return false;
    }
    p_->fd = fd;
    termios& t = p_->settings;
    t = termios{};
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    t.c_cflag |= CLOCAL | CREAD | CS8;
    tcsetattr(fd, TCSAFLUSH, &t);
    // An earlier probe of this port (the LPC "?" and its line ends) may have left the
    // ROM holding part of a 16-byte command; a quiet line lets it drop that part.
    tcflush(fd, TCIOFLUSH);
    sleepMs(kIdleGapMs);
    tcflush(fd, TCIOFLUSH);
    return true;
}

int Serial_SDPLoader::writeData(const std::vector<unsigned char>& packet) {
    if (p_->fd == 0 || packet.size() < 2) return 0;
    const unsigned char* data = packet.data() + 1; // no report ID on a UART
    size_t left = packet.size() - 1, sent = 0;
    unsigned stalledMs = 0;
    while (sent < left) {
        ssize_t n = write(p_->fd, data + sent, left - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            stalledMs = 0;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) break;
        if (++stalledMs > kWriteStallMs) {
            Log::log(DEBUG_iMXSerial, "Serial write stalled after %zu of %zu bytes\n", sent, left);
            break;
        }
        sleepMs(1);
    }
    return static_cast<int>(sent);
}

int Serial_SDPLoader::readData(std::vector<unsigned char>& out, unsigned timeout) {
    if (p_->fd == 0) return 0;
    sleepMs(timeout);
    int total = 0;
    unsigned char c;
    while (read(p_->fd, &c, 1) == 1) {
        out.push_back(c);
        ++total;
    }
    return total;
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<unsigned char>& answer, unsigned index, unsigned& value) {
    if (index > kMaxIndex || answer.size() < (index + 2) * 4) return false;
    for (unsigned i = 0; i < 4; ++i) value |= static_cast<unsigned>(answer[4 + index + i]) << (8 * i);
    return true;
}

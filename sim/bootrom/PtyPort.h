// Puts a byte-oriented virtual device on a pseudo-terminal, as if it sat at the far
// end of a UART: a client opens slavePath() like any serial port. With a baud rate
// set, bytes in both directions take the time they would take on the wire (ten bit
// times each), so timing-sensitive clients meet realistic delays.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "bootrom/RawPty.h"

namespace tandril::sim {

class PtyPort {
public:
    // `device` gets the bytes that arrived and returns the bytes to send back; it may
    // send earlier through `send` (an answer that comes in parts, some of them late).
    using Send = std::function<void(const std::string&)>;
    using Device = std::function<std::string(const std::string& in, const Send& send)>;

    // Throws std::runtime_error when no pseudo-terminal can be had.
    PtyPort(Device device, unsigned baud = 0);
    ~PtyPort(); // stops and joins the thread, closes both ends
    PtyPort(const PtyPort&) = delete;
    PtyPort& operator=(const PtyPort&) = delete;

    const std::string& slavePath() const { return pty_.slaveName(); }

private:
    void run();
    void pace(size_t bytes) const;
    void send(const std::string& bytes);

    Device device_;
    unsigned baud_;
    RawPty pty_;
    int wake_[2] = {-1, -1};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace tandril::sim

// A pseudo-terminal pair in raw mode, the stand-in for a UART: the master end is the
// device's side of the wire, the slave end (opened by its name) the host's serial port.
#pragma once

#include <string>

namespace tandril::sim {

class RawPty {
public:
    RawPty();   // throws std::runtime_error when no pseudo-terminal can be had
    ~RawPty();  // closes both ends
    RawPty(const RawPty&) = delete;
    RawPty& operator=(const RawPty&) = delete;

    int master() const { return master_; }
    // Held open by the pair, so that the port survives its clients closing it.
    int slave() const { return slave_; }
    const std::string& slaveName() const { return name_; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string name_;
};

} // namespace tandril::sim

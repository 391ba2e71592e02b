// Transports of the virtual module: each serves one module (and the modules on its
// router network) on a thread of its own, and is only the byte carrier under the
// module's core. Destruction stops the thread and closes everything.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>

#include "ModuleCore.h"

namespace tandril::sim {

class ModuleServer : protected ModuleOutput {
public:
    ~ModuleServer() override;
    ModuleServer(const ModuleServer&) = delete;
    ModuleServer& operator=(const ModuleServer&) = delete;

    // Where a host reaches the module: "address:port" or the pseudo-terminal's path.
    virtual std::string endpoint() const = 0;

    // Runs `inspect` on the module's core while the serving thread keeps off it.
    template <typename F>
    auto withCore(F&& inspect) {
        std::lock_guard<std::mutex> lock(mutex_);
        return inspect(core_);
    }
    std::string stateJson() { return withCore([](ModuleCore& c) { return c.stateJson(); }); }

    // Writes the state JSON to `path` (atomically, by renaming a temporary file) at
    // every INIT, LOAD and REBOOT, and when the server stops. Call before traffic starts.
    void saveStateTo(const std::string& path);

protected:
    explicit ModuleServer(const ModuleConfig& config);
    // Starts the serving thread; the subclass has made its descriptors by then.
    void start();
    // The serving thread's view of the transport.
    virtual void pollSet(std::vector<pollfd>& fds) = 0;
    virtual void pollDone(const std::vector<pollfd>& fds, Clock::time_point now) = 0;
    virtual void idle(Clock::time_point) {}
    // Joins the serving thread; subclasses call it first in their destructors.
    void stop();

    ModuleCore core_;

private:
    void run();
    void saveState();

    std::mutex mutex_;
    std::thread thread_;
    int wake_ = -1;  // eventfd that ends the serving thread's wait
    std::atomic<bool> stopping_{false};
    std::string statePath_;
    unsigned savedMilestones_ = 0;
};

// A module on a TCP listening port. One host link at a time: a new connection
// replaces the old one; while the module is away connections are closed at once.
class TcpModuleServer final : public ModuleServer {
public:
    // `bindAddress` is a dotted IPv4 address; port 0 picks a free one. Null with
    // `error` set when the socket cannot be made.
    static std::unique_ptr<TcpModuleServer> create(const ModuleConfig& config, const std::string& bindAddress,
                                                   uint16_t port, std::string& error);
    ~TcpModuleServer() override;
    std::string endpoint() const override;
    uint16_t port() const { return port_; }

private:
    TcpModuleServer(const ModuleConfig& config, int listener, std::string address, uint16_t port);
    void pollSet(std::vector<pollfd>& fds) override;
    void pollDone(const std::vector<pollfd>& fds, Clock::time_point now) override;
    void send(const uint8_t* bytes, size_t length) override;
    void sendNoise(const uint8_t* bytes, size_t length) override { send(bytes, length); }
    void dropLink(Clock::time_point until) override;
    void closeClient();

    int listener_;
    int client_ = -1;
    std::string address_;
    uint16_t port_;
};

// A module on a serial line: the module holds the master side of a pseudo-terminal
// and speaks COBS frames (packet, CRC-8, 0x00 delimiter); a host opens the slave path.
class PtyModuleServer final : public ModuleServer {
public:
    static std::unique_ptr<PtyModuleServer> create(const ModuleConfig& config, std::string& error);
    ~PtyModuleServer() override;
    std::string endpoint() const override { return path_; }

private:
    PtyModuleServer(const ModuleConfig& config, int master, int slave, std::string path);
    void pollSet(std::vector<pollfd>& fds) override;
    void pollDone(const std::vector<pollfd>& fds, Clock::time_point now) override;
    void idle(Clock::time_point now) override;
    void send(const uint8_t* bytes, size_t length) override;
    void sendNoise(const uint8_t* bytes, size_t length) override;
    void dropLink(Clock::time_point) override {}
    void frameEnded(Clock::time_point now);

    int master_, slave_;
    std::string path_;
    std::vector<uint8_t> frame_;  // encoded bytes since the last delimiter
    bool frameTooLong_ = false;
};

} // namespace tandril::sim

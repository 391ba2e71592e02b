// A module on a loopback TCP port whose answers a test writes itself, for replies the
// virtual module never gives (malformed, oversized, long series, silence).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "Tandril2/common/discover.h"
#include "Tandril2/common/vDefs.h"
#include "Tandril2/common/vPacket.h"

namespace tandril::test {

class ScriptedModule {
public:
    using Bytes = std::vector<uint8_t>;
    // Answers one host packet with the bytes to send back (serialised packets).
    using Handler = std::function<Bytes(const vPacket&)>;

    explicit ScriptedModule(Handler handler, uint8_t address = 2, bool answerMagic = true)
        : handler_(std::move(handler)), address_(address), answerMagic_(answerMagic)
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int on = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&where), sizeof where);
        ::listen(listener_, 4);
        socklen_t length = sizeof where;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&where), &length);
        port_ = ntohs(where.sin_port);
        assembler_ = vPacket_Create();
        thread_ = std::thread([this] { run(); });
    }
    ~ScriptedModule()
    {
        stop_ = true;
        thread_.join();
        if (client_ >= 0)
            ::close(client_);
        ::close(listener_);
        vPacket_Destroy(&assembler_);
    }
    ScriptedModule(const ScriptedModule&) = delete;
    ScriptedModule& operator=(const ScriptedModule&) = delete;

    // A TCP/IP specifier for this module.
    linkSpec spec(uint32_t serial = 0x5C121) const
    {
        linkSpec s{};
        s.type = TCPIP;
        s.serial_num = serial;
        s.ip_address = htonl(INADDR_LOOPBACK);
        s.ip_port = port_;
        return s;
    }
    // Every packet the host sent, in order (cmdMAGIC and cmdFORCEROUTE included).
    std::vector<vPacket> received()
    {
        std::lock_guard lock(mutex_);
        return received_;
    }

    // An answer packet in serialised form.
    static Bytes packet(uint8_t address, const Bytes& data)
    {
        Bytes bytes{address, static_cast<uint8_t>(data.size())};
        bytes.insert(bytes.end(), data.begin(), data.end());
        return bytes;
    }

private:
    void run()
    {
        while (!stop_) {
            pollfd fds[2] = {{listener_, POLLIN, 0}, {client_, POLLIN, 0}};
            if (::poll(fds, client_ >= 0 ? 2 : 1, 20) <= 0)
                continue;
            if (fds[0].revents & POLLIN) {
                if (client_ >= 0)
                    ::close(client_);
                client_ = ::accept(listener_, nullptr, nullptr);
                vPacket_Reset(assembler_);
            }
            if (client_ >= 0 && (fds[1].revents & (POLLIN | POLLHUP))) {
                uint8_t buffer[4096];
                ssize_t got = ::recv(client_, buffer, sizeof buffer, 0);
                if (got <= 0) {
                    ::close(client_);
                    client_ = -1;
                    continue;
                }
                for (ssize_t i = 0; i < got; i++)
                    take(buffer[i]);
            }
        }
    }
    void take(uint8_t byte)
    {
        if (vPacket_AddByte(assembler_, byte) != vErrNone) {
            vPacket_Reset(assembler_);
            return;
        }
        if (!vPacket_IsComplete(assembler_))
            return;
        vPacket p = *assembler_;
        vPacket_Reset(assembler_);
        {
            std::lock_guard lock(mutex_);
            received_.push_back(p);
        }
        Bytes answer;
        if (p.address == cmdMAGIC) {
            if (answerMagic_)
                answer = {address_, 0};
        } else if (p.address != cmdFORCEROUTE) {
            answer = handler_(p);
        }
        if (!answer.empty())
            ::send(client_, answer.data(), answer.size(), MSG_NOSIGNAL);
    }

    Handler handler_;
    uint8_t address_;
    bool answerMagic_;
    int listener_ = -1;
    int client_ = -1;
    uint16_t port_ = 0;
    vPacket* assembler_ = nullptr;
    std::mutex mutex_;
    std::vector<vPacket> received_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace tandril::test

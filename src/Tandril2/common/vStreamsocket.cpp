#include "Tandril2/common/vStreamsocket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <new>
#include <shared_mutex>

#include "Tandril2/common/vTime.h"

namespace {

constexpr uint16_t kSocketTag = 0xDEAD;
constexpr uint32_t kConnected = 0x1;
constexpr int kWriteAttempts = 10;
constexpr uint32_t kWriteRetryPauseMs = 60;
constexpr uint32_t kClosePauseMs = 10;

struct SocketStream {
    uint16_t port;       // host order
    sockaddr_in address; // port and address in network order
    int descriptor = -1; // -1 when closed
    std::atomic<uint32_t> flags{0};
    uint16_t tag = 0;
    // The reader and the writer may both find the connection broken and reconnect.
    // I/O runs under the shared lock; (re)connecting and closing take it exclusively,
    // so no side ever uses a descriptor that the other side closed. `generation`
    // counts connections, so a side that finds it already renewed does not renew again.
    std::shared_mutex lock;
    uint64_t generation = 0;
    // Reading side: bytes received but not yet handed out.
    uint8_t received[512];
    size_t receivedCount = 0;
    size_t receivedNext = 0;
};

SocketStream* sSocket(void* reference) {
    auto* socket = static_cast<SocketStream*>(reference);
    return socket != nullptr && socket->tag == kSocketTag ? socket : nullptr;
}

bool sIsLostConnection(int error) { return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT; }

// Under the exclusive lock.
void sSocketClose(SocketStream* socket) {
    socket->flags &= ~kConnected;
    if (socket->descriptor >= 0) {
        ::close(socket->descriptor);
        socket->descriptor = -1;
        vTime_MSSleep(kClosePauseMs);
    }
}

// Under the exclusive lock: closes an open connection and makes a new one.
vErr sSocketConnect(SocketStream* socket) {
    if (socket->tag != kSocketTag)
        return vErrInitialization;
    sSocketClose(socket);
    ++socket->generation;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return vErrIO;
    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&socket->address), sizeof(socket->address));
    int error = rc < 0 ? errno : 0;
    if (error == EINTR) {
        // An interrupted connect goes on in the background; wait for its outcome.
        pollfd done{fd, POLLOUT, 0};
        while (::poll(&done, 1, -1) < 0 && errno == EINTR) {
        }
        socklen_t size = sizeof(error);
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
            error = errno;
    }
    if (error != 0) {
        ::close(fd);
        const bool refused = error == EAGAIN || error == ECONNRESET || error == ETIMEDOUT || error == ECONNREFUSED;
        return refused ? vErrConnection : vErrIO;
    }
    socket->descriptor = fd;
    socket->flags |= kConnected;
    const int on = 1;
    const timeval noTimeout{0, 0};
    const linger resetOnClose{1, 0}; // a reconnection starts at once
    int nonBlocking = 1;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof(noTimeout)) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof(resetOnClose)) != 0 ||
        ::ioctl(fd, FIONBIO, &nonBlocking) != 0)
        return vErrIO;
    return vErrNone;
}

// Renews the connection unless the other side already did since `seen`.
vErr sSocketReconnect(SocketStream* socket, uint64_t seen) {
    std::unique_lock exclusive(socket->lock);
    if (socket->generation != seen)
        return (socket->flags & kConnected) ? vErrNone : vErrConnection;
    return sSocketConnect(socket);
}

// One receive into the reading side's buffer. vErrNone when bytes came.
vErr sSocketFill(SocketStream* socket, bool mayReconnect) {
    uint64_t seen;
    ssize_t got;
    int error = 0;
    {
        std::shared_lock shared(socket->lock);
        seen = socket->generation;
        if (!(socket->flags & kConnected))
            return vErrConnection;
        if (!vStream_WaitReadable(socket->descriptor, kStreamIdleWaitMs))
            return vErrNotReady;
        got = ::recv(socket->descriptor, socket->received, sizeof(socket->received), 0);
        error = errno;
    }
    if (got > 0) {
        socket->receivedCount = static_cast<size_t>(got);
        socket->receivedNext = 0;
        return vErrNone;
    }
    if (got == 0) {
        // The peer closed its end (a module that reboots does so in order): the
        // connection is gone, and saying "no byte yet" would keep it alive forever.
        // A new generation keeps a writer that fails on the same connection from
        // renewing it behind the reader's back.
        std::unique_lock exclusive(socket->lock);
        if (socket->generation == seen) {
            ++socket->generation;
            socket->flags &= ~kConnected;
        }
        return (socket->flags & kConnected) ? vErrNotReady : vErrConnection;
    }
    if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)
        return vErrNotReady;
    if (!sIsLostConnection(error))
        return vErrConnection;
    socket->flags &= ~kConnected;
    if (!mayReconnect)
        return vErrConnection;
    if (vErr err = sSocketReconnect(socket, seen); err != vErrNone)
        return err;
    return sSocketFill(socket, false);
}

vErr sSocketStreamGet(uint8_t* byte, void* reference) {
    SocketStream* socket = sSocket(reference);
    if (socket == nullptr || byte == nullptr)
        return vErrParam;
    if (!(socket->flags & kConnected))
        return vErrConnection;
    if (socket->receivedNext == socket->receivedCount) {
        if (vErr err = sSocketFill(socket, true); err != vErrNone)
            return err;
    }
    *byte = socket->received[socket->receivedNext++];
    return vErrNone;
}

vErr sSocketStreamWrite(const uint8_t* data, size_t length, void* reference) {
    SocketStream* socket = sSocket(reference);
    if (socket == nullptr || data == nullptr)
        return vErrParam;
    if (!(socket->flags & kConnected))
        return vErrConnection;
    vErr lastFailure = vErrNone;
    int attempts = 0;
    while (length > 0) {
        uint64_t seen;
        ssize_t sent;
        int error = 0;
        {
            std::shared_lock shared(socket->lock);
            seen = socket->generation;
            sent = socket->descriptor >= 0 ? ::send(socket->descriptor, data, length, MSG_NOSIGNAL) : -1;
            error = socket->descriptor < 0 ? ENOTCONN : sent == 0 ? EAGAIN : errno;
        }
        if (sent > 0) {
            data += sent;
            length -= static_cast<size_t>(sent);
            if (length == 0)
                break;
            attempts = 1;
        } else {
            if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
                lastFailure = vErrBusy;
            } else if (error == EPIPE || error == ECONNRESET || error == ENOTCONN) {
                socket->flags &= ~kConnected;
                const vErr err = sSocketReconnect(socket, seen);
                lastFailure = err == vErrNone ? vErrBusy : err;
            } else {
                lastFailure = vErrIO;
            }
            if (++attempts >= kWriteAttempts)
                return lastFailure;
        }
        vTime_MSSleep(kWriteRetryPauseMs);
    }
    return vErrNone;
}

vErr sSocketStreamPut(const uint8_t* byte, void* reference) { return sSocketStreamWrite(byte, 1, reference); }

vErr sSocketStreamDelete(void* reference) {
    SocketStream* socket = sSocket(reference);
    if (socket == nullptr)
        return vErrParam;
    if (socket->descriptor >= 0)
        ::close(socket->descriptor);
    socket->flags = 0;
    socket->tag = 0;
    delete socket;
    return vErrNone;
}

} // namespace

vErr vStream_CreateSocket(uint32_t address, uint16_t port, vStream** stream) {
    if (stream == nullptr)
        return vErrParam;
    *stream = nullptr;
    auto* socket = new (std::nothrow) SocketStream;
    if (socket == nullptr)
        return vErrMemory;
    socket->port = port;
    socket->address = {};
    socket->address.sin_family = AF_INET;
    socket->address.sin_port = htons(port);
    socket->address.sin_addr.s_addr = address;
    socket->tag = kSocketTag;
    vErr err;
    {
        std::unique_lock exclusive(socket->lock);
        err = sSocketConnect(socket);
    }
    if (err == vErrNone)
        *stream = vStream_Create(sSocketStreamGet, sSocketStreamPut, sSocketStreamWrite, sSocketStreamDelete, socket);
    if (*stream == nullptr) {
        sSocketStreamDelete(socket);
        return vErrResource;
    }
    return vErrNone;
}

#include "Tandril2/unix/unix_streamserial.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Tandril2/common/vStream_CobsEncoding.h"

namespace {

constexpr uint16_t kSerialTag = 0xBEEF;
constexpr size_t kPortNameSize = 4096;
constexpr int kStuckLineMs = 2000;
// The termios speed of each entry of kSerialBaudRates.
constexpr speed_t kSpeeds[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
static_assert(sizeof(kSpeeds) / sizeof(kSpeeds[0]) == kSerialSpeedCount);

struct SerialStream {
    uint32_t speedIndex;
    char portName[kPortNameSize];
    int descriptor;   // -1 when closed
    termios saved;    // found at open, restored at delete
    termios working;
    bool haveSaved;   // `saved` was read from the port
    uint16_t tag;
    // Reading side: bytes read but not yet handed out.
    uint8_t received[256];
    size_t receivedCount;
    size_t receivedNext;
};

SerialStream* sSerial(void* reference) {
    auto* serial = static_cast<SerialStream*>(reference);
    return serial != nullptr && serial->tag == kSerialTag ? serial : nullptr;
}

vErr sSerialOpen(SerialStream* serial, bool parity, uint8_t dataBits, uint8_t stopBits) {
    const int fd = ::open(serial->portName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return vErrNotFound;
        return errno == EACCES ? vErrPermission : vErrIO;
    }
    serial->descriptor = fd;
    // Non-blocking: reads return at once anyway (VMIN = VTIME = 0 below), and a write
    // to a line that takes no more bytes must not hold the writer for ever.
    if (::fcntl(fd, F_SETFL, O_NONBLOCK) != 0 || ::tcgetattr(fd, &serial->saved) != 0)
        return vErrIO;
    serial->haveSaved = true;
    termios& t = serial->working;
    t = serial->saved;
    t.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
    t.c_oflag = 0;
    t.c_cflag = CLOCAL | CREAD | (parity ? PARENB : 0) | (dataBits == 0 ? CS8 : CS7) | (stopBits == 1 ? CSTOPB : 0);
    t.c_lflag = 0;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    const speed_t speed = kSpeeds[serial->speedIndex];
    if (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0 || ::tcsetattr(fd, TCSANOW, &t) != 0 ||
        ::tcflush(fd, TCIOFLUSH) != 0)
        return vErrIO;
    return vErrNone;
}

vErr sSerialStreamGet(uint8_t* byte, void* reference) {
    SerialStream* serial = sSerial(reference);
    if (serial == nullptr || byte == nullptr)
        return vErrParam;
    if (serial->receivedNext == serial->receivedCount) {
        const short events = vStream_WaitReadable(serial->descriptor, kStreamIdleWaitMs);
        if (events == 0)
            return vErrNotReady;
        const ssize_t got = ::read(serial->descriptor, serial->received, sizeof(serial->received));
        if (got < 0)
            return errno == EINTR || errno == EAGAIN ? vErrNotReady : vErrIO;
        if (got == 0)
            // A port that hung up (an adapter pulled out) reads as empty for ever;
            // it must not look like a quiet line.
            return (events & POLLHUP) ? vErrIO : vErrNotReady;
        serial->receivedCount = static_cast<size_t>(got);
        serial->receivedNext = 0;
    }
    *byte = serial->received[serial->receivedNext++];
    return vErrNone;
}

vErr sSerialStreamWrite(const uint8_t* data, size_t length, void* reference) {
    SerialStream* serial = sSerial(reference);
    if (serial == nullptr || data == nullptr)
        return vErrParam;
    while (length > 0) {
        const ssize_t sent = ::write(serial->descriptor, data, length);
        if (sent > 0) {
            data += sent;
            length -= static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno != EAGAIN && errno != EINTR)
            return vErrIO;
        // Without flow control a working line always takes bytes; one that takes
        // none for this long is stuck.
        pollfd room{serial->descriptor, POLLOUT, 0};
        const int ready = ::poll(&room, 1, kStuckLineMs);
        if (ready == 0)
            return vErrTimeout;
        if (ready < 0 && errno != EINTR)
            return vErrIO;
    }
    // Returns once the bytes are on the line, so a following reply is really a reply.
    return ::tcdrain(serial->descriptor) == 0 ? vErrNone : vErrIO;
}

vErr sSerialStreamPut(const uint8_t* byte, void* reference) { return sSerialStreamWrite(byte, 1, reference); }

vErr sSerialStreamDelete(void* reference) {
    SerialStream* serial = sSerial(reference);
    if (serial == nullptr)
        return vErrParam;
    if (serial->descriptor >= 0) {
        if (serial->haveSaved)
            ::tcsetattr(serial->descriptor, TCSANOW, &serial->saved);
        ::close(serial->descriptor);
        serial->descriptor = -1;
    }
    std::memset(&serial->saved, 0, sizeof(serial->saved));
    std::memset(&serial->working, 0, sizeof(serial->working));
    serial->tag = 0;
    std::free(serial);
    return vErrNone;
}

// Checks the arguments, makes the record and opens the port. On failure nothing is
// left open and the code says why.
vErr sSerialCreateRecord(const char* portName, uint32_t speedIndex, uint8_t parity, uint8_t dataBits,
                         uint8_t stopBits, vStream** stream, SerialStream** record) {
    if (stream != nullptr)
        *stream = nullptr;
    if (portName == nullptr || stream == nullptr || dataBits > 1 || stopBits > 1)
        return vErrParam;
    // An index outside the table would program speed 0, which hangs up the line.
    // A name cut short would open some other port.
    if (speedIndex >= kSerialSpeedCount || ::strnlen(portName, kPortNameSize) == kPortNameSize)
        return vErrParam;
    auto* serial = static_cast<SerialStream*>(std::calloc(1, sizeof(SerialStream)));
    if (serial == nullptr)
        return vErrResource;
    serial->speedIndex = speedIndex;
    std::strcpy(serial->portName, portName);
    serial->descriptor = -1;
    serial->tag = kSerialTag;
    if (vErr err = sSerialOpen(serial, parity != 0, dataBits, stopBits); err != vErrNone) {
        sSerialStreamDelete(serial);
        return err;
    }
    *record = serial;
    return vErrNone;
}

} // namespace

int vSerial_SpeedIndex(uint32_t baudRate) {
    for (uint32_t i = 0; i < kSerialSpeedCount; ++i) {
        if (kSerialBaudRates[i] == baudRate)
            return static_cast<int>(i);
    }
    return -1;
}

vErr vStream_CreateSerial(const char* portName, uint32_t speedIndex, uint8_t parity, uint8_t dataBits,
                          uint8_t stopBits, vStream** stream) {
    SerialStream* serial = nullptr;
    if (vErr err = sSerialCreateRecord(portName, speedIndex, parity, dataBits, stopBits, stream, &serial);
        err != vErrNone)
        return err;
    *stream = vStream_Create(sSerialStreamGet, sSerialStreamPut, sSerialStreamWrite, sSerialStreamDelete, serial);
    if (*stream == nullptr) {
        sSerialStreamDelete(serial);
        return vErrResource;
    }
    return vErrNone;
}

vErr vStream_CreateSerial_Packetized(const char* portName, uint32_t speedIndex, uint8_t parity,
                                     uint8_t dataBits, uint8_t stopBits, vStream** stream) {
    SerialStream* serial = nullptr;
    if (vErr err = sSerialCreateRecord(portName, speedIndex, parity, dataBits, stopBits, stream, &serial);
        err != vErrNone)
        return err;
    const vErr err = vStream_CreateCobsEncoding(sSerialStreamGet, sSerialStreamPut, sSerialStreamWrite,
                                                sSerialStreamDelete, serial, stream);
    if (err != vErrNone)
        sSerialStreamDelete(serial);
    return err;
}

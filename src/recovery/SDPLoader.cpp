#include "recovery/SDPLoader.h"

#include <string>

#include "app/Log.h"

namespace {

constexpr unsigned char kReportCommand = 0x01;
constexpr unsigned char kReportData = 0x02;
constexpr unsigned char kReadRegister = 0x01;
constexpr unsigned char kWriteFile = 0x04;
constexpr unsigned char kErrorStatus = 0x05;
constexpr unsigned char kJumpAddress = 0x0B;
constexpr unsigned char kFormat32 = 0x20;
constexpr int kStatusAttempts = 5;
constexpr unsigned kAnswerTimeoutMs = 100;
// The chip's unique identifier, low and high words (OCOTP fuse shadows).
constexpr unsigned kUniqueIdLow = 0x401F4410;
constexpr unsigned kUniqueIdHigh = 0x401F4420;

void putBigEndian(std::vector<unsigned char>& p, size_t at, unsigned v) {
    for (int i = 0; i < 4; ++i) p[at + i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}

} // namespace

bool SDPLoader::setLoader(SDPLoader_Interface* transport) {
    if (transport_ || !transport) return false;
    transport_.reset(transport);
    return true;
}

int SDPLoader::init() {
    if (!transport_) return NoTransport;
    return transport_->init() ? Ok : TransportFailed;
}

void SDPLoader::_fillCommand(std::vector<unsigned char>& packet) { packet.resize(kCommandSize, 0); }

void SDPLoader::_command(std::vector<unsigned char>& packet, unsigned char type, unsigned address,
                         unsigned char format, unsigned count) {
    packet.clear();
    _fillCommand(packet);
    packet[0] = kReportCommand;
    packet[1] = packet[2] = type;
    putBigEndian(packet, 3, address);
    packet[7] = format;
    putBigEndian(packet, 8, count);
}

void SDPLoader::_createStatusPacket(std::vector<unsigned char>& packet) { _command(packet, kErrorStatus, 0, 0, 0); }

void SDPLoader::_createWriteFilePacket(std::vector<unsigned char>& packet, unsigned address, unsigned count) {
    _command(packet, kWriteFile, address, kFormat32, count);
}

void SDPLoader::_createJumpPacket(std::vector<unsigned char>& packet, unsigned address) {
    _command(packet, kJumpAddress, address, 0, 0);
}

void SDPLoader::_create4ByteReadRegisterPacket(std::vector<unsigned char>& packet, unsigned address) {
    _command(packet, kReadRegister, address, kFormat32, 4);
}

void SDPLoader::_printBuffer(const std::vector<unsigned char>& bytes) {
    if (!Log::IsActive(DEBUG_iMXSerial)) return;
    std::string text;
    char b[8];
    for (unsigned char c : bytes) {
        std::snprintf(b, sizeof b, "%X ", c);
        text += b;
    }
    Log::log(DEBUG_iMXSerial, "%s\n", text.c_str());
}

bool SDPLoader::_expectResponse(const std::vector<unsigned char>& answer) {
    unsigned value = 0;
    return transport_->getDataFromBuffer(answer, 0, value);
}

bool SDPLoader::_expectSuccess(const std::vector<unsigned char>& answer) {
    unsigned value = 0;
    return transport_->getDataFromBuffer(answer, 0, value) && value == kStatusWriteComplete;
}

bool SDPLoader::_expectAck(const std::vector<unsigned char>& answer) {
    unsigned value = 0;
    return transport_->getDataFromBuffer(answer, 0, value) && value == kStatusNoError;
}

bool SDPLoader::_isConnectionAlive() {
    std::vector<unsigned char> packet;
    _createStatusPacket(packet);
    for (int attempt = 0; attempt < kStatusAttempts; ++attempt) {
        int written = transport_->writeData(packet);
        Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", static_cast<size_t>(written < 0 ? 0 : written));
        _printBuffer(packet);
        std::vector<unsigned char> answer;
        int got = transport_->readData(answer, kAnswerTimeoutMs);
        Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", static_cast<ssize_t>(got));
        _printBuffer(answer);
        if (_expectResponse(answer)) return true;
    }
    Log::log(DEBUG_iMXSerial, "Error: No ack from iMX device\n");
    return false;
}

int SDPLoader::writeLoader(std::vector<unsigned char> data, unsigned address) {
    if (!transport_) return NoTransport;
    if (!_isConnectionAlive()) return NoAnswer;
    std::vector<unsigned char> packet;
    _createWriteFilePacket(packet, address, static_cast<unsigned>(data.size()));
    int res = transport_->writeData(packet);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", static_cast<ssize_t>(res));
    _printBuffer(packet);

    int total = 0;
    size_t consumed = 0;
    for (int loop = 0; consumed < data.size(); ++loop) {
        std::vector<unsigned char> early;
        if (transport_->readData(early, 0) > 0) {
            Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
            _printBuffer(early);
            return DeviceSpokeDuringData;
        }
        size_t n = std::min(kDataChunk, data.size() - consumed);
        std::vector<unsigned char> chunk;
        chunk.reserve(n + 1);
        chunk.push_back(kReportData);
        chunk.insert(chunk.end(), data.begin() + static_cast<long>(consumed),
                     data.begin() + static_cast<long>(consumed + n));
        res = transport_->writeData(chunk);
        total += res;
        consumed += n;
        Log::log(DEBUG_iMXSerial, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n",
                 static_cast<ssize_t>(res), total, loop, static_cast<long>(consumed), static_cast<ssize_t>(chunk.size()));
    }
    Log::log(DEBUG_iMXSerial, "Written Bytes: %d\n", total);
    std::vector<unsigned char> answer;
    transport_->readData(answer, kAnswerTimeoutMs);
    Log::log(DEBUG_iMXSerial, "Data Read: \n");
    _printBuffer(answer);
    if (_expectSuccess(answer)) {
        Log::log(DEBUG_iMXSerial, "Loader Transfer Successful\n");
        return Ok;
    }
    Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
    return NoCompletion;
}

void SDPLoader::startLoader(unsigned address) {
    if (!transport_) return;
    std::vector<unsigned char> packet;
    _createJumpPacket(packet, address);
    int res = transport_->writeData(packet);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", static_cast<ssize_t>(res));
    _printBuffer(packet);
    std::vector<unsigned char> ignored;
    transport_->readData(ignored, kAnswerTimeoutMs);
}

int SDPLoader::_readRegister(unsigned address, unsigned& value) {
    std::vector<unsigned char> packet;
    _create4ByteReadRegisterPacket(packet, address);
    int written = transport_->writeData(packet);
    Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", static_cast<size_t>(written < 0 ? 0 : written));
    std::vector<unsigned char> answer;
    int got = transport_->readData(answer, kAnswerTimeoutMs);
    Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", static_cast<ssize_t>(got));
    value = 0;
    return transport_->getDataFromBuffer(answer, 0, value) ? Ok : UnreadableAnswer;
}

int SDPLoader::getFingerprint(unsigned long& value) {
    if (!transport_) return NoTransport;
    if (!_isConnectionAlive()) return NoAnswer;
    unsigned low = 0, high = 0;
    if (_readRegister(kUniqueIdLow, low) != Ok) return UnreadableAnswer;
    value |= low;
    if (_readRegister(kUniqueIdHigh, high) != Ok) return UnreadableAnswer;
    value |= static_cast<unsigned long>(high) << 32;
    return Ok;
}

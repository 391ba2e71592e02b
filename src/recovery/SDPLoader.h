// Client of the i.MX boot ROM's Serial Download Protocol: places a RAM loader in the
// processor's memory and starts it. SDPLoader builds the command packets and judges
// the answers; an SDPLoader_Interface (USB HID or serial port) carries the bytes.
// Diagnostics go to the log under DEBUG_iMXSerial. One thread; each exchange is a
// write followed by a read.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

class SDPLoader_Interface {
public:
    virtual ~SDPLoader_Interface() = default;
    // Opens the transport.
    virtual bool init() = 0;
    // Sends one packet given in its HID form (report ID first); the transport's count or result.
    virtual int writeData(const std::vector<unsigned char>& packet) = 0;
    // Appends what the device sent within `timeout` ms; the number of bytes appended.
    virtual int readData(std::vector<unsigned char>& out, unsigned timeout) = 0;
    // ORs the little-endian 32-bit value at data offset `index` of a complete answer
    // into `value`; false when the answer does not have the size of one.
    virtual bool getDataFromBuffer(const std::vector<unsigned char>& answer, unsigned index,
                                   unsigned& value) = 0;
};

class SDPLoader {
public:
    // Result codes of the operations.
    enum Result : int {
        Ok = 0,
        NoTransport = 1,
        NoAnswer = 2,
        DeviceSpokeDuringData = 3,
        NoCompletion = 4,
        TransportFailed = 6,
        UnreadableAnswer = 7,
    };
    static constexpr unsigned kStatusWriteComplete = 0x88888888;
    static constexpr unsigned kStatusNoError = 0xF0F0F0F0;
    static constexpr size_t kCommandSize = 17; // in HID form
    static constexpr size_t kDataChunk = 1024;

    // Takes the transport when none is set yet and it is not null; false otherwise
    // (nothing changes).
    bool setLoader(SDPLoader_Interface* transport);
    // NoTransport, TransportFailed or Ok.
    int init();
    // Loads `data` at `address`: Ok, NoAnswer (status not answered),
    // DeviceSpokeDuringData, NoCompletion (no completion status).
    int writeLoader(std::vector<unsigned char> data, unsigned address);
    // Makes the device jump to `address`; the answer is read and ignored.
    void startLoader(unsigned address);
    // The 64-bit unique identifier: Ok, NoAnswer, UnreadableAnswer.
    int getFingerprint(unsigned long& value);

    static void _createStatusPacket(std::vector<unsigned char>& packet);
    static void _createWriteFilePacket(std::vector<unsigned char>& packet, unsigned address, unsigned count);
    static void _createJumpPacket(std::vector<unsigned char>& packet, unsigned address);
    static void _create4ByteReadRegisterPacket(std::vector<unsigned char>& packet, unsigned address);

private:
    bool _isConnectionAlive();
    static void _fillCommand(std::vector<unsigned char>& packet);
    static void _command(std::vector<unsigned char>& packet, unsigned char type, unsigned address,
                         unsigned char format, unsigned count);
    bool _expectAck(const std::vector<unsigned char>& answer);
    bool _expectResponse(const std::vector<unsigned char>& answer);
    bool _expectSuccess(const std::vector<unsigned char>& answer);
    static void _printBuffer(const std::vector<unsigned char>& bytes);
    int _readRegister(unsigned address, unsigned& value);

    std::unique_ptr<SDPLoader_Interface> transport_;
};

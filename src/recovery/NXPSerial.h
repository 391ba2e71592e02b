// Client of the NXP LPC17xx ISP boot loader over a serial port: synchronisation,
// identification, unlock, prepare, erase, RAM writes in UU-encoded lines with
// checksums, copy to flash and go. Half-duplex: every read follows the write it
// answers. One thread uses an object at a time. Diagnostics go to the log under
// DEBUG_NXPSerial (steps, errors), DEBUG_NXPSerial_E (echo, responses) and
// DEBUG_NXPSerial_SR (dumps of what is sent and received).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Tandril2/common/vError.h"
#include "Tandril2/common/vStream.h"

class NXPSerialClass {
public:
    static constexpr float CRYSTAL_DEFAULT = 14.7456f; // MHz
    static constexpr int MAX_ERROR = 20;
    static constexpr int MAX_BYTES_PER_LINE = 45;
    static constexpr int LINES_PER_CHECKSUM = 20;
    static constexpr int MAX_READ_RETRY = 3;
    static constexpr uint32_t WRITE_ADDRESS = 0x10001000;
    static const char* const ERROR_TEXT[MAX_ERROR + 1];

    NXPSerialClass() = default;
    ~NXPSerialClass(); // closes the port
    NXPSerialClass(const NXPSerialClass&) = delete;
    NXPSerialClass& operator=(const NXPSerialClass&) = delete;

    // Opens the port at the first listed rate not below `baudRate` (9600 above
    // 230400); an open port is closed first. The serial stream's codes: vErrNotFound,
    // vErrPermission, vErrIO, vErrResource.
    vErr Connect(const std::string& portName, uint32_t baudRate);
    void Disconnect();

    // Writes the text; with readEcho, reads back all of it but the final byte.
    // vErrParam when not connected, else the write's code.
    vErr Send(const char* text, bool readEcho);
    // Writes a command and, with echo on, takes its echo. The write's code.
    vErr SendCommand(const char* text, uint32_t waitMs);
    // Reads a reply of known length after the time it needs on the wire: vErrNone when
    // it ended by count or "\r\n", vErrNotReady when the port stayed silent, or the
    // stream's failure code.
    vErr Response(char* buffer, size_t size, size_t* count, const char* expected, size_t expectedLength);
    // Reads one line with its "\r\n"; each silent read costs one unit of the budget.
    // The last read's code (vErrNotReady when the budget ran out).
    vErr GetLine(char* buffer, size_t size, size_t* count, int budget);
    // Reads back `length` bytes of echo, dropping any byte that does not match.
    vErr GetEcho(const char* expected, size_t length, size_t* count);
    size_t GetErrorIndex(size_t lineLength) const;

    // Auto-baud handshake and crystal frequency. vErrNotReady (silent part), vErrIO
    // (no "OK"), or a stream code. A part already synchronised by an earlier
    // connection is recognised by its answer to a bare command line and kept.
    vErr Sync();
    vErr GetPartNumber(int64_t* number);
    vErr GetBootLoaderVersion(int* first, int* second);
    // Fills deviceId() from the "N" answer; a missing word reads 0.
    vErr GetDeviceID();
    // The ISP commands: vErrParam for arguments the part would refuse (nothing is
    // sent) and for a return code other than 0; the stream's code for send failures.
    vErr SetEcho(bool on);
    vErr SetBaudRate(uint32_t rate);
    vErr Unlock();
    vErr Prepare(int firstSector, int lastSector);
    vErr Erase(int firstSector, int lastSector);
    // Data phases also give vErrIO (an answer other than OK/RESEND) and vErrTimeout
    // (RESEND three times).
    vErr Write(uint32_t address, uint32_t count, const uint8_t* data);
    vErr Read(uint32_t address, uint32_t count, uint8_t* data);
    vErr CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count);
    vErr ExecuteFrom(uint32_t address); // no reply is read

    const uint32_t* deviceId() const { return deviceId_; }
    bool echo() const { return echo_; }
    uint32_t baudRate() const { return baudRate_; }

    static const char* GetErrorText(const char* reply);
    static uint32_t CopyLength(uint32_t n);
    static int SectorFromAddress(uint32_t address);
    static uint32_t sum(const uint8_t* data, size_t n);
    static char uuchar(uint32_t v);
    static void uuencode(char* out, const uint8_t* data, size_t n);
    static size_t uudecode(uint8_t* out, size_t capacity, const char* line);

private:
    vErr readByte(uint8_t* byte);
    vErr judged(const char* command, const char* failureFormat = "Error response ==>[%s]\n",
                int budget = 100);
    bool recogniseSynchronised(bool sawEcho);

    vStream* stream_ = nullptr;
    bool echo_ = true;
    uint32_t baudRate_ = 0;
    std::string portName_;
    uint32_t deviceId_[4] = {0, 0, 0, 0};
};

#include "recovery/NXPSerial.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Tandril2/common/vTime.h"
#include "Tandril2/unix/unix_streamserial.h"
#include "app/Log.h"

namespace {

// The LPC17xx flash map (512 KiB): sixteen 4 KiB sectors, then fourteen 32 KiB ones.
struct SectorRange {
    uint32_t start, size;
    int first, count;
};
constexpr SectorRange NXP_LPC17XX_sectors[] = {{0x00000, 0x1000, 0, 16}, {0x10000, 0x8000, 16, 14}};
constexpr int kSectorBeyondFlash = 30;

// Worst cases from the part's data sheet: the ROM answers an erase or a copy only
// when the flash is done, so the reply wait has to cover them.
constexpr int kEraseWorstMsPerSector = 105;
constexpr int kProgramWorstMsPer256 = 2;
constexpr int kReplyBudget = 100;
constexpr int kChecksumBudget = 2000;
constexpr int kMissLimit = 100;

constexpr uint32_t kCopySizes[] = {256, 512, 1024, 4096};

uint32_t waitTimeMs(size_t n, uint32_t rate) {
    if (rate == 0) return 1;
    return static_cast<uint32_t>((n * 9000 + 18000) / rate + 1);
}

// "hex] [text" for a dump: line ends as \r and \n, unprintable bytes as blanks.
std::string dump(const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    std::string hex, text;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X", p[i]);
        if (i) hex += ' ';
        hex += b;
        if (p[i] == '\r')
            text += "\\r";
        else if (p[i] == '\n')
            text += "\\n";
        else
            text += std::isprint(p[i]) ? static_cast<char>(p[i]) : ' ';
    }
    return hex + "] [" + text;
}

bool isReturnCodeLine(const char* line) {
    size_t i = 0;
    while (std::isdigit(static_cast<unsigned char>(line[i]))) ++i;
    return i > 0 && std::strcmp(line + i, "\r\n") == 0;
}

} // namespace

const char* const NXPSerialClass::ERROR_TEXT[MAX_ERROR + 1] = {
    "CMD_SUCCESS",
    "INVALID_COMMAND",
    "SRC_ADDR_ERROR",
    "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED",
    "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",
    "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",
    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",
    "BUSY",
    "PARAM_ERROR",
    "ADDR_ERROR",
    "ADDR_NOT_MAPPED",
    "CMD_LOCKED",
    "INVALID_CODE",
    "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",
    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

NXPSerialClass::~NXPSerialClass() { Disconnect(); }

void NXPSerialClass::Disconnect() {
    if (stream_) vStream_Destroy(&stream_);
}

vErr NXPSerialClass::Connect(const std::string& portName, uint32_t baudRate) {
    Disconnect();
    int index = -1;
    for (uint32_t i = 0; i < kSerialSpeedCount; ++i) {
        if (kSerialBaudRates[i] >= baudRate) {
            index = static_cast<int>(i);
            break;
        }
    }
    if (index < 0) index = vSerial_SpeedIndex(9600);
    baudRate_ = kSerialBaudRates[index];
    Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", portName.c_str(), index,
             static_cast<int>(baudRate_));
    vErr err = vStream_CreateSerial(portName.c_str(), static_cast<uint32_t>(index), 0, 0, 0, &stream_);
    if (err != vErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", portName.c_str(), vError_GetErrorText(err));
        stream_ = nullptr;
        return err;
    }
    if (portName != portName_) portName_ = portName.substr(0, 2047);
    return vErrNone;
}

vErr NXPSerialClass::readByte(uint8_t* byte) {
    if (!stream_) return vErrParam;
    return vStream_Read(stream_, byte, 1);
}

vErr NXPSerialClass::Send(const char* text, bool readEcho) {
    if (!stream_) return vErrParam;
    size_t n = std::strlen(text);
    Log::log(DEBUG_NXPSerial_SR, "Sending:[%s]\n", dump(text, n).c_str());
    vErr err = vStream_Write(stream_, reinterpret_cast<const uint8_t*>(text), n);
    if (err != vErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", vError_GetErrorText(err));
        return err;
    }
    if (readEcho && n > 1) {
        size_t got = 0;
        GetEcho(text, n - 1, &got);
    }
    return err;
}

vErr NXPSerialClass::SendCommand(const char* text, uint32_t waitMs) {
    if (!stream_) return vErrParam;
    size_t n = std::strlen(text);
    Log::log(DEBUG_NXPSerial_SR, "Sending:[%s] [%s]\n", dump(text, n).c_str(), text);
    vErr err = vStream_Write(stream_, reinterpret_cast<const uint8_t*>(text), n);
    if (waitMs > 0) {
        Log::log(DEBUG_NXPSerial, "SendCommand() wait for command completion [%d ms]\n", static_cast<int>(waitMs));
        vTime_MSSleep(waitMs);
    }
    if (err != vErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", vError_GetErrorText(err));
        Log::log(DEBUG_NXPSerial, "Error Write Serial [%s]\n", vError_GetErrorText(err));
        return err;
    }
    if (echo_ && n > 1) {
        size_t got = 0;
        GetEcho(text, n - 1, &got);
        if (got != n - 1)
            Log::log(DEBUG_NXPSerial_E, "Error SendCommand() bad echo [%d!=%d]\n", static_cast<int>(got),
                     static_cast<int>(n - 1));
    }
    return err;
}

vErr NXPSerialClass::Response(char* buffer, size_t size, size_t* count, const char* expected,
                              size_t expectedLength) {
    *count = 0;
    if (size == 0) return vErrParam;
    size_t take = expected ? expectedLength : size - 1;
    if (take > size - 1) take = size - 1;
    uint32_t wait = waitTimeMs(expectedLength, baudRate_) + 20;
    Log::log(DEBUG_NXPSerial_E, "Response() wait for serial [%d bytes, %d, %d ms]\n", static_cast<int>(take),
             static_cast<int>(baudRate_), static_cast<int>(wait));
    vTime_MSSleep(wait);

    vErr err = vErrNone;
    int misses = 0, term = 0;
    while (*count < take && term < 2) {
        uint8_t c = 0;
        err = readByte(&c);
        if (err == vErrNotReady) {
            if (++misses >= kMissLimit) break;
            vTime_MSSleep(1);
            Log::log(DEBUG_NXPSerial_E, ".");
            continue;
        }
        if (err != vErrNone) break;
        if (*count == 0 && (c == '\n' || c == '\r')) {
            Log::log(DEBUG_NXPSerial_E, c == '\n' ? "Response ignoring leading \\n\n" : "Response ignoring leading \\r\n");
            continue;
        }
        if (*count < 3 && c == 0) {
            Log::log(DEBUG_NXPSerial_E, "Response ignoring leading 0 byte\n");
            continue;
        }
        if (expected && *count < expectedLength && static_cast<uint8_t>(expected[*count]) != c)
            Log::log(DEBUG_NXPSerial_E,
                     "Error Test_Serial_Response() Expected byte %d does not match [[%02X] %c != %c [%02X]]\n",
                     static_cast<int>(*count), c, std::isprint(c) ? c : ' ', expected[*count],
                     static_cast<uint8_t>(expected[*count]));
        buffer[(*count)++] = static_cast<char>(c);
        term = (c == '\r') ? 1 : (term == 1 && c == '\n') ? 2 : 0;
    }
    buffer[*count] = '\0';
    Log::log(DEBUG_NXPSerial_SR, "Response: [%s]\n", dump(buffer, *count).c_str());
    return err;
}

vErr NXPSerialClass::GetLine(char* buffer, size_t size, size_t* count, int budget) {
    *count = 0;
    if (size == 0) return vErrParam;
    vErr err = vErrNone;
    int term = 0;
    while (*count < size - 1 && term < 2 && budget > 0) {
        uint8_t c = 0;
        err = readByte(&c);
        if (err == vErrNotReady) {
            --budget;
            vTime_MSSleep(1);
            Log::log(DEBUG_NXPSerial_E, ".");
            continue;
        }
        if (err != vErrNone) break;
        if (*count == 0 && c == '\n') {
            --budget;
            vTime_MSSleep(1);
            Log::log(DEBUG_NXPSerial_E, ",");
            continue;
        }
        buffer[(*count)++] = static_cast<char>(c);
        term = (c == '\r') ? 1 : (term == 1 && c == '\n') ? 2 : 0;
    }
    buffer[*count] = '\0';
    Log::log(DEBUG_NXPSerial_SR, "GetLine() Received: [%s] %d %s [%s]\n", dump(buffer, *count).c_str(),
             static_cast<int>(*count), term == 2 ? "term" : "non-term", vError_GetErrorText(err));
    return err;
}

vErr NXPSerialClass::GetEcho(const char* expected, size_t length, size_t* count) {
    *count = 0;
    vErr err = vErrNone;
    int misses = 0;
    while (*count < length && misses < kMissLimit) {
        uint8_t c = 0;
        err = readByte(&c);
        if (err == vErrNotReady) {
            ++misses;
            vTime_MSSleep(1);
            continue;
        }
        if (err != vErrNone) break;
        if (c == static_cast<uint8_t>(expected[*count])) {
            Log::log(DEBUG_NXPSerial_E, " %02X", c);
            ++*count;
        } else {
            Log::log(DEBUG_NXPSerial_E, " %02X!=%02X", c, static_cast<uint8_t>(expected[*count]));
        }
    }
    return err;
}

size_t NXPSerialClass::GetErrorIndex(size_t lineLength) const {
    return (echo_ && lineLength > 2) ? lineLength - 3 : 0;
}

// Sends a command and judges the return-code line that answers it.
vErr NXPSerialClass::judged(const char* command, const char* failureFormat, int budget) {
    vErr err = SendCommand(command, 0);
    if (err != vErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", command, vError_GetErrorText(err));
        return err;
    }
    char line[64];
    size_t n = 0;
    GetLine(line, sizeof line, &n, budget);
    if (n == 0 || line[GetErrorIndex(n)] != '0') {
        Log::log(DEBUG_NXPSerial, failureFormat, GetErrorText(line));
        return vErrParam;
    }
    return vErrNone;
}

// A part synchronised by an earlier connection takes "?" as the start of a command
// line: it echoes it (when its echo is on) and says nothing else. End the line; a
// return code proves the loader is there, and the echo tells its echo setting.
bool NXPSerialClass::recogniseSynchronised(bool sawEcho) {
    if (Send("\r\n", false) != vErrNone) return false;
    char line[64];
    for (int i = 0; i < 3; ++i) {
        size_t n = 0;
        GetLine(line, sizeof line, &n, kReplyBudget);
        if (n == 0) return false;
        if (isReturnCodeLine(line)) {
            echo_ = sawEcho;
            Log::log(DEBUG_NXPSerial, "Boot loader already synchronised (echo %s)\n", echo_ ? "on" : "off");
            return true;
        }
        if (line[0] == '?' || std::strcmp(line, "\r\n") == 0) sawEcho = true;
    }
    return false;
}

vErr NXPSerialClass::Sync() {
    char reply[64];
    size_t n = 0;
    Send("?", false);
    vErr err = Response(reply, sizeof reply, &n, "Synchronized\r\n", 14);
    if (err != vErrNone) {
        // A silent part, or one that only echoed the "?": it may be synchronised already.
        bool echoed = n > 0 && reply[0] == '?';
        if ((n == 0 || echoed) && recogniseSynchronised(echoed)) return vErrNone;
        Log::log(DEBUG_NXPSerial, "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n",
                 vError_GetErrorText(err), reply);
        return err;
    }
    if (std::strncmp(reply, "Synchronized\r\n", 14) != 0)
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s]\n", reply);

    Send("Synchronized\r\n", false);
    Response(reply, sizeof reply, &n, "Synchronized\r\n", 13);
    Response(reply, sizeof reply, &n, "OK\r\n", 4);
    bool ok = std::strncmp(reply, "OK", 2) == 0;
    if (!ok) Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", reply, "OK\r\n");

    char crystal[32];
    std::snprintf(crystal, sizeof crystal, "%d\r\n", static_cast<int>(CRYSTAL_DEFAULT * 1000 + 0.5f));
    Send(crystal, false);
    Response(reply, sizeof reply, &n, crystal, 6);
    err = Response(reply, sizeof reply, &n, "OK\r\n", 4);
    return ok ? err : vErrIO;
}

vErr NXPSerialClass::GetPartNumber(int64_t* number) {
    vErr err = SendCommand("J\r\n", 0);
    if (err != vErrNone) return err;
    char line[64];
    size_t n = 0;
    GetLine(line, sizeof line, &n, kReplyBudget);
    GetLine(line, sizeof line, &n, kReplyBudget);
    *number = std::strtoll(line, nullptr, 0);
    Log::log(DEBUG_NXPSerial, "Device responded with part number: %lld\n", static_cast<long long>(*number));
    return vErrNone;
}

vErr NXPSerialClass::GetBootLoaderVersion(int* first, int* second) {
    vErr err = SendCommand("K\r\n", 0);
    if (err != vErrNone) return err;
    char line[64];
    size_t n = 0;
    GetLine(line, sizeof line, &n, kReplyBudget);
    GetLine(line, sizeof line, &n, kReplyBudget);
    *first = static_cast<int>(std::strtol(line, nullptr, 0));
    GetLine(line, sizeof line, &n, kReplyBudget);
    *second = static_cast<int>(std::strtol(line, nullptr, 0));
    Log::log(DEBUG_NXPSerial, "Device responded with version: %d.%d\n", *first, *second);
    return vErrNone;
}

vErr NXPSerialClass::GetDeviceID() {
    vErr err = SendCommand("N\r\n", 0);
    if (err != vErrNone) return err;
    char line[64];
    size_t n = 0;
    GetLine(line, sizeof line, &n, kReplyBudget);
    for (uint32_t& word : deviceId_) {
        GetLine(line, sizeof line, &n, kReplyBudget);
        word = n ? static_cast<uint32_t>(std::strtoul(line, nullptr, 0)) : 0;
    }
    return vErrNone;
}

vErr NXPSerialClass::SetEcho(bool on) {
    vErr err = judged(on ? "A 1\r\n" : "A 0\r\n");
    if (err == vErrNone) echo_ = on;
    return err;
}

vErr NXPSerialClass::SetBaudRate(uint32_t rate) {
    char cmd[48];
    std::snprintf(cmd, sizeof cmd, "B %u %d\r\n", rate, 1);
    return judged(cmd);
}

vErr NXPSerialClass::Unlock() { return judged("U 23130\r\n"); }

vErr NXPSerialClass::Prepare(int firstSector, int lastSector) {
    if (lastSector < firstSector) return vErrParam;
    char cmd[48];
    std::snprintf(cmd, sizeof cmd, "P %d %d\r\n", firstSector, lastSector);
    return judged(cmd);
}

vErr NXPSerialClass::Erase(int firstSector, int lastSector) {
    if (lastSector < firstSector) return vErrParam;
    char cmd[48];
    std::snprintf(cmd, sizeof cmd, "E %d %d\r\n", firstSector, lastSector);
    return judged(cmd, "Error response ==>[%s]\n",
                  kReplyBudget + kEraseWorstMsPerSector * (lastSector - firstSector + 1));
}

vErr NXPSerialClass::Write(uint32_t address, uint32_t count, const uint8_t* data) {
    if (count == 0 || count % 4) return vErrParam;
    char cmd[48];
    std::snprintf(cmd, sizeof cmd, "W %u %u\r\n", address, count);
    vErr err = SendCommand(cmd, 0);
    if (err != vErrNone) {
        Log::log(DEBUG_NXPSerial, "Write() Error Sending command [%s] [%s]\n", cmd, vError_GetErrorText(err));
        return err;
    }
    char line[128];
    size_t n = 0;
    GetLine(line, sizeof line, &n, kReplyBudget);
    if (n == 0 || line[GetErrorIndex(n)] != '0') {
        Log::log(DEBUG_NXPSerial_SR, "Write() Error response ==>[%s]\n", GetErrorText(line));
        return vErrParam;
    }

    uint32_t position = 0, confirmed = 0;
    int lines = 0, retries = MAX_READ_RETRY;
    while (position < count) {
        uint32_t take = count - position < MAX_BYTES_PER_LINE ? count - position : MAX_BYTES_PER_LINE;
        char uu[128];
        uuencode(uu, data + position, take);
        if ((err = Send(uu, echo_)) != vErrNone || (err = Send("\r\n", echo_)) != vErrNone) return err;
        position += take;
        if (++lines < LINES_PER_CHECKSUM && position < count) continue;

        uint32_t check = sum(data + confirmed, position - confirmed);
        Log::log(DEBUG_NXPSerial, "Write() Checksum: %08X (%d)\n", check, static_cast<int>(check));
        char text[32];
        std::snprintf(text, sizeof text, "%u\r\n", check);
        if ((err = Send(text, echo_)) != vErrNone) return err;
        uint64_t started = vTime_GetMSTicks();
        GetLine(line, sizeof line, &n, kChecksumBudget);
        Log::log(DEBUG_NXPSerial, "Write() waited for checksum %d ms\n",
                 static_cast<int>(vTime_GetMSTicks() - started));
        lines = 0;
        if (std::strcmp(line, "OK\r\n") == 0) {
            confirmed = position;
            Log::log(DEBUG_NXPSerial, "Write() valid transfer of %d of %d (%.0f%%) bytes\n",
                     static_cast<int>(position), static_cast<int>(count), 100.0 * position / count);
        } else if (std::strcmp(line, "RESEND\r\n") == 0) {
            if (--retries == 0) {
                Log::log(DEBUG_NXPSerial, "Write() exceeded retries\n");
                return vErrTimeout;
            }
            position = confirmed;
        } else {
            Log::log(DEBUG_NXPSerial, "Write() unexpected response [%s]\n", line);
            return vErrIO;
        }
    }
    return vErrNone;
}

vErr NXPSerialClass::Read(uint32_t address, uint32_t count, uint8_t* data) {
    if (count == 0 || count % 4) return vErrParam;
    char cmd[48];
    std::snprintf(cmd, sizeof cmd, "R %u %u\r\n", address, count);
    vErr err = judged(cmd);
    if (err != vErrNone) return err;

    uint32_t position = 0, confirmed = 0;
    int lines = 0, retries = MAX_READ_RETRY;
    char line[128];
    size_t n = 0;
    while (position < count) {
        GetLine(line, sizeof line, &n, kReplyBudget);
        if (n == 0) return vErrNotReady;
        position += static_cast<uint32_t>(uudecode(data + position, count - position, line));
        if (++lines < LINES_PER_CHECKSUM && position < count) continue;

        GetLine(line, sizeof line, &n, kReplyBudget);
        uint32_t theirs = static_cast<uint32_t>(std::strtoul(line, nullptr, 10));
        lines = 0;
        if (theirs == sum(data + confirmed, position - confirmed)) {
            Send("OK\r\n", false);
            // A loader without echo goes straight on with the next lines.
            if (echo_) {
                char echo[8];
                Response(echo, sizeof echo, &n, "OK\r\n", position < count ? 3 : 4);
            }
            confirmed = position;
            Log::log(DEBUG_NXPSerial, "valid receipt of %d of %d (%.0f%%) bytes\n", static_cast<int>(position),
                     static_cast<int>(count), 100.0 * position / count);
        } else {
            if (--retries == 0) return vErrTimeout;
            if ((err = Send("RESEND\r\n", echo_)) != vErrNone) return err;
            position = confirmed;
        }
    }
    return vErrNone;
}

vErr NXPSerialClass::CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count) {
    bool sizeOk = false;
    for (uint32_t s : kCopySizes) sizeOk = sizeOk || s == count;
    if (flashAddress % 256 || !sizeOk) return vErrParam;
    char cmd[64];
    std::snprintf(cmd, sizeof cmd, "C %u %u %u\r\n", flashAddress, ramAddress, count);
    return judged(cmd, "Error response ==>[%s]\n",
                  kReplyBudget + kProgramWorstMsPer256 * static_cast<int>(count / 256));
}

vErr NXPSerialClass::ExecuteFrom(uint32_t address) {
    char cmd[48];
    std::snprintf(cmd, sizeof cmd, "G %u T\r\n", address);
    return SendCommand(cmd, 0);
}

const char* NXPSerialClass::GetErrorText(const char* reply) {
    long code = std::strtol(reply, nullptr, 0);
    if (code < 0 || code > MAX_ERROR) return ERROR_TEXT[MAX_ERROR];
    return ERROR_TEXT[code];
}

uint32_t NXPSerialClass::CopyLength(uint32_t n) {
    for (uint32_t s : kCopySizes)
        if (n <= s) return s;
    Log::log(DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", static_cast<int>(n));
    return n;
}

int NXPSerialClass::SectorFromAddress(uint32_t address) {
    for (const auto& r : NXP_LPC17XX_sectors)
        if (address >= r.start && address < r.start + r.size * static_cast<uint32_t>(r.count))
            return r.first + static_cast<int>((address - r.start) / r.size);
    return kSectorBeyondFlash;
}

uint32_t NXPSerialClass::sum(const uint8_t* data, size_t n) {
    uint32_t total = 0;
    for (size_t i = 0; i < n; ++i) total += data[i];
    return total;
}

char NXPSerialClass::uuchar(uint32_t v) { return v == 0 ? 0x60 : static_cast<char>(0x20 + (v & 0x3F)); }

void NXPSerialClass::uuencode(char* out, const uint8_t* data, size_t n) {
    *out++ = uuchar(static_cast<uint32_t>(n));
    for (size_t i = 0; i < n; i += 3) {
        uint32_t v = static_cast<uint32_t>(data[i]) << 16 | (i + 1 < n ? data[i + 1] : 0) << 8 |
                     (i + 2 < n ? data[i + 2] : 0);
        for (int shift = 18; shift >= 0; shift -= 6) *out++ = uuchar((v >> shift) & 0x3F);
    }
    *out = '\0';
}

size_t NXPSerialClass::uudecode(uint8_t* out, size_t capacity, const char* line) {
    if (!line[0]) return 0;
    size_t n = (static_cast<uint8_t>(line[0]) - 0x20) & 0x3F;
    if (n > capacity) return 0;
    size_t stored = 0;
    for (const char* p = line + 1; stored < n; p += 4) {
        if (!p[0] || !p[1] || !p[2] || !p[3]) {
            Log::log(DEBUG_NXPSerial, "Error buffer overrun\n");
            break;
        }
        uint32_t v = 0;
        for (int k = 0; k < 4; ++k) v = (v << 6) | ((static_cast<uint8_t>(p[k]) - 0x20) & 0x3F);
        for (int shift = 16; shift >= 0 && stored < n; shift -= 8) out[stored++] = static_cast<uint8_t>(v >> shift);
    }
    return n;
}

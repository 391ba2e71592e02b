// The parsed command line and the parser that fills it.
#pragma once

#include <cstdint>
#include <string>

class UpdaterDisplayInterface;

// Command bits; several may be given, main runs them in a fixed order.
enum COMMANDS : uint32_t {
    CMD_DISCOVER = 0x00000001,    // -D
    CMD_UPDATE = 0x00000002,      // -U
    CMD_LIST_BUILDS = 0x00000004, // -B
    CMD_GET = 0x00000008,         // -G
    CMD_INFO = 0x00000010,        // -I
    CMD_CHECK = 0x00000020,       // -C
    CMD_FINGERPRINT = 0x00000040, // -N
    CMD_Z = 0x00000080,           // -Z
    CMD_JWT = 0x00000100,         // -J
    CMD_LIST_LOCAL = 0x00000200,  // -L
    CMD_HELP = 0x80000000,        // -h, -H, --help
};

// Every command bit from CMD_DISCOVER to CMD_LIST_LOCAL.
constexpr uint32_t CMD_ANY_COMMAND = 0x000003FF;

class CommandsClass {
public:
    void Set(COMMANDS c) { bits |= c; }
    // True when any bit of `c` is set.
    bool IsSet(uint32_t c) const { return (bits & c) != 0; }
    uint32_t bits = 0;
};

// Values of Parameters::transport besides the linkType values USB (1) and TCPIP (2).
constexpr uint32_t kTransportInvalid = 0;
constexpr uint32_t kTransportRecover = 255;

struct Parameters {
    CommandsClass commands;
    uint32_t serialNumber = 0;       // -d; 0 when none given
    uint32_t routerSerialNumber = 0; // -r; 0 for a direct connection
    uint32_t transport = 1;          // -t: 1 USB, 2 TCP/IP, 255 recover, 0 invalid
    bool transportGiven = false;
    std::string serialPort;          // -s
    uint32_t baudRate = 115200;      // -o
    uint8_t moduleAddress = 0;       // 0: not known
    std::string birdFile;            // -f
    std::string buildNumber;         // -b as decimal text; replaced by -G's result
    std::string serverUrl;           // -u; the default update server otherwise
    std::string storageDirectory;    // -i; completed by main
    bool override = false;           // -OVERRIDE
    bool ueiBytesLoad = true;        // -m
    uint32_t debugMask = 0;          // -X
    bool debugMaskGiven = false;
    bool helpRequested = false;      // -h, -H, --help
};

// The update server used when -u is not given.
const char* DefaultServerUrl();

// Fills `params` from the command line, showing every error through the display.
// Returns 1 when any word produced an error (all words are still parsed), else 0.
// A help option ends parsing at once.
int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params);

// The text read in base 16 (cut to its low 32 bits) when every character is a
// hexadecimal digit; 0 otherwise, and for an empty text. *end (when not null) is set
// to the end of the text on success, to its start otherwise.
uint32_t _get_hex_arg(const char* text, char** end);
// The same in base 10.
uint32_t _get_int_arg(const char* text, char** end);

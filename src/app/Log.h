// Process-wide diagnostic log. Each line names one package; only lines whose
// package is active (the -X mask) reach the log stream.
#pragma once

#include <cstdint>
#include <cstdio>

enum LogPackage : uint32_t {
    DEBUG_Updater = 0x00000001,      // update orchestration, store, option prefixes
    DEBUG_History = 0x00000002,
    DEBUG_Attributes = 0x00000004,   // settings files
    DEBUG_BirdFile = 0x00000008,     // BIRD files
    DEBUG_ServerComm = 0x00000020,   // HTTP and update-server queries
    DEBUG_Network = 0x00000100,      // discovery by serial number, reconnection, LPC recovery
    DEBUG_Network_SR = 0x00000200,
    DEBUG_Network_FIRM = 0x00000400, // upgrade entity protocol trace
    DEBUG_NXPSerial = 0x00001000,    // LPC serial ISP
    DEBUG_NXPSerial_E = 0x00002000,  // LPC serial ISP echo handling
    DEBUG_NXPSerial_SR = 0x00004000, // LPC serial ISP send and receive
    DEBUG_APP = 0x00010000,          // main and command-level events
    DEBUG_iMXSerial = 0x10000000,    // i.MX serial download protocol
};

// Only static members: constructing a Log does nothing.
class Log {
public:
    // Longest line written; longer results are cut to this many characters.
    static constexpr size_t kMaxLine = 2047;

    // Writes the formatted line (with no added line break) when `package` is 0 or
    // shares a bit with the active mask and an output stream is set. One write call
    // per line, so lines from two threads never interleave.
    static void log(uint32_t package, const char* format, ...)
        __attribute__((format(printf, 2, 3)));

    // Sets the log stream; null silences the log.
    static void SetOutput(FILE* stream);
    static void ActivatePackage(uint32_t bits);
    static void DeactivatePackage(uint32_t bits);

    // Whether a line of `package` would be written (null stream aside).
    static bool IsActive(uint32_t package);

    static uint32_t package_bitmask;
    static FILE* fh;
};

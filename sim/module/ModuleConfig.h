// What a virtual module presents and how it misbehaves: the per-module settings of
// the virtual module library and of tandril-sim, and the parser of the program's
// "key=value,key=value" module descriptions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tandril::sim {

// Faults on demand. Counters start at 1 and each knob fires once (0 = off).
struct Faults {
    unsigned dropAnswer = 0;          // the N-th answer is never sent
    unsigned delayAnswer = 0;         // the N-th answer leaves delayMs late (later ones queue behind it)
    unsigned delayMs = 0;
    unsigned wrongDataCount = 0;      // the N-th DATA takes nothing and reports one byte fewer
    unsigned wrongSum = 0;            // the N-th SUM reports the loader's sum plus one
    unsigned refuseWrite = 0;         // the N-th WRITE fails with status 1 and writes nothing
    bool noLoadEcho = false;          // LOAD is never echoed
    unsigned disconnectAtData = 0;    // the link drops right after the N-th upgrade data packet
    unsigned garbageBefore = 0;       // garbage bytes go out right before the N-th answer
    unsigned heartbeatsStopAfter = 0; // no heartbeat after the N-th one
};

struct ModuleConfig {
    uint32_t serial = 0x00A1B2C3;
    uint8_t model = 0x13;
    uint8_t address = 2;                // own module address: even, not 0
    uint32_t version = 0x2F020F00;      // packed firmware version (2.15.0)
    uint32_t build = 1000;
    std::string name = "Virtual Module";
    uint32_t features = 0x80000000;     // protocol-feature word; bit 31: pooled writes accepted
    bool ueiData = true;                // accepts firmware data as UEI byte transfers
    uint8_t routerAddress = 0;          // system option 2
    uint32_t identifiers[4] = {0x11111111, 0x22222222, 0x33333333, 0x44444444}; // option 39
    uint32_t newVersion = 0;            // version after a reboot into received firmware (0: version + 1 patch)
    uint32_t newBuild = 0;              // build after that reboot (0: build + 1)
    unsigned heartbeatMs = 1000;        // heartbeat period; 0 sends none
    unsigned loadOfflineMs = 0;         // after LOAD the module leaves the bus this long (0: stays)
    unsigned rebootOfflineMs = 300;     // after REBOOT, reset or a dropped link it is away this long
    uint32_t loadBase = 0x10000000;     // reported in the INIT echo
    uint16_t blockSize = 256;           // the loader's block size, reported to PREPARE
    bool ramLoader = false;             // a RAM loader started by a boot ROM: takes firmware without INIT and LOAD
    Faults faults;
    std::vector<ModuleConfig> subModules; // modules on its I2C network; a router when not empty
};

// Parses "a.b.c" into a packed version word, or takes a number (0x... or decimal)
// as the word itself. False for anything else.
bool parseVersion(const std::string& text, uint32_t& word);

// Applies "key=value,key=value,..." to `config` (keys of tandril-sim --help).
// False with `error` naming the bad item; `config` may be partly changed then.
bool applyModuleSpec(const std::string& spec, ModuleConfig& config, std::string& error);

// Checks what the protocol needs of a configuration (even non-zero addresses,
// distinct sub-module addresses, a block size the loader can fill).
bool validateConfig(const ModuleConfig& config, std::string& error);

// The help text of the keys accepted by applyModuleSpec.
const char* moduleSpecHelp();

} // namespace tandril::sim

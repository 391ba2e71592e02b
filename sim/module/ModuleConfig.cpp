#include "ModuleConfig.h"

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "Tandril2/common/vVersion.h"

namespace tandril::sim {

namespace {

// A whole number in C notation (0x.. hexadecimal, decimal) no larger than `max`.
bool parseNumber(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno || *end != '\0' || v > max)
        return false;
    value = v;
    return true;
}

template <typename T>
bool parseInto(const std::string& text, T& out, uint64_t max = static_cast<T>(~T{})) {
    uint64_t v;
    if (!parseNumber(text, max, v))
        return false;
    out = static_cast<T>(v);
    return true;
}

bool parseFlag(const std::string& text, bool& out) {
    if (text.empty() || text == "1" || text == "yes" || text == "on" || text == "true")
        out = true;
    else if (text == "0" || text == "no" || text == "off" || text == "false")
        out = false;
    else
        return false;
    return true;
}

using Setter = std::function<bool(const std::string&, ModuleConfig&)>;

const std::map<std::string, Setter>& setters() {
    static const std::map<std::string, Setter> table = {
        {"serial", [](auto& v, auto& c) { return parseInto(v, c.serial); }},
        {"model", [](auto& v, auto& c) { return parseInto(v, c.model); }},
        {"address", [](auto& v, auto& c) { return parseInto(v, c.address); }},
        {"version", [](auto& v, auto& c) { return parseVersion(v, c.version); }},
        {"build", [](auto& v, auto& c) { return parseInto(v, c.build); }},
        {"name", [](auto& v, auto& c) { c.name = v; return v.size() <= 32; }},
        {"features", [](auto& v, auto& c) { return parseInto(v, c.features); }},
        {"uei-data", [](auto& v, auto& c) { return parseFlag(v, c.ueiData); }},
        {"router", [](auto& v, auto& c) { return parseInto(v, c.routerAddress); }},
        {"ids",
         [](auto& v, auto& c) {
             std::stringstream in(v);
             std::string item;
             for (int i = 0; i < 4; ++i)
                 if (!std::getline(in, item, ':') || !parseInto(item, c.identifiers[i]))
                     return false;
             return !std::getline(in, item, ':');
         }},
        {"new-version", [](auto& v, auto& c) { return parseVersion(v, c.newVersion); }},
        {"new-build", [](auto& v, auto& c) { return parseInto(v, c.newBuild); }},
        {"heartbeat", [](auto& v, auto& c) { return parseInto(v, c.heartbeatMs, 3600000); }},
        {"load-offline", [](auto& v, auto& c) { return parseInto(v, c.loadOfflineMs, 3600000); }},
        {"reboot-offline", [](auto& v, auto& c) { return parseInto(v, c.rebootOfflineMs, 3600000); }},
        {"load-base", [](auto& v, auto& c) { return parseInto(v, c.loadBase); }},
        {"block-size", [](auto& v, auto& c) { return parseInto(v, c.blockSize); }},
        {"drop", [](auto& v, auto& c) { return parseInto(v, c.faults.dropAnswer); }},
        {"delay",
         [](auto& v, auto& c) {
             auto colon = v.find(':');
             return colon != std::string::npos && parseInto(v.substr(0, colon), c.faults.delayAnswer) &&
                    parseInto(v.substr(colon + 1), c.faults.delayMs, 3600000);
         }},
        {"bad-count", [](auto& v, auto& c) { return parseInto(v, c.faults.wrongDataCount); }},
        {"bad-sum", [](auto& v, auto& c) { return parseInto(v, c.faults.wrongSum); }},
        {"refuse-write", [](auto& v, auto& c) { return parseInto(v, c.faults.refuseWrite); }},
        {"no-load-echo", [](auto& v, auto& c) { return parseFlag(v, c.faults.noLoadEcho); }},
        {"disconnect-at", [](auto& v, auto& c) { return parseInto(v, c.faults.disconnectAtData); }},
        {"garbage", [](auto& v, auto& c) { return parseInto(v, c.faults.garbageBefore); }},
        {"hb-stop", [](auto& v, auto& c) { return parseInto(v, c.faults.heartbeatsStopAfter); }},
    };
    return table;
}

} // namespace

bool parseVersion(const std::string& text, uint32_t& word) {
    unsigned part[3];
    char tail;
    if (std::sscanf(text.c_str(), "%u.%u.%u%c", &part[0], &part[1], &part[2], &tail) == 3) {
        if (part[0] > 255 || part[1] > 255 || part[2] > 255 || text.find_first_of("+- ") != std::string::npos)
            return false;
        word = vVersion_Pack(static_cast<uint8_t>(part[0]), static_cast<uint8_t>(part[1]),
                             static_cast<uint8_t>(part[2]));
        return true;
    }
    return parseInto(text, word);
}

bool applyModuleSpec(const std::string& spec, ModuleConfig& config, std::string& error) {
    std::stringstream in(spec);
    std::string item;
    while (std::getline(in, item, ',')) {
        if (item.empty())
            continue;
        auto eq = item.find('=');
        std::string key = item.substr(0, eq);
        std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        auto it = setters().find(key);
        if (it == setters().end()) {
            error = "unknown key \"" + key + "\"";
            return false;
        }
        if (!it->second(value, config)) {
            error = "bad value in \"" + item + "\"";
            return false;
        }
    }
    return true;
}

bool validateConfig(const ModuleConfig& config, std::string& error) {
    auto badAddress = [](uint8_t a) { return a == 0 || (a & 1); };
    std::ostringstream why;
    if (badAddress(config.address))
        why << "module " << std::hex << config.serial << ": address " << std::dec << unsigned(config.address)
            << " is not even and non-zero";
    else if (config.blockSize == 0)
        why << "module " << std::hex << config.serial << ": block size 0 lets no firmware through";
    else if (config.faults.delayAnswer && config.faults.delayMs == 0)
        why << "module " << std::hex << config.serial << ": a delay needs milliseconds (delay=N:MS)";
    std::set<uint8_t> used{config.address};
    for (const auto& sub : config.subModules) {
        if (!why.str().empty())
            break;
        std::string subError;
        if (!sub.subModules.empty())
            why << "module " << std::hex << sub.serial << ": a module behind a router routes for no one";
        else if (!validateConfig(sub, subError))
            why << subError;
        else if (!used.insert(sub.address).second)
            why << "module " << std::hex << sub.serial << ": address " << std::dec << unsigned(sub.address)
                << " is taken on the router's network";
    }
    error = why.str();
    return error.empty();
}

const char* moduleSpecHelp() {
    return "  serial=N          serial number (default 0x00A1B2C3)\n"
           "  model=N           model code (default 0x13)\n"
           "  address=N         module address, even and non-zero (default 2)\n"
           "  version=A.B.C     firmware version (or a packed 32-bit word; default 2.15.0)\n"
           "  build=N           firmware build number (default 1000)\n"
           "  name=TEXT         device name, at most 32 characters, no commas\n"
           "  features=N        protocol-feature word; bit 31 = pooled writes (default 0x80000000)\n"
           "  uei-data=0|1      accept firmware data as UEI byte transfers (default 1)\n"
           "  router=N          value of the router option (system option 2; default 0)\n"
           "  ids=A:B:C:D       the four identifier words of system option 39\n"
           "  new-version=A.B.C version after a reboot into received firmware (default: patch + 1)\n"
           "  new-build=N       build after that reboot (default: build + 1)\n"
           "  heartbeat=MS      heartbeat period, 0 for none (default 1000)\n"
           "  load-offline=MS   after LOAD, leave the bus this long and come back (default 0: stay)\n"
           "  reboot-offline=MS away after REBOOT, reset or a fault disconnect (default 300)\n"
           "  load-base=N       load base reported by INIT (default 0x10000000)\n"
           "  block-size=N      block size the loader asks for in PREPARE (default 256)\n"
           "Faults (N counts from 1; each fires once):\n"
           "  drop=N            never send the N-th answer\n"
           "  delay=N:MS        send the N-th answer MS milliseconds late\n"
           "  bad-count=N       the N-th DATA takes nothing and reports one byte fewer\n"
           "  bad-sum=N         the N-th SUM reports the sum plus one\n"
           "  refuse-write=N    the N-th WRITE fails (status 1)\n"
           "  no-load-echo      never echo LOAD\n"
           "  disconnect-at=N   drop the link on the N-th upgrade data packet\n"
           "  garbage=N         send garbage bytes just before the N-th answer\n"
           "  hb-stop=N         send no heartbeat after the N-th\n";
}

} // namespace tandril::sim

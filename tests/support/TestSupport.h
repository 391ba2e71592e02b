// Helpers shared by the tests: temporary directories, child processes with
// captured output, pseudo-terminal pairs, bounded waits, private networks.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bootrom/RawPty.h"

namespace tandril::test {

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

struct ProcessResult {
    int status = -1;       // exit status, or 128 + signal, or -1 when it could not run
    bool timedOut = false; // killed because it outlived its time-out
    std::string out;
    std::string err;
};

// Runs argv[0] (a path) with its arguments, feeds it `input` on standard input and
// collects both output streams. A child still running after `timeout` is killed.
// `env` entries are added to (or replace in) the inherited environment.
ProcessResult runProcess(const std::vector<std::string>& argv,
                         std::chrono::milliseconds timeout = std::chrono::seconds(60),
                         const std::map<std::string, std::string>& env = {},
                         const std::string& input = "");

// A path inside the build tree (TANDRIL_BUILD_DIR, set by CTest), e.g. "src/updater".
std::string buildPath(const std::string& relative);
// A path inside the source tree (TANDRIL_SOURCE_DIR, set by CTest).
std::string sourcePath(const std::string& relative);

// A pseudo-terminal pair in raw mode; both ends closed on destruction.
using PtyPair = sim::RawPty;

// Polls `done` every few milliseconds until it holds or `timeout` passes.
bool waitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Moves the calling process (before it starts threads) into a network namespace of
// its own: loopback up, and a veth pair kPrivateIfA/kPrivateIfB with addresses
// kPrivateAddrA/kPrivateAddrB, both up, multicast routed through kPrivateIfA.
// Child processes started afterwards inherit it. Returns false with `why` set when
// the namespace cannot be made (not root, no iproute2).
bool enterPrivateNetwork(std::string& why);
inline constexpr const char* kPrivateIfA = "tdv0";
inline constexpr const char* kPrivateIfB = "tdv1";
inline constexpr const char* kPrivateAddrA = "10.77.0.1";
inline constexpr const char* kPrivateAddrB = "10.77.0.2";

} // namespace tandril::test

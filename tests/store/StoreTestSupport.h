// Shared by the store tests: files in a temporary directory, the diagnostic log
// captured into a string, and a full disk imitated by a file-size limit.
#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "app/Log.h"
#include "birdtool/BirdWriter.h"

namespace tandril::test {

// Collects every log line of `packages` written while it lives.
class LogCapture {
public:
    explicit LogCapture(uint32_t packages) : packages_(packages) {
        stream_ = open_memstream(&buffer_, &size_);
        Log::SetOutput(stream_);
        Log::ActivatePackage(packages_);
    }
    ~LogCapture() {
        Log::DeactivatePackage(packages_);
        Log::SetOutput(nullptr);
        std::fclose(stream_);
        std::free(buffer_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() {
        std::fflush(stream_);
        return std::string(buffer_, size_);
    }
    bool contains(const std::string& part) { return text().find(part) != std::string::npos; }

private:
    uint32_t packages_;
    FILE* stream_ = nullptr;
    char* buffer_ = nullptr;
    size_t size_ = 0;
};

// Writes `bytes` as `name` under `dir` and returns the path.
inline std::string putFile(const TempDir& dir, const std::string& name,
                           const birdtool::Bytes& bytes) {
    std::string path = dir.str() + "/" + name;
    birdtool::writeBytes(path, bytes);
    return path;
}

inline std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// The names in `dir`, sorted.
inline std::vector<std::string> entriesOf(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Files may grow to `bytes` at most while it lives: writes beyond fail as on a full disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved_{};
};

} // namespace tandril::test

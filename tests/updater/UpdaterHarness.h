// What the updater's job tests share: a display that records what the user would
// see, BIRD files made for a module, a catalogue served by an in-process virtual
// update server, and the store as files on disk.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "app/UpdaterDisplayInterface.h"
#include "birdtool/BirdWriter.h"
#include "update_server/UpdateServer.h"

namespace tandril::test {

using birdtool::Bytes;

// Keeps every message with its level, and counts progress and spinner calls.
class RecordingDisplay final : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double fraction, const char*) override { lastFraction = fraction; }
    void update_spinner(bool on, const char*) override { spinnerFrames += on ? 1 : 0; }
    void info_message(const char* text) override { lines.push_back(text); }
    void error_message(const char* text) override {
        lines.push_back(text);
        errors.push_back(text);
    }

    bool shows(const std::string& text) const {
        for (const std::string& line : lines)
            if (line == text)
                return true;
        return false;
    }
    std::string all() const {
        std::string text;
        for (const std::string& line : lines)
            text += line + "\n";
        return text;
    }

    std::vector<std::string> lines;
    std::vector<std::string> errors;
    unsigned spinnerFrames = 0;
    double lastFraction = -1.0;
};

// A firmware file for one module. A generic file carries no serial number in its
// information block but names where the serial number goes in the image.
struct FirmwareSpec {
    uint32_t serial = 0;               // information block serial; 0 with generic
    std::string model = "TD-Motor2";
    uint32_t build = 1;
    std::string version = "2.15.1";
    uint32_t loaderAddress = 0x10000000;
    Bytes loader = birdtool::patternBytes(300, 7);
    uint32_t firmwareAddress = 0x00004000;
    std::vector<Bytes> images = {birdtool::patternBytes(1000, 3)};
    bool generic = false;
    uint32_t serialWordOffset = 0x40; // inside the first image, generic files only
};

inline Bytes MakeBird(const FirmwareSpec& spec) {
    birdtool::BirdWriter writer;
    writer.loader(spec.loaderAddress, spec.loader);
    uint32_t address = spec.firmwareAddress;
    for (const Bytes& image : spec.images) {
        writer.firmware(address, image, 1);
        address += static_cast<uint32_t>(image.size()) + 0x1000;
    }
    writer.info(std::to_string(spec.build), spec.version,
                spec.generic ? std::string() : birdtool::serialText(spec.serial), spec.model);
    if (spec.generic)
        writer.serialOffsets(spec.firmwareAddress + spec.serialWordOffset, 0);
    return writer.file();
}

inline std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The value of `key` in a settings file, or "<absent>".
inline std::string SettingOf(const std::filesystem::path& settings, const std::string& key) {
    std::istringstream lines(ReadText(settings));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(key + "=", 0) == 0)
            return line.substr(key.size() + 1);
    }
    return "<absent>";
}

// The catalogue directory of a virtual update server and the server itself.
class ServerCatalogue {
public:
    struct Device {
        uint32_t serial;
        std::string firmware;
        std::map<uint32_t, std::pair<std::string, Bytes>> builds; // build -> (version, file)
        uint32_t current = 0;                                       // 0: the newest
        std::string token = "aa.bb.cc";
    };

    void add(const Device& device) { devices.push_back(device); }

    // Writes the catalogue and starts serving it.
    void start(sim::UpdateServerOptions options = {}) {
        std::ostringstream text;
        for (const Device& device : devices) {
            text << "[device " << birdtool::serialText(device.serial) << "]\n"
                 << "firmware = " << device.firmware << "\n"
                 << "token = " << device.token << "\n";
            for (const auto& [build, entry] : device.builds) {
                const std::string file = birdtool::serialText(device.serial) + "-" +
                                         std::to_string(build) + ".bird";
                birdtool::writeBytes((dir.path() / file).string(), entry.second);
                text << "build = " << build << " " << entry.first << " " << file << "\n";
            }
            if (device.current != 0)
                text << "current = " << device.current << "\n";
        }
        std::ofstream(dir.path() / sim::Catalogue::kFileName) << text.str();
        server = std::make_unique<sim::UpdateServer>(sim::Catalogue::Load(dir.path()), options);
        url = server->url();
    }

    void fault(const std::string& spec) { server->setFault(sim::Fault::Parse(spec)); }

    // How many requests of operation `op` the server saw.
    size_t requestsOf(const std::string& op) const {
        size_t count = 0;
        for (const sim::RequestRecord& request : server->requests()) {
            const auto it = request.params.find("op");
            if (it != request.params.end() && it->second == op)
                ++count;
        }
        return count;
    }

    TempDir dir;
    std::vector<Device> devices;
    std::unique_ptr<sim::UpdateServer> server;
    std::string url;
};

// Nothing listens on port 1 of the loopback address.
inline constexpr const char* kUnreachableUrl = "http://127.0.0.1:1/cgi/u";

// The store as the updater lays it out under `-i <vornic>`.
struct StoreDir {
    TempDir vornic;
    std::filesystem::path root() const { return vornic.path() / "updater"; }
    std::filesystem::path device(uint32_t serial) const { return root() / birdtool::serialText(serial); }
    std::filesystem::path settings(uint32_t serial) const { return device(serial) / ".settings"; }
};

} // namespace tandril::test

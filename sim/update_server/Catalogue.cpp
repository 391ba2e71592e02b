#include "update_server/Catalogue.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace tandril::sim {
namespace {

std::string trim(const std::string& text) {
    const size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return "";
    return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> result;
    for (std::string word; in >> word;) result.push_back(word);
    return result;
}

// A whole number in `base` that fits `max`; throws std::invalid_argument otherwise.
unsigned long number(const std::string& text, int base, unsigned long max, const char* what) {
    char* end = nullptr;
    errno = 0;
    const unsigned long value = text.empty() || text[0] == '-' ? 0 : strtoul(text.c_str(), &end, base);
    if (!end || *end || errno == ERANGE || value > max)
        throw std::invalid_argument("\"" + text + "\" is not " + what);
    return value;
}

uint32_t hexWord(const std::string& text) {
    return static_cast<uint32_t>(number(text, 16, 0xFFFFFFFFul, "a hexadecimal 32-bit number"));
}

class Parser {
public:
    Parser(const std::filesystem::path& dir) { catalogue_.dir = dir; }

    Catalogue parse(const std::string& text) {
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            ++lineNumber_;
            try {
                parseLine(trim(line.substr(0, line.find('#'))));
            } catch (const std::invalid_argument& e) {
                throw std::runtime_error(std::string(Catalogue::kFileName) + ":" + std::to_string(lineNumber_) +
                                         ": " + e.what());
            }
        }
        finishDevice();
        return std::move(catalogue_);
    }

private:
    void parseLine(const std::string& line) {
        if (line.empty()) return;
        if (line.front() == '[') {
            if (line.back() != ']') throw std::invalid_argument("section header without \"]\"");
            startSection(words(line.substr(1, line.size() - 2)));
            return;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) throw std::invalid_argument("expected key = value");
        const std::string key = trim(line.substr(0, eq));
        const std::string value = trim(line.substr(eq + 1));
        if (device_)
            deviceKey(key, value);
        else if (recovery_)
            recoveryKey(key, value);
        else
            throw std::invalid_argument("\"" + key + "\" outside a [device] or [fingerprint] section");
    }

    void startSection(const std::vector<std::string>& header) {
        finishDevice();
        device_ = nullptr;
        recovery_ = nullptr;
        if (header.size() == 2 && header[0] == "device") {
            const uint32_t serial = hexWord(header[1]);
            auto [it, fresh] = catalogue_.devices.try_emplace(serial);
            if (!fresh) throw std::invalid_argument("device " + header[1] + " listed twice");
            device_ = &it->second;
            currentLine_ = 0;
        } else if (header.size() == 5 && header[0] == "fingerprint") {
            FingerprintWords fp{};
            for (size_t i = 0; i < 4; ++i) fp[i] = hexWord(header[i + 1]);
            auto [it, fresh] = catalogue_.fingerprints.try_emplace(fp);
            if (!fresh) throw std::invalid_argument("fingerprint listed twice");
            recovery_ = &it->second;
        } else {
            throw std::invalid_argument("expected [device SERIAL] or [fingerprint W1 W2 W3 W4]");
        }
    }

    void deviceKey(const std::string& key, const std::string& value) {
        if (key == "firmware") {
            device_->firmware = value;
        } else if (key == "token") {
            device_->token = value;
        } else if (key == "current") {
            device_->current = number(value, 10, ~0ul, "a build number");
            currentLine_ = lineNumber_;
        } else if (key == "build") {
            const auto fields = words(value);
            if (fields.size() != 3) throw std::invalid_argument("expected build = NUMBER VERSION FILE");
            const unsigned long build = number(fields[0], 10, ~0ul, "a build number");
            if (!std::filesystem::is_regular_file(catalogue_.dir / fields[2]))
                throw std::invalid_argument("no file " + fields[2] + " in " + catalogue_.dir.string());
            if (!device_->builds.try_emplace(build, CatalogueBuild{fields[1], fields[2]}).second)
                throw std::invalid_argument("build " + fields[0] + " listed twice");
        } else {
            throw std::invalid_argument("unknown device key \"" + key + "\"");
        }
    }

    void recoveryKey(const std::string& key, const std::string& value) {
        if (key == "serial")
            recovery_->serial = hexWord(value);
        else if (key == "build")
            recovery_->build = number(value, 10, ~0ul, "a build number");
        else
            throw std::invalid_argument("unknown fingerprint key \"" + key + "\"");
    }

    // A device answers with its newest build unless it names another, which must be
    // one of its own.
    void finishDevice() {
        if (!device_) return;
        if (currentLine_ == 0) {
            if (!device_->builds.empty()) device_->current = device_->builds.rbegin()->first;
        } else if (!device_->builds.count(device_->current)) {
            throw std::runtime_error(std::string(Catalogue::kFileName) + ":" + std::to_string(currentLine_) +
                                     ": current build " + std::to_string(device_->current) +
                                     " is not one of the device's builds");
        }
    }

    Catalogue catalogue_;
    CatalogueDevice* device_ = nullptr;
    CatalogueRecovery* recovery_ = nullptr;
    int lineNumber_ = 0;
    int currentLine_ = 0;
};

} // namespace

Catalogue Catalogue::Parse(const std::string& text, const std::filesystem::path& dir) {
    return Parser(dir).parse(text);
}

Catalogue Catalogue::Load(const std::filesystem::path& dir) {
    std::ifstream in(dir / kFileName, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + (dir / kFileName).string());
    std::ostringstream text;
    text << in.rdbuf();
    return Parse(text.str(), dir);
}

} // namespace tandril::sim

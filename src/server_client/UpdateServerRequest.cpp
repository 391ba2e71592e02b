#include "server_client/UpdateServerRequest.h"

#include "Tandril2/common/vVersion.h"
#include "app/Log.h"
#include "server_client/HTTPRequest.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <tuple>
#include <utility>

const char* const UpdateServerRequest::default_url = "http://update.vornic.example/cgi/u";

namespace {

using Tokens = std::vector<std::string>;

// The non-empty runs between newlines.
Tokens sSplitLines(const std::string& body) {
    Tokens tokens;
    size_t start = 0;
    while (start < body.size()) {
        size_t end = body.find('\n', start);
        if (end == std::string::npos) end = body.size();
        if (end > start) tokens.push_back(body.substr(start, end - start));
        start = end + 1;
    }
    return tokens;
}

// The text up to the first carriage return or newline.
std::string sUpToLineEnd(const std::string& text) { return text.substr(0, text.find_first_of("\r\n")); }

// Sends one request and splits an accepted answer into `tokens`, the "ok" line first. Logs and returns false for a transport failure, a status other than
// 200 and an answer that does not begin with "ok".
bool sRequest(const char* name, const HTTPRequest::Query& query, const char* url, Tokens& tokens) {
    if (!url) url = UpdateServerRequest::default_url;
    try {
        const HTTPResponse response = HTTPRequest::GET(url, query);
        if (response.get_status() != 200) {
            if (std::string(name) == "ping")
                Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(response.get_status()),
                         response.get_response());
            else
                Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, static_cast<int>(response.get_status()),
                         response.get_response());
            return false;
        }
        Tokens lines = sSplitLines(response.body());
        if (lines.empty() || lines[0].compare(0, 2, "ok") != 0) {
            Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request());
            return false;
        }
        tokens = std::move(lines);
        return true;
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
        return false;
    }
}

std::string sSerialText(unsigned int serial) {
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

// A whole 32-bit number in `base` (0: as strtoul reads it), trailing carriage return
// or blanks allowed.
std::optional<unsigned int> sParseWord(const std::string& text, int base) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const unsigned long value = strtoul(begin, &end, base);
    if (end == begin || errno == ERANGE || value > UINT_MAX || text.find('-') != std::string::npos)
        return std::nullopt;
    for (; *end; ++end)
        if (*end != '\r' && *end != ' ' && *end != '\t') return std::nullopt;
    return static_cast<unsigned int>(value);
}

using VersionKey = std::tuple<uint8_t, uint8_t, uint8_t>;

// The version as three 8-bit numbers, or nothing when it cannot be read.
std::optional<VersionKey> sVersionKey(const std::string& version) {
    const auto parts = UpdateServerRequest::SplitTandrilVersion(version);
    if (parts.empty()) return std::nullopt;
    try {
        // Versions are three bytes on the modules too, so 256 reads as 0.
        return VersionKey(static_cast<uint8_t>(std::stoi(parts[0])), static_cast<uint8_t>(std::stoi(parts[1])),
                          static_cast<uint8_t>(std::stoi(parts[2])));
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion", e.what());
        return std::nullopt;
    }
}

} // namespace

bool UpdateServerRequest::ping(const char* url) {
    Tokens tokens;
    return sRequest("ping", {{"op", "hi"}, {"rv", "2"}}, url, tokens);
}

bool UpdateServerRequest::QueryBuild(unsigned int serial, std::string& build, std::string& firmware,
                                     const char* url) {
    Tokens tokens;
    if (!sRequest("QueryBuild", {{"op", "qu"}, {"sn", sSerialText(serial)}}, url, tokens)) return false;
    if (tokens.size() > 1) build = tokens[1];
    if (tokens.size() > 2) firmware = sUpToLineEnd(tokens[2]);
    return true;
}

bool UpdateServerRequest::GetBuild(unsigned int serial, const char* firmware, const char* build,
                                   std::string& payload, const char* url, bool noCal) {
    const HTTPRequest::Query query{{"bld", build ? build : ""},
                                   {"fw", firmware ? firmware : ""},
                                   {"no_cal", noCal ? "true" : "false"},
                                   {"op", "bird"},
                                   {"sn", sSerialText(serial)}};
    Tokens tokens;
    if (!sRequest("GetBuild", query, url, tokens)) return false;
    payload.clear();
    // A server that ends its lines with "\r\n" must not leave a stray character on
    // the payload, which would make the whole download undecodable.
    if (tokens.size() > 1) payload = sUpToLineEnd(tokens[1]);
    return true;
}

bool UpdateServerRequest::GetBuildList(unsigned int serial, std::map<std::string, std::string>& builds,
                                       const char* url) {
    static const char* const kName = "GetBuildList";
    Tokens tokens;
    if (!sRequest(kName, {{"op", "builds"}, {"sn", sSerialText(serial)}}, url, tokens)) return false;
    builds.clear();
    for (size_t i = 1; i < tokens.size(); ++i) {
        const std::string& entry = tokens[i];
        if (entry.size() < 3) continue;
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", kName, entry.c_str());
        // Fields are the non-empty runs between ";", carriage returns and newlines.
        std::vector<std::string> fields;
        size_t start = 0;
        while (fields.size() < 2 && start < entry.size()) {
            size_t end = entry.find_first_of(";\r\n", start);
            if (end == std::string::npos) end = entry.size();
            if (end > start) fields.push_back(entry.substr(start, end - start));
            start = end + 1;
        }
        if (fields.empty()) continue;
        const std::string version = fields.size() > 1 ? fields[1] : std::string();
        builds.emplace(fields[0], version);
        Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", kName, fields[0].c_str(), version.c_str());
    }
    return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const unsigned int* fingerprint, unsigned int* serial,
                                          unsigned int* build, const char* url) {
    static const char* const kName = "GetRecoveryInfo";
    char fp[64];
    snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1], fingerprint[2],
             fingerprint[3]);
    Tokens tokens;
    if (!sRequest(kName, {{"brief", "true"}, {"fp", fp}, {"op", "fix"}}, url, tokens)) return false;
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", kName, tokens[0].c_str(),
             tokens.size() > 1 ? tokens[1].c_str() : "", tokens.size() > 2 ? tokens[2].c_str() : "");
    // A garbled answer must not turn into serial number 0 or a cut-off build.
    std::optional<unsigned int> newSerial, newBuild;
    if (tokens.size() > 1 && !(newSerial = sParseWord(tokens[1], 16))) {
        Log::log(DEBUG_ServerComm, "%s: serial number [%s] is not a number\n", kName, tokens[1].c_str());
        return false;
    }
    if (tokens.size() > 2 && !(newBuild = sParseWord(tokens[2], 0))) {
        Log::log(DEBUG_ServerComm, "%s: build [%s] is not a number\n", kName, tokens[2].c_str());
        return false;
    }
    if (newSerial) *serial = *newSerial;
    if (newBuild) *build = *newBuild;
    return true;
}

bool UpdateServerRequest::GetDeviceJWT(unsigned int serial, std::string& token, const char* url) {
    static const char* const kName = "GetDeviceJWT";
    Tokens tokens;
    if (!sRequest(kName, {{"json", "false"}, {"op", "ent_jwt"}, {"sn", sSerialText(serial)}}, url, tokens))
        return false;
    if (tokens.size() < 2 || tokens[1].size() <= 2) return false;
    const std::string& entry = tokens[1];
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", kName, entry.c_str());
    const size_t dot1 = entry.find('.');
    const size_t dot2 = dot1 == std::string::npos ? std::string::npos : entry.find('.', dot1 + 1);
    if (dot2 == std::string::npos) return false;
    const std::string header = entry.substr(0, dot1);
    const std::string body = entry.substr(dot1 + 1, dot2 - dot1 - 1);
    const std::string signature = sUpToLineEnd(entry.substr(dot2 + 1));
    if (header.size() < 2 || body.size() < 2 || signature.size() < 2) return false;
    token = header + "." + body + "." + signature;
    return true;
}

std::vector<std::string> UpdateServerRequest::SplitTandrilVersion(std::string version) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t dot = version.find('.', start);
        parts.push_back(version.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (parts.size() != 3) parts.clear();
    return parts;
}

std::vector<std::pair<std::string, std::string>> UpdateServerRequest::SortBuildsByVersion(
    const std::map<std::string, std::string>& builds) {
    struct Entry {
        std::pair<std::string, std::string> build;
        std::optional<VersionKey> key;
    };
    std::vector<Entry> entries;
    entries.reserve(builds.size());
    for (const auto& build : builds) entries.push_back({build, sVersionKey(build.second)});

    // Readable versions newest first, then the unreadable ones; all unreadable
    // versions are equivalent, which keeps this a strict weak ordering, and the stable
    // sort keeps the build order among equivalents.
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (!a.key || !b.key) return a.key.has_value() && !b.key.has_value();
        const auto& [aMajor, aMinor, aPatch] = *a.key;
        const auto& [bMajor, bMinor, bPatch] = *b.key;
        return !vVersion_IsAtLeastCompare(bMajor, bMinor, bPatch, aMajor, aMinor, aPatch);
    });
    std::vector<std::pair<std::string, std::string>> sorted;
    sorted.reserve(entries.size());
    for (auto& entry : entries) sorted.push_back(std::move(entry.build));
    return sorted;
}

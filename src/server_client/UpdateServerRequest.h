// The update server's query protocol: one GET per operation, a line-oriented text
// answer whose first line begins with "ok". Every operation returns false when the
// server cannot be reached, answers with a status other than 200, or refuses; the
// reason goes to the diagnostic log (DEBUG_ServerComm). Nothing here throws.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "server_client/base64.h"

class UpdateServerRequest {
public:
    // The maker's update server; used whenever an operation's `url` is null.
    static const char* const default_url;

    // Whether the server answers at all.
    static bool ping(const char* url);

    // The device's current build (the text as sent, a trailing carriage return
    // included) and its firmware name; each set only when the answer carries it.
    static bool QueryBuild(unsigned int serial, std::string& build, std::string& firmware, const char* url);

    // The BIRD file of `build` in base64, one line. `payload` is cleared once the
    // answer is accepted and stays empty when the answer holds no payload line.
    static bool GetBuild(unsigned int serial, const char* firmware, const char* build, std::string& payload,
                         const char* url, bool noCal);

    // Build number text -> version text of every build the server offers for the
    // device; the first entry of a duplicated build wins. `builds` is cleared once
    // the answer is accepted.
    static bool GetBuildList(unsigned int serial, std::map<std::string, std::string>& builds, const char* url);

    // Serial number and recovery build of the device whose boot ROM reported the four
    // words at `fingerprint`; each set only when the answer carries it. Fails, leaving
    // both unchanged, when a value the answer carries is not a 32-bit number.
    static bool GetRecoveryInfo(const unsigned int* fingerprint, unsigned int* serial, unsigned int* build,
                                const char* url);

    // The device's signed token "header.payload.signature"; false (token unchanged)
    // when the answer holds no such token.
    static bool GetDeviceJWT(unsigned int serial, std::string& token, const char* url);

    // The builds as (build, version) pairs, newest version first; among equal versions
    // and for the entries whose version cannot be read (which come last) the build
    // text order is kept.
    static std::vector<std::pair<std::string, std::string>> SortBuildsByVersion(
        const std::map<std::string, std::string>& builds);

    // The three "."-separated parts of a version text, or an empty vector when it does
    // not have exactly three.
    static std::vector<std::string> SplitTandrilVersion(std::string version);
};

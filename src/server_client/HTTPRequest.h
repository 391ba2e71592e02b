// One HTTP GET with the parameters in the query string and the whole answer body
// collected in memory. The status code is not judged here.
#pragma once

#include "server_client/HTTPResponse.h"

#include <map>
#include <string>

class HTTPRequest {
public:
    using Query = std::map<std::string, std::string>;

    // Requests `url` with `query` appended (see BuildURL) and returns the answer,
    // whatever its status. Throws std::runtime_error with "Could not create curl
    // instance", or with libcurl's text when the transfer fails: no connection, name
    // resolution, TLS, a truncated answer, or no progress for StallTimeout() seconds.
    // Safe to call from several threads at once.
    static HTTPResponse GET(const char* url, const Query& query);

    // `url`, then, when `query` is not empty, "?" and every pair in key order as
    // key "=" value "&" (the last pair too). Words, digits, "%" escapes and the
    // characters "-._~" go in as they are; any other byte is sent as a "%XX" escape
    // so that a value can never split or end the query.
    static std::string BuildURL(const char* url, const Query& query);

    // Seconds without a single byte arriving after which a transfer is abandoned.
    // The default is kDefaultStallSeconds, or the environment variable
    // TANDRIL_HTTP_STALL_SECONDS when it holds a positive number; a positive value
    // set here overrides both, 0 restores them.
    static void SetStallTimeout(long seconds);
    static long StallTimeout();
    static constexpr long kDefaultStallSeconds = 60;
};

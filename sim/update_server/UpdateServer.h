// A virtual update server: answers the query protocol on "/cgi/u" from a Catalogue,
// over real HTTP on a local address, with switchable faults. Runs on its own threads
// from construction to destruction; usable in-process by tests and by the
// tandril-update-server program.
#pragma once

#include "update_server/Catalogue.h"

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tandril::sim {

struct Fault {
    enum class Kind {
        None,
        Status,    // the normal body with `status` as the HTTP status
        NotOk,     // status 200, a body whose first line is not "ok"
        Empty,     // status 200, no body at all
        Truncated, // announces the whole body, sends half of it, closes the connection
        BadBase64, // firmware payloads carry a character outside the base64 alphabet
        Slow,      // waits `delayMs` before answering and between the 16 parts of the body
        Stall,     // reads the request and never answers (until the fault changes or the server stops)
        Canned,    // answers `status` with `body` whatever was asked
    };
    Kind kind = Kind::None;
    int status = 500;
    int delayMs = 0;
    std::string body;
    std::string op; // only requests with this "op" are affected; empty: all

    // Reads the program's --fault text: none, status:CODE, notok, empty, truncated,
    // badbase64, slow:MS, stall or canned:CODE:TEXT (TEXT with \n, \r and \\ escapes),
    // each optionally followed by @OP. Throws std::invalid_argument.
    static Fault Parse(const std::string& text);
};
const char* toString(Fault::Kind kind);

// One request as the server saw it.
struct RequestRecord {
    std::string target;                        // path and query string as received
    std::map<std::string, std::string> params; // decoded query parameters
    int status = 0;                            // status answered (0: none, e.g. stalled)
    Fault::Kind fault = Fault::Kind::None;     // the fault applied to it
};

struct UpdateServerOptions {
    std::string host = "127.0.0.1";
    int port = 0;             // 0: any free port
    bool crlf = false;        // end answer lines with "\r\n" instead of "\n"
    FILE* log = nullptr;      // one line per request; null: no log
    Fault fault;
};

class UpdateServer {
public:
    // Binds and starts serving. Throws std::runtime_error when the address cannot be bound.
    explicit UpdateServer(Catalogue catalogue, UpdateServerOptions options = {});
    // Releases stalled and slow answers, stops and joins every server thread.
    ~UpdateServer();
    UpdateServer(const UpdateServer&) = delete;
    UpdateServer& operator=(const UpdateServer&) = delete;

    // "http://HOST:PORT/cgi/u".
    std::string url() const;
    int port() const;

    // Applies to requests that arrive from now on; releases requests held by Stall.
    void setFault(const Fault& fault);
    // Every request answered or held so far, in arrival order.
    std::vector<RequestRecord> requests() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace tandril::sim

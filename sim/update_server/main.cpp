// tandril-update-server: serves the update server's query protocol from a catalogue
// directory until interrupted. Prints its URL on the first line of standard output and
// one line per request on standard error.
#include "update_server/UpdateServer.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

namespace {

const char* kUsage =
    "usage: tandril-update-server --catalogue DIR [--host ADDR] [--port N] [--crlf] [--fault SPEC]\n"
    "  --catalogue DIR  directory holding catalogue.txt and the BIRD files it names\n"
    "  --host ADDR      address to listen on (default 127.0.0.1)\n"
    "  --port N         port to listen on (default: any free port)\n"
    "  --crlf           end answer lines with CR LF instead of LF\n"
    "  --fault SPEC     misbehave: none, status:CODE, notok, empty, truncated, badbase64,\n"
    "                   slow:MS, stall or canned:CODE:TEXT, optionally followed by @OP\n"
    "                   to affect only requests with that op (e.g. stall@bird)\n";

int usageError(const std::string& why) {
    fprintf(stderr, "tandril-update-server: %s\n%s", why.c_str(), kUsage);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    using namespace tandril::sim;
    std::string catalogueDir;
    UpdateServerOptions options;
    options.log = stderr;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--crlf") {
            options.crlf = true;
            continue;
        }
        if (i + 1 >= argc) return usageError(arg + " needs a value");
        const std::string value = argv[++i];
        try {
            if (arg == "--catalogue")
                catalogueDir = value;
            else if (arg == "--host")
                options.host = value;
            else if (arg == "--port")
                options.port = std::stoi(value);
            else if (arg == "--fault")
                options.fault = Fault::Parse(value);
            else
                return usageError("unknown option " + arg);
        } catch (const std::exception& e) {
            return usageError(arg + " " + value + ": " + e.what());
        }
    }
    if (catalogueDir.empty()) return usageError("--catalogue is required");

    // Blocked before the server starts its threads, so that only sigwait sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        UpdateServer server(Catalogue::Load(catalogueDir), options);
        printf("%s\n", server.url().c_str());
        fflush(stdout);
        int signal = 0;
        sigwait(&stopSignals, &signal);
    } catch (const std::exception& e) {
        fprintf(stderr, "tandril-update-server: %s\n", e.what());
        return 1;
    }
    return 0;
}

#include "update_server/UpdateServer.h"

#include <httplib.h>
#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tandril::sim {
namespace {

constexpr const char* kPath = "/cgi/u";
constexpr size_t kSlowParts = 16;

struct Answer {
    int status = 200;
    std::vector<std::string> lines; // joined with the line end, one after each line
};

Answer refuse(const std::string& why) { return {200, {"error: " + why}}; }

std::string base64(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(n));
    return text;
}

bool parseHex(const std::string& text, uint32_t& value) {
    if (text.empty() || text.size() > 8 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    value = static_cast<uint32_t>(std::stoul(text, nullptr, 16));
    return true;
}

std::string unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        out += c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    return out;
}

int parseNumber(const std::string& text, const char* what) {
    size_t used = 0;
    int value = -1;
    try {
        value = std::stoi(text, &used);
    } catch (const std::exception&) {
    }
    if (text.empty() || used != text.size() || value < 0)
        throw std::invalid_argument(std::string("fault: ") + what + " \"" + text + "\" is not a number");
    return value;
}

} // namespace

const char* toString(Fault::Kind kind) {
    switch (kind) {
    case Fault::Kind::None: return "none";
    case Fault::Kind::Status: return "status";
    case Fault::Kind::NotOk: return "notok";
    case Fault::Kind::Empty: return "empty";
    case Fault::Kind::Truncated: return "truncated";
    case Fault::Kind::BadBase64: return "badbase64";
    case Fault::Kind::Slow: return "slow";
    case Fault::Kind::Stall: return "stall";
    case Fault::Kind::Canned: return "canned";
    }
    return "?";
}

Fault Fault::Parse(const std::string& text) {
    Fault fault;
    std::string spec = text;
    // "@" may also appear in a canned body; the scope is the part after the last one
    // only when it is a plain word.
    if (const size_t at = spec.rfind('@');
        at != std::string::npos && spec.find_first_not_of("abcdefghijklmnopqrstuvwxyz_", at + 1) == std::string::npos) {
        fault.op = spec.substr(at + 1);
        spec.resize(at);
    }
    const size_t colon = spec.find(':');
    const std::string kind = spec.substr(0, colon);
    const std::string arg = colon == std::string::npos ? "" : spec.substr(colon + 1);
    auto needsArg = [&](bool wanted) {
        if (wanted != (colon != std::string::npos))
            throw std::invalid_argument("fault: \"" + kind + "\" " + (wanted ? "needs" : "takes no") + " argument");
    };
    if (kind == "none") {
        needsArg(false);
    } else if (kind == "status") {
        needsArg(true);
        fault.kind = Kind::Status;
        fault.status = parseNumber(arg, "status");
    } else if (kind == "notok" || kind == "empty" || kind == "truncated" || kind == "badbase64" || kind == "stall") {
        needsArg(false);
        fault.kind = kind == "notok"       ? Kind::NotOk
                     : kind == "empty"     ? Kind::Empty
                     : kind == "truncated" ? Kind::Truncated
                     : kind == "badbase64" ? Kind::BadBase64
                                           : Kind::Stall;
    } else if (kind == "slow") {
        needsArg(true);
        fault.kind = Kind::Slow;
        fault.delayMs = parseNumber(arg, "delay");
    } else if (kind == "canned") {
        needsArg(true);
        const size_t sep = arg.find(':');
        if (sep == std::string::npos) throw std::invalid_argument("fault: canned needs CODE:TEXT");
        fault.kind = Kind::Canned;
        fault.status = parseNumber(arg.substr(0, sep), "status");
        fault.body = unescape(arg.substr(sep + 1));
    } else {
        throw std::invalid_argument("fault: unknown kind \"" + kind + "\"");
    }
    if (fault.status < 100 || fault.status > 599)
        throw std::invalid_argument("fault: status " + std::to_string(fault.status) + " is not an HTTP status");
    return fault;
}

struct UpdateServer::Impl {
    Impl(Catalogue c, UpdateServerOptions o) : catalogue(std::move(c)), options(std::move(o)), fault(options.fault) {}

    Answer answer(const httplib::Request& req) const;
    Answer queryBuild(const CatalogueDevice& device) const;
    Answer getBuild(const httplib::Request& req, const CatalogueDevice& device) const;
    Answer recoveryInfo(const httplib::Request& req) const;
    void handle(const httplib::Request& req, httplib::Response& res);
    void finish(RequestRecord record, size_t bytes);
    // Waits `ms` unless the server stops first; false when it stops.
    bool pause(int ms);

    const Catalogue catalogue;
    const UpdateServerOptions options;
    httplib::Server server;
    std::thread thread;
    std::atomic<bool> listenReturned{false};
    int port = 0;

    mutable std::mutex mutex;
    std::condition_variable changed;
    Fault fault;
    unsigned faultGeneration = 0;
    bool stopping = false;
    std::vector<RequestRecord> records;
};

Answer UpdateServer::Impl::answer(const httplib::Request& req) const {
    const std::string op = req.get_param_value("op");
    if (op == "hi") return {200, {"ok"}};
    if (op == "fix") return recoveryInfo(req);
    if (op != "qu" && op != "builds" && op != "bird" && op != "ent_jwt")
        return {400, {"error: unknown operation \"" + op + "\""}};

    uint32_t serial = 0;
    if (!parseHex(req.get_param_value("sn"), serial)) return {400, {"error: bad serial number"}};
    const auto device = catalogue.devices.find(serial);
    if (device == catalogue.devices.end()) return refuse("unknown device");

    if (op == "qu") return queryBuild(device->second);
    if (op == "bird") return getBuild(req, device->second);
    if (op == "builds") {
        Answer a{200, {"ok"}};
        for (const auto& [number, build] : device->second.builds)
            a.lines.push_back(std::to_string(number) + ";" + build.version);
        return a;
    }
    if (device->second.token.empty()) return refuse("no token for this device");
    return {200, {"ok", device->second.token}};
}

Answer UpdateServer::Impl::queryBuild(const CatalogueDevice& device) const {
    if (device.builds.empty()) return {200, {"ok"}};
    return {200, {"ok", std::to_string(device.current), device.firmware}};
}

Answer UpdateServer::Impl::getBuild(const httplib::Request& req, const CatalogueDevice& device) const {
    if (req.get_param_value("fw") != device.firmware) return refuse("wrong firmware for this device");
    const std::string bld = req.get_param_value("bld");
    if (bld.empty() || bld.find_first_not_of("0123456789") != std::string::npos) return refuse("bad build number");
    const auto build = device.builds.find(std::stoul(bld));
    if (build == device.builds.end()) return refuse("no such build for this device");
    std::ifstream in(catalogue.dir / build->second.file, std::ios::binary);
    if (!in) return {500, {"error: cannot read " + build->second.file}};
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return {200, {"ok", base64(bytes)}};
}

Answer UpdateServer::Impl::recoveryInfo(const httplib::Request& req) const {
    std::istringstream in(req.get_param_value("fp"));
    FingerprintWords fp{};
    std::string word;
    for (auto& w : fp)
        if (!(in >> word) || !parseHex(word, w)) return {400, {"error: bad fingerprint"}};
    if (in >> word) return {400, {"error: bad fingerprint"}};
    const auto found = catalogue.fingerprints.find(fp);
    if (found == catalogue.fingerprints.end()) return refuse("unknown fingerprint");
    char serial[9];
    snprintf(serial, sizeof serial, "%08X", found->second.serial);
    return {200, {"ok", serial, std::to_string(found->second.build)}};
}

bool UpdateServer::Impl::pause(int ms) {
    std::unique_lock lock(mutex);
    return !changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopping; });
}

void UpdateServer::Impl::finish(RequestRecord record, size_t bytes) {
    std::lock_guard lock(mutex);
    if (options.log) {
        std::string line = "update-server: GET " + record.target + " -> ";
        line += record.status ? std::to_string(record.status) + ", " + std::to_string(bytes) + " bytes" : "held";
        if (record.fault != Fault::Kind::None) line += std::string(" [fault ") + toString(record.fault) + "]";
        fprintf(options.log, "%s\n", line.c_str());
        fflush(options.log);
    }
    records.push_back(std::move(record));
}

void UpdateServer::Impl::handle(const httplib::Request& req, httplib::Response& res) {
    RequestRecord record;
    record.target = req.target;
    for (const auto& [key, value] : req.params) record.params.emplace(key, value);

    Fault active;
    unsigned generation = 0;
    {
        std::lock_guard lock(mutex);
        if (fault.kind != Fault::Kind::None && (fault.op.empty() || fault.op == req.get_param_value("op")))
            active = fault;
        generation = faultGeneration;
    }
    record.fault = active.kind;

    if (active.kind == Fault::Kind::Stall) {
        finish(record, 0);
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return stopping || faultGeneration != generation; });
        res.status = 503;
        return;
    }
    if (active.kind == Fault::Kind::Slow && !pause(active.delayMs)) return;

    Answer a = answer(req);
    switch (active.kind) {
    case Fault::Kind::Status: a.status = active.status; break;
    case Fault::Kind::NotOk: a.lines.front() = "error: refused"; break;
    case Fault::Kind::Empty: a = {200, {}}; break;
    case Fault::Kind::BadBase64:
        if (req.get_param_value("op") == "bird" && a.lines.size() > 1 && !a.lines[1].empty())
            a.lines[1][a.lines[1].size() / 2] = '*';
        break;
    default: break;
    }
    std::string body;
    if (active.kind == Fault::Kind::Canned) {
        a.status = active.status;
        body = active.body;
    } else {
        for (const auto& line : a.lines) body += line + (options.crlf ? "\r\n" : "\n");
    }
    res.status = a.status;
    record.status = a.status;
    finish(record, body.size());

    if (active.kind == Fault::Kind::Truncated) {
        auto shared = std::make_shared<std::string>(std::move(body));
        res.set_content_provider(shared->size(), "text/plain", [shared](size_t, size_t, httplib::DataSink& sink) {
            sink.write(shared->data(), shared->size() / 2);
            return false; // the connection is dropped with the rest unsent
        });
    } else if (active.kind == Fault::Kind::Slow) {
        auto shared = std::make_shared<std::string>(std::move(body));
        const size_t part = std::max<size_t>(1, (shared->size() + kSlowParts - 1) / kSlowParts);
        const int delay = active.delayMs;
        res.set_content_provider(shared->size(), "text/plain",
                                 [this, shared, part, delay](size_t offset, size_t length, httplib::DataSink& sink) {
                                     if (offset > 0 && !pause(delay)) return false;
                                     return sink.write(shared->data() + offset, std::min(part, length));
                                 });
    } else {
        res.set_content(body, "text/plain");
    }
}

UpdateServer::UpdateServer(Catalogue catalogue, UpdateServerOptions options)
    : impl_(std::make_unique<Impl>(std::move(catalogue), std::move(options))) {
    Impl& impl = *impl_;
    // One request per connection: nothing lingers in keep-alive waits at shutdown.
    impl.server.set_keep_alive_max_count(1);
    impl.server.Get(kPath, [&impl](const httplib::Request& req, httplib::Response& res) { impl.handle(req, res); });
    if (impl.options.port == 0) {
        impl.port = impl.server.bind_to_any_port(impl.options.host);
    } else if (impl.server.bind_to_port(impl.options.host, impl.options.port)) {
        impl.port = impl.options.port;
    } else {
        impl.port = -1;
    }
    if (impl.port <= 0)
        throw std::runtime_error("update server: cannot listen on " + impl.options.host +
                                 (impl.options.port ? ":" + std::to_string(impl.options.port) : ""));
    impl.thread = std::thread([&impl] {
        impl.server.listen_after_bind();
        impl.listenReturned = true;
    });
    // stop() does nothing before the listening loop runs, so wait for it.
    while (!impl.server.is_running() && !impl.listenReturned)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!impl.server.is_running()) {
        impl.thread.join();
        throw std::runtime_error("update server: cannot serve on " + url());
    }
}

UpdateServer::~UpdateServer() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
    }
    impl_->changed.notify_all();
    impl_->server.stop();
    impl_->thread.join();
}

std::string UpdateServer::url() const {
    return "http://" + impl_->options.host + ":" + std::to_string(impl_->port) + kPath;
}

int UpdateServer::port() const { return impl_->port; }

void UpdateServer::setFault(const Fault& fault) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->fault = fault;
        ++impl_->faultGeneration;
    }
    impl_->changed.notify_all();
}

std::vector<RequestRecord> UpdateServer::requests() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->records;
}

} // namespace tandril::sim

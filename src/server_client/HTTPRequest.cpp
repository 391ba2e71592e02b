#include "server_client/HTTPRequest.h"

#include "app/Log.h"

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace {

std::atomic<long> sStallOverride{0};

bool sPassesUnescaped(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~' || c == '%';
}

void sAppendEscaped(std::string& out, const std::string& text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (unsigned char c : text) {
        if (sPassesUnescaped(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
}

size_t rcv_data(char* data, size_t size, size_t count, void* userdata) {
    auto* response = static_cast<HTTPResponse*>(userdata);
    const size_t length = size * count;
    // The chunk is not zero-terminated: log a terminated copy of its head only.
    char head[101];
    const size_t headLength = length < 100 ? length : 100;
    memcpy(head, data, headLength);
    head[headLength] = 0;
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.100s]\n", static_cast<int>(size),
             static_cast<int>(count), static_cast<unsigned>(reinterpret_cast<uintptr_t>(response)), head);
    response->process(data, length);
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(length));
    return length;
}

struct CurlCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

} // namespace

std::string HTTPRequest::BuildURL(const char* url, const Query& query) {
    std::string result = url ? url : "";
    if (query.empty()) return result;
    result += '?';
    for (const auto& [key, value] : query) {
        sAppendEscaped(result, key);
        result += '=';
        sAppendEscaped(result, value);
        result += '&';
    }
    return result;
}

void HTTPRequest::SetStallTimeout(long seconds) { sStallOverride = seconds > 0 ? seconds : 0; }

long HTTPRequest::StallTimeout() {
    if (long seconds = sStallOverride; seconds > 0) return seconds;
    if (const char* text = getenv("TANDRIL_HTTP_STALL_SECONDS")) {
        char* end = nullptr;
        const long seconds = strtol(text, &end, 10);
        if (end != text && *end == 0 && seconds > 0) return seconds;
    }
    return kDefaultStallSeconds;
}

HTTPResponse HTTPRequest::GET(const char* url, const Query& query) {
    std::unique_ptr<CURL, CurlCleanup> curl(curl_easy_init());
    const std::string request = BuildURL(url, query);
    HTTPResponse response(request.c_str());
    if (!curl) throw std::runtime_error("Could not create curl instance");

    CURL* handle = curl.get();
    CURLcode rc = curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, rcv_data);
    if (rc == CURLE_OK) rc = curl_easy_setopt(handle, CURLOPT_WRITEDATA, &response);
    if (rc == CURLE_OK) rc = curl_easy_setopt(handle, CURLOPT_URL, request.c_str());
    if (rc == CURLE_OK) rc = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYSTATUS, 0L);
    // A server that accepts the connection and then goes silent would otherwise hold
    // the tool forever; a slow download that keeps moving is never cut off.
    if (rc == CURLE_OK) rc = curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, StallTimeout());
    // Downloads run on a worker thread, where signal-based resolver time-outs are unsafe.
    if (rc == CURLE_OK) rc = curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    if (rc == CURLE_OK) {
        Log::log(DEBUG_ServerComm, "GET(%s)\n", request.c_str());
        rc = curl_easy_perform(handle);
    }
    long status = 0;
    if (rc == CURLE_OK) rc = curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (rc != CURLE_OK) throw std::runtime_error(curl_easy_strerror(rc));
    response.set_status(status);
    return response;
}

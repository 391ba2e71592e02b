// The answer to one HTTP GET: the URL that was requested, the status code and the
// body exactly as it arrived.
#pragma once

#include <cstddef>
#include <string>

class HTTPResponse {
public:
    // An answer not yet received: status 0, empty body.
    explicit HTTPResponse(const char* request);

    // The full URL, query string included.
    const char* get_request() const { return request.c_str(); }
    // The HTTP status code; 0 until the transfer has completed.
    long get_status() const { return status; }
    // The body as zero-terminated text (stops at the first zero byte of a binary body).
    const char* get_response() const { return response.c_str(); }
    // The whole body, zero bytes included.
    const std::string& body() const { return response; }

    void set_status(long code) { status = code; }
    // Appends one received chunk to the body.
    void process(const char* data, size_t length) { response.append(data, length); }

private:
    std::string request;
    long status = 0;
    std::string response;
};

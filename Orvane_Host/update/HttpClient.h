#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace orvane {

struct HttpRequest {
    std::string url;
    // The request fails when the server stays silent this long (connecting, or between bytes).
    std::chrono::milliseconds timeout = std::chrono::seconds(15);
    // Ask every cache on the way for a fresh answer.
    bool ignoreCache = true;
    // Authorities to trust, as a PEM file; empty for the system's.
    std::string caFile;
};

// The server's answer, or why there is none (in words for a person).
struct HttpResult {
    std::string error;  // empty when the server answered
    long status = 0;
    std::string body;

    bool answered() const { return error.empty(); }
    static HttpResult failure(std::string why) { return {std::move(why), 0, {}}; }
    static HttpResult response(long status, std::string body) {
        return {{}, status, std::move(body)};
    }
};

// HTTP GET off the caller's thread, verifying the server's certificate.
class HttpClient {
public:
    using Completion = std::function<void(HttpResult)>;
    virtual ~HttpClient() = default;
    // Returns at once; `done` runs exactly once, on a thread of the client's.
    virtual void get(HttpRequest request, Completion done) = 0;
};

}  // namespace orvane

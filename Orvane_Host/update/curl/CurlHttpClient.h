#pragma once

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Orvane_Host/update/HttpClient.h"

namespace orvane {

// HTTP GET over libcurl's multi interface, every transfer on one thread of the client's own,
// so a slow server holds up neither the caller nor any shared pool. Certificates are verified
// (the system's authorities unless the request names a file); redirects are followed to https
// only; an answer above a megabyte is refused.
class CurlHttpClient final : public HttpClient {
public:
    static constexpr std::size_t maxBody = 1 << 20;

    CurlHttpClient();
    // Transfers still running end, their completions told that they were cancelled.
    ~CurlHttpClient() override;
    CurlHttpClient(const CurlHttpClient&) = delete;
    CurlHttpClient& operator=(const CurlHttpClient&) = delete;

    void get(HttpRequest request, Completion done) override;

    struct Transfer;

private:
    void run();

    void* multi_ = nullptr;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Transfer>> incoming_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace orvane

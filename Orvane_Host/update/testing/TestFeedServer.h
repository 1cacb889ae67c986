#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "OrvaneKit/net/testing/ChildProcess.h"

namespace orvane {

// An HTTPS server on 127.0.0.1 (openssl s_server) with an authority made for it and thrown
// away with it. It serves files such as "/appcast.json" as whole answers: status line, headers
// and body as the test sets them.
class TestFeedServer {
public:
    // Nothing, with the reason in `problem`, when openssl is missing or fails.
    static std::unique_ptr<TestFeedServer> start(std::string& problem);
    ~TestFeedServer();

    std::uint16_t port() const { return port_; }
    std::string address() const { return "https://127.0.0.1:" + std::to_string(port_); }
    std::string caFile() const { return (dir_ / "ca" / "ca.pem").string(); }
    const std::filesystem::path& dir() const { return dir_; }

    // What "/<file>" answers; `headers` are extra lines, each ending in "\r\n".
    void serve(const std::string& statusLine, const std::string& body,
               const std::string& headers = "", const std::string& file = "appcast.json");
    // A feed document offering `build`, with the version "2.<build>".
    static std::string release(std::int64_t build, const std::string& url);

    // A second server with the same certificate that completes the handshake and never
    // answers; its port in `port`.
    std::unique_ptr<ChildProcess> startMute(std::uint16_t& port) const;
    // Another authority, which signed nothing this server shows. Empty on failure.
    std::string otherAuthority() const;

private:
    TestFeedServer() = default;

    std::filesystem::path dir_;
    std::unique_ptr<ChildProcess> server_;
    std::uint16_t port_ = 0;
};

}  // namespace orvane

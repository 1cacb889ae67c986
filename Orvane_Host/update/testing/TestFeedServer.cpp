#include "Orvane_Host/update/testing/TestFeedServer.h"

#include <fstream>
#include <vector>

#include "OrvaneKit/base/Uuid.h"

namespace orvane {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr auto toolTimeout = 20s;

// An authority and a certificate for 127.0.0.1 signed by it.
bool makeAuthority(const fs::path& dir, std::string& why) {
    fs::create_directories(dir);
    auto p = [&](const char* name) { return (dir / name).string(); };
    std::ofstream(dir / "ext.cnf") << "subjectAltName=IP:127.0.0.1,DNS:localhost\n"
                                      "basicConstraints=CA:FALSE\n"
                                      "extendedKeyUsage=serverAuth\n";
    const std::vector<std::vector<std::string>> steps = {
        {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
         "-keyout", p("ca.key"), "-out", p("ca.pem"), "-days", "2", "-subj",
         "/CN=Orvane Throw-away Test Authority"},
        {"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
         p("server.key"), "-out", p("server.csr"), "-subj", "/CN=127.0.0.1"},
        {"x509", "-req", "-in", p("server.csr"), "-CA", p("ca.pem"), "-CAkey", p("ca.key"),
         "-CAcreateserial", "-out", p("server.pem"), "-days", "2", "-extfile", p("ext.cnf")}};
    for (auto args : steps) {
        args.insert(args.begin(), "openssl");
        try {
            auto [status, out] = ChildProcess::run(args, "", toolTimeout);
            if (status != 0) {
                why = out;
                return false;
            }
        } catch (const std::exception& e) {
            why = e.what();
            return false;
        }
    }
    return true;
}

std::unique_ptr<ChildProcess> startServer(const fs::path& authority, const fs::path& root,
                                          const std::string& mode, std::uint16_t& port) {
    std::string command = "cd '" + root.string() +
                          "' && exec openssl s_server -accept 127.0.0.1:0 -cert '" +
                          (authority / "server.pem").string() + "' -key '" +
                          (authority / "server.key").string() + "' " + mode;
    auto server = std::make_unique<ChildProcess>(std::vector<std::string>{"sh", "-c", command});
    const std::string ready = "ACCEPT 127.0.0.1:";
    if (!server->waitForOutput(ready, toolTimeout)) return nullptr;
    std::string out = server->output();
    port = static_cast<std::uint16_t>(std::stoi(out.substr(out.find(ready) + ready.size())));
    return server;
}

}  // namespace

std::unique_ptr<TestFeedServer> TestFeedServer::start(std::string& problem) {
    std::unique_ptr<TestFeedServer> s(new TestFeedServer);
    s->dir_ = fs::temp_directory_path() / ("orvane-feed-" + Uuid::random().string());
    fs::create_directories(s->dir_ / "www");
    if (!makeAuthority(s->dir_ / "ca", problem)) return nullptr;
    // -HTTP sends each file as the whole answer, status line included (-WWW would answer a
    // missing file with 200).
    s->server_ = startServer(s->dir_ / "ca", s->dir_ / "www", "-HTTP", s->port_);
    if (!s->server_) {
        problem = "openssl s_server did not start";
        return nullptr;
    }
    return s;
}

TestFeedServer::~TestFeedServer() {
    server_.reset();
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

void TestFeedServer::serve(const std::string& statusLine, const std::string& body,
                           const std::string& headers, const std::string& file) {
    // Replaced whole, so the server never sends half of an old answer.
    fs::path part = dir_ / "www" / (file + ".part");
    std::ofstream(part, std::ios::binary)
        << "HTTP/1.0 " << statusLine << "\r\nContent-Type: application/json\r\n"
        << headers << "\r\n"
        << body;
    fs::rename(part, dir_ / "www" / file);
}

std::string TestFeedServer::release(std::int64_t build, const std::string& url) {
    return R"({"shortVersion":"2.)" + std::to_string(build) + R"(","build":)" +
           std::to_string(build) + R"(,"url":")" + url +
           R"(","notes":"Fixes.","minimumSystemVersion":"12"})";
}

std::unique_ptr<ChildProcess> TestFeedServer::startMute(std::uint16_t& port) const {
    return startServer(dir_ / "ca", dir_, "", port);
}

std::string TestFeedServer::otherAuthority() const {
    std::string why;
    if (!makeAuthority(dir_ / "other-ca", why)) return {};
    return (dir_ / "other-ca" / "ca.pem").string();
}

}  // namespace orvane

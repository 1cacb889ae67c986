// A file over a sealed loopback session (FileSender to FileReceiver, each end on its own
// OrvaneConnection over TLS-PSK TCP) against `openssl s_server -WWW` served to `curl -k`, the
// same file written to the same disk, in one run. Prints both throughputs and their ratio; the
// goal is a ratio of at least 0.7.
//
//   bench_files [MiB] [RUNS]     (1024 MiB and 3 runs by default; the best run of each counts)
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/files/ConnectionSink.h"
#include "OrvaneKit/files/FileReceiver.h"
#include "OrvaneKit/files/FileSender.h"
#include "OrvaneKit/net/TlsPskListener.h"
#include "OrvaneKit/net/testing/ChildProcess.h"
#include "OrvaneKit/protocol/OrvaneConnection.h"
#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/testing/FakeIdentity.h"

using namespace orvane;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* code = "ABC-DEF-GHJ-KLM";

void makeFile(const fs::path& file, std::uint64_t size) {
    std::ofstream out(file, std::ios::binary);
    std::vector<std::uint64_t> block(1 << 17);
    std::uint64_t x = 88172645463325252ull;
    for (std::uint64_t done = 0; done < size;) {
        for (auto& w : block) w = (x ^= x << 13, x ^= x >> 7, x ^= x << 17);
        auto n = std::min<std::uint64_t>(size - done, block.size() * 8);
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
        done += n;
    }
}

// Seconds for one file from a sender to a receiver over a fresh sealed session, from the
// offer to the moved file; connection set-up is not counted.
double sealedRun(const fs::path& file, const fs::path& into) {
    FakeIdentity hostId{Bytes(32, 0x22), systemRandom(), "com.nimbrel.kelsap.host"};
    FakeIdentity viewerId{Bytes(32, 0x11), systemRandom(), "com.nimbrel.kelsap.viewer"};
    NetContext net{3};
    TlsPskListener::Options o;
    o.port = 0;
    o.bindAddress = "127.0.0.1";
    o.params = AccessCode::pskParameters(code, true);
    auto listener = TlsPskListener::make(net, o);

    std::mutex m;
    std::condition_variable cv;
    std::uint16_t port = 0;
    bool hostReady = false;
    std::shared_ptr<OrvaneConnection> host;
    FileReceiver receiver(into);
    std::promise<Clock::time_point> landed;

    listener->setStateHandler([&](const ConnState& s) {
        std::lock_guard g(m);
        if (holds_alternative<conn::Ready>(s)) port = listener->port();
        cv.notify_all();
    });
    listener->setNewConnectionHandler([&](std::shared_ptr<Transport> t) {
        auto c = OrvaneConnection::makeServer(std::move(t), code, {&hostId.identity()});
        c->setOnStateChange([&](const ConnState& s) {
            std::lock_guard g(m);
            if (holds_alternative<conn::Ready>(s)) hostReady = true;
            cv.notify_all();
        });
        // The receiving end as the host runs it: every message on the connection's strand.
        c->setOnMessage([&](MessageType type, Bytes body) {
            if (type == MessageType::fileOffer) receiver.begin(*json::decode<FileOffer>(body));
            if (type == MessageType::fileChunk) receiver.append(body);
            if (type == MessageType::fileEnd && receiver.end(*json::decode<FileEnd>(body)))
                landed.set_value(Clock::now());
        });
        c->start();
        std::lock_guard g(m);
        host = c;
    });
    listener->start();
    {
        std::unique_lock lock(m);
        cv.wait_for(lock, 10s, [&] { return port != 0; });
    }
    auto viewer = OrvaneConnection::makeClient(HostPort{"127.0.0.1", port}, code, std::nullopt,
                                               std::nullopt, {&viewerId.identity(), nullptr, &net});
    bool viewerReady = false;
    viewer->setOnStateChange([&](const ConnState& s) {
        std::lock_guard g(m);
        if (holds_alternative<conn::Ready>(s)) viewerReady = true;
        cv.notify_all();
    });
    viewer->start();
    {
        std::unique_lock lock(m);
        if (!cv.wait_for(lock, 30s, [&] { return viewerReady && hostReady; }))
            throw std::runtime_error("the sealed session did not come up");
    }

    auto sender = FileSender::make(file, std::make_shared<ConnectionSink>(viewer));
    auto start = Clock::now();
    sender->start();
    auto done = landed.get_future();
    if (done.wait_for(600s) != std::future_status::ready)
        throw std::runtime_error("the file did not arrive");
    double seconds = std::chrono::duration<double>(done.get() - start).count();
    viewer->cancel();
    {
        std::lock_guard g(m);
        if (host) host->cancel();
    }
    listener->cancel();
    net.stop();
    return seconds;
}

// Seconds for curl to fetch the file from openssl's web server and write it.
double opensslRun(const fs::path& dir, const fs::path& out) {
    // s_server -WWW serves paths below its working folder, and prints the port it took.
    ChildProcess server({"/bin/sh", "-c",
                         "cd '" + dir.string() +
                             "' && exec openssl s_server -WWW -accept 0 -cert cert.pem "
                             "-key key.pem"});
    if (!server.waitForOutput("ACCEPT", 10s)) throw std::runtime_error("s_server did not start");
    std::this_thread::sleep_for(100ms);
    auto text = server.output();
    auto port = text.substr(text.rfind(':', text.find('\n', text.find("ACCEPT"))) + 1);
    port = port.substr(0, port.find_first_not_of("0123456789"));
    auto start = Clock::now();
    auto [status, curlOut] = ChildProcess::run({"/usr/bin/curl", "-k", "-s", "-o", out.string(),
                                                "https://127.0.0.1:" + port + "/payload.bin"},
                                               "", 600s);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (status != 0) throw std::runtime_error("curl failed: " + curlOut);
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t mib = argc > 1 ? std::stoull(argv[1]) : 1024;
    int runs = argc > 2 ? std::stoi(argv[2]) : 3;
    Log::setStderr(false);
    for (const char* tool : {"/usr/bin/openssl", "/usr/bin/curl"})
        if (::access(tool, X_OK) != 0) {
            std::cerr << "bench_files: " << tool << " is not installed\n";
            return 1;
        }
    auto dir = fs::temp_directory_path() / ("orvane-files-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir / "in");
    std::uint64_t size = mib << 20;
    makeFile(dir / "payload.bin", size);
    auto [made, keyOut] = ChildProcess::run(
        {"/bin/sh", "-c",
         "cd '" + dir.string() +
             "' && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
             "-keyout key.pem -out cert.pem -subj /CN=localhost -days 1"},
        "", 60s);
    if (made != 0) {
        std::cerr << "bench_files: no certificate: " << keyOut << "\n";
        return 1;
    }

    double ours = 1e9, theirs = 1e9;
    try {
        for (int i = 0; i < runs; ++i) {
            fs::remove_all(dir / "in");
            ours = std::min(ours, sealedRun(dir / "payload.bin", dir / "in"));
            fs::remove(dir / "fetched.bin");
            theirs = std::min(theirs, opensslRun(dir, dir / "fetched.bin"));
        }
    } catch (const std::exception& e) {
        std::cerr << "bench_files: " << e.what() << "\n";
        fs::remove_all(dir);
        return 1;
    }
    fs::remove_all(dir);
    double mb = static_cast<double>(size) / 1e6;
    std::printf("file of %llu MiB, best of %d runs\n", static_cast<unsigned long long>(mib), runs);
    std::printf("sealed session:      %8.1f MB/s (%.2f s)\n", mb / ours, ours);
    std::printf("s_server -WWW, curl: %8.1f MB/s (%.2f s)\n", mb / theirs, theirs);
    std::printf("ratio %.2f (goal >= 0.70)\n", theirs / ours);
    return 0;
}

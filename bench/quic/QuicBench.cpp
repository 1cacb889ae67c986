// One file over one stream of our QUIC transport on loopback against the packaged ngtcp2
// example server and client moving the same file, in one run. Prints both throughputs and their
// ratio; the goal is a ratio of at least 0.5.
//
//   bench_quic [MiB] [RUNS]     (64 MiB and 3 runs by default; the best run of each counts)
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "OrvaneKit/net/ngtcp2/QuicEndpoint.h"
#include "OrvaneKit/net/testing/ChildProcess.h"

using namespace orvane;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

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

// Seconds from the first byte handed to the client to the last one written to disk at the
// server; the handshake is not counted.
double oursRun(const fs::path& file, const fs::path& into, std::uint64_t size) {
    NetContext net{3};
    Bytes key(32, 0x42);
    QuicServerEndpoint::Options o;
    o.bindAddress = "127.0.0.1";
    o.key = [key] { return key; };
    auto server = QuicServerEndpoint::make(net, o);
    std::mutex m;
    std::condition_variable cv;
    std::uint64_t got = 0;
    bool ready = false;
    std::ofstream out(into, std::ios::binary);
    std::shared_ptr<Transport> accepted;
    std::function<void()> armRead;
    server->setConnectionHandler([&](std::shared_ptr<Transport> t) {
        accepted = t;
        armRead = [&, weak = std::weak_ptr<Transport>(t)] {
            auto t2 = weak.lock();
            if (!t2) return;
            t2->read([&](const ReadResult& r) {
                if (r.data.empty()) return;
                out.write(reinterpret_cast<const char*>(r.data.data()),
                          static_cast<std::streamsize>(r.data.size()));
                {
                    std::lock_guard lock(m);
                    got += r.data.size();
                }
                cv.notify_all();
                armRead();
            });
        };
        t->start();
        armRead();
    });
    if (server->start()) return -1;
    auto client = dialQuic(net, {"127.0.0.1", server->port()}, key);
    client->setStateHandler([&](const ConnState& s) {
        if (std::holds_alternative<conn::Ready>(s)) {
            std::lock_guard lock(m);
            ready = true;
            cv.notify_all();
        }
    });
    client->start();
    {
        std::unique_lock lock(m);
        if (!cv.wait_for(lock, 10s, [&] { return ready; })) return -1;
    }
    auto t0 = Clock::now();
    std::ifstream in(file, std::ios::binary);
    std::vector<char> buf(1 << 20);
    std::uint64_t queued = 0;
    while (in) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        auto n = static_cast<std::size_t>(in.gcount());
        if (n == 0) break;
        // Keep a few MiB in flight, as a sender that waits for its completions does.
        {
            std::unique_lock lock(m);
            cv.wait(lock, [&] { return queued - got < (8u << 20); });
        }
        queued += n;
        client->write({Bytes(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n))});
    }
    {
        std::unique_lock lock(m);
        if (!cv.wait_for(lock, 120s, [&] { return got >= size; })) return -1;
    }
    out.flush();
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    client->cancel();
    if (accepted) accepted->cancel();
    server->cancel();
    std::this_thread::sleep_for(50ms);
    net.stop();
    return secs;
}

// Seconds for the example client to download the file from the example server over HTTP/3,
// from the client's start to its exit.
double theirsRun(const fs::path& dir, const fs::path& into) {
    int s = ::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                      "-keyout '" +
                      (dir / "key.pem").string() + "' -out '" + (dir / "cert.pem").string() +
                      "' -subj /CN=localhost -days 1 >/dev/null 2>&1")
                         .c_str());
    if (s != 0) return -1;
    const std::string port = "48" + std::to_string(100 + getpid() % 800);
    ChildProcess server({"gtlsserver", "-q", "-d", (dir / "htdocs").string(), "127.0.0.1", port,
                         (dir / "key.pem").string(), (dir / "cert.pem").string()});
    std::this_thread::sleep_for(300ms);
    fs::create_directories(into);
    auto t0 = Clock::now();
    auto [status, output] = ChildProcess::run(
        {"gtlsclient", "-q", "--exit-on-first-stream-close", "--download=" + into.string(),
         "127.0.0.1", port, "https://127.0.0.1:" + port + "/file"},
        "", 120s);
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    if (!status || *status != 0) {
        std::cerr << "gtlsclient failed: " << output << "\n";
        return -1;
    }
    return secs;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t mib = argc > 1 ? std::stoull(argv[1]) : 64;
    int runs = argc > 2 ? std::stoi(argv[2]) : 3;
    std::uint64_t size = mib << 20;
    fs::path dir = fs::temp_directory_path() / ("orvane-quic-bench-" + std::to_string(getpid()));
    fs::create_directories(dir / "htdocs");
    makeFile(dir / "htdocs" / "file", size);
    double ours = 1e9, theirs = 1e9;
    for (int i = 0; i < runs; ++i) {
        double a = oursRun(dir / "htdocs" / "file", dir / "ours.out", size);
        fs::remove_all(dir / "theirs");
        double b = theirsRun(dir, dir / "theirs");
        if (a < 0 || b < 0) {
            std::cerr << "a run failed\n";
            fs::remove_all(dir);
            return 1;
        }
        if (fs::file_size(dir / "theirs" / "file") != size) {
            std::cerr << "the example client fetched a different size\n";
            fs::remove_all(dir);
            return 1;
        }
        ours = std::min(ours, a);
        theirs = std::min(theirs, b);
    }
    double mbOurs = static_cast<double>(mib) / ours, mbTheirs = static_cast<double>(mib) / theirs;
    std::printf("ours   %8.1f MiB/s (%.3f s)\n", mbOurs, ours);
    std::printf("theirs %8.1f MiB/s (%.3f s)\n", mbTheirs, theirs);
    std::printf("ratio  %8.2f (goal >= 0.50)\n", mbOurs / mbTheirs);
    fs::remove_all(dir);
    return 0;
}

// The host binary under a crowd: viewers with the right code keep getting in and answered while
// silent sockets and a port scan lean on the front door, and whatever the crowd held comes back.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/Keychain.h"
#include "Orvane_Host/session/SessionEnder.h"
#include "Orvane_Host/session/TrustedDevice.h"
#include "tests/support/HostHome.h"
#include "tests/support/ViewerPeer.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* keychainService = "com.nimbrel.kelsap";
constexpr int viewerCount = 50;
constexpr int silentCount = 200;
// The silent sockets come from addresses of their own, each beyond its share of unfinished
// handshakes, so the host refuses some of them; together they stay below the total, which
// leaves room for the viewers (from 127.0.0.1) and the scanner.
constexpr int silentAddresses = 6;
// Viewers still before their helloAck at any time: below the share of one address.
constexpr int viewersInFlight = 10;

std::size_t entries(const std::filesystem::path& dir) {
    std::error_code ec;
    std::size_t n = 0;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        ++n;
    return n;
}

long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// A TCP connection to the host's port from `from` (any loopback address), or -1.
int connectFrom(const std::string& from, std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A port scan from an address of its own: a connect and a close every few milliseconds, half of
// them with a reset, until stopped.
class PortScan {
public:
    explicit PortScan(std::uint16_t port)
        : thread_([this, port] {
              while (!stop_) {
                  int fd = connectFrom("127.0.2.1", port);
                  if (fd >= 0) {
                      if (++probes_ % 2) {
                          linger reset{1, 0};
                          ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                      }
                      ::close(fd);
                  }
                  // Its own closes leave ports in TIME_WAIT here; this keeps them well in range.
                  std::this_thread::sleep_for(2ms);
              }
          }) {}
    ~PortScan() {
        stop_ = true;
        thread_.join();
    }
    int probes() const { return probes_; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<int> probes_{0};
    std::thread thread_;
};

class SlowHostLoad : public ::testing::Test {
protected:
    std::unique_ptr<HostHome> home;
    std::string code = AccessCode::generate();
    std::vector<ViewerPeer> viewers;

    void SetUp() override {
        for (const auto& b : {HostHome::hostBinary, HostHome::peerBinary})
            if (!std::filesystem::exists(b)) GTEST_SKIP() << "not built: " << b;
        home = std::make_unique<HostHome>();
        ASSERT_TRUE(
            Keychain::set(code, "host.accessCode", keychainService, false, {}, home->keychain()));
        // Every viewer is a trusted device with unattended access on: let in without a person.
        std::vector<TrustedDevice> trusted;
        for (int i = 0; i < viewerCount; ++i) {
            viewers.emplace_back(home->dir(), "Load Viewer " + std::to_string(i));
            trusted.push_back(
                {viewers.back().fingerprint(), viewers.back().name(), ClientPlatform::mac});
        }
        TrustedDevice::save(home->settings(), trusted);
        home->settings().setBool("unattendedAccess", true);
    }

    // Runs every viewer through Hello, ping and bye, at most `viewersInFlight` before their
    // helloAck at once; each must be let in and have its own ping answered.
    void runViewers(std::uint16_t port, int cycle) {
        std::vector<std::unique_ptr<ChildProcess>> running;
        auto acked = [](const ChildProcess& p) {
            return p.output().find(R"("type":"helloAck")") != std::string::npos;
        };
        // Bringing them all in takes about 5 s on two cores of their own.
        const auto firstLaunch = Clock::now(), leaveAt = firstLaunch + 12s;
        for (int i = 0; i < viewerCount; ++i) {
            for (auto until = Clock::now() + 60s;;) {
                int waiting = 0;
                for (const auto& p : running) waiting += acked(*p) ? 0 : 1;
                if (waiting < viewersInFlight || Clock::now() > until) break;
                std::this_thread::sleep_for(5ms);
            }
            char hex[16];
            std::snprintf(hex, sizeof hex, "%02x%02xc0de", cycle, i);
            // Each stays until about the same time, so the viewers are in together.
            const auto stay = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::max<Clock::duration>(leaveAt - Clock::now(), 0s));
            running.push_back(viewers[i].connect(
                port, code,
                std::string("forbid bye\nexpect helloAck 30\nsend ping hex:") + hex +
                    "\nexpect pong 30\nwait " + std::to_string(stay.count()) + "\nbye done\n"));
        }
        bool allIn = false;
        for (auto until = Clock::now() + 60s; !allIn && Clock::now() < until;
             std::this_thread::sleep_for(5ms))
            allIn = std::all_of(running.begin(), running.end(),
                                [&](const auto& p) { return acked(*p); });
        EXPECT_TRUE(allIn);
        const auto leaving = std::count_if(running.begin(), running.end(), [](const auto& p) {
            return p->output().find(R"("step":"bye done")") != std::string::npos;
        });
        EXPECT_EQ(leaving, 0) << "the first viewers left before the last came in";
        for (int i = 0; i < viewerCount; ++i) {
            auto& p = *running[i];
            SCOPED_TRACE(viewers[i].name());
            EXPECT_EQ(p.waitExit(60s), 0) << p.output();
            auto pongs = ViewerPeer::messages(p.output(), "pong");
            char hex[16];
            std::snprintf(hex, sizeof hex, "%02x%02xc0de", cycle, i);
            ASSERT_EQ(pongs.size(), 1u) << p.output();
            EXPECT_EQ(pongs[0].value("hex", ""), hex);
        }
    }
};

TEST_F(SlowHostLoad, ViewersGetInBesideSilentSocketsAndScansAndNothingIsKept) {
    auto host = home->start();
    ASSERT_NE(host.port, 0) << host.process->output();
    const auto fdDir = "/proc/" + std::to_string(host.pid) + "/fd";
    const auto taskDir = "/proc/" + std::to_string(host.pid) + "/task";
    std::this_thread::sleep_for(500ms);
    const std::size_t fds = entries(fdDir), threads = entries(taskDir);

    long rssAfterFirst = 0;
    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        std::vector<int> silent;
        for (int i = 0; i < silentCount; ++i) {
            int fd = connectFrom("127.0.1." + std::to_string(1 + i % silentAddresses), host.port);
            ASSERT_GE(fd, 0) << "silent socket " << i;
            silent.push_back(fd);
        }
        const auto silentSince = Clock::now();
        {
            PortScan scan(host.port);
            runViewers(host.port, cycle);
            EXPECT_GT(scan.probes(), 0);
        }
        // The host drops each silent socket at its Hello timeout, and with it all it held.
        std::this_thread::sleep_until(silentSince + 10s);
        bool settled = false;
        for (auto until = Clock::now() + 10s; !settled && Clock::now() < until;
             std::this_thread::sleep_for(50ms))
            settled = entries(fdDir) == fds && entries(taskDir) == threads;
        EXPECT_TRUE(settled) << "descriptors " << entries(fdDir) << " (" << fds << " before), "
                             << "threads " << entries(taskDir) << " (" << threads << " before)";
        for (int fd : silent) ::close(fd);

        // The host hands freed memory back a moment after the last connection went.
        std::this_thread::sleep_for(SessionEnder::memoryReturnDelay + 1s);
        const long rss = residentKiB(host.pid);
        ASSERT_GT(rss, 0);
        if (cycle == 0)
            rssAfterFirst = rss;
        else
            EXPECT_LE(rss, rssAfterFirst + 5 * 1024) << "after the first cycle: " << rssAfterFirst;
        std::cout << "cycle " << cycle << ": resident " << rss / 1024 << " MiB\n";
    }
    // The listener kept its socket all along.
    const std::string out = host.process->output() + readFile(home->logFile());
    EXPECT_EQ(out.find("listener failed"), std::string::npos) << out.substr(0, 4000);
    EXPECT_EQ(out.find("Address already in use"), std::string::npos);
}

}  // namespace
}  // namespace orvane

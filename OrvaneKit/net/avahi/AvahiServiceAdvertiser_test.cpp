#include "OrvaneKit/net/avahi/AvahiServiceAdvertiser.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/net/testing/ChildProcess.h"
#include "OrvaneKit/protocol/MessageType.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
using State = ServiceAdvertiser::State;
using Phase = State::Phase;
namespace fs = std::filesystem;

// The D-Bus library reads the system bus address once per process, so every test here uses the
// same one: a socket path of this process's own, where a test may or may not start a bus. It
// also keeps every test off the machine's real system bus.
const fs::path& busDir() {
    static const struct Dir {
        fs::path path = fs::path("/tmp") / ("orvane-avahi-test-" + std::to_string(::getpid()));
        Dir() {
            fs::create_directories(path);
            ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (path / "bus").string()).c_str(),
                     1);
        }
        ~Dir() {
            std::error_code ec;
            fs::remove_all(path, ec);
        }
    } dir;
    return dir.path;
}

// Records every reported state and waits for one that matches.
class StateWatch {
public:
    explicit StateWatch(ServiceAdvertiser& advertiser)
        : connection_(advertiser.stateChanged.connect([this](const State& s) {
              std::lock_guard lock(mutex_);
              seen_.push_back(s);
              cv_.notify_all();
          })) {}

    // Waits until more than `after` reports have come and the latest is in `phase`.
    bool waitForPhase(Phase phase, std::chrono::milliseconds timeout = 15s, std::size_t after = 0) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout,
                            [&] { return seen_.size() > after && seen_.back().phase == phase; });
    }
    std::vector<State> seen() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<State> seen_;
    SignalConnection connection_;  // last: disconnected before the rest goes
};

std::string describe(const std::vector<State>& states) {
    std::string out;
    for (auto& s : states) out += std::string(phaseName(s.phase)) + "(" + s.name + s.error + ") ";
    return out;
}

TEST(AvahiServiceAdvertiser, LongNamesAreCutToOneLabelAtACharacterBoundary) {
    std::string e63(63, 'e');
    struct Case {
        std::string in, out;
    } cases[] = {
        {"Ann's Laptop", "Ann's Laptop"},
        {e63, e63},
        {e63 + "f", e63},
        {std::string(62, 'e') + "\xC3\xA9" + "x",
         std::string(62, 'e')},  // é would straddle byte 63
        {std::string(61, 'e') + "\xC3\xA9" + "x",
         std::string(61, 'e') + "\xC3\xA9"},                            // é ends at 63
        {std::string(61, 'e') + "\xE2\x82\xAC", std::string(61, 'e')},  // € is three bytes
    };
    for (auto& c : cases) EXPECT_EQ(AvahiServiceAdvertiser::fitServiceName(c.in), c.out) << c.in;
}

TEST(AvahiServiceAdvertiser, WithoutASystemBusWaitsAndSaysSoOnce) {
    busDir();  // no bus is started there
    auto memory = std::make_shared<MemoryLogSink>();
    Log::addSink(memory);
    {
        AvahiServiceAdvertiser advertiser;
        StateWatch watch(advertiser);
        advertiser.advertise("Orvane Test", std::string(bonjourServiceType), defaultPort);
        EXPECT_TRUE(watch.waitForPhase(Phase::waitingForDaemon, 5s)) << describe(watch.seen());
        EXPECT_EQ(advertiser.state().name, "Orvane Test");
    }  // must not hang on the missing bus
    Log::removeSink(memory);
    int lines = 0;
    for (auto& r : memory->records()) lines += r.message.find("mDNS daemon") != std::string::npos;
    EXPECT_EQ(lines, 1);
}

// --- with a real daemon -------------------------------------------------------------------------

struct Browsed {
    std::string name, type, port, txt;
};

std::string unescapeLabel(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        auto digit = [&](std::size_t k) {
            return std::isdigit(static_cast<unsigned char>(s[k])) != 0;
        };
        if (s[i] == '\\' && i + 3 < s.size() && digit(i + 1) && digit(i + 2) && digit(i + 3)) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 3)));
            i += 3;
        } else if (s[i] == '\\' && i + 1 < s.size()) {
            out += s[++i];
        } else {
            out += s[i];
        }
    }
    return out;
}

// Resolved services as avahi-browse reports them
// ("=;if;proto;name;type;domain;host;addr;port;txt").
std::vector<Browsed> browse() {
    auto [status, out] =
        ChildProcess::run({"avahi-browse", "-rtp", std::string(bonjourServiceType)}, "", 10s);
    std::vector<Browsed> found;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("=;", 0) != 0) continue;
        std::vector<std::string> f;
        std::size_t start = 0;
        for (int i = 0; i < 9; ++i) {
            auto semi = line.find(';', start);
            if (semi == std::string::npos) break;
            f.push_back(line.substr(start, semi - start));
            start = semi + 1;
        }
        if (f.size() < 9) continue;
        found.push_back({unescapeLabel(f[3]), f[4], f[8], line.substr(start)});
    }
    return found;
}

// Browses until `match` holds for the list; bounded.
bool browseUntil(const std::function<bool(const std::vector<Browsed>&)>& match,
                 std::vector<Browsed>& last, std::chrono::seconds timeout = 15s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        last = browse();
        if (match(last)) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(200ms);
    }
}

const Browsed* findName(const std::vector<Browsed>& list, const std::string& name) {
    for (auto& b : list)
        if (b.name == name) return &b;
    return nullptr;
}

std::string listed(const std::vector<Browsed>& list) {
    std::string out;
    for (auto& b : list)
        out += "[" + b.name + " " + b.type + " " + b.port + " txt='" + b.txt + "'] ";
    return out.empty() ? "nothing" : out;
}

// A private system bus, and an Avahi daemon in a network namespace of its own (with a private
// /run for its pid file), so nothing reaches the machine's network, bus or daemon. Avahi
// ignores loopback, so the namespace gets a dummy link (or a veth pair where dummy links are
// not available) with multicast on.
class AvahiWorld {
public:
    static std::optional<std::string> unavailableReason() {
        if (::geteuid() != 0) return "needs root to make a network namespace";
        auto [found, missing] = ChildProcess::run(
            {"sh", "-c",
             "for p in avahi-daemon avahi-browse avahi-publish dbus-daemon unshare ip setpriv; do "
             "command -v $p >/dev/null || echo $p; done"},
            "", 10s);
        if (!missing.empty()) return "missing programs: " + missing;
        auto [status, out] = ChildProcess::run({"unshare", "-n", "-m", "true"}, "", 10s);
        if (status != 0) return "network namespaces refused here: " + out;
        return std::nullopt;
    }

    AvahiWorld() : dir_(busDir()) {
        std::ofstream(dir_ / "bus.conf")
            << R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=)"
            << (dir_ / "bus").string() << R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";
        std::ofstream(dir_ / "avahi.conf")
            << "[server]\nhost-name=orvane-test\nuse-ipv4=yes\nuse-ipv6=no\n"
               "allow-interfaces=d0\nenable-dbus=yes\n"
               "[wide-area]\nenable-wide-area=no\n"
               "[publish]\npublish-hinfo=no\npublish-workstation=no\n"
               "[reflector]\nenable-reflector=no\n[rlimits]\n";
        bus_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"setpriv", "--pdeathsig", "KILL", "dbus-daemon",
                                     "--config-file=" + (dir_ / "bus.conf").string(), "--nofork",
                                     "--nopidfile", "--print-address"});
        busUp_ = bus_->waitForOutput("unix:path=", 10s);
    }
    ~AvahiWorld() {
        stopDaemon();
        bus_.reset();  // kills and reaps
        std::error_code ec;
        fs::remove(dir_ / "bus", ec);
    }

    bool busUp() const { return busUp_; }
    std::string busOutput() const { return bus_->output(); }

    bool startDaemon() {
        std::string script =
            "set -e; mount -t tmpfs tmpfs /run; ip link set lo up; "
            "ip link add d0 type dummy 2>/dev/null || { ip link add d0 type veth peer name d1; ip "
            "link set d1 up; }; "
            "ip addr add 192.0.2.1/24 dev d0; ip link set d0 multicast on up; "
            "exec avahi-daemon --no-drop-root --no-chroot --no-rlimits --no-proc-title -f " +
            (dir_ / "avahi.conf").string();
        daemon_ = std::make_unique<ChildProcess>(std::vector<std::string>{
            "setpriv", "--pdeathsig", "KILL", "unshare", "-n", "-m", "sh", "-c", script});
        return daemon_->waitForOutput("Server startup complete", 15s);
    }
    std::string daemonOutput() const { return daemon_ ? daemon_->output() : std::string(); }
    void stopDaemon() { daemon_.reset(); }

private:
    fs::path dir_;
    std::unique_ptr<ChildProcess> bus_, daemon_;
    bool busUp_ = false;
};

class InteropAvahiAdvertiser : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto reason = AvahiWorld::unavailableReason()) GTEST_SKIP() << *reason;
        world_ = std::make_unique<AvahiWorld>();
        ASSERT_TRUE(world_->busUp()) << world_->busOutput();
    }
    void startDaemon() { ASSERT_TRUE(world_->startDaemon()) << world_->daemonOutput(); }

    const std::string type_{bonjourServiceType};
    std::unique_ptr<AvahiWorld> world_;
};

TEST_F(InteropAvahiAdvertiser, PublishesNamePortAndEmptyTxtKeepsItOnRepeatAndWithdraws) {
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    AvahiServiceAdvertiser advertiser;
    StateWatch watch(advertiser);
    advertiser.advertise("Ann's Test Box", type_, defaultPort);
    ASSERT_TRUE(watch.waitForPhase(Phase::registered))
        << describe(watch.seen()) << world_->daemonOutput();
    EXPECT_EQ(advertiser.state().name, "Ann's Test Box");

    std::vector<Browsed> seen;
    ASSERT_TRUE(browseUntil([](auto& l) { return findName(l, "Ann's Test Box"); }, seen))
        << listed(seen);
    auto* ours = findName(seen, "Ann's Test Box");
    EXPECT_EQ(ours->type, type_);
    EXPECT_EQ(ours->port, std::to_string(defaultPort));
    EXPECT_EQ(ours->txt, "");  // no TXT strings (a string would show as "key=value")

    // A listener restart asks again with the same name and port: nothing changes.
    auto reports = watch.seen().size();
    advertiser.advertise("Ann's Test Box", type_, defaultPort);
    std::this_thread::sleep_for(500ms);  // a change would have been reported by now
    EXPECT_EQ(watch.seen().size(), reports) << describe(watch.seen());

    // A new port is a new registration.
    advertiser.advertise("Ann's Test Box", type_, 5896);
    ASSERT_TRUE(watch.waitForPhase(Phase::registered, 15s, reports)) << describe(watch.seen());
    ASSERT_TRUE(browseUntil(
        [](auto& l) {
            auto* b = findName(l, "Ann's Test Box");
            return b && b->port == "5896";
        },
        seen))
        << listed(seen);

    advertiser.withdraw();
    ASSERT_TRUE(watch.waitForPhase(Phase::idle)) << describe(watch.seen());
    EXPECT_EQ(advertiser.state(), State{});
    EXPECT_TRUE(browseUntil([](auto& l) { return !findName(l, "Ann's Test Box"); }, seen))
        << listed(seen);
}

TEST_F(InteropAvahiAdvertiser, TakesAnotherNameWhenItsOwnIsTakenAndWithdrawsWhenDestroyed) {
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ChildProcess other({"avahi-publish", "-s", "Orvane Test", type_, "7000", "k=v"});
    ASSERT_TRUE(other.waitForOutput("Established", 10s)) << other.output();

    std::vector<Browsed> seen;
    {
        AvahiServiceAdvertiser advertiser;
        StateWatch watch(advertiser);
        advertiser.advertise("Orvane Test", type_, defaultPort);
        ASSERT_TRUE(watch.waitForPhase(Phase::registered)) << describe(watch.seen());
        EXPECT_EQ(advertiser.state().name, "Orvane Test #2");
        ASSERT_TRUE(browseUntil(
            [](auto& l) { return findName(l, "Orvane Test #2") && findName(l, "Orvane Test"); },
            seen))
            << listed(seen);
        EXPECT_EQ(findName(seen, "Orvane Test #2")->port, std::to_string(defaultPort));
        EXPECT_EQ(findName(seen, "Orvane Test")->port, "7000");
        EXPECT_EQ(findName(seen, "Orvane Test")->txt, "\"k=v\"");  // how a TXT string would show
    }
    // Shutdown: the advertiser's service goes, the other one stays.
    EXPECT_TRUE(browseUntil(
        [](auto& l) { return !findName(l, "Orvane Test #2") && findName(l, "Orvane Test"); }, seen))
        << listed(seen);
}

TEST_F(InteropAvahiAdvertiser, WaitsForTheDaemonAndRegistersAgainAfterItRestarts) {
    auto memory = std::make_shared<MemoryLogSink>();
    Log::addSink(memory);
    struct Unhook {
        std::shared_ptr<MemoryLogSink> sink;
        ~Unhook() { Log::removeSink(sink); }
    } unhook{memory};

    AvahiServiceAdvertiser advertiser;
    StateWatch watch(advertiser);
    advertiser.advertise("Orvane Test", type_, defaultPort);
    ASSERT_TRUE(watch.waitForPhase(Phase::waitingForDaemon, 5s)) << describe(watch.seen());
    EXPECT_TRUE(memory->contains("mDNS daemon not running"));

    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_TRUE(watch.waitForPhase(Phase::registered))
        << describe(watch.seen()) << world_->daemonOutput();

    world_->stopDaemon();
    ASSERT_TRUE(watch.waitForPhase(Phase::waitingForDaemon, 5s)) << describe(watch.seen());
    EXPECT_TRUE(memory->contains("mDNS daemon went away"));

    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_TRUE(watch.waitForPhase(Phase::registered)) << describe(watch.seen());
    EXPECT_EQ(advertiser.state().name, "Orvane Test");
    std::vector<Browsed> seen;
    EXPECT_TRUE(browseUntil([](auto& l) { return findName(l, "Orvane Test"); }, seen))
        << listed(seen);
}

}  // namespace
}  // namespace orvane

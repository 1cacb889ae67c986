#include "OrvaneKit/records/linux/LinuxMetricSource.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <nlohmann/json.hpp>

#include "OrvaneKit/base/Uuid.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class Scratch {
public:
    // A fixed place per test, so that a death test's child (a fresh run of this program) and
    // the test itself agree on it.
    explicit Scratch(const std::string& name)
        : root_(fs::path(ORVANE_BINARY_DIR) / "test-scratch" / name) {
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    const fs::path& root() const { return root_; }
    fs::path marker() const { return root_ / "state" / "crash-marker"; }
    Diagnostics::Config diagnostics() const {
        Diagnostics::Config c;
        c.folder = root_ / "Diagnostics";
        c.tempDir = root_;
        return c;
    }
    std::vector<json> saved(std::string_view kind) const {
        std::vector<json> out;
        for (const auto& f : Diagnostics(diagnostics()).savedFiles())
            if (f.filename().string().find(std::string("-") + std::string(kind) + "-") !=
                std::string::npos)
                out.push_back(json::parse(readFile(f)));
        return out;
    }

private:
    fs::path root_;
};

std::string testName() {
    auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name)
        if (c == '/') c = '_';
    return name;
}

TEST(LinuxMetricSource, MarkerRecordsBecomeOnePayloadEach) {
    const std::string full =
        "crash signal=11 code=1 address=0x8 pid=4242 time=1738343109\n"
        "version=2.1 (345)\n"
        "orvane-host(+0x1234)[0x5555]\n"
        "/lib/libc.so.6(+0x3c050)[0x7f00]\n"
        "end\n";
    const json fullPayload = json::parse(R"J({"type":"crash","signal":11,"signalName":"SIGSEGV",
        "code":1,"address":"0x8","pid":4242,"time":"2025-01-31T17:05:09Z","backtrace":[
        "orvane-host(+0x1234)[0x5555]","/lib/libc.so.6(+0x3c050)[0x7f00]"],"complete":true,
        "appVersion":"2.1 (345)"})J");
    struct Case {
        const char* name;
        std::string text;
        std::vector<json> want;
    } cases[] = {
        {"a whole record", full, {fullPayload}},
        {"one kept from before and a new one", full + full, {fullPayload, fullPayload}},
        {"cut short while writing",
         "noise before\ncrash signal=6 code=-6 pid=7 time=0\nversion=\nframe",
         {json::parse(R"({"type":"crash","signal":6,"signalName":"SIGABRT","code":-6,"pid":7,
            "time":"1970-01-01T00:00:00Z","backtrace":["frame"],"complete":false,
            "appVersion":""})")}},
        {"no signal, so not ours", "crash code=1\nframe\nend\n", {}},
        {"nothing", "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<json> got;
        for (const auto& p : LinuxMetricSource::payloadsFromMarker(c.text))
            got.push_back(json::parse(p));
        EXPECT_EQ(got, c.want);
    }
}

TEST(LinuxMetricSource, AMarkerStaysUntilItsPayloadIsKept) {
    Scratch s(testName());
    fs::create_directories(s.marker().parent_path());
    std::ofstream(s.marker()) << "crash signal=11 code=1 pid=1 time=1\nversion=1\nend\n";

    // The payload folder cannot be made: the record must wait for a better start.
    auto blocked = s.diagnostics();
    blocked.folder = s.root() / "blocker" / "Diagnostics";
    std::ofstream(s.root() / "blocker") << "a file where a folder should be";
    {
        LinuxMetricSource source({s.marker(), "1", &SystemClock::shared()});
        Diagnostics d(blocked, &source);
        d.start();
        EXPECT_TRUE(source.armed());
    }
    EXPECT_NE(readFile(s.marker()), "");

    for (int run = 0; run < 2; ++run) {
        LinuxMetricSource source({s.marker(), "1", &SystemClock::shared()});
        Diagnostics d(s.diagnostics(), &source);
        d.start();
    }
    auto saved = s.saved("diagnostic");
    ASSERT_EQ(saved.size(), 1u);  // the second start found an empty marker
    EXPECT_EQ(saved[0]["signal"], 11);
    EXPECT_EQ(readFile(s.marker()), "");
}

TEST(LinuxMetricSource, ResourceFiguresOnceAtAFinish) {
    Scratch s(testName());
    LinuxMetricSource source({s.marker(), "2.1 (345)", &SystemClock::shared()});
    Diagnostics d(s.diagnostics(), &source);
    d.start();
    d.finish();
    d.finish();

    auto saved = s.saved("metrics");
    ASSERT_EQ(saved.size(), 1u);
    const auto& m = saved[0];
    EXPECT_EQ(m["type"], "exit");
    EXPECT_EQ(m["appVersion"], "2.1 (345)");
    EXPECT_GT(m["peakResidentBytes"].get<std::int64_t>(), 1 << 20);
    EXPECT_GT(m["cpuUserSeconds"].get<double>() + m["cpuSystemSeconds"].get<double>(), 0.0);
    EXPECT_GE(m["runSeconds"].get<double>(), 0.0);
    for (const char* key : {"begin", "end", "minorPageFaults", "voluntaryContextSwitches"})
        EXPECT_TRUE(m.contains(key)) << key;
}

TEST(LinuxMetricSource, OnlyOneSourceHandlesCrashesAtATimeAndGivesTheSignalsBack) {
    Scratch s(testName());
    auto handler = [](int sig) {
        struct sigaction a {};
        ::sigaction(sig, nullptr, &a);
        return reinterpret_cast<void*>(a.sa_sigaction);
    };
    void* before = handler(SIGSEGV);
    {
        LinuxMetricSource first({s.marker(), "1", &SystemClock::shared()});
        first.subscribe([](const auto&, auto) { return true; });
        void* ours = handler(SIGSEGV);
        EXPECT_NE(ours, before);
        {
            LinuxMetricSource second({s.root() / "other", "1", &SystemClock::shared()});
            second.subscribe([](const auto&, auto) { return true; });
            EXPECT_TRUE(first.armed());
            EXPECT_FALSE(second.armed());
        }
        EXPECT_EQ(handler(SIGSEGV), ours);
        EXPECT_EQ(handler(SIGABRT), ours);
    }
    EXPECT_EQ(handler(SIGSEGV), before);
}

// A crash in a child process; the next start in this process turns its marker into a payload.
// Sanitizers own these signals, so this runs only where they do not (the Slow label).
struct CrashCase {
    const char* name;
    int signal;
};

class SlowCrashMarker : public ::testing::TestWithParam<CrashCase> {};

[[noreturn]] void crashBy(int signal, const fs::path& scratch) {
    struct rlimit noCore {};
    ::setrlimit(RLIMIT_CORE, &noCore);
    switch (signal) {
        case SIGSEGV: {
            volatile std::uintptr_t address = 8;
            *reinterpret_cast<volatile int*>(address) = 1;
            break;
        }
        case SIGBUS: {
            // A mapped page whose file was cut short under it.
            int fd = ::open((scratch / "short-file").c_str(), O_RDWR | O_CREAT, 0600);
            if (fd >= 0 && ::ftruncate(fd, 4096) == 0) {
                auto* page = static_cast<volatile char*>(
                    ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0));
                if (page != MAP_FAILED && ::ftruncate(fd, 0) == 0) (void)page[0];
            }
            break;
        }
        case SIGABRT:
            std::abort();
    }
    std::_Exit(0);
}

TEST_P(SlowCrashMarker, ACrashLeavesAMarkerThatTheNextStartSaves) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto& c = GetParam();
    Scratch s(testName());

    EXPECT_EXIT(
        {
            LinuxMetricSource source({s.marker(), "2.1 (345)", &SystemClock::shared()});
            Diagnostics d(s.diagnostics(), &source);
            d.start();
            crashBy(c.signal, s.root());
        },
        ::testing::KilledBySignal(c.signal), "");

    EXPECT_TRUE(s.saved("diagnostic").empty());
    LinuxMetricSource next({s.marker(), "2.2 (346)", &SystemClock::shared()});
    Diagnostics d(s.diagnostics(), &next);
    d.start();
    auto saved = s.saved("diagnostic");
    ASSERT_EQ(saved.size(), 1u) << readFile(s.marker());
    const auto& p = saved[0];
    EXPECT_EQ(p["signal"], c.signal);
    EXPECT_EQ(p["appVersion"], "2.1 (345)");  // the version that crashed
    EXPECT_EQ(p["complete"], true);
    EXPECT_FALSE(p["backtrace"].empty());
    EXPECT_EQ(p.contains("address"), c.signal != SIGABRT);
    EXPECT_EQ(readFile(s.marker()), "");
}

INSTANTIATE_TEST_SUITE_P(Slow, SlowCrashMarker,
                         ::testing::Values(CrashCase{"segv", SIGSEGV}, CrashCase{"bus", SIGBUS},
                                           CrashCase{"abort", SIGABRT}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orvane

#include "OrvaneKit/records/linux/LinuxMetricSource.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>

#include "OrvaneKit/base/Date.h"
#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/base/Paths.h"

namespace orvane {
namespace fs = std::filesystem;

namespace {

constexpr int crashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr std::size_t signalCount = std::size(crashSignals);
// A marker this large is not a crash record any more; the rest is not read.
constexpr std::size_t markerReadLimit = 1 << 20;
constexpr int maxFrames = 64;

// Everything the handler touches is prepared before it is armed and read without locks.
std::atomic<int> markerFd{-1};
std::atomic<bool> writingRecord{false};
std::atomic<bool> handlersOwned{false};
struct sigaction previousActions[signalCount];
char versionText[256];
std::size_t versionLength = 0;
// Lets the handler run after a stack overflow on the thread that armed it.
alignas(16) char alternateStack[64 * 1024];

// Async-signal-safe text building: no allocation, no locale, no stdio.
struct LineBuffer {
    char data[256];
    std::size_t size = 0;
    void put(const char* s) {
        while (*s && size < sizeof data) data[size++] = *s++;
    }
    void number(long long v) {
        auto u = static_cast<unsigned long long>(v);
        if (v < 0) {
            put("-");
            u = 0ull - u;
        }
        digits(u, 10);
    }
    void digits(unsigned long long v, unsigned base) {
        char out[24];
        std::size_t n = 0;
        do {
            unsigned d = static_cast<unsigned>(v % base);
            out[n++] = static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10);
            v /= base;
        } while (v && n < sizeof out);
        while (n && size < sizeof data) data[size++] = out[--n];
    }
};

void writeAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

int signalIndex(int sig) {
    for (std::size_t i = 0; i < signalCount; ++i)
        if (crashSignals[i] == sig) return static_cast<int>(i);
    return -1;
}

void onCrash(int sig, siginfo_t* info, void*) {
    int savedErrno = errno;
    int fd = markerFd.load();
    // One record per crash: a second thread failing meanwhile only passes its signal on.
    if (fd >= 0 && !writingRecord.exchange(true)) {
        LineBuffer line;
        line.put("crash signal=");
        line.number(sig);
        line.put(" code=");
        line.number(info ? info->si_code : 0);
        // The address means something only for a fault the kernel raised.
        if (info && info->si_code > 0 && sig != SIGABRT) {
            line.put(" address=0x");
            line.digits(reinterpret_cast<std::uintptr_t>(info->si_addr), 16);
        }
        line.put(" pid=");
        line.number(::getpid());
        struct timespec now {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        line.put(" time=");
        line.number(now.tv_sec);
        line.put("\nversion=");
        writeAll(fd, line.data, line.size);
        writeAll(fd, versionText, versionLength);
        writeAll(fd, "\n", 1);
        void* frames[maxFrames];
        int n = ::backtrace(frames, maxFrames);
        ::backtrace_symbols_fd(frames, n, fd);
        writeAll(fd, "end\n", 4);
    }
    // Give the signal back to whoever had it (by default: end the process with a core dump).
    // It stays blocked until this handler returns, so it arrives only then.
    int i = signalIndex(sig);
    if (i >= 0) ::sigaction(sig, &previousActions[i], nullptr);
    ::raise(sig);
    errno = savedErrno;
}

std::string signalName(int sig) {
    switch (sig) {
        case SIGSEGV:
            return "SIGSEGV";
        case SIGBUS:
            return "SIGBUS";
        case SIGILL:
            return "SIGILL";
        case SIGFPE:
            return "SIGFPE";
        case SIGABRT:
            return "SIGABRT";
        default:
            return "signal " + std::to_string(sig);
    }
}

std::optional<long long> parseInteger(std::string_view s) {
    if (s.empty() || s.size() > 20) return std::nullopt;
    long long v = 0;
    bool negative = s.front() == '-';
    if (negative) s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        if (v > (std::numeric_limits<long long>::max() - (c - '0')) / 10) return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return negative ? -v : v;
}

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

const Logger& log() {
    static const Logger l{"com.nimbrel.kelsap", "diagnostics"};
    return l;
}

}  // namespace

fs::path LinuxMetricSource::standardMarker() {
    return Paths::state() / "Orvane" / "crash-marker";
}

LinuxMetricSource::LinuxMetricSource(Config config)
    : config_(std::move(config)),
      started_(config_.clock->wallNow()),
      startedMono_(config_.clock->monoNow()) {}

LinuxMetricSource::~LinuxMetricSource() {
    if (armed_) {
        markerFd.store(-1);
        for (std::size_t i = 0; i < signalCount; ++i)
            ::sigaction(crashSignals[i], &previousActions[i], nullptr);
        handlersOwned.store(false);
    }
    if (fd_ >= 0) ::close(fd_);
}

void LinuxMetricSource::subscribe(Deliver deliver) {
    if (deliver_) return;  // one subscriber, once
    deliver_ = std::move(deliver);
    std::error_code ec;
    fs::create_directories(config_.marker.parent_path(), ec);
    // Appending keeps records that could not be saved yet next to a new crash's record.
    fd_ = ::open(config_.marker.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        log().error("crash reports are off: cannot open {} ({})", config_.marker.string(),
                    std::strerror(errno));
        return;
    }

    std::string text(markerReadLimit, '\0');
    ssize_t n = ::pread(fd_, text.data(), text.size(), 0);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    if (!text.empty()) {
        auto payloads = payloadsFromMarker(text);
        bool kept = payloads.empty() || (deliver_ && deliver_(payloads, "diagnostic"));
        if (kept && ::ftruncate(fd_, 0) != 0)
            log().error("cannot empty the crash marker ({})", std::strerror(errno));
    }

    if (handlersOwned.exchange(true)) {
        log().error("crash reports are off: another source already handles crashes");
        return;
    }
    std::size_t len = std::min(config_.version.size(), sizeof versionText);
    std::memcpy(versionText, config_.version.data(), len);
    versionLength = len;
    // The first backtrace loads the unwinder, which allocates: not something a handler may do.
    void* frames[2];
    ::backtrace(frames, 2);
    stack_t current{};
    if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE)) {
        stack_t alt{};
        alt.ss_sp = alternateStack;
        alt.ss_size = sizeof alternateStack;
        ::sigaltstack(&alt, nullptr);
    }
    markerFd.store(fd_);
    struct sigaction action {};
    action.sa_sigaction = &onCrash;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < signalCount; ++i)
        ::sigaction(crashSignals[i], &action, &previousActions[i]);
    armed_ = true;
}

void LinuxMetricSource::finish() {
    if (finished_ || !deliver_) return;
    finished_ = true;
    deliver_({exitFigures()}, "metrics");
}

std::string LinuxMetricSource::exitFigures() const {
    struct rusage use {};
    ::getrusage(RUSAGE_SELF, &use);
    auto run = std::chrono::duration<double>(config_.clock->monoNow() - startedMono_);
    nlohmann::ordered_json j;
    j["type"] = "exit";
    j["begin"] = Date::fromTimePoint(started_).iso8601();
    j["end"] = Date::fromTimePoint(config_.clock->wallNow()).iso8601();
    j["runSeconds"] = run.count();
    j["cpuUserSeconds"] = seconds(use.ru_utime);
    j["cpuSystemSeconds"] = seconds(use.ru_stime);
    j["peakResidentBytes"] = static_cast<std::int64_t>(use.ru_maxrss) * 1024;
    j["minorPageFaults"] = use.ru_minflt;
    j["majorPageFaults"] = use.ru_majflt;
    j["voluntaryContextSwitches"] = use.ru_nvcsw;
    j["involuntaryContextSwitches"] = use.ru_nivcsw;
    j["blockInputs"] = use.ru_inblock;
    j["blockOutputs"] = use.ru_oublock;
    j["appVersion"] = config_.version;
    return j.dump();
}

std::vector<std::string> LinuxMetricSource::payloadsFromMarker(std::string_view text) {
    std::vector<std::string> out;
    std::optional<nlohmann::ordered_json> record;
    auto close = [&] {
        if (record)
            out.push_back(record->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        record.reset();
    };
    while (!text.empty()) {
        auto eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);

        if (line.rfind("crash ", 0) == 0) {
            close();
            nlohmann::ordered_json r;
            r["type"] = "crash";
            std::string_view rest = line.substr(6);
            while (!rest.empty()) {
                auto sp = rest.find(' ');
                std::string_view field = rest.substr(0, sp);
                rest.remove_prefix(sp == std::string_view::npos ? rest.size() : sp + 1);
                auto eq = field.find('=');
                if (eq == std::string_view::npos) continue;
                std::string_view key = field.substr(0, eq), value = field.substr(eq + 1);
                if (key == "address") {
                    r["address"] = std::string(value);
                    continue;
                }
                auto v = parseInteger(value);
                if (!v) continue;
                if (key == "signal") {
                    r["signal"] = *v;
                    r["signalName"] = signalName(static_cast<int>(*v));
                } else if (key == "code") {
                    r["code"] = *v;
                } else if (key == "pid") {
                    r["pid"] = *v;
                } else if (key == "time") {
                    r["time"] = Date::fromUnix(static_cast<double>(*v)).iso8601();
                }
            }
            if (!r.contains("signal")) continue;  // not a record we wrote
            r["backtrace"] = nlohmann::ordered_json::array();
            r["complete"] = false;
            record = std::move(r);
        } else if (!record) {
            continue;
        } else if (line.rfind("version=", 0) == 0) {
            (*record)["appVersion"] = std::string(line.substr(8));
        } else if (line == "end") {
            (*record)["complete"] = true;
            close();
        } else if (!line.empty()) {
            (*record)["backtrace"].push_back(std::string(line));
        }
    }
    // A record cut short (the process died while writing it) is still a crash worth keeping.
    close();
    return out;
}

}  // namespace orvane

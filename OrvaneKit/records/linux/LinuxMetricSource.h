#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaneKit/base/Clock.h"
#include "OrvaneKit/records/Diagnostics.h"

namespace orvane {

// Linux has no service that reports crashes and resource use to the process, so the process
// keeps its own: a crash handler appends a marker record to a file opened in advance, and the
// next start turns each record into a "diagnostic" payload; at a normal exit the process's own
// resource figures become a "metrics" payload.
//
// One instance at a time owns the crash handlers (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT);
// after writing its record the handler gives the signal back to whoever had it before, so the
// process still ends (and dumps core) as it would have.
class LinuxMetricSource final : public MetricSource {
public:
    struct Config {
        std::filesystem::path marker = standardMarker();
        std::string version;  // written into every crash record, e.g. "2.1 (345)"
        const Clock* clock = &SystemClock::shared();
    };

    // In the user's state directory: not among the saved payloads.
    static std::filesystem::path standardMarker();

    explicit LinuxMetricSource(Config config);
    ~LinuxMetricSource() override;
    LinuxMetricSource(const LinuxMetricSource&) = delete;
    LinuxMetricSource& operator=(const LinuxMetricSource&) = delete;

    // Delivers the records left by earlier crashes (emptying the marker only once they are
    // kept), then arms the handlers.
    void subscribe(Deliver deliver) override;
    // Delivers the resource figures once.
    void finish() override;

    bool armed() const { return armed_; }

    // One JSON payload per crash record in a marker's text; text before the first record and
    // records without a signal are skipped.
    static std::vector<std::string> payloadsFromMarker(std::string_view text);
    // The resource figures of this process as a JSON payload.
    std::string exitFigures() const;

private:
    Config config_;
    Deliver deliver_;
    int fd_ = -1;
    bool armed_ = false;
    bool finished_ = false;
    WallTime started_;
    MonoTime startedMono_;
};

}  // namespace orvane

#include "OrvaneKit/base/Logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>

namespace orvane {

std::string_view logLevelName(LogLevel level) {
    switch (level) {
        case LogLevel::debug:
            return "debug";
        case LogLevel::info:
            return "info";
        case LogLevel::notice:
            return "default";
        case LogLevel::error:
            return "error";
        case LogLevel::fault:
            return "fault";
    }
    return "default";
}

namespace {
struct Registry {
    std::mutex mutex;
    std::vector<std::shared_ptr<LogSink>> sinks;
    bool toStderr = true;
    LogLevel stderrMinimum = LogLevel::info;
};
Registry& registry() {
    static Registry* r = new Registry;  // outlives static destructors that still log
    return *r;
}
}  // namespace

namespace Log {
void addSink(std::shared_ptr<LogSink> sink) {
    std::lock_guard lock(registry().mutex);
    registry().sinks.push_back(std::move(sink));
}
void removeSink(const std::shared_ptr<LogSink>& sink) {
    std::lock_guard lock(registry().mutex);
    auto& s = registry().sinks;
    s.erase(std::remove(s.begin(), s.end(), sink), s.end());
}
void setStderr(bool enabled, LogLevel minimum) {
    std::lock_guard lock(registry().mutex);
    registry().toStderr = enabled;
    registry().stderrMinimum = minimum;
}
void emit(LogRecord record) {
    std::vector<std::shared_ptr<LogSink>> sinks;
    bool toStderr;
    LogLevel minimum;
    {
        std::lock_guard lock(registry().mutex);
        sinks = registry().sinks;
        toStderr = registry().toStderr;
        minimum = registry().stderrMinimum;
    }
    if (toStderr && record.level >= minimum) {
        std::string line =
            formatIso8601(record.time) + " [" + record.category + "] " + record.message + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
    }
    for (auto& sink : sinks) sink->write(record);
}
}  // namespace Log

std::string formatIso8601(std::chrono::system_clock::time_point time, bool fractions) {
    using namespace std::chrono;
    auto secs = time_point_cast<seconds>(time);
    if (secs > time) secs -= seconds(1);
    auto ms = duration_cast<milliseconds>(time - secs).count();
    std::time_t t = system_clock::to_time_t(secs);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    std::string out = buf;
    if (fractions) {
        char frac[8];
        std::snprintf(frac, sizeof frac, ".%03d", static_cast<int>(ms));
        out += frac;
    }
    return out + "Z";
}

std::string logRecordJson(const LogRecord& r) {
    nlohmann::json j = {{"time", formatIso8601(r.time)},
                        {"subsystem", r.subsystem},
                        {"category", r.category},
                        {"level", std::string(logLevelName(r.level))},
                        {"message", r.message}};
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void MemoryLogSink::write(const LogRecord& record) {
    std::lock_guard lock(mutex_);
    records_.push_back(record);
}
std::vector<LogRecord> MemoryLogSink::records() const {
    std::lock_guard lock(mutex_);
    return records_;
}
bool MemoryLogSink::contains(std::string_view text) const {
    std::lock_guard lock(mutex_);
    return std::any_of(records_.begin(), records_.end(), [&](const LogRecord& r) {
        return r.message.find(text) != std::string::npos;
    });
}

FileLogSink::FileLogSink(std::string path, std::size_t maxBytes)
    : path_(std::move(path)), maxBytes_(maxBytes) {
    std::lock_guard lock(mutex_);
    openLocked();
}

FileLogSink::~FileLogSink() {
    if (fd_ >= 0) ::close(fd_);
}

void FileLogSink::openLocked() {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ec);
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    struct stat st {};
    size_ = (fd_ >= 0 && ::fstat(fd_, &st) == 0) ? static_cast<std::size_t>(st.st_size) : 0;
}

void FileLogSink::write(const LogRecord& record) {
    std::string line = logRecordJson(record) + "\n";
    std::lock_guard lock(mutex_);
    if (fd_ < 0) return;
    if (size_ + line.size() > maxBytes_) {
        ::close(fd_);
        std::rename(path_.c_str(), (path_ + ".1").c_str());
        openLocked();
        if (fd_ < 0) return;
    }
    if (::write(fd_, line.data(), line.size()) > 0) size_ += line.size();
}

}  // namespace orvane

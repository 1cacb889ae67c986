#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

enum class LogLevel { debug, info, notice, error, fault };
std::string_view logLevelName(LogLevel level);

struct LogRecord {
    std::chrono::system_clock::time_point time;
    std::string subsystem;
    std::string category;
    LogLevel level;
    std::string message;
};

class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(const LogRecord& record) = 0;
};

// Marks an argument whose value must never reach a log.
template <class T>
struct Private {
    const T& value;
};
template <class T>
Private<T> priv(const T& value) {
    return {value};
}

namespace logdetail {
template <class T>
void put(std::ostringstream& out, const T& v) {
    out << v;
}
template <class T>
void put(std::ostringstream& out, const Private<T>&) {
    out << "<private>";
}
inline void format(std::ostringstream& out, std::string_view fmt) {
    out << fmt;
}
template <class T, class... Rest>
void format(std::ostringstream& out, std::string_view fmt, const T& first, const Rest&... rest) {
    auto pos = fmt.find("{}");
    if (pos == std::string_view::npos) {
        out << fmt;
        return;
    }
    out << fmt.substr(0, pos);
    put(out, first);
    format(out, fmt.substr(pos + 2), rest...);
}
}  // namespace logdetail

// Where log records go. By default only stderr; the host adds its rotating file.
namespace Log {
void addSink(std::shared_ptr<LogSink> sink);
void removeSink(const std::shared_ptr<LogSink>& sink);
void setStderr(bool enabled, LogLevel minimum = LogLevel::info);
void emit(LogRecord record);
}  // namespace Log

class Logger {
public:
    Logger(std::string subsystem, std::string category)
        : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

    template <class... Args>
    void debug(std::string_view fmt, const Args&... args) const {
        log(LogLevel::debug, fmt, args...);
    }
    template <class... Args>
    void info(std::string_view fmt, const Args&... args) const {
        log(LogLevel::info, fmt, args...);
    }
    template <class... Args>
    void notice(std::string_view fmt, const Args&... args) const {
        log(LogLevel::notice, fmt, args...);
    }
    template <class... Args>
    void error(std::string_view fmt, const Args&... args) const {
        log(LogLevel::error, fmt, args...);
    }
    template <class... Args>
    void fault(std::string_view fmt, const Args&... args) const {
        log(LogLevel::fault, fmt, args...);
    }

    template <class... Args>
    void log(LogLevel level, std::string_view fmt, const Args&... args) const {
        std::ostringstream out;
        logdetail::format(out, fmt, args...);
        Log::emit({std::chrono::system_clock::now(), subsystem_, category_, level, out.str()});
    }

private:
    std::string subsystem_;
    std::string category_;
};

// Keeps records in memory: for tests and for the log export.
class MemoryLogSink : public LogSink {
public:
    void write(const LogRecord& record) override;
    std::vector<LogRecord> records() const;
    bool contains(std::string_view text) const;

private:
    mutable std::mutex mutex_;
    std::vector<LogRecord> records_;
};

// JSON lines, one record a line, rotated by size; the previous file is kept as ".1" so that at
// least the last day survives a rotation at normal volumes.
class FileLogSink : public LogSink {
public:
    explicit FileLogSink(std::string path, std::size_t maxBytes = 8 * 1024 * 1024);
    ~FileLogSink() override;
    void write(const LogRecord& record) override;
    const std::string& path() const { return path_; }

private:
    void openLocked();
    std::string path_;
    std::size_t maxBytes_;
    std::mutex mutex_;
    int fd_ = -1;
    std::size_t size_ = 0;
};

std::string formatIso8601(std::chrono::system_clock::time_point time, bool fractions = true);
std::string logRecordJson(const LogRecord& record);

}  // namespace orvane

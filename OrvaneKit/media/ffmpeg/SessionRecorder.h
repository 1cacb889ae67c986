#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "OrvaneKit/media/VideoDepacketizer.h"

struct AVFormatContext;
struct AVStream;
struct AVPacket;

namespace orvane {

// A movie writer failure, with the writer's own words.
class RecorderError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    // The writer refused a track of this media subtype.
    static RecorderError cannotAddTrack(uint32_t subtype);
};

// Writes a received stream into a QuickTime movie as it comes (no re-encoding), from its first
// sync sample on. Appends come from one thread at a time.
class SessionRecorder {
public:
    // Makes the parent folders (ignoring failure) and opens the file; throws RecorderError
    // when it cannot be written.
    explicit SessionRecorder(std::filesystem::path url);
    ~SessionRecorder();
    SessionRecorder(const SessionRecorder&) = delete;
    SessionRecorder& operator=(const SessionRecorder&) = delete;

    // Never throws; failures land in lastError().
    void append(const CompressedSample& sample);
    // The finished movie, or none (no sync sample ever came: the file is removed).
    std::optional<std::filesystem::path> finish();

    const std::filesystem::path& url() const { return url_; }
    std::optional<std::string> lastError() const;
    int samplesSeen() const;

    static bool isSyncSample(const CompressedSample& sample) { return sample.sync; }

private:
    bool startTrack(const CompressedSample& sample);
    void write(const CompressedSample& sample);
    void discard();

    const std::filesystem::path url_;
    mutable std::mutex lock_;
    AVFormatContext* writer_ = nullptr;
    AVStream* stream_ = nullptr;
    AVPacket* packet_ = nullptr;
    std::shared_ptr<const VideoFormat> format_;
    bool started_ = false;
    bool finished_ = false;
    int64_t startMicros_ = 0;
    int64_t lastMicros_ = 0;
    int64_t lastTicks_ = -1;
    std::optional<std::string> lastError_;
    int samplesSeen_ = 0;
};

}  // namespace orvane

#include "Orvane_Host/capture/testing/FakeScreenSource.h"

#include <stdexcept>

namespace orvane {

class FakeScreenSource::Stream : public ScreenStream {
public:
    Stream(std::shared_ptr<StreamRecord> record, std::mutex& mutex)
        : record_(std::move(record)), mutex_(mutex) {}
    void stop() override {
        std::lock_guard lock(mutex_);
        record_->stopped = true;
    }
    void setPixelFormat(PixelFormat format) override {
        std::lock_guard lock(mutex_);
        record_->format = format;
    }

private:
    std::shared_ptr<StreamRecord> record_;
    std::mutex& mutex_;
};

std::vector<CaptureDisplay> FakeScreenSource::displays() {
    std::lock_guard lock(mutex_);
    return displays_;
}

void FakeScreenSource::setDisplays(std::vector<CaptureDisplay> displays) {
    std::lock_guard lock(mutex_);
    displays_ = std::move(displays);
}

void FakeScreenSource::failNextStart(PlatformError error) {
    std::lock_guard lock(mutex_);
    failNext_.emplace(std::move(error));
}

void FakeScreenSource::failDisplay(uint32_t displayID, std::optional<PlatformError> error) {
    std::lock_guard lock(mutex_);
    if (error)
        failing_.insert_or_assign(displayID, std::move(*error));
    else
        failing_.erase(displayID);
}

std::unique_ptr<ScreenStream> FakeScreenSource::startStream(const CaptureDisplay& display,
                                                            const StreamConfig& config,
                                                            StreamSink sink) {
    std::lock_guard lock(mutex_);
    if (failNext_) {
        PlatformError error = std::move(*failNext_);
        failNext_.reset();
        throw error;
    }
    if (auto it = failing_.find(display.id); it != failing_.end()) throw it->second;
    auto record = std::make_shared<StreamRecord>();
    record->display = display;
    record->config = config;
    record->sink = std::move(sink);
    record->format = config.format;
    streams_.push_back(record);
    return std::make_unique<Stream>(record, mutex_);
}

std::shared_ptr<FakeScreenSource::StreamRecord> FakeScreenSource::record(int index) const {
    std::lock_guard lock(mutex_);
    if (streams_.empty()) throw std::logic_error("no stream was started");
    const size_t i = index < 0 ? streams_.size() - 1 : static_cast<size_t>(index);
    return streams_.at(i);
}

void FakeScreenSource::pushFrame(int width, int height, MediaTime pts, FrameStatus status,
                                 int index) {
    auto rec = record(index);
    PixelFormat format;
    {
        std::lock_guard lock(mutex_);
        format = rec->format;
    }
    CapturedFrame frame;
    frame.status = status;
    frame.pts = pts;
    frame.buffer = FrameBuffer::make(format, width, height);
    if (frame.buffer) frame.buffer->fillBlack();
    rec->sink.onFrame(std::move(frame));
}

void FakeScreenSource::pushBuffer(std::shared_ptr<FrameBuffer> buffer, MediaTime pts, int index) {
    record(index)->sink.onFrame({FrameStatus::complete, std::move(buffer), pts});
}

void FakeScreenSource::stopWithError(PlatformError error, int index) {
    record(index)->sink.onStop(std::move(error));
}

size_t FakeScreenSource::streamCount() const {
    std::lock_guard lock(mutex_);
    return streams_.size();
}

FakeScreenSource::StreamRecord FakeScreenSource::stream(int index) const {
    auto rec = record(index);
    std::lock_guard lock(mutex_);
    return *rec;
}

size_t FakeScreenSource::runningCount() const {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const auto& s : streams_) n += s->stopped ? 0 : 1;
    return n;
}

}  // namespace orvane

#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/steady_timer.hpp>
#include <deque>
#include <map>
#include <memory>

#include "Orvane_Host/capture/IDisplayStreams.h"
#include "Orvane_Host/capture/VideoPipeline.h"

namespace orvane {

// One pipeline per watched display, with settings they share; the single pipeline that also
// carries the machine's sound; and the fan-out of the host's requests. Main actor only.
// Starts and stops run one at a time, in the order they were asked for; the blocking parts
// (stopping a capture, asking the platform for its displays, starting a capture) run on the
// given work executor, never on the main actor.
class DisplayStreams final : public IDisplayStreams {
public:
    struct Parts {
        VideoPipeline::Parts pipeline;
        asio::any_io_executor mainActor;
        asio::any_io_executor work;
    };

    DisplayStreams(Parts parts, std::int64_t bitrate);
    ~DisplayStreams() override;
    DisplayStreams(const DisplayStreams&) = delete;
    DisplayStreams& operator=(const DisplayStreams&) = delete;

    void setOnStop(StopHandler handler) override;
    void assignTargets(const Targets& targets) override;
    void setBitrate(std::int64_t bitsPerSecond, int framesPerSecond) override;
    void setCodec(VideoCodec codec, bool hdr) override;
    void storeCodec(VideoCodec codec, bool hdr) override;
    bool hasPipelines() const override;
    bool hasPipeline(std::uint32_t displayID) const override;
    void requestKeyframe(std::uint32_t displayID) override;
    void sendKeyframeNow(std::uint32_t displayID) override;
    std::shared_ptr<const FrameBuffer> lastFrame(std::uint32_t displayID) const override;
    std::optional<AudioStreamFormat> audioFormat() const override;
    std::optional<std::string> soundProblem() const override { return soundProblem_; }
    asio::awaitable<void> start(std::set<std::uint32_t> displays, Targets targets, int maxWidth,
                                bool captureSound, bool restart) override;
    asio::awaitable<void> stop() override;

    // For tests and diagnostics.
    std::optional<std::uint32_t> audioDisplay() const { return audioDisplay_; }
    std::shared_ptr<VideoPipeline> pipeline(std::uint32_t displayID) const;
    // Whether sound was found impossible to capture (until a rebuild tries again).
    bool soundUnavailable() const { return soundProblem_.has_value(); }

private:
    class Turn;
    asio::awaitable<void> waitForTurn();
    void endTurn();
    asio::awaitable<void> stopAll();
    asio::awaitable<void> stopPipeline(std::shared_ptr<VideoPipeline> pipeline);
    std::shared_ptr<VideoPipeline> live(std::uint32_t displayID) const;

    Parts parts_;
    std::map<std::uint32_t, std::shared_ptr<VideoPipeline>> pipelines_;
    std::optional<std::uint32_t> audioDisplay_;
    std::optional<std::string> soundProblem_;
    std::int64_t bitrate_;
    int fps_ = 60;
    VideoCodec codec_ = VideoCodec::h264;
    bool hdr_ = false;
    StopHandler onStop_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    bool busy_ = false;
    std::deque<std::shared_ptr<asio::steady_timer>> waiters_;
};

}  // namespace orvane

#include "Orvane_Host/browser/PipelineBrowserVideo.h"

#include <cerrno>

namespace orvane {

namespace {

class PipelineStream final : public BrowserVideoStream {
public:
    explicit PipelineStream(std::shared_ptr<VideoPipeline> p) : pipeline_(std::move(p)) {}
    void requestKeyframe() override { pipeline_->requestKeyframe(); }
    void sendKeyframeNow() override { pipeline_->sendKeyframeNow(); }
    void stop() override { pipeline_->stop(); }

private:
    std::shared_ptr<VideoPipeline> pipeline_;
};

}  // namespace

std::shared_ptr<BrowserVideoStream> PipelineBrowserVideo::start(std::uint32_t displayID,
                                                                const Settings& settings,
                                                                EncodedHandler onEncoded,
                                                                StopHandler onStop) {
    std::optional<CaptureDisplay> display;
    for (const auto& d : parts_.screens->displays())
        if (d.id == displayID) display = d;
    if (!display) throw PlatformError("capture", ENODEV, "the display is no longer connected");

    auto pipeline = VideoPipeline::make(parts_, settings.bitrate);
    pipeline->setTargetBitrate(settings.bitrate, settings.fps);
    pipeline->setCodec(settings.codec, settings.bitrate, settings.hdr);
    pipeline->setOnEncoded(std::move(onEncoded));
    pipeline->setOnStop([onStop = std::move(onStop)](std::optional<PlatformError> error) {
        if (onStop) onStop(error ? std::optional<std::string>(error->what()) : std::nullopt);
    });
    pipeline->setCaptureSettings(settings.fps, settings.hdr);
    pipeline->start(*display, settings.maxWidth, settings.sound);
    return std::make_shared<PipelineStream>(std::move(pipeline));
}

}  // namespace orvane

#pragma once

#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "OrvaneKit/base/TimerService.h"
#include "OrvaneKit/base/testing/CallLog.h"
#include "Orvane_Host/capture/IDisplayStreams.h"
#include "Orvane_Host/session/IBrowserServer.h"
#include "Orvane_Host/session/ILocalAddresses.h"
#include "Orvane_Host/session/IScreenOverlays.h"

namespace orvane {

class FakeDisplayStreams final : public IDisplayStreams {
public:
    explicit FakeDisplayStreams(CallLog& log) : log_(log) {}
    void setOnStop(StopHandler handler) override { onStop = std::move(handler); }
    void assignTargets(const Targets& targets) override;
    void setBitrate(std::int64_t bitsPerSecond, int framesPerSecond) override;
    void setCodec(VideoCodec codec, bool hdr) override;
    void storeCodec(VideoCodec codec, bool hdr) override;
    bool hasPipelines() const override { return !running.empty(); }
    bool hasPipeline(std::uint32_t displayID) const override { return running.contains(displayID); }
    void requestKeyframe(std::uint32_t displayID) override;
    void sendKeyframeNow(std::uint32_t displayID) override;
    std::shared_ptr<const FrameBuffer> lastFrame(std::uint32_t displayID) const override;
    std::optional<AudioStreamFormat> audioFormat() const override { return format; }
    std::optional<std::string> soundProblem() const override { return soundTrouble; }
    asio::awaitable<void> start(std::set<std::uint32_t> displays, Targets targets, int maxWidth,
                                bool captureSound, bool restart) override;
    asio::awaitable<void> stop() override;

    std::set<std::uint32_t> running;
    std::optional<AudioStreamFormat> format;
    // Becomes `format` when a start captures sound, as a real pipeline's format appears only then.
    std::optional<AudioStreamFormat> formatOnStart;
    bool failNextStart = false;
    // Set, each start takes this long on these timers; `mostAtOnce` counts overlapping starts.
    TimerService* startTimers = nullptr;
    std::chrono::milliseconds startTakes{0};
    int startsRunning = 0;
    int mostAtOnce = 0;
    Targets lastTargets;
    StopHandler onStop;
    std::optional<std::string> soundTrouble;
    std::map<std::uint32_t, std::shared_ptr<const FrameBuffer>> frames;

private:
    CallLog& log_;
};

class FakeBrowserServer final : public IBrowserServer {
public:
    explicit FakeBrowserServer(CallLog& log) : log_(log) {}
    void start(const std::string& accessCode) override { log_.add("browser.start " + accessCode); }
    void stop() override { log_.add("browser.stop"); }
    bool usesTLS() const override { return tls; }
    std::size_t viewerCount() const override { return viewers; }
    std::uint16_t port() const override { return defaultPort; }
    void setGuard(std::weak_ptr<Guard> g) override { guard = std::move(g); }
    bool tls = true;
    std::size_t viewers = 0;
    std::weak_ptr<Guard> guard;

private:
    CallLog& log_;
};

class FakeOverlays final : public IScreenOverlays {
public:
    explicit FakeOverlays(CallLog& log) : log_(log) {}
    bool setCurtain(bool on, StopAction stop) override;
    void showSessionIndicator(std::uint32_t displayID, std::vector<std::string> names, bool support,
                              StopAction stop) override;
    void hideSessionIndicator() override { log_.add("overlays.hideIndicator"); }
    void clearAnnotations() override {
        log_.add("overlays.clearAnnotations");
        model.clear();
    }
    void applyAnnotation(const AnnotationEvent& event, std::uint32_t displayID) override;
    AnnotationModel& annotations() override { return model; }
    std::optional<std::string> takeCurtainError() override { return std::exchange(refusal, {}); }
    std::vector<std::pair<AnnotationEvent, std::uint32_t>> applied;
    // Reported once by the next takeCurtainError.
    std::optional<std::string> refusal;
    AnnotationModel model;

    bool curtain = false;
    StopAction lastStop;

private:
    CallLog& log_;
};

class FakeLocalAddresses final : public ILocalAddresses {
public:
    LocalAddressLists localAddresses() const override { return lists; }
    LocalAddressLists lists;
};

}  // namespace orvane

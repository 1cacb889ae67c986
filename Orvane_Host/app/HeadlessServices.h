#pragma once

#include <stdexcept>

#include "OrvaneKit/base/Logger.h"
#include "Orvane_Host/session/IBrowserServer.h"
#include "Orvane_Host/session/IDisplayStreams.h"
#include "Orvane_Host/session/IScreenOverlays.h"
#include "Orvane_Host/system/ScreenInfo.h"

namespace orvane {

// Stand-ins for what the headless host does not have yet: capture, the browser viewer and the
// on-screen overlays. Each says so instead of pretending to work.
class NoDisplayStreams final : public IDisplayStreams {
public:
    void assignTargets(const Clients&) override {}
    void setBitrate(std::int64_t, int) override {}
    void setCodec(VideoCodec, bool) override {}
    void storeCodec(VideoCodec, bool) override {}
    bool hasPipelines() const override { return false; }
    std::optional<AudioStreamFormat> audioFormat() const override { return std::nullopt; }
    asio::awaitable<void> start(std::set<std::uint32_t>, Clients, int, bool, bool) override {
        throw std::runtime_error("Screen sharing is not available in this build yet.");
        co_return;
    }
    asio::awaitable<void> stop() override { co_return; }
};

class NoBrowserServer final : public IBrowserServer {
public:
    void start(const std::string&) override {
        log_.notice("browser access is not available in this build yet");
    }
    void stop() override {}
    bool usesTLS() const override { return false; }

private:
    const Logger log_{"com.nimbrel.kelsap.host", "browser"};
};

class NoOverlays final : public IScreenOverlays {
public:
    bool setCurtain(bool on, StopAction) override {
        bool changed = on != curtain_;
        curtain_ = on;
        return changed;
    }
    void showSessionIndicator(std::uint32_t, std::vector<std::string>, bool, StopAction) override {}
    void hideSessionIndicator() override {}
    void clearAnnotations() override {}

private:
    bool curtain_ = false;
};

class NoScreens final : public ScreenInfo {
public:
    std::uint32_t mainDisplayID() const override { return 1; }
    bool anyScreenSupportsEDR() const override { return false; }
};

}  // namespace orvane

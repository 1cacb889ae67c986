#include "Orvane_Host/session/testing/FakeNeighbours.h"

#include "Orvane_Host/session/RemoteClient.h"

namespace orvane {

void FakeDisplayStreams::assignTargets(const Targets& targets) {
    lastTargets = targets;
    log_.add("streams.assignTargets " + std::to_string(targets.size()));
}

void FakeDisplayStreams::setBitrate(std::int64_t bitsPerSecond, int framesPerSecond) {
    log_.add("streams.setBitrate " + std::to_string(bitsPerSecond) + " " +
             std::to_string(framesPerSecond));
}

void FakeDisplayStreams::setCodec(VideoCodec codec, bool hdr) {
    log_.add("streams.setCodec " + std::string(videoCodecName(codec)) + (hdr ? " hdr" : " sdr"));
}

void FakeDisplayStreams::storeCodec(VideoCodec codec, bool hdr) {
    log_.add("streams.storeCodec " + std::string(videoCodecName(codec)) + (hdr ? " hdr" : " sdr"));
}

asio::awaitable<void> FakeDisplayStreams::start(std::set<std::uint32_t> displays, Targets targets,
                                                int maxWidth, bool captureSound, bool restart) {
    std::string d;
    for (auto id : displays) d += (d.empty() ? "" : ",") + std::to_string(id);
    log_.add("streams.start [" + d + "] width " + std::to_string(maxWidth) +
             (captureSound ? " sound" : " silent") + (restart ? " restart" : ""));
    if (startTimers) {
        mostAtOnce = std::max(mostAtOnce, ++startsRunning);
        co_await startTimers->sleep(startTakes);
        --startsRunning;
    }
    if (std::exchange(failNextStart, false)) throw std::runtime_error("no shareable content");
    running = displays;
    if (captureSound && formatOnStart) format = formatOnStart;
    assignTargets(targets);
    co_return;
}

void FakeDisplayStreams::requestKeyframe(std::uint32_t displayID) {
    log_.add("streams.requestKeyframe " + std::to_string(displayID));
}

void FakeDisplayStreams::sendKeyframeNow(std::uint32_t displayID) {
    log_.add("streams.sendKeyframeNow " + std::to_string(displayID));
}

std::shared_ptr<const FrameBuffer> FakeDisplayStreams::lastFrame(std::uint32_t displayID) const {
    auto it = frames.find(displayID);
    return it == frames.end() ? nullptr : it->second;
}

asio::awaitable<void> FakeDisplayStreams::stop() {
    log_.add("streams.stop");
    running.clear();
    co_return;
}

bool FakeOverlays::setCurtain(bool on, StopAction stop) {
    log_.add(std::string("overlays.setCurtain ") + (on ? "on" : "off"));
    lastStop = std::move(stop);
    bool changed = curtain != on;
    curtain = on;
    return changed;
}

void FakeOverlays::showSessionIndicator(std::uint32_t displayID, std::vector<std::string> names,
                                        bool support, StopAction stop) {
    std::string n;
    for (auto& s : names) n += (n.empty() ? "" : ",") + s;
    log_.add("overlays.showIndicator " + std::to_string(displayID) + " " + n +
             (support ? " support" : ""));
    lastStop = std::move(stop);
}

void FakeOverlays::applyAnnotation(const AnnotationEvent& event, std::uint32_t displayID) {
    log_.add("overlays.applyAnnotation " + std::to_string(displayID));
    applied.emplace_back(event, displayID);
    model.apply(event);
}

}  // namespace orvane

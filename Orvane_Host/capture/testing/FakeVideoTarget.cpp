#include "Orvane_Host/capture/testing/FakeVideoTarget.h"

namespace orvane::testing {

std::uint32_t FakeVideoTarget::displayID() const {
    std::lock_guard g(mutex_);
    return display_;
}

void FakeVideoTarget::setDisplay(std::uint32_t display) {
    std::lock_guard g(mutex_);
    display_ = display;
}

bool FakeVideoTarget::isBacklogged() const {
    std::lock_guard g(mutex_);
    return takesVideo_ && inFlight_ > window - 1;
}

bool FakeVideoTarget::needsKeyframe() const {
    std::lock_guard g(mutex_);
    return takesVideo_ && needsKeyframe_;
}

bool FakeVideoTarget::sendVideo(const VideoPacket& packet, const Bytes& serialized) {
    std::lock_guard g(mutex_);
    bool taken = true;
    if (takesVideo_) {
        if (needsKeyframe_ && !packet.isKeyframe) {
            taken = false;
        } else if (inFlight_ >= window) {
            needsKeyframe_ = true;
            taken = false;
        } else {
            needsKeyframe_ = false;
            ++inFlight_;
            video_.push_back(serialized);
        }
    }
    offers_.push_back({packet.isKeyframe, packet.timestampMicros, taken});
    return taken;
}

void FakeVideoTarget::sendAudio(const Bytes& packet) {
    std::lock_guard g(mutex_);
    if (takesVideo_) audio_.push_back(packet);
}

bool FakeVideoTarget::complete(int frames) {
    std::lock_guard g(mutex_);
    if (inFlight_ < frames) {
        inFlight_ = 0;
        return false;
    }
    inFlight_ -= frames;
    return true;
}

int FakeVideoTarget::inFlight() const {
    std::lock_guard g(mutex_);
    return inFlight_;
}

std::vector<FakeVideoTarget::Offer> FakeVideoTarget::offers() const {
    std::lock_guard g(mutex_);
    return offers_;
}

std::vector<Bytes> FakeVideoTarget::sentVideo() const {
    std::lock_guard g(mutex_);
    return video_;
}

std::vector<Bytes> FakeVideoTarget::sentAudio() const {
    std::lock_guard g(mutex_);
    return audio_;
}

}  // namespace orvane::testing

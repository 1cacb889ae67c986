#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "OrvaneKit/media/VideoPacket.h"
#include "Orvane_Host/capture/VideoTarget.h"

namespace orvane::testing {

// A viewer with the session's flow-control rules (3 frames in flight, a keyframe after a refusal)
// whose sends complete only when the test says so.
class FakeVideoTarget final : public VideoTarget {
public:
    static constexpr int window = 3;

    explicit FakeVideoTarget(std::uint32_t display, bool takesVideo = true)
        : display_(display), takesVideo_(takesVideo) {}

    std::uint32_t displayID() const override;
    bool isBacklogged() const override;
    bool needsKeyframe() const override;
    bool sendVideo(const VideoPacket& packet, const Bytes& serialized) override;
    void sendAudio(const Bytes& packet) override;

    void setDisplay(std::uint32_t display);
    // Completes the oldest frames in flight; false when fewer were pending.
    bool complete(int frames = 1);
    int inFlight() const;

    struct Offer {
        bool keyframe;
        std::uint64_t timestamp;
        bool taken;
    };
    std::vector<Offer> offers() const;
    // Frames taken and sent, as serialised.
    std::vector<Bytes> sentVideo() const;
    std::vector<Bytes> sentAudio() const;

private:
    mutable std::mutex mutex_;
    std::uint32_t display_;
    bool takesVideo_;
    int inFlight_ = 0;
    bool needsKeyframe_ = true;
    std::vector<Offer> offers_;
    std::vector<Bytes> video_;
    std::vector<Bytes> audio_;
};

}  // namespace orvane::testing

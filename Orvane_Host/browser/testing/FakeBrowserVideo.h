#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Orvane_Host/browser/BrowserVideo.h"

namespace orvane {

// Starts that succeed (or fail with `failWith`) at once; the test emits the frames.
class FakeBrowserVideo final : public BrowserVideoSource {
public:
    struct Stream final : BrowserVideoStream {
        std::atomic<int> keyframeRequests{0};
        std::atomic<int> keyframesNow{0};
        std::atomic<bool> stopped{false};
        void requestKeyframe() override { ++keyframeRequests; }
        void sendKeyframeNow() override { ++keyframesNow; }
        void stop() override { stopped = true; }
    };

    std::shared_ptr<BrowserVideoStream> start(std::uint32_t displayID, const Settings& settings,
                                              EncodedHandler onEncoded,
                                              StopHandler onStop) override {
        std::lock_guard lock(mutex_);
        starts.push_back(displayID);
        lastSettings = settings;
        if (failWith) throw std::runtime_error(*failWith);
        current = std::make_shared<Stream>();
        encoded_ = std::move(onEncoded);
        stopped_ = std::move(onStop);
        return current;
    }

    // Delivers one frame as the encoder would.
    void emit(const VideoPacket& packet) {
        EncodedHandler h;
        {
            std::lock_guard lock(mutex_);
            h = encoded_;
        }
        if (h) h(packet, *packet.serialize());
    }
    void stopByItself() {
        StopHandler h;
        {
            std::lock_guard lock(mutex_);
            h = stopped_;
        }
        if (h) h(std::string("display gone"));
    }
    std::shared_ptr<Stream> stream() {
        std::lock_guard lock(mutex_);
        return current;
    }
    std::size_t startCount() {
        std::lock_guard lock(mutex_);
        return starts.size();
    }

    std::mutex mutex_;
    std::vector<std::uint32_t> starts;
    Settings lastSettings;
    std::optional<std::string> failWith;
    std::shared_ptr<Stream> current;

private:
    EncodedHandler encoded_;
    StopHandler stopped_;
};

}  // namespace orvane

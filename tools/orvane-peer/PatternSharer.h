#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/protocol/MessageType.h"

namespace orvane {

// Shares a generated screen the way a device does: a portrait picture, red above and blue below
// with a white square moving down its middle, through the project's own encoder at 10 frames a
// second, from the host's welcome until stopped.
class PatternSharer {
public:
    using Send = std::function<void(MessageType, Bytes)>;
    PatternSharer(Send send, int orientation);
    ~PatternSharer();
    // Every message that arrives: the welcome starts the picture, keyframe requests are served.
    void saw(MessageType type);

    static constexpr int width = 1170, height = 2532;

private:
    void run();

    Send send_;
    int orientation_;
    std::atomic<bool> welcomed_{false}, keyframe_{false}, stop_{false};
    std::thread thread_;
};

}  // namespace orvane

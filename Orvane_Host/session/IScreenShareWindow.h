#pragma once

#include <functional>
#include <memory>
#include <string>

#include "OrvaneKit/base/Bytes.h"

namespace orvane {

// Decodes the video a screen-sharing device sends. receive() runs on that client's connection
// queue.
class IScreenReceiver {
public:
    virtual ~IScreenReceiver() = default;
    virtual void receive(Bytes frame) = 0;
};

// The window that shows a device's shared screen on this machine. Main actor only.
class IScreenShareWindow {
public:
    virtual ~IScreenShareWindow() = default;
    // 1 to 8, as image orientations count.
    virtual void setOrientation(int orientation) = 0;
    virtual void layoutVideo() = 0;
    // Closes the window without running its close handler.
    virtual void closeQuietly() = 0;
};

// Opens shared-screen windows. Main actor only.
class IScreenShareWindows {
public:
    struct Opened {
        std::shared_ptr<IScreenShareWindow> window;
        std::shared_ptr<IScreenReceiver> receiver;
    };
    virtual ~IScreenShareWindows() = default;
    // `needKeyframe` asks the device for a keyframe; `onClose` runs when the person at the
    // machine closes the window.
    virtual Opened open(const std::string& title, std::function<void()> needKeyframe,
                        std::function<void()> onClose) = 0;
};

}  // namespace orvane

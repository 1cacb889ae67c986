#pragma once

#include <functional>
#include <memory>

namespace orvane {

// Raw reports that the display configuration changed (monitors added, removed, moved or
// resized), as the display server sends them: often several for one change.
class DisplayChangeSource {
public:
    virtual ~DisplayChangeSource() = default;
    // Calls `onChange` on the source's own thread for every report until stop(). Throws
    // PlatformError when the display server cannot be reached.
    virtual void start(std::function<void()> onChange) = 0;
    // Waits until `onChange` is no longer called; safe to call twice.
    virtual void stop() = 0;
};

}  // namespace orvane

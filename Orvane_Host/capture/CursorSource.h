#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace orvane {

// The pointer's picture: premultiplied ARGB, one 32-bit value a pixel, rows top to bottom, in
// the display's pixels.
struct CursorImage {
    int width = 0, height = 0;
    int hotX = 0, hotY = 0;
    std::vector<uint32_t> argb;
};

// Where the pointer is, in desktop points, and what it looks like; no image while hidden.
struct CursorState {
    double x = 0, y = 0;
    std::shared_ptr<const CursorImage> image;
    bool operator==(const CursorState& o) const { return x == o.x && y == o.y && image == o.image; }
};

// A running watch of the pointer.
class CursorWatch {
public:
    virtual ~CursorWatch() = default;
    // Waits until the handler is no longer called; safe to call twice.
    virtual void stop() = 0;
};

// The platform's pointer, as the stand-in for the capture service drawing it into frames.
class CursorSource {
public:
    virtual ~CursorSource() = default;
    // Calls `onTick` about every `interval` with the pointer as it is then, changed or not; a
    // new image is a new object, an unchanged one the same. The first call comes before watch
    // returns, on the caller's thread; the others on the source's own. Throws PlatformError
    // when the platform cannot be reached.
    virtual std::unique_ptr<CursorWatch> watch(std::chrono::nanoseconds interval,
                                               std::function<void(const CursorState&)> onTick) = 0;
};

}  // namespace orvane

#pragma once

#include <cstdint>
#include <string>

#include "OrvaneKit/protocol/InputEvent.h"

namespace orvane {

struct InputPoint {
    double x = 0, y = 0;
    bool operator==(const InputPoint&) const = default;
};

// A display's rectangle in the global desktop space (points; one pixel each on X11).
struct DisplayBounds {
    double x = 0, y = 0, width = 0, height = 0;

    double maxX() const { return x + width; }
    double maxY() const { return y + height; }
    InputPoint centre() const { return {x + width / 2, y + height / 2}; }
    // Within the rectangle grown by `margin` on every side.
    bool contains(InputPoint p, double margin = 0) const {
        return p.x >= x - margin && p.x < maxX() + margin && p.y >= y - margin &&
               p.y < maxY() + margin;
    }
    bool operator==(const DisplayBounds&) const = default;
};

// One synthetic event as the injector's rules make it; a poster turns it into its platform's.
struct SyntheticEvent {
    enum class Kind { mouseMoved, mouseDragged, mouseDown, mouseUp, scrollWheel, keyDown, keyUp };

    Kind kind = Kind::mouseMoved;
    // Pointer events: the button (left for plain moves), where, and on which display's bounds
    // the point was worked out.
    MouseButton button = MouseButton::left;
    InputPoint point;
    DisplayBounds display;
    std::int64_t clickState = 0;          // presses and releases
    std::int64_t deltaX = 0, deltaY = 0;  // relative moves
    std::int32_t wheel1 = 0, wheel2 = 0;  // vertical, horizontal; positive is up / left
    bool continuous = false;              // a trackpad scroll's step
    std::int64_t scrollPhase = 0, momentumPhase = 0;
    double pointDelta1 = 0, pointDelta2 = 0;  // unrounded, continuous scrolls only
    std::uint64_t flags = 0;                  // ModifierBits that apply to the event
    std::uint16_t keyCode = 0;                // the viewers' virtual key code
    // Key events: whole code points to type instead of the key (a down carries them, its up
    // carries the same).
    std::u32string text;

    bool operator==(const SyntheticEvent&) const = default;
};

// The platform's event stream and displays: the only part of input injection that is not rules.
// Used from one serial queue at a time.
class EventPoster {
public:
    virtual ~EventPoster() = default;
    virtual void post(const SyntheticEvent& event) = 0;
    // The display's bounds; an unknown display gives the main display's.
    virtual DisplayBounds bounds(std::uint32_t displayID) = 0;
    virtual std::uint32_t mainDisplayID() = 0;
    // Whether posted events reach the session (may be asked from any thread).
    virtual bool canPost() const = 0;
};

}  // namespace orvane

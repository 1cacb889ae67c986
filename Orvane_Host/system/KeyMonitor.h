#pragma once

#include <cstdint>
#include <functional>

namespace orvane {

// One key going down anywhere on the desktop, with the modifiers held at that moment.
struct KeyPress {
    // Modifier bits as the X keyboard state reports them.
    enum Modifier : std::uint32_t {
        Shift = 1u << 0,
        CapsLock = 1u << 1,
        Control = 1u << 2,
        Alt = 1u << 3,
        NumLock = 1u << 4,
        Super = 1u << 6,
    };
    std::uint32_t keysym = 0;  // X keysym of the unshifted key: 0x2e is the main period key
    std::uint32_t modifiers = 0;
};

// Watches key presses on the whole desktop without taking them from the window that has the
// focus (observes, never grabs).
class KeyMonitor {
public:
    using Handler = std::function<void(const KeyPress&)>;
    virtual ~KeyMonitor() = default;
    // False when global keys cannot be watched here. The handler runs on the monitor's own
    // thread until stop() returns.
    virtual bool start(Handler handler) = 0;
    virtual void stop() = 0;
};

}  // namespace orvane

#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>

#include "OrvaneKit/base/Clock.h"
#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/input/ModifierLatch.h"
#include "Orvane_Host/input/EventPoster.h"

namespace orvane {

// The injector's rules: turns viewers' input events into synthetic events on a poster, keeping
// what a physical mouse and keyboard would keep (held buttons and keys, the pointer, the
// multi-click count, held modifiers). Not thread-safe: its owner runs it on one serial queue.
class InputTranslator {
public:
    // No system source for it here; the usual desktop default.
    static constexpr std::chrono::milliseconds doubleClickInterval{500};
    // Presses closer than this (points) can form a multi-click.
    static constexpr double multiClickDistance = 6.0;
    // Text goes out in runs of at most this many UTF-16 code units, never splitting a character.
    static constexpr std::size_t textRunUnits = 20;

    struct Click {
        MonoTime time;
        InputPoint point;
        MouseButton button;
        std::int64_t count;
    };

    InputTranslator(EventPoster& poster, const Clock& clock);

    void handle(const InputEvent& event);
    void setDisplay(std::uint32_t displayID);
    void releaseAll();

    std::uint32_t displayID() const { return displayID_; }
    InputPoint lastPoint() const { return lastPoint_; }
    bool hasPointer() const { return hasPointer_; }
    const std::set<MouseButton>& pressed() const { return pressed_; }
    const std::set<std::uint16_t>& pressedKeys() const { return pressedKeys_; }
    const ModifierLatch& latch() const { return latch_; }

private:
    void on(const InputEvent::MouseMove& e);
    void on(const InputEvent::MouseButtonChange& e);
    void on(const InputEvent::Scroll& e);
    void on(const InputEvent::SmoothScroll& e);
    void on(const InputEvent::MouseDelta& e);
    void on(const InputEvent::Key& e);
    void on(const InputEvent::Text& e);
    void postMouseButton(MouseButton button, bool down, InputPoint point);
    SyntheticEvent pointerEvent(SyntheticEvent::Kind kind, MouseButton button) const;
    InputPoint placed(double x, double y) const;
    const char* trusted() const;

    EventPoster& poster_;
    const Clock& clock_;
    std::uint32_t displayID_;
    DisplayBounds display_;  // of displayID_, read again for every event
    std::set<MouseButton> pressed_;
    std::set<std::uint16_t> pressedKeys_;
    InputPoint lastPoint_;
    bool hasPointer_ = false;
    std::optional<Click> lastClick_;
    ModifierLatch latch_;
    const Logger log_{"com.nimbrel.kelsap.host", "input"};
};

}  // namespace orvane

#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "Orvane_Host/input/EventPoster.h"

namespace orvane {

// Posts synthetic events into an X server through XTest, on a connection of its own.
// - Keys by position: a viewer's key code becomes the PC key in the same place; Command is
//   Super, Option is Alt. X cannot put modifiers on a single key event, so a key or click whose
//   flags ask for modifiers that are not held gets them pressed around it.
// - Caps Lock is a lock here: its events set the server's lock to the flags' Caps Lock bit.
// - Wheels: X knows only clicks (buttons 4-7), one per `pixelsPerWheelClick` pixels of scroll;
//   the rest is kept for the next scroll in the same direction.
// - Text: each character through a key that makes it, or through a spare keycode bound to it
//   (the server has applied the binding before the key goes; bindings stay until a spare is
//   needed for another character, at least `bindingHold` after their last use, so clients
//   that read the map late still see the character, and are undone when the poster goes).
// - Displays are the capture's monitors (the same enumeration and ids).
// Without a server, or without XTest, events are dropped and canPost() is false; a lost server
// is looked for again at most once a second.
class XTestEventPoster final : public EventPoster {
public:
    static constexpr int pixelsPerWheelClick = 40;
    // More than this many clicks from one scroll event are dropped.
    static constexpr int maxWheelClicks = 50;
    // How long a spare key keeps its character after its last use at least.
    static constexpr std::chrono::milliseconds bindingHold{250};

    // `displayName` empty means $DISPLAY.
    explicit XTestEventPoster(std::string displayName = {});
    ~XTestEventPoster() override;
    XTestEventPoster(const XTestEventPoster&) = delete;
    XTestEventPoster& operator=(const XTestEventPoster&) = delete;

    void post(const SyntheticEvent& event) override;
    DisplayBounds bounds(std::uint32_t displayID) override;
    std::uint32_t mainDisplayID() override;
    bool canPost() const override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace orvane

#pragma once

namespace orvane {

// Sounds the host plays at the machine. Never blocks the caller.
class SoundPlayer {
public:
    virtual ~SoundPlayer() = default;
    // Plays the alert sound once; nothing happens where the system has none.
    virtual void playAlert() = 0;
};

}  // namespace orvane

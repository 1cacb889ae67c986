#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "Orvane_Host/input/EventPoster.h"

namespace orvane {

// Keeps every posted event; displays are whatever the test declares (display 1 by default).
class RecordingPoster final : public EventPoster {
public:
    RecordingPoster() { displays[1] = {0, 0, 1440, 900}; }

    void post(const SyntheticEvent& event) override {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
    }
    DisplayBounds bounds(std::uint32_t id) override {
        auto it = displays.find(id);
        return it != displays.end() ? it->second : displays.at(mainID);
    }
    std::uint32_t mainDisplayID() override { return mainID; }
    bool canPost() const override { return trusted; }

    std::vector<SyntheticEvent> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    // The events posted since the last call.
    std::vector<SyntheticEvent> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(events_, {});
    }

    // Set up before use.
    std::map<std::uint32_t, DisplayBounds> displays;
    std::uint32_t mainID = 1;
    bool trusted = true;

private:
    mutable std::mutex mutex_;
    std::vector<SyntheticEvent> events_;
};

}  // namespace orvane

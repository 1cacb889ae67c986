#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Orvane_Host/capture/DisplayChanges.h"
#include "Orvane_Host/capture/x11/X11Wakeup.h"

namespace orvane {

namespace x11 {
struct Monitor;
}

// Follows the X server's display configuration on a connection and thread of its own: RandR
// change events, and a comparison of the monitor list once a second for the changes that send
// none (monitors declared by a client).
class X11DisplayChanges final : public DisplayChangeSource {
public:
    // `displayName` empty means $DISPLAY.
    explicit X11DisplayChanges(std::string displayName = {});
    ~X11DisplayChanges() override;
    void start(std::function<void()> onChange) override;
    void stop() override;

private:
    void run(std::function<void()> onChange, std::vector<x11::Monitor> known);

    std::string name_;
    std::mutex mutex_;
    std::thread thread_;
    x11::Wakeup wake_;
    void* dpy_ = nullptr;
    std::atomic<bool> dead_{false};
    std::atomic<bool> stopping_{false};
};

}  // namespace orvane

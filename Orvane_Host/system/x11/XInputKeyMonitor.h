#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Orvane_Host/system/KeyMonitor.h"

namespace orvane {

// Watches every key press on an X display through XInput 2 raw key events, on a connection and
// a thread of its own. Raw events are a copy the server hands to whoever asks: the focused
// window still gets its key, and nothing is grabbed. Modifiers are the keyboard state the
// server reported just before the key, so a combination released quickly still reads whole.
class XInputKeyMonitor final : public KeyMonitor {
public:
    // `displayName` empty means $DISPLAY.
    explicit XInputKeyMonitor(std::string displayName = {});
    ~XInputKeyMonitor() override;

    // False without a display, XInput 2 or the keyboard extension. Starting a running monitor
    // replaces its handler.
    bool start(Handler handler) override;
    // Returns once the handler runs no more (from inside the handler: once it returns).
    void stop() override;

private:
    // Shared with the thread, which may outlive this object when destroyed from its handler.
    struct Control;
    static void run(void* dpy, Control& control, const Handler& handler);

    std::string name_;
    std::mutex mutex_;
    std::thread thread_;
    std::shared_ptr<Control> control_;
};

}  // namespace orvane

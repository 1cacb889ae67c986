#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace orvane::x11 {

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;
    bool intersects(const Rect& o) const {
        return x < o.x + o.width && o.x < x + width && y < o.y + o.height && o.y < y + height;
    }
    bool contains(int px, int py) const {
        return px >= x && py >= y && px < x + width && py < y + height;
    }
};

struct Monitor {
    uint32_t id;
    std::string name;
    Rect rect;
    bool primary;
    bool operator==(const Monitor&) const = default;
};

// The one enumeration of displays on X: RandR monitors, or the whole root window as one
// display. Captures and the screen list both use it, so their ids agree.
std::vector<Monitor> listMonitors(Display* dpy, bool haveRandr);
// RandR 1.5 or later (monitors).
bool hasRandr(Display* dpy);

// Protocol errors are recorded per thread instead of ending the process; a lost connection is
// left to its connection's exit handler. Installed once per process.
void installErrorHandlers();
// The protocol error code of the last failed request on this thread, 0 after a reset.
int& lastError();
// An exit handler for XSetIOErrorExitHandler that sets the std::atomic<bool> it is given.
void markDead(Display*, void* flag);

}  // namespace orvane::x11

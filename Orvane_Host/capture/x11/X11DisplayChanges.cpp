#include "Orvane_Host/capture/x11/X11DisplayChanges.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "OrvaneKit/base/Errors.h"
#include "OrvaneKit/base/Logger.h"
#include "Orvane_Host/capture/x11/X11Monitors.h"
#include "Orvane_Host/capture/x11/X11ScreenSource.h"

namespace orvane {

namespace {

const Logger& logger() {
    static const Logger log{"com.nimbrel.kelsap.host", "capture"};
    return log;
}

constexpr auto recheck = std::chrono::seconds(1);

}  // namespace

X11DisplayChanges::X11DisplayChanges(std::string displayName) : name_(std::move(displayName)) {}

X11DisplayChanges::~X11DisplayChanges() {
    stop();
}

void X11DisplayChanges::start(std::function<void()> onChange) {
    std::lock_guard g(mutex_);
    if (thread_.joinable()) return;
    x11::installErrorHandlers();
    Display* dpy = XOpenDisplay(name_.empty() ? nullptr : name_.c_str());
    if (!dpy) throw PlatformError("X11", X11ScreenSource::cannotOpen, "Cannot open the X display.");
    dead_ = false;
    stopping_ = false;
    XSetIOErrorExitHandler(dpy, x11::markDead, &dead_);
    if (x11::hasRandr(dpy)) {
        XRRSelectInput(
            dpy, DefaultRootWindow(dpy),
            RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    }
    // The list to compare with is taken before start returns: a monitor added right after
    // must count as a change even when the server sends no event for it.
    std::vector<x11::Monitor> known = x11::listMonitors(dpy, x11::hasRandr(dpy));
    XFlush(dpy);
    dpy_ = dpy;
    thread_ = std::thread(
        [this, onChange = std::move(onChange), known = std::move(known)] { run(onChange, known); });
}

void X11DisplayChanges::stop() {
    std::lock_guard g(mutex_);
    if (!thread_.joinable()) return;
    stopping_ = true;
    wake_.wake();
    thread_.join();
    auto* dpy = static_cast<Display*>(dpy_);
    if (dead_)
        close(ConnectionNumber(dpy));  // Xlib may hang closing a dead connection
    else
        XCloseDisplay(dpy);
    dpy_ = nullptr;
}

void X11DisplayChanges::run(std::function<void()> onChange, std::vector<x11::Monitor> known) {
    auto* dpy = static_cast<Display*>(dpy_);
    const bool randr = x11::hasRandr(dpy);
    int randrEvent = 0, randrError = 0;
    if (randr) XRRQueryExtension(dpy, &randrEvent, &randrError);
    auto nextCheck = std::chrono::steady_clock::now() + recheck;

    while (!stopping_) {
        bool changed = false;
        while (!dead_ && XPending(dpy)) {
            XEvent ev;
            XNextEvent(dpy, &ev);
            if (randr && (ev.type == randrEvent + RRScreenChangeNotify ||
                          ev.type == randrEvent + RRNotify)) {
                XRRUpdateConfiguration(&ev);
                changed = true;
            }
        }
        if (dead_) {
            logger().error("display changes: the connection to the display was lost");
            return;
        }
        if (changed || std::chrono::steady_clock::now() >= nextCheck) {
            nextCheck = std::chrono::steady_clock::now() + recheck;
            std::vector<x11::Monitor> now = x11::listMonitors(dpy, randr);
            // Events also report changes we cannot see in the list (a mode change of the same
            // size, say); those still count.
            if (changed || now != known) {
                known = std::move(now);
                onChange();
            }
        }
        wake_.wait(ConnectionNumber(dpy), std::max(nextCheck - std::chrono::steady_clock::now(),
                                                   std::chrono::steady_clock::duration::zero()));
    }
}

}  // namespace orvane

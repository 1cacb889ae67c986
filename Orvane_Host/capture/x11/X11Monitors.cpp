#include "Orvane_Host/capture/x11/X11Monitors.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <mutex>

namespace orvane {

namespace {

thread_local int lastError = 0;

int recordXError(Display*, XErrorEvent* event) {
    lastError = event->error_code;
    return 0;
}
// Returning hands the lost connection to its exit handler; a connection without one still ends
// the process as Xlib would.
int quietIOError(Display*) {
    return 0;
}

std::string atomName(Display* dpy, Atom atom) {
    char* text = atom ? XGetAtomName(dpy, atom) : nullptr;
    std::string name = text ? text : "";
    if (text) XFree(text);
    return name;
}

}  // namespace

int& lastX11Error() {
    return lastError;
}

void installX11ErrorHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        XSetErrorHandler(recordXError);
        XSetIOErrorHandler(quietIOError);
    });
}

bool hasRandrMonitors(Display* dpy) {
    int event = 0, error = 0, major = 0, minor = 0;
    return XRRQueryExtension(dpy, &event, &error) && XRRQueryVersion(dpy, &major, &minor) &&
           (major > 1 || (major == 1 && minor >= 5));
}

std::vector<X11Monitor> listX11Monitors(Display* dpy, bool haveRandr) {
    const Window root = DefaultRootWindow(dpy);
    std::vector<X11Monitor> out;
    if (haveRandr) {
        int count = 0;
        XRRMonitorInfo* info = XRRGetMonitors(dpy, root, True, &count);
        for (int i = 0; info && i < count; ++i) {
            const XRRMonitorInfo& m = info[i];
            // The first output's id stays put while the monitor exists; virtual monitors
            // without outputs are known by their name.
            const std::uint32_t id = m.noutput > 0 ? static_cast<std::uint32_t>(m.outputs[0])
                                                   : static_cast<std::uint32_t>(m.name);
            out.push_back({id, atomName(dpy, m.name), m.x, m.y, m.width, m.height, m.primary != 0});
        }
        if (info) XRRFreeMonitors(info);
    }
    if (out.empty()) {
        const int screen = DefaultScreen(dpy);
        out.push_back({static_cast<std::uint32_t>(root), "screen", 0, 0, DisplayWidth(dpy, screen),
                       DisplayHeight(dpy, screen), true});
    }
    return out;
}

}  // namespace orvane

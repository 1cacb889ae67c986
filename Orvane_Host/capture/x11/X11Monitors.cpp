#include "Orvane_Host/capture/x11/X11Monitors.h"

#include <X11/extensions/Xrandr.h>

#include <atomic>
#include <mutex>

namespace orvane::x11 {

namespace {

thread_local int lastXError = 0;

int recordXError(Display*, XErrorEvent* event) {
    lastXError = event->error_code;
    return 0;
}

// Returning hands the lost connection to its exit handler: ours marks the connection dead,
// and a connection without one still ends the process as before.
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

int& lastError() {
    return lastXError;
}

void installErrorHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        XSetErrorHandler(recordXError);
        XSetIOErrorHandler(quietIOError);
    });
}

void markDead(Display*, void* flag) {
    static_cast<std::atomic<bool>*>(flag)->store(true);
}

std::vector<Monitor> listMonitors(Display* dpy, bool haveRandr) {
    const Window root = DefaultRootWindow(dpy);
    std::vector<Monitor> out;
    if (haveRandr) {
        int count = 0;
        XRRMonitorInfo* info = XRRGetMonitors(dpy, root, True, &count);
        for (int i = 0; info && i < count; ++i) {
            const XRRMonitorInfo& m = info[i];
            // The first output's id stays put while the monitor exists; virtual monitors
            // without outputs are known by their name.
            const uint32_t id =
                m.noutput > 0 ? static_cast<uint32_t>(m.outputs[0]) : static_cast<uint32_t>(m.name);
            out.push_back(
                {id, atomName(dpy, m.name), {m.x, m.y, m.width, m.height}, m.primary != 0});
        }
        if (info) XRRFreeMonitors(info);
    }
    if (out.empty()) {
        const int screen = DefaultScreen(dpy);
        out.push_back({static_cast<uint32_t>(root),
                       "screen",
                       {0, 0, DisplayWidth(dpy, screen), DisplayHeight(dpy, screen)},
                       true});
    }
    return out;
}

bool hasRandr(Display* dpy) {
    int event = 0, error = 0, major = 0, minor = 0;
    return XRRQueryExtension(dpy, &event, &error) && XRRQueryVersion(dpy, &major, &minor) &&
           (major > 1 || (major == 1 && minor >= 5));
}

}  // namespace orvane::x11

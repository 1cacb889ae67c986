#include "Orvane_Host/system/x11/XInputKeyMonitor.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
// Xlib's event-type macro would shadow orvane::KeyPress.
#undef KeyPress
#include <unistd.h>

#include <atomic>
#include <utility>

#include "OrvaneKit/base/Logger.h"
#include "Orvane_Host/capture/x11/X11Monitors.h"
#include "Orvane_Host/capture/x11/X11Wakeup.h"

namespace orvane {

namespace {

const Logger& logger() {
    static const Logger log{"com.nimbrel.kelsap.host", "keys"};
    return log;
}

std::uint32_t modifiersOf(unsigned xmods) {
    std::uint32_t out = 0;
    if (xmods & ShiftMask) out |= KeyPress::Shift;
    if (xmods & LockMask) out |= KeyPress::CapsLock;
    if (xmods & ControlMask) out |= KeyPress::Control;
    if (xmods & Mod1Mask) out |= KeyPress::Alt;
    if (xmods & Mod2Mask) out |= KeyPress::NumLock;
    if (xmods & Mod4Mask) out |= KeyPress::Super;
    return out;
}

}  // namespace

struct XInputKeyMonitor::Control {
    x11::Wakeup wake;
    std::atomic<bool> stopping{false};
};

XInputKeyMonitor::XInputKeyMonitor(std::string displayName) : name_(std::move(displayName)) {}

XInputKeyMonitor::~XInputKeyMonitor() {
    stop();
    std::lock_guard lock(mutex_);
    // Destroyed from its own handler: the thread still unwinds through this object's code.
    if (thread_.joinable()) thread_.detach();
}

bool XInputKeyMonitor::start(Handler handler) {
    stop();
    std::lock_guard lock(mutex_);
    if (thread_.joinable()) return false;  // called from the handler of the running monitor
    x11::installErrorHandlers();
    Display* dpy = XOpenDisplay(name_.empty() ? nullptr : name_.c_str());
    if (!dpy) return false;
    int opcode = 0, event = 0, error = 0, major = 2, minor = 0;
    int xkbMajor = XkbMajorVersion, xkbMinor = XkbMinorVersion;
    if (!XQueryExtension(dpy, "XInputExtension", &opcode, &event, &error) ||
        XIQueryVersion(dpy, &major, &minor) != Success || major < 2 ||
        !XkbQueryExtension(dpy, nullptr, &event, &error, &xkbMajor, &xkbMinor)) {
        logger().notice("no XInput 2 or keyboard extension: desktop-wide keys cannot be watched");
        XCloseDisplay(dpy);
        return false;
    }
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawKeyPress);
    XIEventMask mask{XIAllMasterDevices, sizeof bits, bits};
    XISelectEvents(dpy, DefaultRootWindow(dpy), &mask, 1);
    // The state as it changes, in order with the keys: asking for it when a key arrives would
    // read a state the releases that followed have already changed.
    XkbSelectEventDetails(dpy, XkbUseCoreKbd, XkbStateNotify, XkbAllStateComponentsMask,
                          XkbModifierStateMask | XkbGroupStateMask);
    XSync(dpy, False);
    control_ = std::make_shared<Control>();
    thread_ =
        std::thread([dpy, control = control_, h = std::move(handler)] { run(dpy, *control, h); });
    return true;
}

void XInputKeyMonitor::stop() {
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        if (!thread_.joinable()) return;
        control_->stopping = true;
        control_->wake.wake();
        // From the handler the thread cannot wait for itself: it ends after the handler.
        if (thread_.get_id() == std::this_thread::get_id()) return;
        thread = std::move(thread_);
        control_.reset();
    }
    thread.join();
}

void XInputKeyMonitor::run(void* display, Control& control, const Handler& handler) {
    auto* dpy = static_cast<Display*>(display);
    std::atomic<bool> dead{false};
    XSetIOErrorExitHandler(dpy, x11::markDead, &dead);
    int opcode = 0, event = 0, error = 0, xkbEvent = 0;
    XQueryExtension(dpy, "XInputExtension", &opcode, &event, &error);
    XkbQueryExtension(dpy, nullptr, &xkbEvent, &error, nullptr, nullptr);
    XkbStateRec state{};
    XkbGetState(dpy, XkbUseCoreKbd, &state);
    unsigned mods = state.mods;
    int group = state.group;

    const std::atomic<bool>& stopping = control.stopping;
    while (!stopping && !dead) {
        while (!stopping && !dead && XPending(dpy)) {
            XEvent ev;
            XNextEvent(dpy, &ev);
            if (ev.type == xkbEvent) {
                const auto& x = reinterpret_cast<const XkbEvent&>(ev);
                if (x.any.xkb_type == XkbStateNotify) {
                    mods = x.state.mods;
                    group = x.state.group;
                }
                continue;
            }
            if (ev.type != GenericEvent || ev.xcookie.extension != opcode) continue;
            if (!XGetEventData(dpy, &ev.xcookie)) continue;
            if (ev.xcookie.evtype == XI_RawKeyPress) {
                const auto* raw = static_cast<const XIRawEvent*>(ev.xcookie.data);
                KeyPress key;
                // The key as engraved: period stays period with Shift held.
                key.keysym = static_cast<std::uint32_t>(
                    XkbKeycodeToKeysym(dpy, static_cast<KeyCode>(raw->detail), group, 0));
                key.modifiers = modifiersOf(mods);
                handler(key);
            }
            XFreeEventData(dpy, &ev.xcookie);
        }
        if (stopping || dead) break;
        control.wake.wait(ConnectionNumber(dpy));
    }
    if (dead) {
        logger().error("the connection to the display was lost: desktop-wide keys are not watched");
        close(ConnectionNumber(dpy));  // a dead Xlib connection can hang in XCloseDisplay
    } else {
        XCloseDisplay(dpy);
    }
}

}  // namespace orvane

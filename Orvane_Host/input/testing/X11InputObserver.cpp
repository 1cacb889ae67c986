#include "Orvane_Host/input/testing/X11InputObserver.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <poll.h>
#include <unistd.h>

#include <stdexcept>

namespace orvane {

namespace {

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

X11InputObserver::X11InputObserver(const std::string& display) {
    events_ = XOpenDisplay(display.c_str());
    queries_ = XOpenDisplay(display.c_str());
    if (!events_ || !queries_) {
        if (events_) XCloseDisplay(events_);
        if (queries_) XCloseDisplay(queries_);
        throw std::runtime_error("cannot open display " + display);
    }
    const int screen = DefaultScreen(events_);
    XSetWindowAttributes attrs{};
    attrs.override_redirect = True;
    attrs.event_mask =
        KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask;
    window_ =
        XCreateWindow(events_, RootWindow(events_, screen), 0, 0, DisplayWidth(events_, screen),
                      DisplayHeight(events_, screen), 0, CopyFromParent, InputOutput,
                      CopyFromParent, CWOverrideRedirect | CWEventMask, &attrs);
    XMapRaised(events_, window_);
    XSync(events_, False);
    XSetInputFocus(events_, window_, RevertToPointerRoot, CurrentTime);
    XSync(events_, False);
    if (pipe(wake_) != 0) throw std::runtime_error("pipe");
    thread_ = std::thread([this] { run(); });
}

X11InputObserver::~X11InputObserver() {
    (void)!write(wake_[1], "x", 1);
    thread_.join();
    close(wake_[0]);
    close(wake_[1]);
    XDestroyWindow(events_, window_);
    XCloseDisplay(events_);
    XCloseDisplay(queries_);
}

void X11InputObserver::run() {
    for (;;) {
        while (XPending(events_)) {
            XEvent ev;
            XNextEvent(events_, &ev);
            Seen s;
            s.at = std::chrono::steady_clock::now();
            switch (ev.type) {
                case MappingNotify:
                    XRefreshKeyboardMapping(&ev.xmapping);
                    continue;
                case KeyPress:
                case KeyRelease: {
                    s.type = ev.type == KeyPress ? Seen::Type::keyPress : Seen::Type::keyRelease;
                    KeySym sym = NoSymbol;
                    char buf[32];
                    XLookupString(&ev.xkey, buf, sizeof buf, &sym, nullptr);
                    s.keycode = ev.xkey.keycode;
                    s.keysym = sym;
                    s.state = ev.xkey.state;
                    s.x = ev.xkey.x_root;
                    s.y = ev.xkey.y_root;
                    break;
                }
                case ButtonPress:
                case ButtonRelease:
                    s.type = ev.type == ButtonPress ? Seen::Type::buttonPress
                                                    : Seen::Type::buttonRelease;
                    s.button = ev.xbutton.button;
                    s.state = ev.xbutton.state;
                    s.x = ev.xbutton.x_root;
                    s.y = ev.xbutton.y_root;
                    break;
                case MotionNotify:
                    s.type = Seen::Type::motion;
                    s.state = ev.xmotion.state;
                    s.x = ev.xmotion.x_root;
                    s.y = ev.xmotion.y_root;
                    break;
                default:
                    continue;
            }
            std::lock_guard lock(mutex_);
            seen_.push_back(s);
            changed_.notify_all();
        }
        pollfd fds[2] = {{ConnectionNumber(events_), POLLIN, 0}, {wake_[0], POLLIN, 0}};
        poll(fds, 2, 100);
        if (fds[1].revents) return;
    }
}

std::vector<X11InputObserver::Seen> X11InputObserver::events() const {
    std::lock_guard lock(mutex_);
    return seen_;
}

void X11InputObserver::clear() {
    std::lock_guard lock(mutex_);
    seen_.clear();
}

bool X11InputObserver::waitFor(const std::function<bool(const std::vector<Seen>&)>& done,
                               std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(seen_); });
}

std::string X11InputObserver::typedText() const {
    return textOf(events());
}

std::string X11InputObserver::textOf(const std::vector<Seen>& seen) {
    std::string out;
    for (const Seen& s : seen) {
        if (s.type != Seen::Type::keyPress) continue;
        if (s.keysym == XK_Return)
            out += '\n';
        else if (s.keysym >= 0x20 && s.keysym < 0x100)
            appendUtf8(out, static_cast<char32_t>(s.keysym));
        else if ((s.keysym & 0xff000000) == 0x01000000)
            appendUtf8(out, static_cast<char32_t>(s.keysym & 0x00ffffff));
    }
    return out;
}

std::pair<int, int> X11InputObserver::pointer() {
    Window root = 0, child = 0;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    XQueryPointer(queries_, DefaultRootWindow(queries_), &root, &child, &rx, &ry, &wx, &wy, &mask);
    return {rx, ry};
}

bool X11InputObserver::anyKeyDown() {
    char keys[32];
    XQueryKeymap(queries_, keys);
    for (char k : keys)
        if (k) return true;
    return false;
}

bool X11InputObserver::anyButtonDown() {
    Window root = 0, child = 0;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    XQueryPointer(queries_, DefaultRootWindow(queries_), &root, &child, &rx, &ry, &wx, &wy, &mask);
    return mask & (Button1Mask | Button2Mask | Button3Mask | Button4Mask | Button5Mask);
}

}  // namespace orvane

namespace orvane {

bool X11InputObserver::mapHas(unsigned long keysym) {
    int min = 0, max = 0, perCode = 0;
    XDisplayKeycodes(queries_, &min, &max);
    KeySym* map = XGetKeyboardMapping(queries_, static_cast<KeyCode>(min), max - min + 1, &perCode);
    bool found = false;
    for (int i = 0; map && i < (max - min + 1) * perCode; ++i)
        if (map[i] == keysym) found = true;
    if (map) XFree(map);
    return found;
}

}  // namespace orvane

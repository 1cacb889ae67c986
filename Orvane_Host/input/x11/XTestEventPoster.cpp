#include "Orvane_Host/input/x11/XTestEventPoster.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/input/ModifierLatch.h"
#include "Orvane_Host/capture/x11/X11Monitors.h"
#include "Orvane_Host/input/x11/MacKeyTable.h"

namespace orvane {

namespace {

using SteadyClock = std::chrono::steady_clock;
using Kind = SyntheticEvent::Kind;

constexpr std::uint16_t capsLockKey = 57;
constexpr auto monitorsMaxAge = std::chrono::seconds(1);
constexpr auto reconnectEvery = std::chrono::seconds(1);

const Logger& logger() {
    static const Logger log{"com.nimbrel.kelsap.host", "input"};
    return log;
}

void markDead(Display*, void* flag) {
    static_cast<std::atomic<bool>*>(flag)->store(true);
}

unsigned xButton(MouseButton b) {
    switch (b) {
        case MouseButton::left:
            return 1;
        case MouseButton::middle:
            return 2;
        case MouseButton::right:
            return 3;
    }
    return 1;
}

// The keysym that types a code point, or none for controls without a key.
std::optional<KeySym> keysymFor(char32_t c) {
    switch (c) {
        case U'\n':
        case U'\r':
            return XK_Return;
        case U'\t':
            return XK_Tab;
        case U'\b':
            return XK_BackSpace;
        default:
            break;
    }
    if (c < 0x20 || (c >= 0x7f && c < 0xa0) || c > 0x10ffff || (c >= 0xd800 && c < 0xe000))
        return std::nullopt;
    if (c < 0x100) return static_cast<KeySym>(c);  // Latin-1 keysyms are the code points
    return static_cast<KeySym>(0x01000000 | c);
}

}  // namespace

struct XTestEventPoster::Impl {
    std::string name;
    Display* dpy = nullptr;
    std::atomic<bool> dead{false};
    std::atomic<bool> usable{false};
    SteadyClock::time_point lastAttempt{};
    bool evdevKeycodes = false;
    std::vector<KeyCode> spare;  // keycodes without keysyms, for temporary bindings
    struct Binding {
        KeySym sym = NoSymbol;
        SteadyClock::time_point used{};
    };
    std::map<KeyCode, Binding> bindings;  // spare keycodes now bound
    std::set<KeyCode> held;               // keys this poster holds down
    std::vector<x11::Monitor> monitors;
    SteadyClock::time_point monitorsAt{};
    bool haveRandr = false;
    double wheelRest[2] = {0, 0};  // vertical, horizontal pixels not yet a click
    bool saidNoSpare = false;
    bool saidNoDisplay = false;

    explicit Impl(std::string n) : name(std::move(n)) { connect(); }

    ~Impl() {
        if (dpy && !dead) unbindAll();
        disconnect();
    }

    void disconnect() {
        if (!dpy) return;
        if (dead)
            close(ConnectionNumber(dpy));  // Xlib cannot close a connection it lost
        else
            XCloseDisplay(dpy);
        dpy = nullptr;
        usable = false;
        held.clear();
        bindings.clear();
        monitors.clear();
    }

    bool connect() {
        lastAttempt = SteadyClock::now();
        x11::installErrorHandlers();
        dpy = XOpenDisplay(name.empty() ? nullptr : name.c_str());
        if (!dpy) {
            if (!saidNoDisplay) logger().notice("no X display to post input to");
            saidNoDisplay = true;
            return false;
        }
        saidNoDisplay = false;
        dead = false;
        XSetIOErrorExitHandler(dpy, markDead, &dead);
        int event = 0, error = 0, major = 0, minor = 0;
        if (!XTestQueryExtension(dpy, &event, &error, &major, &minor)) {
            logger().error("the X server lacks the XTEST extension: input cannot be posted");
            XCloseDisplay(dpy);
            dpy = nullptr;
            return false;
        }
        // Make these requests of ours pass even while another client grabs the server.
        XTestGrabControl(dpy, True);
        haveRandr = x11::hasRandr(dpy);
        evdevKeycodes = XKeysymToKeycode(dpy, XK_a) == 38 && XKeysymToKeycode(dpy, XK_Left) == 113;
        if (!evdevKeycodes) logger().notice("keycodes are not evdev's: keys go by their keysyms");
        findSpareKeycodes();
        usable = true;
        logger().notice("posting input to X display {} trusted=true",
                        DisplayString(dpy) ? DisplayString(dpy) : "");
        return true;
    }

    // A usable connection, looking for the server again now and then when there is none.
    bool ready() {
        if (dpy && dead) {
            logger().error("lost the X display; input is dropped until it is back");
            disconnect();
        }
        if (!dpy && SteadyClock::now() - lastAttempt >= reconnectEvery) connect();
        return dpy != nullptr;
    }

    void findSpareKeycodes() {
        spare.clear();
        int min = 0, max = 0, perCode = 0;
        XDisplayKeycodes(dpy, &min, &max);
        KeySym* map = XGetKeyboardMapping(dpy, static_cast<KeyCode>(min), max - min + 1, &perCode);
        if (!map) return;
        // From the top: the low unused codes are more often bound by other tools.
        for (int kc = max; kc >= min && spare.size() < 16; --kc) {
            bool empty = true;
            for (int i = 0; i < perCode; ++i)
                if (map[(kc - min) * perCode + i] != NoSymbol) empty = false;
            if (empty) spare.push_back(static_cast<KeyCode>(kc));
        }
        XFree(map);
    }

    // Keeps Xlib's copy of the keyboard map current.
    void drainEvents() {
        while (XPending(dpy)) {
            XEvent ev;
            XNextEvent(dpy, &ev);
            if (ev.type == MappingNotify) XRefreshKeyboardMapping(&ev.xmapping);
        }
    }

    // Monitors -----------------------------------------------------------------------------

    const std::vector<x11::Monitor>& currentMonitors() {
        if (dpy && (monitors.empty() || SteadyClock::now() - monitorsAt > monitorsMaxAge)) {
            monitors = x11::listMonitors(dpy, haveRandr);
            monitorsAt = SteadyClock::now();
        }
        return monitors;
    }

    std::optional<x11::Monitor> mainMonitor() {
        const auto& all = currentMonitors();
        for (const auto& m : all)
            if (m.primary) return m;
        if (!all.empty()) return all.front();
        return std::nullopt;
    }

    // Keys ---------------------------------------------------------------------------------

    KeyCode keycodeFor(std::uint16_t macKey) {
        auto pc = pcKeyFor(macKey);
        if (!pc) return 0;
        if (evdevKeycodes) return static_cast<KeyCode>(pc->evdev + 8);
        return XKeysymToKeycode(dpy, pc->keysym);
    }

    void key(KeyCode kc, bool down) {
        if (!kc) return;
        XTestFakeKeyEvent(dpy, kc, down ? True : False, CurrentTime);
        if (down)
            held.insert(kc);
        else
            held.erase(kc);
    }

    bool holds(std::initializer_list<std::uint16_t> macKeys) {
        for (std::uint16_t k : macKeys)
            if (KeyCode kc = keycodeFor(k); kc && held.count(kc)) return true;
        return false;
    }

    // Presses the modifiers `flags` asks for that are not held; returns them, to let go after.
    std::vector<KeyCode> pressMissingModifiers(std::uint64_t flags) {
        struct Mod {
            std::uint64_t bit;
            std::uint16_t left, right;
        };
        static constexpr Mod mods[] = {{ModifierBits::control, 59, 62},
                                       {ModifierBits::option, 58, 61},
                                       {ModifierBits::shift, 56, 60},
                                       {ModifierBits::command, 55, 54}};
        std::vector<KeyCode> pressed;
        for (const Mod& m : mods) {
            if (!(flags & m.bit) || holds({m.left, m.right})) continue;
            if (KeyCode kc = keycodeFor(m.left)) {
                key(kc, true);
                pressed.push_back(kc);
            }
        }
        return pressed;
    }

    void releaseModifiers(const std::vector<KeyCode>& pressed) {
        for (auto it = pressed.rbegin(); it != pressed.rend(); ++it) key(*it, false);
    }

    bool capsLocked() {
        XkbStateRec state{};
        if (XkbGetState(dpy, XkbUseCoreKbd, &state) != Success) return false;
        return state.locked_mods & LockMask;
    }

    void syncCapsLock(bool on) {
        if (capsLocked() == on) return;
        KeyCode kc = keycodeFor(capsLockKey);
        key(kc, true);
        key(kc, false);
    }

    void postKey(const SyntheticEvent& e) {
        drainEvents();  // key lookups need the current map; pointer events do not wait for it
        const bool down = e.kind == Kind::keyDown;
        if (!e.text.empty()) {
            if (down) type(e.text);
            return;
        }
        if (e.keyCode == capsLockKey) {
            syncCapsLock(e.flags & ModifierBits::capsLock);
            return;
        }
        KeyCode kc = keycodeFor(e.keyCode);
        if (!kc) return;
        if (!down || ModifierLatch::flag(e.keyCode)) {
            key(kc, down);
            return;
        }
        auto extra = pressMissingModifiers(e.flags);
        key(kc, true);
        releaseModifiers(extra);
    }

    // Text ---------------------------------------------------------------------------------

    struct Stroke {
        KeyCode kc;
        bool shift;
    };

    // A key of the current map that makes `sym` at the first or second level, if any.
    std::optional<Stroke> strokeFor(KeySym sym, bool caps) {
        KeyCode kc = XKeysymToKeycode(dpy, sym);
        if (!kc) return std::nullopt;
        bool shift;
        if (XkbKeycodeToKeysym(dpy, kc, 0, 0) == sym)
            shift = false;
        else if (XkbKeycodeToKeysym(dpy, kc, 0, 1) == sym)
            shift = true;
        else
            return std::nullopt;
        KeySym lower = 0, upper = 0;
        XConvertCase(sym, &lower, &upper);
        if (caps && lower != upper) shift = !shift;  // Caps Lock flips cased letters
        return Stroke{kc, shift};
    }

    void stroke(const Stroke& s) {
        const KeyCode shiftKey = keycodeFor(56);
        const bool shiftHeld = holds({56, 60});
        if (s.shift && !shiftHeld) key(shiftKey, true);
        key(s.kc, true);
        key(s.kc, false);
        if (s.shift && !shiftHeld) key(shiftKey, false);
    }

    void bind(KeyCode kc, KeySym sym) {
        KeySym syms[2] = {sym, sym};
        XChangeKeyboardMapping(dpy, kc, 2, syms, 1);
    }

    // Waits until the server has applied our last mapping change (its notice is back).
    void awaitMapping() {
        XSync(dpy, False);
        const auto until = SteadyClock::now() + std::chrono::milliseconds(200);
        while (!dead) {
            XEvent ev;
            bool seen = false;
            while (XPending(dpy)) {
                XNextEvent(dpy, &ev);
                if (ev.type == MappingNotify) {
                    XRefreshKeyboardMapping(&ev.xmapping);
                    seen = true;
                }
            }
            if (seen || SteadyClock::now() >= until) return;
            pollfd p{ConnectionNumber(dpy), POLLIN, 0};
            poll(&p, 1, 10);
        }
    }

    // A spare keycode for `sym`: the one already bound to it, else a free one, else the one
    // used longest ago that this batch does not use; none when the batch holds them all.
    std::optional<KeyCode> spareFor(KeySym sym, const std::set<KeyCode>& inBatch) {
        std::optional<KeyCode> unbound, oldest;
        for (KeyCode kc : spare) {
            auto it = bindings.find(kc);
            if (it != bindings.end() && it->second.sym == sym) return kc;
            if (inBatch.count(kc)) continue;
            if (it == bindings.end()) {
                if (!unbound) unbound = kc;
            } else if (!oldest || it->second.used < bindings.at(*oldest).used) {
                oldest = kc;
            }
        }
        return unbound ? unbound : oldest;
    }

    // Bindings stay after their keys went, so a client reading the map late still finds the
    // character; one is only bound anew once it has not been used for `bindingHold`.
    void type(const std::u32string& text) {
        const bool caps = capsLocked();
        std::size_t i = 0;
        while (i < text.size()) {
            std::vector<Stroke> strokes;
            std::set<KeyCode> inBatch;
            std::vector<std::pair<KeyCode, KeySym>> rebind;
            for (; i < text.size(); ++i) {
                auto sym = keysymFor(text[i]);
                if (!sym) continue;
                if (auto s = strokeFor(*sym, caps)) {
                    strokes.push_back(*s);
                    continue;
                }
                if (spare.empty()) {
                    if (!saidNoSpare)
                        logger().error(
                            "no free keycode to type characters the keyboard map "
                            "lacks; they are dropped");
                    saidNoSpare = true;
                    continue;
                }
                auto kc = spareFor(*sym, inBatch);
                if (!kc) break;  // every spare is taken by this batch: send it first
                inBatch.insert(*kc);
                auto it = bindings.find(*kc);
                if (it == bindings.end() || it->second.sym != *sym) rebind.emplace_back(*kc, *sym);
                strokes.push_back({*kc, false});
            }
            if (!rebind.empty()) {
                SteadyClock::time_point quiet{};
                for (const auto& [kc, sym] : rebind)
                    if (auto it = bindings.find(kc); it != bindings.end())
                        quiet = std::max(quiet, it->second.used + bindingHold);
                XSync(dpy, False);
                std::this_thread::sleep_until(quiet);
                for (const auto& [kc, sym] : rebind) {
                    bind(kc, sym);
                    bindings[kc].sym = sym;
                }
                awaitMapping();
            }
            for (const Stroke& s : strokes) stroke(s);
            const auto now = SteadyClock::now();
            for (KeyCode kc : inBatch) bindings[kc].used = now;
        }
    }

    void unbindAll() {
        for (const auto& [kc, b] : bindings) bind(kc, NoSymbol);
        bindings.clear();
        XSync(dpy, False);
    }

    // Pointer ------------------------------------------------------------------------------

    // The pixel of a point, never outside the display it was worked out on.
    std::pair<int, int> pixel(const SyntheticEvent& e) {
        double x = std::floor(e.point.x), y = std::floor(e.point.y);
        if (e.display.width >= 1 && e.display.height >= 1) {
            x = std::clamp(x, std::floor(e.display.x), std::floor(e.display.maxX()) - 1);
            y = std::clamp(y, std::floor(e.display.y), std::floor(e.display.maxY()) - 1);
        }
        x = std::clamp(x, -32768.0, 32767.0);
        y = std::clamp(y, -32768.0, 32767.0);
        return {static_cast<int>(x), static_cast<int>(y)};
    }

    void moveTo(const SyntheticEvent& e) {
        auto [x, y] = pixel(e);
        XTestFakeMotionEvent(dpy, -1, x, y, CurrentTime);
    }

    void postButton(const SyntheticEvent& e) {
        moveTo(e);
        auto extra = pressMissingModifiers(e.flags);
        XTestFakeButtonEvent(dpy, xButton(e.button), e.kind == Kind::mouseDown ? True : False,
                             CurrentTime);
        releaseModifiers(extra);
    }

    // Pixels into clicks of a wheel's two buttons (towards, away); the rest waits.
    void wheel(int axis, double pixels, unsigned positive, unsigned negative) {
        double& rest = wheelRest[axis];
        if (pixels == 0) return;
        if ((rest > 0 && pixels < 0) || (rest < 0 && pixels > 0)) rest = 0;  // turned round
        rest += pixels;
        double clicks = std::trunc(rest / pixelsPerWheelClick);
        rest -= clicks * pixelsPerWheelClick;
        if (std::fabs(clicks) > maxWheelClicks) {
            clicks = std::copysign(maxWheelClicks, clicks);
            rest = 0;
        }
        const unsigned button = clicks > 0 ? positive : negative;
        for (int n = static_cast<int>(std::fabs(clicks)); n > 0; --n) {
            XTestFakeButtonEvent(dpy, button, True, CurrentTime);
            XTestFakeButtonEvent(dpy, button, False, CurrentTime);
        }
    }

    void post(const SyntheticEvent& e) {
        if (!ready()) return;
        switch (e.kind) {
            case Kind::mouseMoved:
            case Kind::mouseDragged:
                moveTo(e);
                break;
            case Kind::mouseDown:
            case Kind::mouseUp:
                postButton(e);
                break;
            case Kind::scrollWheel:
                // Positive is up and left: X buttons 4 and 6.
                wheel(0, e.wheel1, 4, 5);
                wheel(1, e.wheel2, 6, 7);
                break;
            case Kind::keyDown:
            case Kind::keyUp:
                postKey(e);
                break;
        }
        XFlush(dpy);
    }
};

XTestEventPoster::XTestEventPoster(std::string displayName)
    : impl_(std::make_unique<Impl>(std::move(displayName))) {}

XTestEventPoster::~XTestEventPoster() = default;

void XTestEventPoster::post(const SyntheticEvent& event) {
    impl_->post(event);
}

DisplayBounds XTestEventPoster::bounds(std::uint32_t displayID) {
    if (!impl_->ready()) return {};
    for (const auto& m : impl_->currentMonitors())
        if (m.id == displayID)
            return {double(m.rect.x), double(m.rect.y), double(m.rect.width),
                    double(m.rect.height)};
    // A display that is gone, or an id from elsewhere: the main display stands in.
    if (auto m = impl_->mainMonitor())
        return {double(m->rect.x), double(m->rect.y), double(m->rect.width),
                double(m->rect.height)};
    return {};
}

std::uint32_t XTestEventPoster::mainDisplayID() {
    if (!impl_->ready()) return 0;
    auto m = impl_->mainMonitor();
    return m ? m->id : 0;
}

bool XTestEventPoster::canPost() const {
    return impl_->usable && !impl_->dead;
}

}  // namespace orvane

#include "Orvane_Host/system/x11/X11Pasteboard.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "OrvaneKit/base/Logger.h"
#include "Orvane_Host/capture/x11/X11Wakeup.h"

namespace orvane {

namespace {

using Clock = std::chrono::steady_clock;

// A fetch or an incremental send that hears nothing for this long is given up.
constexpr auto quietLimit = std::chrono::seconds(3);
// Texts above this go out in pieces of incrementChunk.
constexpr std::size_t incrementAbove = 256 * 1024;
constexpr std::size_t incrementChunk = 64 * 1024;

const Logger& logger() {
    static const Logger log{"com.nimbrel.kelsap.host", "clipboard"};
    return log;
}

// Protocol errors (a requestor window that went away) must not end the process, which Xlib's
// default handler would do.
int ignoreXError(Display*, XErrorEvent*) {
    return 0;
}
int quietIOError(Display*) {
    return 0;
}
void markDead(Display*, void* flag) {
    static_cast<std::atomic<bool>*>(flag)->store(true);
}

std::string latin1ToUtf8(const unsigned char* p, std::size_t n) {
    std::string out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (p[i] < 0x80) {
            out += static_cast<char>(p[i]);
        } else {
            out += static_cast<char>(0xC0 | (p[i] >> 6));
            out += static_cast<char>(0x80 | (p[i] & 0x3F));
        }
    }
    return out;
}

std::string utf8ToLatin1(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        auto b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) {
            out += static_cast<char>(b);
            ++i;
        } else if ((b >> 5) == 6 && i + 1 < s.size() && b <= 0xC3) {
            out += static_cast<char>(((b & 0x1F) << 6) |
                                     (static_cast<unsigned char>(s[i + 1]) & 0x3F));
            i += 2;
        } else {
            out += '?';
            ++i;
            while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
        }
    }
    return out;
}

}  // namespace

struct X11Pasteboard::State {
    // ---- Shared with the main actor, under `mutex` ----
    mutable std::mutex mutex;
    std::int64_t count = 0;
    std::optional<std::string> text;
    std::optional<std::string> toOwn;  // a write the X thread has yet to take
    bool stop = false;

    // ---- X thread only ----
    Display* dpy = nullptr;
    x11::Wakeup wake;
    std::atomic<bool> dead{false};
    int fixesEvent = 0;
    Window window = 0;
    Atom clipboard = 0, utf8 = 0, targets = 0, timestamp = 0, incr = 0, textTarget = 0,
         plainUtf8 = 0, property = 0, stampProperty = 0;

    // Owning: the text we serve, from when the server gave us a time for it.
    std::string ownedText;
    bool owned = false;
    bool awaitingStamp = false;
    Time ownTime = CurrentTime;

    // Fetching another owner's text, one at a time.
    struct Fetch {
        Atom target;
        Time time;
        bool incremental = false;
        std::string data;
        Clock::time_point quietUntil;
    };
    std::optional<Fetch> fetch;
    bool fetchStale = false;  // its text no longer is the clipboard's
    struct OwnerChange {
        bool none;
        Time time;
    };
    std::optional<OwnerChange> nextFetch;  // an owner change that came during a fetch

    struct Outgoing {
        Atom type;
        std::string data;
        std::size_t offset = 0;
        Clock::time_point quietUntil;
    };
    std::map<std::pair<Window, Atom>, Outgoing> outgoing;

    std::thread thread;

    ~State() {
        // A connection the server dropped cannot be closed politely.
        if (dpy && !dead) XCloseDisplay(dpy);
    }

    void publish(std::optional<std::string> value) {
        std::lock_guard g(mutex);
        ++count;
        text = std::move(value);
    }

    // ---- Reading another owner's text ----

    void ownerChanged(bool none, Time time) {
        if (fetch) {
            fetchStale = true;
            nextFetch = OwnerChange{none, time};
            return;
        }
        if (none) return publish(std::nullopt);
        startFetch(utf8, time);
    }

    void startFetch(Atom target, Time time) {
        XDeleteProperty(dpy, window, property);
        XConvertSelection(dpy, clipboard, target, property, window, time);
        fetch = Fetch{target, time, false, {}, Clock::now() + quietLimit};
    }

    void finishFetch(std::optional<std::string> value) {
        bool stale = fetchStale;
        fetch.reset();
        fetchStale = false;
        XDeleteProperty(dpy, window, property);
        if (!stale) publish(std::move(value));
        if (auto next = nextFetch) {
            nextFetch.reset();
            ownerChanged(next->none, next->time);
        }
    }

    // Reads and deletes our property; false when it could not be read.
    bool takeProperty(Atom& type, std::string& bytes) {
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(dpy, window, property, 0, LONG_MAX / 4, True, AnyPropertyType, &type,
                               &format, &items, &after, &data) != Success)
            return false;
        std::size_t size = format == 8 ? items : 0;
        if (data && type != incr) {
            // STRING is Latin-1, whatever was asked for.
            bytes = type == XA_STRING ? latin1ToUtf8(data, size)
                                      : std::string(reinterpret_cast<char*>(data), size);
        }
        if (data) XFree(data);
        return true;
    }

    void onSelectionNotify(const XSelectionEvent& e) {
        if (!fetch || e.requestor != window || e.selection != clipboard) return;
        if (e.property == 0) {
            // The owner has no UTF-8 text; plain Latin-1 text is the last try.
            if (fetch->target == utf8) {
                Time time = fetch->time;
                fetch.reset();
                return startFetch(XA_STRING, time);
            }
            return finishFetch(std::nullopt);
        }
        Atom type = 0;
        std::string bytes;
        if (!takeProperty(type, bytes)) return finishFetch(std::nullopt);
        if (type == incr) {
            // Deleting the property (done above) asks for the first piece.
            fetch->incremental = true;
            fetch->quietUntil = Clock::now() + quietLimit;
            return;
        }
        finishFetch(std::move(bytes));
    }

    void onIncrementalPiece() {
        Atom type = 0;
        std::string bytes;
        if (!takeProperty(type, bytes)) return finishFetch(std::nullopt);
        if (bytes.empty()) return finishFetch(std::move(fetch->data));
        if (fetch->data.size() + bytes.size() > largestText) return finishFetch(std::nullopt);
        fetch->data += bytes;
        fetch->quietUntil = Clock::now() + quietLimit;
    }

    // ---- Owning and serving ----

    void takeWrite() {
        std::optional<std::string> next;
        {
            std::lock_guard g(mutex);
            next.swap(toOwn);
        }
        if (!next) return;
        ownedText = std::move(*next);
        // Whatever another owner's fetch brings is older than this write.
        if (fetch) fetchStale = true;
        nextFetch.reset();
        if (awaitingStamp) return;
        // An empty append to our own property gets a server time to own the selection with.
        awaitingStamp = true;
        XChangeProperty(dpy, window, stampProperty, XA_STRING, 8, PropModeAppend, nullptr, 0);
    }

    void own(Time time) {
        awaitingStamp = false;
        // A copy elsewhere since the write was asked for is overwritten here, so its text must
        // not be counted after ours.
        if (fetch) fetchStale = true;
        nextFetch.reset();
        XSetSelectionOwner(dpy, clipboard, window, time);
        owned = XGetSelectionOwner(dpy, clipboard) == window;
        ownTime = time;
        if (!owned) logger().error("could not own the clipboard");
    }

    void refuse(const XSelectionRequestEvent& r) { notify(r, 0); }

    void notify(const XSelectionRequestEvent& r, Atom property) {
        XEvent ev{};
        ev.xselection.type = SelectionNotify;
        ev.xselection.display = dpy;
        ev.xselection.requestor = r.requestor;
        ev.xselection.selection = r.selection;
        ev.xselection.target = r.target;
        ev.xselection.property = property;
        ev.xselection.time = r.time;
        XSendEvent(dpy, r.requestor, False, NoEventMask, &ev);
    }

    void onSelectionRequest(const XSelectionRequestEvent& r) {
        // Old clients name no property: the target's name stands in for it.
        Atom property = r.property ? r.property : r.target;
        if (!owned || r.selection != clipboard || (r.time != CurrentTime && r.time < ownTime))
            return refuse(r);
        if (r.target == targets) {
            Atom list[] = {targets, timestamp, utf8, plainUtf8, textTarget, XA_STRING};
            XChangeProperty(dpy, r.requestor, property, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<unsigned char*>(list), std::size(list));
            return notify(r, property);
        }
        if (r.target == timestamp) {
            long stamp = static_cast<long>(ownTime);
            XChangeProperty(dpy, r.requestor, property, XA_INTEGER, 32, PropModeReplace,
                            reinterpret_cast<unsigned char*>(&stamp), 1);
            return notify(r, property);
        }
        std::string data;
        Atom type;
        if (r.target == utf8 || r.target == plainUtf8 || r.target == textTarget) {
            data = ownedText;
            type = r.target == plainUtf8 ? plainUtf8 : utf8;
        } else if (r.target == XA_STRING) {
            data = utf8ToLatin1(ownedText);
            type = XA_STRING;
        } else {
            return refuse(r);
        }
        if (data.size() > incrementAbove) {
            XSelectInput(dpy, r.requestor, PropertyChangeMask);
            long size = static_cast<long>(data.size());
            XChangeProperty(dpy, r.requestor, property, incr, 32, PropModeReplace,
                            reinterpret_cast<unsigned char*>(&size), 1);
            outgoing[{r.requestor, property}] =
                Outgoing{type, std::move(data), 0, Clock::now() + quietLimit};
            return notify(r, property);
        }
        XChangeProperty(dpy, r.requestor, property, type, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(data.data()),
                        static_cast<int>(data.size()));
        notify(r, property);
    }

    // The requestor took the last piece: the next one, or the empty one that ends it.
    void sendNextPiece(std::map<std::pair<Window, Atom>, Outgoing>::iterator it) {
        auto& o = it->second;
        std::size_t n = std::min(incrementChunk, o.data.size() - o.offset);
        XChangeProperty(dpy, it->first.first, it->first.second, o.type, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(o.data.data() + o.offset),
                        static_cast<int>(n));
        if (n == 0) {
            outgoing.erase(it);
            return;
        }
        o.offset += n;
        o.quietUntil = Clock::now() + quietLimit;
    }

    void onProperty(const XPropertyEvent& p) {
        if (p.window == window) {
            if (p.atom == stampProperty && p.state == PropertyNewValue && awaitingStamp)
                return own(p.time);
            if (p.atom == property && p.state == PropertyNewValue && fetch && fetch->incremental)
                return onIncrementalPiece();
            return;
        }
        if (p.state != PropertyDelete) return;
        auto it = outgoing.find({p.window, p.atom});
        if (it != outgoing.end()) sendNextPiece(it);
    }

    void handle(XEvent& ev) {
        if (ev.type == fixesEvent + XFixesSelectionNotify) {
            const auto& f = reinterpret_cast<const XFixesSelectionNotifyEvent&>(ev);
            if (f.selection != clipboard || f.owner == window) return;
            owned = false;
            ownerChanged(f.owner == 0, f.selection_timestamp);
            return;
        }
        switch (ev.type) {
            case SelectionNotify:
                return onSelectionNotify(ev.xselection);
            case SelectionRequest:
                return onSelectionRequest(ev.xselectionrequest);
            case SelectionClear:
                if (ev.xselectionclear.selection == clipboard) owned = false;
                return;
            case PropertyNotify:
                return onProperty(ev.xproperty);
            default:
                return;
        }
    }

    void expire() {
        auto now = Clock::now();
        if (fetch && now >= fetch->quietUntil) {
            logger().notice("the clipboard's owner did not answer in time");
            finishFetch(std::nullopt);
        }
        std::erase_if(outgoing, [&](const auto& e) { return now >= e.second.quietUntil; });
    }

    int pollTimeout() const {
        std::optional<Clock::time_point> next;
        if (fetch) next = fetch->quietUntil;
        for (const auto& [key, o] : outgoing)
            if (!next || o.quietUntil < *next) next = o.quietUntil;
        if (!next) return -1;
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(*next - Clock::now());
        return static_cast<int>(std::clamp<long long>(ms.count() + 1, 0, 60000));
    }

    void run() {
        while (!dead) {
            {
                std::lock_guard g(mutex);
                if (stop) break;
            }
            takeWrite();
            while (!dead && XPending(dpy) > 0) {
                XEvent ev;
                XNextEvent(dpy, &ev);
                handle(ev);
            }
            expire();
            XFlush(dpy);
            if (XPending(dpy) > 0) continue;
            wake.wait(ConnectionNumber(dpy), std::chrono::milliseconds(pollTimeout()));
        }
        if (dead) logger().error("the X server went away; the clipboard is no longer shared");
    }
};

std::unique_ptr<X11Pasteboard> X11Pasteboard::open(const std::string& display) {
    static std::once_flag handlers;
    std::call_once(handlers, [] {
        XSetErrorHandler(ignoreXError);
        XSetIOErrorHandler(quietIOError);
    });
    auto s = std::make_unique<State>();
    s->dpy = XOpenDisplay(display.empty() ? nullptr : display.c_str());
    if (!s->dpy) return nullptr;
    XSetIOErrorExitHandler(s->dpy, markDead, &s->dead);
    int errorBase = 0;
    if (!XFixesQueryExtension(s->dpy, &s->fixesEvent, &errorBase)) {
        logger().error("the X server has no XFixes; the clipboard cannot be watched");
        return nullptr;
    }
    Display* d = s->dpy;
    auto atom = [d](const char* name) { return XInternAtom(d, name, False); };
    s->clipboard = atom("CLIPBOARD");
    s->utf8 = atom("UTF8_STRING");
    s->targets = atom("TARGETS");
    s->timestamp = atom("TIMESTAMP");
    s->incr = atom("INCR");
    s->textTarget = atom("TEXT");
    s->plainUtf8 = atom("text/plain;charset=utf-8");
    s->property = atom("ORVANE_CLIPBOARD");
    s->stampProperty = atom("ORVANE_TIMESTAMP");
    XSetWindowAttributes attributes{};
    attributes.event_mask = PropertyChangeMask;
    s->window = XCreateWindow(d, DefaultRootWindow(d), -10, -10, 1, 1, 0, 0, InputOnly,
                              CopyFromParent, CWEventMask, &attributes);
    XFixesSelectSelectionInput(d, s->window, s->clipboard,
                               XFixesSetSelectionOwnerNotifyMask |
                                   XFixesSelectionWindowDestroyNotifyMask |
                                   XFixesSelectionClientCloseNotifyMask);
    XSync(d, False);
    if (!s->wake.valid()) return nullptr;
    State* raw = s.get();
    s->thread = std::thread([raw] { raw->run(); });
    return std::unique_ptr<X11Pasteboard>(new X11Pasteboard(std::move(s)));
}

X11Pasteboard::X11Pasteboard(std::unique_ptr<State> state) : state_(std::move(state)) {}

X11Pasteboard::~X11Pasteboard() {
    {
        std::lock_guard g(state_->mutex);
        state_->stop = true;
    }
    state_->wake.wake();
    state_->thread.join();
}

std::int64_t X11Pasteboard::changeCount() const {
    std::lock_guard g(state_->mutex);
    return state_->count;
}

std::optional<std::string> X11Pasteboard::string() const {
    std::lock_guard g(state_->mutex);
    return state_->text;
}

std::int64_t X11Pasteboard::clearAndSetString(const std::string& text) {
    std::int64_t count;
    {
        std::lock_guard g(state_->mutex);
        state_->text = text;
        state_->toOwn = text;
        count = ++state_->count;
    }
    state_->wake.wake();
    return count;
}

}  // namespace orvane

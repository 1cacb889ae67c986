#include "Orvane_Host/capture/x11/X11CursorSource.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "OrvaneKit/base/Errors.h"
#include "Orvane_Host/capture/x11/X11Monitors.h"
#include "Orvane_Host/capture/x11/X11ScreenSource.h"
#include "Orvane_Host/capture/x11/X11Wakeup.h"

namespace orvane {

namespace {

using Clock = std::chrono::steady_clock;

class X11CursorWatch final : public CursorWatch {
public:
    X11CursorWatch(const std::string& name, std::chrono::nanoseconds interval,
                   std::function<void(const CursorState&)> onTick)
        : interval_(interval), onTick_(std::move(onTick)) {
        x11::installErrorHandlers();
        dpy_ = XOpenDisplay(name.empty() ? nullptr : name.c_str());
        if (!dpy_)
            throw PlatformError("X11", X11ScreenSource::cannotOpen, "Cannot open the X display.");
        XSetIOErrorExitHandler(dpy_, x11::markDead, &dead_);
        int error = 0;
        if (!XFixesQueryExtension(dpy_, &fixesEvent_, &error)) {
            XCloseDisplay(dpy_);
            throw PlatformError("X11", X11ScreenSource::missingExtension,
                                "The X server lacks the XFIXES extension.");
        }
        XFixesSelectCursorInput(dpy_, DefaultRootWindow(dpy_), XFixesDisplayCursorNotifyMask);
        XFlush(dpy_);
        tick();
        thread_ = std::thread([this] { run(); });
    }

    ~X11CursorWatch() override { stop(); }

    void stop() override {
        std::lock_guard g(stopMutex_);
        if (!thread_.joinable()) return;
        stopping_ = true;
        wake_.wake();
        thread_.join();
        if (dead_)
            close(ConnectionNumber(dpy_));  // Xlib may hang closing a dead connection
        else
            XCloseDisplay(dpy_);
    }

private:
    void run() {
        auto next = Clock::now();
        while (!stopping_) {
            next += interval_;
            const auto now = Clock::now();
            if (next < now) next = now;
            wake_.wait(ConnectionNumber(dpy_), next - now);
            if (stopping_ || !tick()) return;
        }
    }

    // One look at the pointer, handed to onTick; false once the server is gone.
    bool tick() {
        while (!dead_ && XPending(dpy_)) {
            XEvent ev;
            XNextEvent(dpy_, &ev);
            if (ev.type == fixesEvent_ + XFixesCursorNotify) stale_ = true;
        }
        if (dead_) return false;  // the screen stream reports the lost server
        if (stale_) {
            state_.image = load();
            stale_ = false;
        }
        Window root, child;
        int rx = 0, ry = 0, wx = 0, wy = 0;
        unsigned mask = 0;
        if (XQueryPointer(dpy_, DefaultRootWindow(dpy_), &root, &child, &rx, &ry, &wx, &wy,
                          &mask)) {
            state_.x = rx;
            state_.y = ry;
        }
        if (dead_) return false;
        onTick_(state_);
        return true;
    }

    std::shared_ptr<const CursorImage> load() {
        XFixesCursorImage* image = XFixesGetCursorImage(dpy_);
        if (!image) return nullptr;
        auto out = std::make_shared<CursorImage>();
        out->width = image->width;
        out->height = image->height;
        out->hotX = image->xhot;
        out->hotY = image->yhot;
        // One premultiplied ARGB value per unsigned long.
        out->argb.resize(static_cast<size_t>(out->width) * out->height);
        for (size_t i = 0; i < out->argb.size(); ++i)
            out->argb[i] = static_cast<uint32_t>(image->pixels[i]);
        XFree(image);
        return out;
    }

    const std::chrono::nanoseconds interval_;
    std::function<void(const CursorState&)> onTick_;
    CursorState state_;  // touched only by the thread that ticks
    bool stale_ = true;
    Display* dpy_ = nullptr;
    int fixesEvent_ = 0;
    std::atomic<bool> dead_{false};
    std::atomic<bool> stopping_{false};
    std::mutex stopMutex_;
    std::thread thread_;
    x11::Wakeup wake_;
};

}  // namespace

X11CursorSource::X11CursorSource(std::string displayName) : name_(std::move(displayName)) {}

std::unique_ptr<CursorWatch> X11CursorSource::watch(
    std::chrono::nanoseconds interval, std::function<void(const CursorState&)> onTick) {
    return std::make_unique<X11CursorWatch>(name_, interval, std::move(onTick));
}

}  // namespace orvane

#include "Orvane_Host/capture/x11/X11ScreenSource.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include "OrvaneKit/base/Logger.h"
#include "Orvane_Host/capture/FrameConverter.h"
#include "Orvane_Host/capture/x11/X11Compositor.h"
#include "Orvane_Host/capture/x11/X11Monitors.h"
#include "Orvane_Host/capture/x11/X11Wakeup.h"

namespace orvane {

namespace {

using Clock = std::chrono::steady_clock;

const Logger& logger() {
    static const Logger log{"com.nimbrel.kelsap.host", "capture"};
    return log;
}

PlatformError x11Error(X11ScreenSource::Code code, const std::string& text) {
    return PlatformError("X11", code, text);
}

// One running capture: owns its own connection, used only by its thread once started.
class X11Stream : public ScreenStream {
public:
    X11Stream(const std::string& name, const CaptureDisplay& display, const StreamConfig& config,
              StreamSink sink)
        : config_(config),
          sink_(std::move(sink)),
          // X servers have no HDR pictures: an HDR request gets the 8-bit SDR stream.
          format_(config.format == PixelFormat::yuv420p10 ? PixelFormat::nv12 : config.format) {
        x11::installErrorHandlers();
        dpy_ = XOpenDisplay(name.empty() ? nullptr : name.c_str());
        if (!dpy_) throw x11Error(X11ScreenSource::cannotOpen, "Cannot open the X display.");
        try {
            setUp(display);
        } catch (...) {
            tearDown();
            throw;
        }
        thread_ = std::thread([this] { run(); });
    }

    ~X11Stream() override { stop(); }

    void stop() override {
        std::lock_guard lock(stopMutex_);
        if (!thread_.joinable()) return;
        stopping_ = true;
        wake_.wake();
        thread_.join();
        tearDown();
    }

    void setPixelFormat(PixelFormat format) override {
        if (format != PixelFormat::yuv420p10) format_ = format;
    }

private:
    void setUp(const CaptureDisplay& display) {
        XSetIOErrorExitHandler(dpy_, x11::markDead, &dead_);
        root_ = DefaultRootWindow(dpy_);
        int event = 0, error = 0;
        haveRandr_ = x11::hasRandr(dpy_);
        if (haveRandr_) {
            XRRQueryExtension(dpy_, &randrEvent_, &error);
            XRRSelectInput(dpy_, root_, RRScreenChangeNotifyMask);
        }
        if (!XFixesQueryExtension(dpy_, &fixesEvent_, &error))
            throw x11Error(X11ScreenSource::missingExtension,
                           "The X server lacks the XFIXES extension.");
        if (!config_.excludedWindows.empty()) {
            // Root damage would miss changes under an excluded window and report the excluded
            // window's own repaints: the compositor watches each window instead.
            try {
                compositor_ = std::make_unique<x11::X11Compositor>(dpy_, config_.excludedWindows);
            } catch (const std::runtime_error& e) {
                throw x11Error(X11ScreenSource::missingExtension, e.what());
            }
            // Right after the redirect, windows under an excluded one may still hold what that
            // one showed until they repaint: give them a moment before the first picture.
            holdUntil_ = Clock::now() + std::chrono::milliseconds(150);
        } else if (XDamageQueryExtension(dpy_, &damageEvent_, &error)) {
            damage_ = XDamageCreate(dpy_, root_, XDamageReportNonEmpty);
            parts_ = XFixesCreateRegion(dpy_, nullptr, 0);
        } else {
            logger().notice("no DAMAGE extension: every frame interval delivers a grab");
        }
        (void)event;

        displayId_ = display.id;
        std::optional<x11::Rect> rect = findMonitor();
        if (!rect)
            throw x11Error(X11ScreenSource::displayGone, "The display is no longer connected.");
        useShm_ = XShmQueryExtension(dpy_);
        createImage(*rect);
        XSync(dpy_, False);
    }

    std::optional<x11::Rect> findMonitor() {
        for (const x11::Monitor& m : x11::listMonitors(dpy_, haveRandr_))
            if (m.id == displayId_) return m.rect;
        return std::nullopt;
    }

    void createImage(const x11::Rect& rect) {
        destroyImage();
        rect_ = rect;
        const int screen = DefaultScreen(dpy_);
        Visual* visual = DefaultVisual(dpy_, screen);
        const int depth = DefaultDepth(dpy_, screen);
        if (useShm_) {
            image_ = XShmCreateImage(dpy_, visual, static_cast<unsigned>(depth), ZPixmap, nullptr,
                                     &shm_, static_cast<unsigned>(rect.width),
                                     static_cast<unsigned>(rect.height));
            if (image_) {
                shm_.shmid = shmget(IPC_PRIVATE,
                                    static_cast<size_t>(image_->bytes_per_line) * image_->height,
                                    IPC_CREAT | 0600);
                shm_.shmaddr = shm_.shmid >= 0 ? static_cast<char*>(shmat(shm_.shmid, nullptr, 0))
                                               : reinterpret_cast<char*>(-1);
                shm_.readOnly = False;
                x11::lastError() = 0;
                const bool attached = shm_.shmaddr != reinterpret_cast<char*>(-1) &&
                                      XShmAttach(dpy_, &shm_) &&
                                      (XSync(dpy_, False), !x11::lastError());
                if (shm_.shmid >= 0) shmctl(shm_.shmid, IPC_RMID, nullptr);  // gone once detached
                if (attached) {
                    image_->data = shm_.shmaddr;
                    shmAttached_ = true;
                } else {
                    // A server on another machine cannot share memory with us.
                    if (shm_.shmaddr != reinterpret_cast<char*>(-1)) shmdt(shm_.shmaddr);
                    XDestroyImage(image_);
                    image_ = nullptr;
                    useShm_ = false;
                }
            }
        }
        if (!useShm_) {
            image_ = XGetImage(dpy_, root_, rect.x, rect.y, static_cast<unsigned>(rect.width),
                               static_cast<unsigned>(rect.height), AllPlanes, ZPixmap);
            if (!image_) throw x11Error(X11ScreenSource::grabFailed, "Cannot read the screen.");
        }
        if (image_->bits_per_pixel != 32 || image_->byte_order != LSBFirst ||
            image_->red_mask != 0xff0000 || image_->green_mask != 0xff00 ||
            image_->blue_mask != 0xff)
            throw x11Error(X11ScreenSource::unsupportedVisual,
                           "The screen's pixel format is not supported.");
    }

    void destroyImage() {
        if (!image_) return;
        if (shmAttached_) {
            if (!dead_) XShmDetach(dpy_, &shm_);
            XSync(dpy_, False);
            shmdt(shm_.shmaddr);
            shmAttached_ = false;
            image_->data = nullptr;
        }
        XDestroyImage(image_);
        image_ = nullptr;
    }

    void tearDown() {
        if (!dpy_) return;
        if (!dead_) {
            compositor_.reset();  // ends the redirect
            destroyImage();
            if (damage_) XDamageDestroy(dpy_, damage_);
            if (parts_) XFixesDestroyRegion(dpy_, parts_);
        } else {
            if (compositor_) compositor_->forget();
            compositor_.reset();
            if (image_ && shmAttached_) shmdt(shm_.shmaddr);
            if (image_) {
                if (shmAttached_) image_->data = nullptr;
                XDestroyImage(image_);
            }
            // Xlib's state after a lost connection can hang XCloseDisplay; release only the
            // socket and leave the rest of the dead connection be.
            close(ConnectionNumber(dpy_));
            image_ = nullptr;
            dpy_ = nullptr;
            return;
        }
        image_ = nullptr;
        XCloseDisplay(dpy_);
        dpy_ = nullptr;
    }

    // The capture thread.
    void run() {
        const auto interval = std::chrono::nanoseconds(1'000'000'000LL / std::max(1, config_.fps));
        Clock::time_point nextSlot = std::max(Clock::now(), holdUntil_);
        Clock::time_point nextMonitorCheck = nextSlot + std::chrono::seconds(1);
        bool dirty = true;  // a new stream shows the screen as it is

        while (!stopping_) {
            // Events first: Xlib may hold some already read while waiting for a reply.
            while (!dead_ && XPending(dpy_)) {
                XEvent ev;
                XNextEvent(dpy_, &ev);
                if (compositor_ && compositor_->handleEvent(ev, rect_, dirty)) {
                    continue;
                } else if (damage_ && ev.type == damageEvent_ + XDamageNotify) {
                    if (damagedInside()) dirty = true;
                } else if (haveRandr_ && ev.type == randrEvent_ + RRScreenChangeNotify) {
                    XRRUpdateConfiguration(&ev);
                    if (compositor_) compositor_->rootResized();
                    nextMonitorCheck = Clock::now();
                }
            }
            if (dead_)
                return fail(x11Error(X11ScreenSource::connectionLost,
                                     "The connection to the display was lost."));

            // Without damage reports every slot grabs; a filter downstream drops repeats.
            if (!damage_ && !compositor_) dirty = true;

            Clock::time_point now = Clock::now();
            if (now >= nextMonitorCheck) {
                nextMonitorCheck = now + std::chrono::seconds(1);
                std::optional<x11::Rect> rect = findMonitor();
                if (dead_) continue;
                if (!rect)
                    return fail(
                        x11Error(X11ScreenSource::displayGone, "The display was disconnected."));
                if (!(*rect == rect_)) {
                    try {
                        createImage(*rect);
                    } catch (const PlatformError& e) {
                        return fail(e);
                    }
                    dirty = true;
                }
            }

            now = Clock::now();
            if (dirty && now >= nextSlot) {
                // A steady stream keeps an even cadence; frames never come closer than 3/4 of
                // the interval, so no second holds more than `fps` of them (plus the edge).
                nextSlot = std::max(nextSlot + interval, now + interval * 3 / 4);
                try {
                    if (grabAndDeliver()) dirty = false;
                } catch (const std::exception& e) {
                    return fail(x11Error(X11ScreenSource::grabFailed, e.what()));
                }
                if (dead_) continue;
            }

            XFlush(dpy_);
            if (XPending(dpy_)) continue;
            Clock::time_point wakeAt = nextMonitorCheck;
            if (dirty) wakeAt = std::min(wakeAt, nextSlot);
            waitUntil(wakeAt);
        }
    }

    // Takes the damage reported so far; true when any of it lies on this monitor.
    bool damagedInside() {
        XDamageSubtract(dpy_, damage_, None, parts_);
        int count = 0;
        XRectangle* rects = XFixesFetchRegion(dpy_, parts_, &count);
        bool inside = false;
        for (int i = 0; rects && i < count && !inside; ++i)
            inside = rect_.intersects({rects[i].x, rects[i].y, rects[i].width, rects[i].height});
        if (rects) XFree(rects);
        return inside;
    }

    void waitUntil(Clock::time_point deadline) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return;
        wake_.wait(ConnectionNumber(dpy_), left);
    }

    // True when the frame went out; false to try again at the next slot.
    bool grabAndDeliver() {
        // The picture's time is when it was taken, not when its conversion finished.
        const auto takenAt = Clock::now();
        Drawable from = root_;
        if (compositor_) {
            compositor_->compose();
            from = compositor_->pixmap();
        }
        x11::lastError() = 0;
        if (useShm_) {
            if (!XShmGetImage(dpy_, from, image_, rect_.x, rect_.y, AllPlanes)) {
                // Usually a monitor that changed under us; the check below re-reads it.
                return false;
            }
        } else {
            XImage* fresh =
                XGetImage(dpy_, from, rect_.x, rect_.y, static_cast<unsigned>(rect_.width),
                          static_cast<unsigned>(rect_.height), AllPlanes, ZPixmap);
            if (!fresh) return false;
            XDestroyImage(image_);
            image_ = fresh;
        }
        auto* pixels = reinterpret_cast<uint8_t*>(image_->data);
        const int stride = image_->bytes_per_line;

        const PixelFormat format = format_.load();
        if (!pool_ || pool_->format() != format)
            pool_ = std::make_unique<FrameBufferPool>(format, config_.width, config_.height,
                                                      static_cast<size_t>(config_.queueDepth));
        std::shared_ptr<FrameBuffer> buffer = pool_->acquire();
        if (!buffer) return false;  // the consumer still holds every buffer: it is behind
        converter_.convert(pixels, stride, rect_.width, rect_.height, *buffer);

        const auto micros =
            std::chrono::duration_cast<std::chrono::microseconds>(takenAt.time_since_epoch())
                .count();
        sink_.onFrame({FrameStatus::complete, std::move(buffer), MediaTime{micros, 1'000'000}});
        return true;
    }

    void fail(const PlatformError& error) {
        if (sink_.onStop) sink_.onStop(error);
    }

    StreamConfig config_;
    StreamSink sink_;
    std::atomic<PixelFormat> format_;
    Display* dpy_ = nullptr;
    Window root_ = 0;
    std::atomic<bool> dead_{false};
    std::atomic<bool> stopping_{false};
    std::mutex stopMutex_;
    std::thread thread_;
    x11::Wakeup wake_;

    bool haveRandr_ = false;
    int randrEvent_ = 0, fixesEvent_ = 0, damageEvent_ = 0;
    Damage damage_ = 0;
    XserverRegion parts_ = 0;
    uint32_t displayId_ = 0;
    x11::Rect rect_;

    bool useShm_ = false;
    bool shmAttached_ = false;
    XShmSegmentInfo shm_{};
    XImage* image_ = nullptr;

    std::unique_ptr<x11::X11Compositor> compositor_;  // only while windows are left out
    Clock::time_point holdUntil_{};

    std::unique_ptr<FrameBufferPool> pool_;
    FrameConverter converter_;
};

}  // namespace

X11ScreenSource::X11ScreenSource(std::string displayName) : name_(std::move(displayName)) {}

std::vector<CaptureDisplay> X11ScreenSource::displays() {
    x11::installErrorHandlers();
    Display* dpy = XOpenDisplay(name_.empty() ? nullptr : name_.c_str());
    if (!dpy) throw x11Error(cannotOpen, "Cannot open the X display.");
    std::atomic<bool> dead{false};
    XSetIOErrorExitHandler(dpy, x11::markDead, &dead);
    std::vector<CaptureDisplay> out;
    for (const x11::Monitor& m : x11::listMonitors(dpy, x11::hasRandr(dpy))) {
        CaptureDisplay d;
        d.id = m.id;
        d.name = m.name;
        d.x = m.rect.x;
        d.y = m.rect.y;
        d.width = m.rect.width;
        d.height = m.rect.height;
        d.scale = 1;
        d.primary = m.primary;
        out.push_back(d);
    }
    if (dead) {
        close(ConnectionNumber(dpy));  // see X11Stream::tearDown
        throw x11Error(connectionLost, "The connection to the display was lost.");
    }
    XCloseDisplay(dpy);
    return out;
}

bool X11ScreenSource::canExcludeWindows() const {
    x11::installErrorHandlers();
    Display* dpy = XOpenDisplay(name_.empty() ? nullptr : name_.c_str());
    if (!dpy) return false;
    std::atomic<bool> dead{false};
    XSetIOErrorExitHandler(dpy, x11::markDead, &dead);
    const bool can = x11::canCompose(dpy);
    if (dead) {
        close(ConnectionNumber(dpy));  // see X11Stream::tearDown
        return false;
    }
    XCloseDisplay(dpy);
    return can;
}

std::unique_ptr<ScreenStream> X11ScreenSource::startStream(const CaptureDisplay& display,
                                                           const StreamConfig& config,
                                                           StreamSink sink) {
    if (config.hdr) logger().info("no HDR capture on X11: the stream is SDR");
    return std::make_unique<X11Stream>(name_, display, config, std::move(sink));
}

}  // namespace orvane

#include "Orvane_Host/capture/CaptureScreenInfo.h"

#include <cmath>

#include "OrvaneKit/base/Logger.h"

namespace orvane {

namespace {

const Logger& logger() {
    static const Logger log{"com.nimbrel.kelsap.host", "capture"};
    return log;
}

}  // namespace

struct Debouncer::Shared {
    std::mutex mutex;
    std::function<void()> handler;
    TimerHandle pending;
};

Debouncer::Debouncer(TimerService& timers, asio::any_io_executor executor,
                     std::chrono::nanoseconds delay)
    : timers_(timers),
      executor_(std::move(executor)),
      delay_(delay),
      shared_(std::make_shared<Shared>()) {}

Debouncer::~Debouncer() {
    setHandler(nullptr);
    cancel();
}

void Debouncer::setHandler(std::function<void()> handler) {
    std::lock_guard g(shared_->mutex);
    shared_->handler = std::move(handler);
}

void Debouncer::poke() {
    std::weak_ptr<Shared> weak = shared_;
    std::lock_guard g(shared_->mutex);
    shared_->pending.cancel();
    shared_->pending = timers_.after(delay_, executor_, [weak] {
        auto shared = weak.lock();
        if (!shared) return;
        std::function<void()> handler;
        {
            std::lock_guard g(shared->mutex);
            handler = shared->handler;
        }
        if (handler) handler();
    });
}

void Debouncer::cancel() {
    std::lock_guard g(shared_->mutex);
    shared_->pending.cancel();
}

CaptureScreenInfo::CaptureScreenInfo(std::shared_ptr<ScreenSource> screens,
                                     std::shared_ptr<DisplayChangeSource> changes,
                                     TimerService& timers, asio::any_io_executor mainActor)
    : screens_(std::move(screens)),
      changes_(std::move(changes)),
      debouncer_(timers, std::move(mainActor), settleDelay) {}

CaptureScreenInfo::~CaptureScreenInfo() {
    if (changes_) changes_->stop();
}

std::uint32_t CaptureScreenInfo::mainDisplayID() const {
    try {
        if (auto main = screens_->mainDisplay()) return main->id;
    } catch (const PlatformError&) {
        // No display server: no main display either.
    }
    return 0;
}

std::optional<std::vector<DisplayInfo>> CaptureScreenInfo::shareableDisplays() const {
    std::vector<CaptureDisplay> displays;
    try {
        displays = screens_->displays();
    } catch (const PlatformError& e) {
        logger().error("cannot list the displays: {}", e.what());
        return std::nullopt;
    }
    std::vector<DisplayInfo> out;
    out.reserve(displays.size());
    for (const CaptureDisplay& d : displays) {
        DisplayInfo info;
        info.id = d.id;
        info.name = d.name.empty() ? "Display " + std::to_string(d.id) : d.name;
        info.width = static_cast<std::int64_t>(std::trunc(d.width));
        info.height = static_cast<std::int64_t>(std::trunc(d.height));
        out.push_back(std::move(info));
    }
    return out;
}

void CaptureScreenInfo::setOnChanged(std::function<void()> handler) {
    const bool wanted = static_cast<bool>(handler);
    debouncer_.setHandler(std::move(handler));
    if (!changes_) return;
    std::lock_guard g(mutex_);
    if (wanted && !watching_) {
        try {
            changes_->start([this] { debouncer_.poke(); });
            watching_ = true;
        } catch (const PlatformError& e) {
            logger().error("display changes cannot be followed: {}", e.what());
        }
    } else if (!wanted && watching_) {
        changes_->stop();
        debouncer_.cancel();
        watching_ = false;
    }
}

}  // namespace orvane

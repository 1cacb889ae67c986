#pragma once

#include <asio/any_io_executor.hpp>
#include <chrono>
#include <memory>
#include <mutex>

#include "OrvaneKit/base/TimerService.h"
#include "Orvane_Host/capture/DisplayChanges.h"
#include "Orvane_Host/capture/ScreenSource.h"
#include "Orvane_Host/system/ScreenInfo.h"

namespace orvane {

// Calls its handler on an executor once, `delay` after the last of a burst of pokes: each poke
// cancels the pending call and schedules a new one. Pokes come from any thread.
class Debouncer {
public:
    Debouncer(TimerService& timers, asio::any_io_executor executor, std::chrono::nanoseconds delay);
    ~Debouncer();
    void setHandler(std::function<void()> handler);
    void poke();
    void cancel();

private:
    struct Shared;
    TimerService& timers_;
    asio::any_io_executor executor_;
    std::chrono::nanoseconds delay_;
    std::shared_ptr<Shared> shared_;
};

// The machine's screens as the capture platform sees them: the same enumeration, and so the
// same display ids, that captures are started with. Change reports of the display server reach
// the handler debounced.
class CaptureScreenInfo final : public ScreenInfo {
public:
    static constexpr auto settleDelay = std::chrono::milliseconds(800);

    // `changes` may be null (no reports). The handler runs on `mainActor`.
    CaptureScreenInfo(std::shared_ptr<ScreenSource> screens,
                      std::shared_ptr<DisplayChangeSource> changes, TimerService& timers,
                      asio::any_io_executor mainActor);
    ~CaptureScreenInfo() override;

    std::uint32_t mainDisplayID() const override;
    bool anyScreenSupportsEDR() const override { return false; }
    std::optional<std::vector<DisplayInfo>> shareableDisplays() const override;
    void setOnChanged(std::function<void()> handler) override;

private:
    std::shared_ptr<ScreenSource> screens_;
    std::shared_ptr<DisplayChangeSource> changes_;
    Debouncer debouncer_;
    std::mutex mutex_;
    bool watching_ = false;
};

}  // namespace orvane

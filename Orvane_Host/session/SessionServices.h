#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <memory>
#include <utility>

#include "OrvaneKit/base/Clock.h"
#include "OrvaneKit/base/MainActor.h"
#include "OrvaneKit/base/SettingsStore.h"
#include "OrvaneKit/base/TimerService.h"
#include "Orvane_Host/capture/IDisplayStreams.h"
#include "Orvane_Host/input/InputInjector.h"
#include "Orvane_Host/session/HostStatusBuilder.h"
#include "Orvane_Host/session/IBrowserServer.h"
#include "Orvane_Host/session/IFileMessages.h"
#include "Orvane_Host/session/ILocalAddresses.h"
#include "Orvane_Host/session/IMacActions.h"
#include "Orvane_Host/session/IScreenOverlays.h"
#include "Orvane_Host/session/IScreenShareWindow.h"
#include "Orvane_Host/session/SessionHistory.h"
#include "Orvane_Host/system/AlertPresenter.h"
#include "Orvane_Host/system/AwakeInhibitor.h"
#include "Orvane_Host/system/FilePicker.h"
#include "Orvane_Host/system/LoginItem.h"
#include "Orvane_Host/system/Notifier.h"
#include "Orvane_Host/system/Pasteboard.h"
#include "Orvane_Host/system/PowerActions.h"
#include "Orvane_Host/system/ScreenInfo.h"

namespace orvane {

// Everything the session core reaches outside itself, made by the app (or a test) and passed in.
struct SessionServices {
    MainActor& mainActor;
    const Clock& clock;
    TimerService& timers;
    SettingsStore& settings;
    Notifier& notifier;
    AlertPresenter& alerts;
    ScreenInfo& screens;
    IDisplayStreams& streams;
    IBrowserServer& browser;
    IScreenOverlays& overlays;
    ILocalAddresses& addresses;
    SessionHistory& history;
    InputInjector& injector;
    PowerActions& power;
    Pasteboard& pasteboard;
    IMacActions& actions;
    IFileMessages& files;
    IScreenShareWindows& shareWindowMaker;
    HostStatusBuilder& status;
    // A small pool for slow work off the main actor: status records, viewers' requests.
    asio::any_io_executor background;
    LoginItem& loginItem;
    FilePicker& filePicker;
    // Keeps the machine awake while it streams; none where nothing can.
    AwakeInhibitor* awake = nullptr;
};

// What every part of the session core shares: the services, and a weak hold on the core as a
// whole. Parts live exactly as long as the core, so a callback that finds the core alive may use
// its part; one that runs later does nothing.
class SessionPart {
protected:
    SessionPart(const SessionServices& services, std::weak_ptr<void> core)
        : s_(services), core_(std::move(core)) {}
    ~SessionPart() = default;
    SessionPart(const SessionPart&) = delete;
    SessionPart& operator=(const SessionPart&) = delete;

    void onMainActor() const { ORVANE_ASSERT_MAIN_ACTOR(s_.mainActor); }
    // A callable that runs f(args...) only while the core exists.
    template <class F>
    auto whileAlive(F f) const {
        return [core = core_, f = std::move(f)](auto&&... args) mutable {
            if (auto keep = core.lock()) f(std::forward<decltype(args)>(args)...);
        };
    }
    // Runs f on the main actor, if the core still exists by then.
    template <class F>
    void later(F f) {
        s_.mainActor.post(whileAlive(std::move(f)));
    }
    // Starts a main-actor task nobody awaits. It holds the core weakly until it runs and
    // strongly while it runs, so a queued task never keeps alive a core everyone let go.
    template <class Body>
    void spawnDetached(Body body) {
        asio::co_spawn(
            s_.mainActor.executor(),
            [core = core_, body = std::move(body)]() mutable -> asio::awaitable<void> {
                if (auto keep = core.lock()) co_await body();
            },
            asio::detached);
    }
    // Held across a coroutine's suspensions so the core outlives the task.
    std::shared_ptr<void> keepCore() const { return core_.lock(); }

    SessionServices s_;
    std::weak_ptr<void> core_;
};

}  // namespace orvane

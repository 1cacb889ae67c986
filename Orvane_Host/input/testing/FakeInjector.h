#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "OrvaneKit/base/testing/CallLog.h"
#include "Orvane_Host/input/InputInjector.h"

namespace orvane {

// Records into the shared call log, in order; queued work runs at once.
class FakeInjector final : public InputInjector {
public:
    explicit FakeInjector(CallLog& log) : log_(log) {}
    void inject(const InputEvent& event) override {
        std::lock_guard lock(mutex_);
        events.emplace_back(event, currentDisplay);
        log_.add("injector.inject");
    }
    void injectOnDisplay(const InputEvent& event, std::uint32_t displayID) override {
        std::lock_guard lock(mutex_);
        currentDisplay = displayID;
        events.emplace_back(event, displayID);
        log_.add("injector.inject " + std::to_string(displayID));
    }
    void setDisplay(std::uint32_t displayID) override {
        std::lock_guard lock(mutex_);
        currentDisplay = displayID;
        log_.add("injector.setDisplay " + std::to_string(displayID));
    }
    void releaseAll() override {
        {
            std::lock_guard lock(mutex_);
            log_.add("injector.releaseAll");
        }
        if (onReleaseAll) onReleaseAll();
    }
    void afterPending(std::function<void()> work) override { work(); }
    bool canPost() const override { return posting; }

    std::vector<std::pair<InputEvent, std::uint32_t>> events;
    std::uint32_t currentDisplay = 1;
    bool posting = true;
    // Runs after each releaseAll, e.g. to see what had been sent by then.
    std::function<void()> onReleaseAll;

private:
    std::mutex mutex_;
    CallLog& log_;
};

}  // namespace orvane

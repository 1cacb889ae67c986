#pragma once

#include <cstdint>
#include <functional>

#include "OrvaneKit/protocol/InputEvent.h"

namespace orvane {

// Puts a viewer's input into the local session. Every call only queues work on the injector's
// own serial queue and returns at once, so it is callable from any thread; work queued by one
// caller runs in the order of the calls.
class InputInjector {
public:
    virtual ~InputInjector() = default;
    // On the current display.
    virtual void inject(const InputEvent& event) = 0;
    // Makes `displayID` the current display first.
    virtual void injectOnDisplay(const InputEvent& event, std::uint32_t displayID) = 0;
    // Makes `displayID` the current display; the pointer moves to its centre only when it lies
    // outside it.
    virtual void setDisplay(std::uint32_t displayID) = 0;
    // Lets go of every key and button a viewer still holds down.
    virtual void releaseAll() = 0;
    // Runs `work` on the injector's queue after everything queued before it.
    virtual void afterPending(std::function<void()> work) = 0;
    // Whether events can reach the local session at all (the platform's permission or
    // extension is there); reported to viewers as the accessibility grant.
    virtual bool canPost() const = 0;
};

}  // namespace orvane

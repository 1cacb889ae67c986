#pragma once

#include <asio/io_context.hpp>

#include "OrvaneKit/base/MainActor.h"
#include "OrvaneKit/base/testing/FakeClock.h"
#include "OrvaneKit/base/testing/FakeTimerService.h"

namespace orvane {

// A main actor on an io_context that the test thread runs, with virtual time.
struct TestRuntime {
    asio::io_context io;
    IoContextMainActor mainActor{io};
    FakeClock clock;
    FakeTimerService timers{clock, [this] { drain(); }};

    // Runs everything posted to the main actor until nothing is ready.
    void drain() {
        io.restart();
        io.poll();
    }
    void advance(std::chrono::nanoseconds d) { timers.advance(d); }
};

}  // namespace orvane

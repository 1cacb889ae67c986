#include "Orvane_Host/input/SerialInputInjector.h"

#include <gtest/gtest.h>

#include <future>
#include <set>
#include <thread>

#include "OrvaneKit/base/NetContext.h"
#include "OrvaneKit/base/testing/FakeClock.h"
#include "Orvane_Host/input/testing/RecordingPoster.h"

namespace orvane {
namespace {

using Kind = SyntheticEvent::Kind;

void drain(InputInjector& injector) {
    std::promise<void> done;
    injector.afterPending([&] { done.set_value(); });
    ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST(InputInjector, QueuedCallsRunInOrderOnTheDisplayAsked) {
    NetContext net(2);
    auto poster = std::make_shared<RecordingPoster>();
    poster->displays[2] = {1440, 0, 800, 600};
    FakeClock clock;
    SerialInputInjector injector(net.makeStrand("orvane.input"), poster, clock);
    EXPECT_TRUE(injector.canPost());
    poster->trusted = false;
    EXPECT_FALSE(injector.canPost());

    injector.injectOnDisplay(InputEvent::MouseMove{0.5, 0.5}, 2);
    injector.inject(InputEvent::MouseButtonChange{MouseButton::left, true, -1, -1});
    injector.setDisplay(1);  // the pointer is outside: it moves to the centre
    injector.inject(InputEvent::MouseButtonChange{MouseButton::left, false, -1, -1});
    injector.releaseAll();
    drain(injector);
    auto out = poster->take();
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].point, (InputPoint{1840, 300}));
    EXPECT_EQ(out[1].kind, Kind::mouseDown);
    EXPECT_EQ(out[1].point, (InputPoint{1840, 300}));
    EXPECT_EQ(out[2].kind, Kind::mouseUp);
    EXPECT_EQ(out[2].point, (InputPoint{720, 450}));
    net.stop();
}

// Several threads at once, as the connections of several viewers and the browser would: each
// one's events arrive whole and in its own order.
TEST(InputInjectorConcurrency, CallsFromManyThreadsKeepEachCallersOrder) {
    NetContext net(4);
    auto poster = std::make_shared<RecordingPoster>();
    FakeClock clock;
    auto injector = std::make_unique<SerialInputInjector>(net.makeStrand(), poster, clock);
    constexpr int threads = 6, perThread = 300;
    std::vector<std::thread> callers;
    for (int t = 0; t < threads; ++t)
        callers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                const auto code = static_cast<std::uint16_t>(1000 * (t + 1) + i);
                injector->injectOnDisplay(InputEvent::Key{code, true, 0}, 1);
                injector->inject(InputEvent::Key{code, false, 0});
                if (i % 50 == 0) injector->releaseAll();
                if (i % 70 == 0) injector->setDisplay(1);
                (void)injector->canPost();
            }
        });
    for (auto& c : callers) c.join();
    drain(*injector);
    injector.reset();  // nothing queued is left to outlive it

    // releaseAll may let go of another caller's key early; a key is never up before it is down.
    std::vector<std::vector<std::uint16_t>> downs(threads);
    std::set<std::uint16_t> wentDown;
    for (const auto& e : poster->events()) {
        ASSERT_TRUE(e.kind == Kind::keyDown || e.kind == Kind::keyUp);
        const int t = e.keyCode / 1000 - 1;
        ASSERT_TRUE(t >= 0 && t < threads) << e.keyCode;
        if (e.kind == Kind::keyDown) {
            downs[t].push_back(e.keyCode);
            wentDown.insert(e.keyCode);
        } else {
            EXPECT_TRUE(wentDown.count(e.keyCode)) << e.keyCode;
        }
    }
    for (int t = 0; t < threads; ++t) {
        ASSERT_EQ(downs[t].size(), std::size_t{perThread}) << t;
        for (int i = 0; i < perThread; ++i) EXPECT_EQ(downs[t][i], 1000 * (t + 1) + i);
    }
    net.stop();
}

}  // namespace
}  // namespace orvane

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <future>
#include <thread>

#include "OrvaneKit/base/NetContext.h"
#include "OrvaneKit/base/Signal.h"
#include "OrvaneKit/base/TimerService.h"
#include "OrvaneKit/base/testing/TestRuntime.h"

using namespace orvane;
using namespace std::chrono_literals;

TEST(FakeTimers, FireInTimeOrderWithTheClockAtEachDeadline) {
    TestRuntime rt;
    std::vector<std::pair<int, MonoTime>> fired;
    auto start = rt.clock.monoNow();
    auto ex = rt.mainActor.executor();
    rt.timers.after(3s, ex, [&] { fired.push_back({3, rt.clock.monoNow()}); });
    rt.timers.after(1s, ex, [&] {
        fired.push_back({1, rt.clock.monoNow()});
        // Scheduled while advancing: still fires within the same advance.
        rt.timers.after(1s, ex, [&] { fired.push_back({2, rt.clock.monoNow()}); });
    });
    auto cancelled = rt.timers.after(2s, ex, [&] { fired.push_back({-1, rt.clock.monoNow()}); });
    cancelled.cancel();

    rt.advance(2500ms);
    ASSERT_EQ(fired.size(), 2u);
    EXPECT_EQ(fired[0].first, 1);
    EXPECT_EQ(fired[0].second - start, 1s);
    EXPECT_EQ(fired[1].first, 2);
    EXPECT_EQ(fired[1].second - start, 2s);
    rt.advance(1s);
    ASSERT_EQ(fired.size(), 3u);
    EXPECT_EQ(fired[2].first, 3);
    EXPECT_EQ(rt.clock.monoNow() - start, 3500ms);
}

TEST(FakeTimers, RepeatingTimerRunsEveryPeriodUntilCancelled) {
    TestRuntime rt;
    int ticks = 0;
    auto handle = rt.timers.every(5s, rt.mainActor.executor(), [&] { ++ticks; });
    rt.advance(16s);
    EXPECT_EQ(ticks, 3);
    handle.cancel();
    rt.advance(20s);
    EXPECT_EQ(ticks, 3);
    EXPECT_EQ(rt.timers.pendingCount(), 0u);
}

TEST(FakeTimers, CoroutineResumesOnTheMainActorAfterSleeping) {
    TestRuntime rt;
    bool done = false;
    bool onMain = false;
    asio::co_spawn(
        rt.mainActor.executor(),
        [&]() -> asio::awaitable<void> {
            co_await rt.timers.sleep(10s);
            onMain = rt.mainActor.isCurrent();
            done = true;
        },
        asio::detached);
    rt.drain();
    rt.advance(9s);
    EXPECT_FALSE(done);
    rt.advance(1s);
    EXPECT_TRUE(done);
    EXPECT_TRUE(onMain);
}

TEST(NetTimers, AsioTimerPostsToTheCallersExecutor) {
    NetContext net(1);
    AsioTimerService timers(net.context());
    asio::io_context mainIo;
    IoContextMainActor main(mainIo);
    auto guard = asio::make_work_guard(mainIo);
    std::thread::id firedOn;
    timers.after(5ms, main.executor(), [&] {
        firedOn = std::this_thread::get_id();
        guard.reset();
    });
    auto cancelled =
        timers.after(1ms, main.executor(), [] { ADD_FAILURE() << "cancelled timer ran"; });
    cancelled.cancel();
    mainIo.run_for(5s);
    EXPECT_EQ(firedOn, std::this_thread::get_id());
}

TEST(Signals, DisconnectAndObservableNotifiesOnlyOnChange) {
    Signal<int> sig;
    int sum = 0;
    auto c1 = sig.connect([&](int v) { sum += v; });
    {
        auto c2 = sig.connect([&](int v) { sum += 10 * v; });
        sig.emit(1);
    }  // c2 dropped: disconnected
    sig.emit(2);
    EXPECT_EQ(sum, 11 + 2);
    c1.disconnect();
    sig.emit(100);
    EXPECT_EQ(sum, 13);

    Observable<int> value(1);
    int notes = 0;
    auto c3 = value.changed.connect([&](const int&) { ++notes; });
    value = 1;
    value = 2;
    value.set(2);
    EXPECT_EQ(notes, 1);
    Observable<int> always(1, true);
    auto c4 = always.changed.connect([&](const int&) { ++notes; });
    always = 1;
    EXPECT_EQ(notes, 2);
}

TEST(MainActor, IsTheOwningThreadAndNoOther) {
    TestRuntime rt;
    EXPECT_TRUE(rt.mainActor.isCurrent());
    bool elsewhere = true;
    std::thread([&] { elsewhere = rt.mainActor.isCurrent(); }).join();
    EXPECT_FALSE(elsewhere);
}

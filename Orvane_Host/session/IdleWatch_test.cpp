#include <gtest/gtest.h>

#include <limits>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/protocol/InputEvent.h"
#include "OrvaneKit/protocol/Json.h"
#include "Orvane_Host/session/testing/HostHarness.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

struct IdleBench {
    HostHarness h;
    std::shared_ptr<HostController> host = h.make();
    MonoTime start = h.rt.clock.monoNow();

    std::shared_ptr<RemoteClient> listedClient(const std::string& name, bool sharer = false) {
        auto c = h.client(name, "FP-" + name);
        if (sharer) {
            auto hello = *c->hello();
            hello.role = ClientRole::screenSharer;
            c->setHello(hello);
        }
        auto list = host->clients();
        list.push_back(c);
        host->setClients(list);
        return c;
    }
    std::shared_ptr<RemoteClient> admitted(const std::string& name, bool sharer = false) {
        auto c = listedClient(name, sharer);
        host->admission().admit(c, false);
        h.rt.drain();
        return c;
    }
    void send(const std::shared_ptr<RemoteClient>& c, MessageType type, Bytes body = {}) {
        MessageRouter::receive(type, std::move(body), c, host->router().connectionTier());
    }
    void input(const std::shared_ptr<RemoteClient>& c) {
        send(c, MessageType::input, *json::encode(InputEvent{InputEvent::MouseMove{0.5, 0.5}}));
    }
    bool listed(const std::shared_ptr<RemoteClient>& c) const {
        for (const auto& x : host->clients())
            if (x == c) return true;
        return false;
    }
    std::chrono::duration<double> elapsed() const { return h.rt.clock.monoNow() - start; }
    static std::shared_ptr<FakeConnection> connectionOf(const std::shared_ptr<RemoteClient>& c) {
        return HostHarness::connectionOf(c);
    }
};

TEST(HostIdleWatch, SilentViewerIsDroppedBetween20And25SecondsWithoutABye) {
    auto memory = std::make_shared<MemoryLogSink>();
    Log::addSink(memory);
    for (auto lastMessage : {0ms, 2500ms, 4900ms}) {
        IdleBench b;
        auto silent = b.admitted("Ann");
        auto talking = b.admitted("Bob");
        silent->endReason = "an earlier reason";
        b.h.rt.advance(lastMessage);
        if (lastMessage > 0ms) b.send(silent, MessageType::ping);
        double droppedAt = 0;
        while (b.elapsed() < 60s) {
            b.h.rt.advance(100ms);
            b.send(talking, MessageType::ping);
            if (!b.listed(silent)) {
                droppedAt = b.elapsed().count();
                break;
            }
        }
        double last = std::chrono::duration<double>(lastMessage).count();
        EXPECT_GT(droppedAt, last + 20.0) << last;
        EXPECT_LE(droppedAt, last + 25.0 + 1e-9) << last;
        if (lastMessage == 0ms) {
            EXPECT_DOUBLE_EQ(droppedAt, 25.0) << "20.0 s at a tick stays";
        }
        EXPECT_EQ(silent->endReason, "No response for 20 seconds");
        EXPECT_TRUE(IdleBench::connectionOf(silent)->isCancelled());
        EXPECT_TRUE(IdleBench::connectionOf(silent)->sent(MessageType::bye).empty());
        for (const auto& e : b.h.history->entries())
            if (e.id == silent->id) {
                EXPECT_EQ(e.outcome, "No response for 20 seconds");
            }
        EXPECT_TRUE(b.listed(talking));
        EXPECT_FALSE(IdleBench::connectionOf(talking)->isCancelled());
    }
    Log::removeSink(memory);
    int lines = 0;
    for (const auto& r : memory->records())
        if (r.message == "dropping silent viewer") {
            ++lines;
            EXPECT_EQ(r.category, "net");
            EXPECT_EQ(r.level, LogLevel::notice);
        }
    EXPECT_EQ(lines, 3);
}

TEST(HostIdleWatch, IdleLimitEndsAViewerThatOnlyPings) {
    // Ticks come every 5 s after admission; a viewer goes once its last input is more than
    // 5 minutes old at a tick.
    const std::pair<std::chrono::seconds, double> cases[] = {
        {0s, 305.0},  // exactly 5:00 at the tick of 300 s stays
        {1s, 305.0},  // 4:59 at 300 s stays
        {5s, 310.0},
    };
    for (auto [lastInput, want] : cases) {
        IdleBench b;
        b.host->setIdleTimeoutMinutes(5);
        auto c = b.admitted("Ann");
        if (lastInput > 0s) {
            b.h.rt.advance(lastInput);
            b.input(c);
        }
        // Durations are monotonic: a jump of the wall clock changes nothing.
        b.h.rt.clock.setWall(b.h.rt.clock.wallNow() + 6h);
        double endedAt = 0;
        while (b.elapsed() < 400s) {
            b.h.rt.advance(1s);
            b.send(c, MessageType::ping);
            if (!b.listed(c)) {
                endedAt = b.elapsed().count();
                break;
            }
        }
        EXPECT_DOUBLE_EQ(endedAt, want) << lastInput.count();
        auto byes = IdleBench::connectionOf(c)->sent(MessageType::bye);
        ASSERT_EQ(byes.size(), 1u);
        EXPECT_EQ(json::decode<Bye>(ByteView(byes[0].body))->reason,
                  "Disconnected after 5 minutes of no activity.");
        EXPECT_EQ(c->endReason, "Disconnected after 5 minutes of no activity.");
        EXPECT_TRUE(b.host->recentlyStopped().contains("FP-Ann"));
    }
}

TEST(HostIdleWatch, IdleLimitIsReadAtEveryTick) {
    IdleBench b;
    auto c = b.admitted("Ann");
    for (int i = 0; i < 120; ++i) {  // 10 minutes without input, no limit
        b.h.rt.advance(5s);
        b.send(c, MessageType::ping);
    }
    ASSERT_TRUE(b.listed(c));
    b.host->setIdleTimeoutMinutes(1);
    b.h.rt.advance(5s);
    EXPECT_FALSE(b.listed(c));
    auto byes = IdleBench::connectionOf(c)->sent(MessageType::bye);
    ASSERT_EQ(byes.size(), 1u);
    EXPECT_EQ(json::decode<Bye>(ByteView(byes[0].body))->reason,
              "Disconnected after 1 minutes of no activity.");
}

TEST(HostIdleWatch, NoIdleLimitWhenZeroNegativeOrBeyondTheClock) {
    constexpr auto most = std::numeric_limits<std::int64_t>::max();
    for (std::int64_t minutes :
         {std::int64_t{0}, std::int64_t{-1}, std::int64_t{-5}, std::int64_t{10'000'000},
          std::int64_t{1} << 40, most / 60, most, std::numeric_limits<std::int64_t>::min()}) {
        IdleBench b;
        b.host->setIdleTimeoutMinutes(minutes);
        auto c = b.admitted("Ann");
        for (int i = 0; i < 720; ++i) {  // an hour of pings and no input
            b.h.rt.advance(5s);
            b.send(c, MessageType::ping);
        }
        EXPECT_TRUE(b.listed(c)) << minutes;
        EXPECT_TRUE(IdleBench::connectionOf(c)->sent(MessageType::bye).empty()) << minutes;
    }
}

TEST(HostIdleWatch, ScreenSharerAloneNeitherKeepsItRunningNorIsDropped) {
    IdleBench b;
    auto sharer = b.admitted("Pad", true);
    EXPECT_FALSE(b.host->idleWatch().timer()) << "a sharer starts no watchdog";
    auto viewer = b.admitted("Ann");  // ticks at 5, 10, 15 ...
    EXPECT_TRUE(b.host->idleWatch().timer().isActive());
    for (int i = 0; i < 12; ++i) {  // a minute in which only the viewer talks
        b.h.rt.advance(5s);
        b.send(viewer, MessageType::ping);
    }
    EXPECT_TRUE(b.listed(sharer));
    b.h.rt.advance(2s);
    b.host->ender().removeClient(viewer);
    b.h.rt.advance(2900ms);
    EXPECT_TRUE(b.host->idleWatch().timer());
    b.h.rt.advance(100ms);  // the next tick sees only the sharer
    EXPECT_FALSE(b.host->idleWatch().timer());
    b.h.rt.advance(120s);
    EXPECT_TRUE(b.listed(sharer));
    EXPECT_FALSE(IdleBench::connectionOf(sharer)->isCancelled());
    EXPECT_FALSE(sharer->endReason);
}

TEST(HostIdleWatch, ClientAwaitingApprovalIsNotExamined) {
    IdleBench b;
    b.host->setIdleTimeoutMinutes(1);
    auto pending = b.listedClient("Eve");
    auto viewer = b.admitted("Ann");
    for (int i = 0; i < 60; ++i) {  // 5 minutes; the viewer keeps using the machine
        b.h.rt.advance(5s);
        b.input(viewer);
    }
    EXPECT_TRUE(b.listed(viewer));
    EXPECT_TRUE(b.listed(pending));
    EXPECT_FALSE(IdleBench::connectionOf(pending)->isCancelled());
    EXPECT_TRUE(IdleBench::connectionOf(pending)->sent().empty());
    EXPECT_FALSE(pending->endReason);
}

TEST(HostIdleWatch, StopsAfterTheLastViewerAndANewOneStartsAfresh) {
    IdleBench b;
    auto first = b.admitted("Ann");  // ticks at 5, 10, 15 ...
    b.h.rt.advance(7s);
    b.host->ender().removeClient(first);
    b.h.rt.advance(2900ms);
    EXPECT_TRUE(b.host->idleWatch().timer());
    b.h.rt.advance(100ms);  // 10 s
    EXPECT_FALSE(b.host->idleWatch().timer());

    b.h.rt.advance(2s);
    auto second = b.admitted("Bob");  // 12 s: a fresh watchdog ticks at 17, 22 ... 32, 37
    EXPECT_TRUE(b.host->idleWatch().timer().isActive());
    b.h.rt.advance(24900ms);  // 36.9 s: 20.0 s silent at 32, the old schedule would drop at 35
    EXPECT_TRUE(b.listed(second));
    b.h.rt.advance(100ms);
    EXPECT_FALSE(b.listed(second));
    EXPECT_EQ(second->endReason, "No response for 20 seconds");
}

}  // namespace
}  // namespace orvane

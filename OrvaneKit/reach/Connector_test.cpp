#include "OrvaneKit/reach/Connector.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <set>
#include <thread>

#include "OrvaneKit/base/NetContext.h"
#include "OrvaneKit/base/testing/TestRuntime.h"
#include "OrvaneKit/reach/testing/FakeDialer.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

const ConnectCandidate A{{"10.0.0.2", 5895}, std::nullopt, std::nullopt};
const ConnectCandidate B{{"203.0.113.9", 5895}, std::nullopt, std::nullopt};

// A race on the fake dialer and virtual time; the outcome lands in `result`.
struct ConnectorRace : ::testing::Test {
    TestRuntime rt;
    FakeDialer dialer;
    Connector connector{dialer, rt.timers, rt.io.get_executor()};
    std::optional<ConnectOutcome> result;
    int outcomes = 0;
    std::vector<MonoTime> sourceCalls;

    void race(Connector::CandidateSource source, Connector::Options options = {}) {
        connector.connect(
            "ABC-DEF-GHJ-KLM", std::nullopt,
            [this, source = std::move(source)] {
                sourceCalls.push_back(rt.clock.monoNow());
                return source();
            },
            options,
            [this](ConnectOutcome o) {
                result = std::move(o);
                ++outcomes;
            });
        rt.drain();
    }
    std::chrono::milliseconds sinceStart(std::size_t call) const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(sourceCalls.at(call) -
                                                                     sourceCalls.at(0));
    }
    std::string failedReason() const {
        auto* f = result ? std::get_if<outcome::Failed>(&*result) : nullptr;
        return f ? f->reason : "<not failed>";
    }
};

TEST(Connector, WaveCountAndInvalidParameters) {
    struct Row {
        std::int64_t stagger;
        double timeout;
        std::optional<std::int64_t> waves;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Row rows[] = {
        {250, 10, 40},
        {3000, 2, 1},
        {1, 0.0019, 1},
        {250, 0, 1},
        {0, 10, std::nullopt},
        {-1, 10, std::nullopt},
        {250, inf, std::nullopt},
        {250, std::nan(""), std::nullopt},
        {250, 1e300, std::nullopt},
    };
    for (const auto& r : rows)
        EXPECT_EQ(Connector::waveCount({r.stagger, r.timeout}), r.waves)
            << r.stagger << " " << r.timeout;

    TestRuntime rt;
    FakeDialer dialer;
    Connector c(dialer, rt.timers, rt.io.get_executor());
    std::optional<ConnectOutcome> got;
    c.connect(
        "ABC", std::nullopt, [] { return std::vector{A}; }, {0, 10},
        [&](ConnectOutcome o) { got = o; });
    rt.drain();
    ASSERT_TRUE(got);
    ASSERT_TRUE(std::holds_alternative<outcome::Failed>(*got));
    EXPECT_EQ(std::get<outcome::Failed>(*got).reason, "invalid race parameters");
    EXPECT_TRUE(dialer.attempts().empty());
}

TEST(Connector, CandidateKeys) {
    EXPECT_EQ(Connector::candidateKey(A), "10.0.0.2:5895|*");
    EXPECT_EQ(Connector::candidateKey({{"fe80::1", 80}, "en1", std::nullopt}), "[fe80::1]:80|en1");
    EXPECT_EQ(Connector::candidateKey({{"mac.local", 5895}, "en0", std::nullopt}),
              "mac.local:5895|en0");
}

TEST_F(ConnectorRace, WavesRunStaggerApartUntilTheTimeout) {
    race([] { return std::vector<ConnectCandidate>{}; });
    rt.advance(9999ms);
    EXPECT_FALSE(result);
    ASSERT_EQ(sourceCalls.size(), 40u);
    EXPECT_EQ(sinceStart(1), 250ms);
    EXPECT_EQ(sinceStart(39), 9750ms);
    rt.advance(1ms);
    EXPECT_EQ(failedReason(), Connector::noPath);
}

TEST_F(ConnectorRace, OneNewCandidatePerWaveAndDuplicatesAreOneAttempt) {
    int wave = 0;
    race([&] {
        ++wave;
        if (wave < 3) return std::vector{A, A};
        return std::vector{A, B, ConnectCandidate{A.endpoint, "en0", std::nullopt},
                           ConnectCandidate{A.endpoint, "en1", std::nullopt}};
    });
    rt.advance(1000ms);
    EXPECT_EQ(dialer.keys(), (std::vector<std::string>{"10.0.0.2:5895|*", "203.0.113.9:5895|*",
                                                       "10.0.0.2:5895|en0", "10.0.0.2:5895|en1"}));
    for (auto& a : dialer.attempts()) EXPECT_TRUE(a->started());
}

TEST_F(ConnectorRace, TheOnlyCandidateFailingEndsTheRaceAtTheNextWave) {
    race([] { return std::vector{A}; });
    rt.advance(100ms);
    dialer.attempt(0)->report(conn::Waiting{posixError(ECONNREFUSED)});
    EXPECT_TRUE(dialer.attempt(0)->cancelled());
    EXPECT_FALSE(result);
    rt.advance(150ms);
    EXPECT_EQ(failedReason(), "Connection refused");
}

TEST_F(ConnectorRace, EndingsCancelEveryOtherAttempt) {
    enum class End { ready, tls, insecure };
    for (End end : {End::ready, End::tls, End::insecure}) {
        TestRuntime rt2;
        FakeDialer d;
        Connector c(d, rt2.timers, rt2.io.get_executor());
        std::optional<ConnectOutcome> got;
        c.connect(
            "ABC", std::nullopt,
            [] {
                return std::vector{A, B};
            },
            {}, [&](ConnectOutcome o) { got = o; });
        rt2.drain();
        rt2.advance(250ms);
        ASSERT_EQ(d.attempts().size(), 2u);
        auto first = d.attempt(0), second = d.attempt(1);
        if (end == End::ready) second->report(conn::Ready{});
        if (end == End::tls) second->report(conn::Failed{tlsError(47, "illegal parameter")});
        if (end == End::insecure)
            second->failSecurely(SecureChannelError::identityChanged("AAAA", "BBBB"));
        ASSERT_TRUE(got);
        EXPECT_TRUE(first->cancelled());
        EXPECT_FALSE(first->hasHandler());
        EXPECT_FALSE(second->hasHandler());
        switch (end) {
            case End::ready:
                ASSERT_TRUE(std::holds_alternative<outcome::Ready>(*got));
                EXPECT_EQ(std::get<outcome::Ready>(*got).attempt, second);
                EXPECT_FALSE(second->cancelled());
                break;
            case End::tls:
                EXPECT_TRUE(std::holds_alternative<outcome::WrongCode>(*got));
                break;
            case End::insecure:
                ASSERT_TRUE(std::holds_alternative<outcome::Insecure>(*got));
                EXPECT_EQ(std::get<outcome::Insecure>(*got).error.got(), "BBBB");
                break;
        }
        // Later events change nothing.
        first->report(conn::Ready{});
        rt2.advance(20s);
    }
}

TEST_F(ConnectorRace, ReadyAfterTheTimeoutIsIgnored) {
    race([] { return std::vector{A}; }, {250, 1});
    rt.advance(1s);
    EXPECT_EQ(failedReason(), Connector::noPath);
    EXPECT_TRUE(dialer.attempt(0)->cancelled());
    dialer.attempt(0)->report(conn::Ready{});
    EXPECT_EQ(outcomes, 1);
    EXPECT_EQ(failedReason(), Connector::noPath);
}

// An attempt made while another ends the race must not be left running.
TEST_F(ConnectorRace, AnAttemptStartedAfterTheRaceEndedIsCancelled) {
    dialer.onMake = [&](const ConnectCandidate& c) {
        if (Connector::candidateKey(c) == Connector::candidateKey(B))
            dialer.attempt(0)->report(conn::Ready{});
    };
    race([] { return std::vector{A, B}; });
    rt.advance(250ms);
    ASSERT_EQ(dialer.attempts().size(), 2u);
    ASSERT_TRUE(result && std::holds_alternative<outcome::Ready>(*result));
    EXPECT_TRUE(dialer.attempt(1)->cancelled());
    EXPECT_FALSE(dialer.attempt(1)->hasHandler());
    EXPECT_FALSE(dialer.attempt(0)->cancelled());
}

TEST_F(ConnectorRace, AnEmptyInterfaceListMeansOneAttemptOnAnyInterface) {
    connector.connect(HostPort{"10.0.0.2", 5895}, "ABC", std::vector<std::optional<std::string>>{},
                      {}, [&](ConnectOutcome o) { result = o; });
    rt.drain();
    rt.advance(1s);
    EXPECT_EQ(dialer.keys(), std::vector<std::string>{"10.0.0.2:5895|*"});
}

// Waves overlap when the source is slow: every candidate is still dialled once.
TEST(Connector, OverlappingWavesNeverDialACandidateTwice) {
    NetContext net{4};
    AsioTimerService timers(net.context());
    FakeDialer dialer;
    Connector c(dialer, timers, net.context().get_executor());
    std::vector<ConnectCandidate> many;
    for (int i = 0; i < 40; ++i)
        many.push_back({{"10.0.0." + std::to_string(i + 1), 5895}, std::nullopt, std::nullopt});
    // The first three waves are held in the source until all three are in it, then let go at
    // once, so they walk the same list side by side.
    std::mutex m;
    std::condition_variable cv;
    int inside = 0;
    std::atomic<bool> done{false};
    c.connect(
        "ABC", std::nullopt,
        [&] {
            std::unique_lock lock(m);
            if (++inside <= 3) {
                cv.notify_all();
                cv.wait_for(lock, 500ms, [&] { return inside >= 3; });
            }
            return many;
        },
        {1, 0.08}, [&](ConnectOutcome) { done = true; });
    for (int i = 0; i < 200 && !done; ++i) std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(done);
    auto keys = dialer.keys();
    EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), keys.size());
    EXPECT_GT(keys.size(), 1u);
    net.stop();
}

}  // namespace
}  // namespace orvane

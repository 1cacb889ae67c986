#include <gtest/gtest.h>

#include <mutex>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/base/NetContext.h"
#include "OrvaneKit/base/testing/TestRuntime.h"
#include "OrvaneKit/cloud/testing/FakeCloudStore.h"
#include "OrvaneKit/net/testing/MemoryTransportPair.h"
#include "OrvaneKit/reach/NATHostPuncher.h"
#include "OrvaneKit/reach/NATPuncher.h"
#include "OrvaneKit/reach/NATSignalling.h"
#include "OrvaneKit/reach/testing/FakeHolePunchListener.h"
#include "OrvaneKit/security/AccessCode.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

constexpr const char* code = "ABC-DEF-GHJ-KLM";

// STUN answered by the test: every exchange is counted and answered with `answer`.
struct ScriptedSTUN {
    std::optional<STUNDiscovery> answer;
    std::vector<HostPort> asked;
    STUNDiscover discover() {
        return [this](asio::any_io_executor ex, HostPort server, std::chrono::duration<double>,
                      STUNClient::Done done) {
            asked.push_back(server);
            asio::post(ex, [done = std::move(done), a = answer] { done(a); });
        };
    }
};

// The "nat" log lines written while it lives, each with its level.
struct NatLog : MemoryLogSink {
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        for (const auto& r : records())
            if (r.category == "nat")
                out.push_back(std::string(logLevelName(r.level)) + ": " + r.message);
        return out;
    }
};

struct NATFixture : ::testing::Test {
    TestRuntime rt;
    MemorySettingsStore settings;
    ScriptedSTUN stun;
    std::shared_ptr<FakeCloudStore> store = std::make_shared<FakeCloudStore>();
    std::shared_ptr<NatLog> log = std::make_shared<NatLog>();

    void SetUp() override {
        Log::addSink(log);
        store->database(CloudScope::privateScope)->modifyZones({CloudZoneID{"Kelsap"}}, {});
    }
    void TearDown() override { Log::removeSink(log); }
};

// ---- The machine's side ----

struct NATHost : NATFixture {
    FakeHolePunchListeners listeners;
    std::shared_ptr<NATHostPuncher> puncher =
        NATHostPuncher::make({rt.io.get_executor(), listeners.factory(), stun.discover()});
    std::optional<std::optional<STUNDiscovery>> result;

    void start() {
        puncher->start([] { return AccessCode::pskKey(code); }, settings,
                       [this](std::optional<STUNDiscovery> r) { result = r; });
        rt.drain();
    }
};

TEST_F(NATHost, SwitchedOffAsksNothingAndListensNowhere) {
    for (bool stored : {false, true}) {
        if (stored) settings.setBool(NATHolePunch::defaultsKey, false);
        start();
        ASSERT_TRUE(result);
        EXPECT_EQ(*result, std::nullopt);
        EXPECT_TRUE(stun.asked.empty());
        EXPECT_TRUE(listeners.made.empty());
        EXPECT_EQ(puncher->reflexive(), std::nullopt);
    }
    puncher->punch("198.51.100.7", 40000);  // nothing to send from
}

TEST_F(NATHost, ListensOnTheSTUNPortAndPunchesFiveOneByteDatagramsFromIt) {
    settings.setBool(NATHolePunch::defaultsKey, true);
    settings.setString(NATHolePunch::stunServerKey, "127.0.0.1:3478");
    stun.answer = STUNDiscovery{{"203.0.113.5", 61000}, 50123};
    start();
    ASSERT_EQ(stun.asked, (std::vector<HostPort>{{"127.0.0.1", 3478}}));
    ASSERT_TRUE(result && *result);
    EXPECT_EQ(puncher->reflexive(), (STUNReflexive{"203.0.113.5", 61000}));
    ASSERT_EQ(listeners.made.size(), 1u);
    auto& listener = *listeners.made[0];
    EXPECT_EQ(listener.port(), 50123);
    EXPECT_TRUE(listener.started());
    EXPECT_EQ(listener.key(), AccessCode::pskKey(code));
    EXPECT_EQ(
        log->lines(),
        (std::vector<std::string>{"default: NAT: QUIC hole-punch listener up on port 50123"}));

    puncher->punch("198.51.100.7", 40000);
    const std::pair<HostPort, Bytes> one{{"198.51.100.7", 40000}, Bytes{0x09}};
    EXPECT_EQ(listener.sent(), (std::vector<std::pair<HostPort, Bytes>>(5, one)));
    puncher->punch("198.51.100.7", 0);
    EXPECT_EQ(listener.sent().size(), 5u) << "port 0 is not punched";
    puncher->punch("198.51.100.8", 40001);
    EXPECT_EQ(listener.sent().size(), 10u);

    // Started once: a second start asks nothing and gets the same answer.
    result.reset();
    start();
    EXPECT_EQ(stun.asked.size(), 1u);
    EXPECT_EQ(*result, stun.answer);

    puncher->stop();
    EXPECT_TRUE(listener.cancelled());
    EXPECT_EQ(puncher->reflexive(), (STUNReflexive{"203.0.113.5", 61000})) << "kept";
    puncher->punch("198.51.100.7", 40000);
    EXPECT_EQ(listener.sent().size(), 10u);
}

TEST_F(NATHost, NewConnectionsGoUnstartedToTheOwner) {
    settings.setBool(NATHolePunch::defaultsKey, true);
    stun.answer = STUNDiscovery{{"203.0.113.5", 61000}, 50123};
    NetContext net{1};
    std::vector<std::shared_ptr<Transport>> got;
    puncher->setOnConnection([&](std::shared_ptr<Transport> t) { got.push_back(t); });
    start();
    auto pair = MemoryTransportPair::make(net);
    listeners.made.at(0)->deliver(pair.server);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], pair.server);
}

TEST_F(NATHost, NoAnswerOrNoListenerIsReported) {
    settings.setBool(NATHolePunch::defaultsKey, true);
    start();
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, std::nullopt);
    EXPECT_TRUE(listeners.made.empty());
    EXPECT_TRUE(log->lines().empty()) << "a failed exchange is silent";

    // The address stays known and is still published; nothing listens.
    stun.answer = STUNDiscovery{{"203.0.113.5", 61000}, 50123};
    listeners.failStart = NetError{NetError::Kind::posix, EADDRINUSE, "Address already in use"};
    start();
    ASSERT_TRUE(result && *result);
    EXPECT_EQ(puncher->reflexive(), (STUNReflexive{"203.0.113.5", 61000}));
    EXPECT_FALSE(puncher->listening());
    EXPECT_EQ(
        log->lines(),
        (std::vector<std::string>{"error: NAT: QUIC listener failed: Address already in use"}));
    puncher->punch("198.51.100.7", 40000);
    EXPECT_TRUE(listeners.made.at(0)->sent().empty());
}

TEST(NATHolePunchSettings, STUNServerComesFromTheSettingWhenItReads) {
    struct Case {
        const char* text;
        std::optional<HostPort> server;
    };
    const Case cases[] = {
        {"127.0.0.1:3478", HostPort{"127.0.0.1", 3478}},
        {"stun.example.net:65535", HostPort{"stun.example.net", 65535}},
        {"[2001:db8::1]:1", HostPort{"2001:db8::1", 1}},
        {"stun.example.net", std::nullopt},
        {"stun.example.net:0", std::nullopt},
        {"stun.example.net:70000", std::nullopt},
        {"stun.example.net:34x", std::nullopt},
        {":3478", std::nullopt},
        {"2001:db8::1:3478", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        MemorySettingsStore settings;
        settings.setString(NATHolePunch::stunServerKey, c.text);
        EXPECT_EQ(NATHolePunch::parseHostPort(c.text), c.server) << c.text;
        EXPECT_EQ(NATHolePunch::stunServer(settings),
                  c.server.value_or(HostPort{"stun.l.google.com", 19302}))
            << c.text;
    }
}

// ---- The record ----

struct NATRecord : NATFixture {
    NATSignalling signalling{store, rt.clock};

    void write(const std::string& macID, CloudValue port, CloudDate updatedAt) {
        CloudRecord r;
        r.type = "NATCandidate";
        r.id = {"nat-" + macID + "-viewer", CloudZoneID{"Kelsap"}};
        r.set("macID", macID);
        r.set("host", std::string("198.51.100.7"));
        r.set("port", port);
        r.set("updatedAt", updatedAt);
        store->database(CloudScope::privateScope)
            ->modifyRecords({r}, {}, CloudSavePolicy::allKeys, true);
    }
    CloudDate ago(std::chrono::milliseconds d) {
        return std::chrono::floor<std::chrono::milliseconds>(rt.clock.wallNow()) - d;
    }
};

TEST_F(NATRecord, PublishedOnceUnderTheMacsExactName) {
    const std::string macID = "a1B2-c3D4-Éé-" + std::string(300, 'x');
    signalling.publish(macID, "198.51.100.7", 40000);
    // Another viewer replaces it whatever the server's version.
    NATSignalling(store->otherDevice(), rt.clock).publish(macID, "198.51.100.8", 40001);

    auto changes = store->database(CloudScope::privateScope)
                       ->fetchZoneChanges(CloudZoneID{"Kelsap"}, std::nullopt, 0);
    ASSERT_EQ(changes.changed.size(), 1u);
    const auto& r = changes.changed[0];
    EXPECT_EQ(r.type, "NATCandidate");
    EXPECT_EQ(r.id.name, "nat-" + macID + "-viewer");
    EXPECT_EQ(*r.get("macID"), CloudValue(macID));
    EXPECT_EQ(*r.get("port"), CloudValue(std::int64_t(40001)));
    EXPECT_EQ(*r.get("updatedAt"),
              CloudValue(std::chrono::floor<std::chrono::milliseconds>(rt.clock.wallNow())));
    EXPECT_EQ(signalling.fetch(macID, 120), (STUNReflexive{"198.51.100.8", 40001}));
    EXPECT_EQ(signalling.fetch("A1B2-c3D4-Éé-" + std::string(300, 'x'), 120), std::nullopt)
        << "another case is another machine";
}

TEST_F(NATRecord, OnlyAFreshRecordWithAUsablePortIsRead) {
    struct Case {
        std::chrono::milliseconds age;
        CloudValue port;
        bool used;
    };
    const Case cases[] = {
        {119s, std::int64_t(40000), true},  {120s, std::int64_t(40000), false},
        {121s, std::int64_t(40000), false}, {-3600s, std::int64_t(40000), true},
        {0s, std::int64_t(0), false},       {0s, std::int64_t(70000), false},
        {0s, std::int64_t(1), true},        {0s, std::int64_t(65535), true},
        {0s, std::int64_t(-1), false},
    };
    for (const auto& c : cases) {
        write("M1", c.port, ago(c.age));
        auto got = signalling.fetch("M1", 120);
        EXPECT_EQ(got.has_value(), c.used)
            << c.age.count() << " ms, port " << std::get<std::int64_t>(c.port);
        if (got) EXPECT_EQ(got->port, std::get<std::int64_t>(c.port));
    }
}

TEST_F(NATRecord, FailuresReadAsNoneAndAreThrownOnPublish) {
    EXPECT_EQ(signalling.fetch("M1", 120), std::nullopt) << "no record";
    write("M1", std::int64_t(40000), ago(1s));
    store->failNextRequest(cloudError(CloudErrorCode::networkUnavailable));
    EXPECT_EQ(signalling.fetch("M1", 120), std::nullopt);
    store->setAccountStatus(CloudAccountStatus::noAccount);
    EXPECT_EQ(signalling.fetch("M1", 120), std::nullopt);
    EXPECT_THROW(signalling.publish("M1", "198.51.100.7", 40000), CloudError);
    store->setAccountStatus(CloudAccountStatus::available);

    // A refused record is a failed publication, not a quiet success.
    store->failRecord("nat-M1-viewer", cloudError(CloudErrorCode::permissionFailure));
    try {
        signalling.publish("M1", "198.51.100.9", 40009);
        FAIL() << "no error";
    } catch (const CloudError& e) {
        EXPECT_EQ(e.code, CloudErrorCode::permissionFailure);
    }
    store->failRecord("nat-M1-viewer", std::nullopt);
    EXPECT_EQ(signalling.fetch("M1", 120), (STUNReflexive{"198.51.100.7", 40000}));
}

// ---- The viewer's side ----

struct NATViewer : NATFixture {
    std::shared_ptr<NATPuncher> puncher =
        NATPuncher::make({rt.io.get_executor(), store, rt.clock, stun.discover()});
    int finished = 0;

    void prepare(std::optional<std::string> host = "203.0.113.5",
                 std::optional<std::int64_t> port = 61000) {
        puncher->prepare("M1", std::move(host), port, code, settings, [this] { ++finished; });
        rt.drain();
    }
};

TEST_F(NATViewer, PreparesNothingWhenOffOrWithoutTheMacsAddress) {
    prepare();
    settings.setBool(NATHolePunch::defaultsKey, true);
    prepare(std::nullopt);
    prepare("");
    prepare("203.0.113.5", std::nullopt);
    EXPECT_EQ(finished, 4);
    EXPECT_TRUE(stun.asked.empty());
    EXPECT_EQ(puncher->candidate(), std::nullopt);
}

TEST_F(NATViewer, LeavesItsAddressAndDialsFromItsSTUNPort) {
    settings.setBool(NATHolePunch::defaultsKey, true);
    stun.answer = STUNDiscovery{{"198.51.100.7", 40000}, 50999};
    prepare();
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(NATSignalling(store, rt.clock).fetch("M1", 120),
              (STUNReflexive{"198.51.100.7", 40000}));
    auto c = puncher->candidate();
    ASSERT_TRUE(c);
    EXPECT_EQ(c->endpoint, (HostPort{"203.0.113.5", 61000}));
    EXPECT_EQ(c->interface, std::nullopt);
    EXPECT_EQ(c->quic, (QuicPath{50999}));
    EXPECT_EQ(
        log->lines(),
        (std::vector<std::string>{"default: NAT: hole-punch candidate ready (local port 50999)"}));

    // One preparation per lifetime, even after a reset.
    puncher->reset();
    EXPECT_EQ(puncher->candidate(), std::nullopt);
    prepare();
    EXPECT_EQ(stun.asked.size(), 1u);
    EXPECT_EQ(puncher->candidate(), std::nullopt);
    EXPECT_EQ(finished, 2);
}

TEST_F(NATViewer, AFailedExchangeIsNotTriedAgain) {
    settings.setBool(NATHolePunch::defaultsKey, true);
    prepare();
    EXPECT_EQ(log->lines(),
              (std::vector<std::string>{
                  "default: NAT: STUN discovery failed; no hole-punch candidate added"}));
    stun.answer = STUNDiscovery{{"198.51.100.7", 40000}, 50999};
    prepare();
    EXPECT_EQ(stun.asked.size(), 1u);
    EXPECT_EQ(puncher->candidate(), std::nullopt);
    EXPECT_EQ(NATSignalling(store, rt.clock).fetch("M1", 120), std::nullopt);
}

TEST_F(NATViewer, AMacPortOutOfRangeGivesNoCandidateButTheAddressIsStillLeft) {
    settings.setBool(NATHolePunch::defaultsKey, true);
    stun.answer = STUNDiscovery{{"198.51.100.7", 40000}, 50999};
    prepare("203.0.113.5", 70000);
    EXPECT_EQ(puncher->candidate(), std::nullopt);
    EXPECT_EQ(NATSignalling(store, rt.clock).fetch("M1", 120),
              (STUNReflexive{"198.51.100.7", 40000}));
    EXPECT_EQ(
        log->lines(),
        (std::vector<std::string>{"default: NAT: hole-punch candidate ready (local port 50999)"}));
}

TEST_F(NATViewer, AFailedPublicationStillGivesTheCandidate) {
    settings.setBool(NATHolePunch::defaultsKey, true);
    stun.answer = STUNDiscovery{{"198.51.100.7", 40000}, 50999};
    store->failRecord("nat-M1-viewer", cloudError(CloudErrorCode::networkUnavailable));
    prepare();
    EXPECT_TRUE(puncher->candidate());
    EXPECT_EQ(NATSignalling(store, rt.clock).fetch("M1", 120), std::nullopt);
}

TEST(NATPuncherCandidate, NeedsTheSwitchAndAUsableMacAddress) {
    struct Case {
        bool enabled;
        std::optional<std::string> host;
        std::optional<std::int64_t> port;
        bool made;
    };
    const Case cases[] = {
        {true, "203.0.113.5", 61000, true}, {false, "203.0.113.5", 61000, false},
        {true, std::nullopt, 61000, false}, {true, "", 61000, false},
        {true, "203.0.113.5", 0, false},    {true, "203.0.113.5", 65536, false},
        {true, "203.0.113.5", 1, true},     {true, "203.0.113.5", std::nullopt, false},
    };
    for (const auto& c : cases) {
        auto got = NATPuncher::makeCandidate(c.enabled, c.host, c.port, 50999, code);
        EXPECT_EQ(got.has_value(), c.made) << c.host.value_or("-") << ":" << c.port.value_or(-1);
    }
    auto host = NATPuncher::makeCandidate(true, "203.0.113.5", 61000, std::nullopt, code);
    EXPECT_EQ(host->quic, (QuicPath{std::nullopt})) << "no port required without one";
    EXPECT_EQ(holePunchParameters(code, 50999).key, AccessCode::pskKey(code));
}

}  // namespace
}  // namespace orvane

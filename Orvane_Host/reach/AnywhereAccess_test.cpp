#include "Orvane_Host/reach/AnywhereAccess.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>

#include "OrvaneKit/base/Uuid.h"
#include "OrvaneKit/base/testing/FakeClock.h"
#include "OrvaneKit/base/testing/FakeTimerService.h"
#include "OrvaneKit/cloud/testing/FakeCloudStore.h"
#include "OrvaneKit/net/testing/MemoryTransportPair.h"
#include "OrvaneKit/reach/NATSignalling.h"
#include "OrvaneKit/reach/testing/FakeHolePunchListener.h"
#include "OrvaneKit/security/AccessCode.h"
#include "Orvane_Host/reach/testing/FakePortMappingBackend.h"

using namespace orvane;
using namespace std::chrono_literals;

namespace {

struct Addresses final : ILocalAddresses {
    LocalAddressLists lists{{"192.168.1.20"}, {}};
    LocalAddressLists localAddresses() const override { return lists; }
};

// The main actor and the cloud executor are two contexts the test runs itself, so a store call
// can be held in flight while the main actor goes on.
struct Anywhere : testing::Test {
    asio::io_context mainIo;
    asio::io_context cloudIo;
    IoContextMainActor mainActor{mainIo};
    FakeClock clock;
    FakeTimerService timers{clock, [this] { settle(); }};
    MemorySettingsStore settings;
    std::shared_ptr<FakeCloudStore> store = std::make_shared<FakeCloudStore>();
    std::shared_ptr<FakeCloudStore> phone = store->otherDevice();
    Addresses addresses;
    FakePortMappingBackend router;
    std::string code = "ABCD-EFGH";
    std::vector<std::pair<CloudAction, std::string>> performed;
    std::shared_ptr<MemoryLogSink> logs = std::make_shared<MemoryLogSink>();
    std::shared_ptr<AnywhereAccess> anywhere;

    void SetUp() override {
        Log::addSink(logs);
        anywhere = AnywhereAccess::make(
            {mainActor,
             clock,
             timers,
             settings,
             store,
             cloudIo.get_executor(),
             addresses,
             {[this] { return code; }, [] { return "token"; }, [] { return "Studio"; },
              [] { return "Linux,x86_64"; }, [] { return "fp:01"; }},
             &router});
    }
    void TearDown() override { Log::removeSink(logs); }

    void settle() {
        for (int i = 0; i < 1000; ++i) {
            mainIo.restart();
            cloudIo.restart();
            if (mainIo.poll() + cloudIo.poll() == 0) return;
        }
    }
    void start() {
        anywhere->start([this](CloudAction a, const std::string& s) {
            performed.push_back({a, s});
        });
        settle();
    }
    CloudCommand leave(CloudAction a, const std::string& macID, double ageSeconds) {
        FakeClock at;
        at.setWall(clock.wallNow() -
                   std::chrono::milliseconds(static_cast<long>(ageSeconds * 1000)));
        return OrvaneCloud(phone, at).send(a, macID, "Owner's iPhone");
    }
    std::vector<CloudCommand> stored() { return OrvaneCloud(phone).fetchChanges().commands; }
    std::vector<CloudMac> macs() { return OrvaneCloud(phone).fetchChanges().macs; }
    std::size_t count(const std::string& name) {
        std::size_t n = 0;
        for (const auto& r : store->requestLog()) n += r == name;
        return n;
    }
    bool logged(LogLevel level, const std::string& text) {
        for (const auto& r : logs->records())
            if (r.category == "cloud" && r.level == level && r.message == text) return true;
        return false;
    }
    void spawnPublish() {
        asio::co_spawn(
            mainIo, [a = anywhere]() { return a->publish(); }, asio::detached);
    }
};

TEST_F(Anywhere, StartsInOrderAndPublishesTheMachine) {
    EXPECT_EQ(anywhere->status(), "Starting\u2026");
    start();
    EXPECT_EQ(
        store->requestLog(),
        (std::vector<std::string>{"modifyZones", "modifySubscriptions", "accountStatus",
                                  "currentUserRecordName", "modifyRecords", "fetchZoneChanges"}));
    ASSERT_EQ(router.starts.size(), 1u);
    EXPECT_EQ(router.starts[0].internalPort, 5895);
    EXPECT_TRUE(
        logged(LogLevel::notice, "iCloud: account status 1 (1 = available), user 4a3b2c1d0e9f"));
    EXPECT_TRUE(logged(LogLevel::notice,
                       "published: Home network only (router didn't open a port) public \u2013 "
                       "ipv6 0"));
    EXPECT_TRUE(logged(LogLevel::notice, "fetched 1 Mac(s) [\"Studio\"], 0 command(s)"));
    EXPECT_EQ(anywhere->status(), "Home network only (router didn't open a port)");

    auto mac = macs().at(0);
    EXPECT_EQ(mac.id, anywhere->macID());
    EXPECT_EQ(mac.accessCode, code);
    EXPECT_EQ(mac.authToken, "token");
    EXPECT_EQ(mac.identity, "fp:01");
    EXPECT_EQ(mac.lanAddresses, addresses.lists.ipv4);
    EXPECT_FALSE(mac.relayHost || mac.relayPort || mac.relayAlloc || mac.natHost);

    // The router's answer republishes with the mapping and tells who shows the routes.
    int routeChanges = 0;
    auto routes = anywhere->routesChanged.connect([&] { ++routeChanges; });
    router.reply(0, htonl(0xCB007107), htons(40001));
    settle();
    EXPECT_EQ(routeChanges, 1);
    EXPECT_EQ(anywhere->routerMapping(), (PortMapping{"203.0.113.7", 40001}));
    EXPECT_EQ(anywhere->publicEndpoint(), "203.0.113.7:40001");
    EXPECT_EQ(anywhere->status(), "Reachable from anywhere");
    EXPECT_EQ(macs().at(0).endpoints(), std::vector<std::string>{"203.0.113.7:40001"});

    // A host listening elsewhere maps that port instead.
    anywhere->mapSessionPort(41000);
    ASSERT_EQ(router.starts.size(), 2u);
    EXPECT_EQ(router.starts[1].internalPort, 41000);
}

TEST_F(Anywhere, OnlyGlobalIPv6AddressesReachOutside) {
    struct Case {
        std::vector<std::string> ipv6;
        const char* status;
        std::vector<std::string> published;
    };
    const Case cases[] = {
        {{"fe80::1%eth0", "fd12:3456::1"}, "Home network only (router didn't open a port)", {}},
        {{"fe80::1%eth0", "2001:db8::7"}, "Reachable from anywhere", {"2001:db8::7"}},
    };
    start();
    for (const auto& c : cases) {
        addresses.lists.ipv6 = c.ipv6;
        spawnPublish();
        settle();
        EXPECT_EQ(anywhere->status(), c.status);
        EXPECT_EQ(macs().at(0).ipv6Addresses, c.published);
    }
}

TEST_F(Anywhere, FailuresShowInTheStatusUntilAPublicationSucceeds) {
    OrvaneCloud(phone).ensureZone();  // made at an earlier start
    store->failNextRequest(CloudError(CloudErrorCode::networkUnavailable, "No network."));
    std::vector<std::string> shown;
    auto c = anywhere->statusChanged.connect([&](const std::string& s) { shown.push_back(s); });
    start();
    EXPECT_TRUE(logged(LogLevel::error, "iCloud setup failed: No network."));
    ASSERT_GE(shown.size(), 2u);
    EXPECT_EQ(shown[0], "iCloud unavailable: No network.");
    EXPECT_EQ(anywhere->status(), "Home network only (router didn't open a port)");
    EXPECT_EQ(count("modifySubscriptions"), 0u) << "not tried again before the next start";

    store->failRecord(anywhere->macID(),
                      CloudError(CloudErrorCode::serverRecordChanged, "Changed."));
    spawnPublish();
    settle();
    EXPECT_EQ(anywhere->status(), "iCloud: Changed.");
    EXPECT_TRUE(logged(LogLevel::error, "publish failed: Changed."));
}

TEST_F(Anywhere, CommandsRunOnceWhileYoungAndOnlyForThisMachine) {
    start();
    const auto& me = anywhere->macID();
    auto young = leave(CloudAction::lockScreen, me, 599);
    auto old = leave(CloudAction::newCode, me, 600);
    auto other = leave(CloudAction::playSound, "ANOTHER-MAC", 1);
    // The first deletion fails, so the next fetch sees the young command again.
    store->failRecord(old.id, cloudError(CloudErrorCode::internalError));
    asio::co_spawn(
        mainIo, [a = anywhere] { return a->fetchCommands(); }, asio::detached);
    settle();
    EXPECT_EQ(performed, (decltype(performed){{CloudAction::lockScreen, "Owner's iPhone"}}));
    EXPECT_TRUE(logged(LogLevel::notice, "command lockScreen from Owner's iPhone"));
    EXPECT_TRUE(logged(LogLevel::notice, "fetched 1 Mac(s) [\"Studio\"], 3 command(s)"));
    EXPECT_EQ(stored().size(), 3u) << "an atomic deletion that failed deleted nothing";

    store->failRecord(old.id, std::nullopt);
    asio::co_spawn(
        mainIo, [a = anywhere] { return a->fetchCommands(); }, asio::detached);
    settle();
    EXPECT_EQ(performed.size(), 1u) << "seen twice, run once";
    EXPECT_EQ(stored(), std::vector<CloudCommand>{other}) << "another machine's stays";
}

TEST_F(Anywhere, PushesFetchCommandsAndAfterStopNothingRuns) {
    start();
    leave(CloudAction::disconnectAll, anywhere->macID(), 0);
    settle();
    EXPECT_EQ(performed.size(), 1u) << "the push fetched";
    EXPECT_TRUE(stored().empty());

    anywhere->stop();
    EXPECT_EQ(router.calls.back(), "cancel");
    leave(CloudAction::newCode, anywhere->macID(), 0);
    settle();
    EXPECT_EQ(performed.size(), 1u);
    EXPECT_TRUE(stored().empty()) << "still fetched and deleted";
    EXPECT_EQ(timers.pendingCount(), 0u);
}

TEST_F(Anywhere, TicksFetchAndPublishOnlyInTheHeartbeatWindow) {
    struct Case {
        int remainder;  // of the tick's Unix time modulo 300
        bool publishes;
    };
    for (auto c : {Case{0, true}, Case{29, true}, Case{30, false}, Case{299, false}}) {
        SCOPED_TRACE(c.remainder);
        TearDown();
        store = std::make_shared<FakeCloudStore>();
        phone = store->otherDevice();
        clock.setWall(WallTime(std::chrono::seconds(1'800'000'000 + c.remainder - 30)));
        SetUp();
        start();
        anywhere->start({});  // a second start adds no timer
        EXPECT_EQ(timers.pendingCount(), 1u);
        const auto published = count("modifyRecords");
        const auto fetched = count("fetchZoneChanges");
        timers.advance(30s);
        EXPECT_EQ(count("fetchZoneChanges"), fetched + 1);
        EXPECT_EQ(count("modifyRecords"), published + (c.publishes ? 1 : 0));
        anywhere->stop();
    }
}

TEST_F(Anywhere, PublicationsRunOneAtATimeAndTheLastCodeWins) {
    start();
    const auto before = count("modifyRecords");
    // A heartbeat goes out with the old code and is held in flight.
    spawnPublish();
    mainIo.restart();
    mainIo.poll();
    // The code changes meanwhile; three more requests merge into one publication.
    code = "NEWC-ODE1";
    spawnPublish();
    spawnPublish();
    spawnPublish();
    mainIo.restart();
    mainIo.poll();
    settle();
    EXPECT_EQ(count("modifyRecords"), before + 2);
    EXPECT_EQ(macs().at(0).accessCode, "NEWC-ODE1");
}

TEST_F(Anywhere, AnHourOfSlowTicksStaysOnTheGridWithOneHeartbeatPerWindow) {
    // Each store request takes 7 s of the clock; a drifting timer would slide off the grid.
    std::vector<MonoTime> fetches;
    std::int64_t heartbeats = 0;
    store->setRequestHook([&](const std::string& name) {
        if (name == "fetchZoneChanges") fetches.push_back(clock.monoNow());
        if (name == "modifyRecords") ++heartbeats;
        clock.advance(7s);
    });
    const MonoTime origin = clock.monoNow();
    start();
    fetches.clear();
    heartbeats = 0;
    for (int i = 0; i < 120; ++i) timers.advance(30s);
    ASSERT_GE(fetches.size(), 118u);
    for (auto t : fetches) EXPECT_EQ((t - origin) % 30s, 0s);
    EXPECT_EQ(heartbeats, 12);
}

TEST(AnywhereMacID, IsMadeOnceAndKept) {
    MemorySettingsStore settings;
    const auto id = AnywhereAccess::loadMacID(settings);
    EXPECT_EQ(Uuid::parse(id)->string(), id);
    EXPECT_EQ(settings.string("hostDeviceID"), id);
    EXPECT_EQ(AnywhereAccess::loadMacID(settings), id);
}

// The hole punch, with STUN answered by the test and a fake listener.
struct AnywherePunch : Anywhere {
    NetContext net{1};  // outlives the connections below
    FakeHolePunchListeners listeners;
    int stunAsked = 0;
    std::optional<STUNDiscovery> stunAnswer = STUNDiscovery{{"203.0.113.9", 61000}, 50123};
    std::vector<std::shared_ptr<Transport>> accepted;
    bool acceptedOnMain = true;

    void SetUp() override {
        Anywhere::SetUp();
        AnywhereAccess::Services::HolePunch punch{
            listeners.factory(), [this] { return AccessCode::pskKey(code); },
            [this](std::shared_ptr<Transport> t) {
                acceptedOnMain = acceptedOnMain && mainActor.isCurrent();
                accepted.push_back(std::move(t));
            },
            [this](asio::any_io_executor ex, HostPort, std::chrono::duration<double>,
                   STUNClient::Done done) {
                ++stunAsked;
                asio::post(ex, [done, a = stunAnswer] { done(a); });
            }};
        anywhere = AnywhereAccess::make({mainActor,
                                         clock,
                                         timers,
                                         settings,
                                         store,
                                         cloudIo.get_executor(),
                                         addresses,
                                         {[this] { return code; }},
                                         &router,
                                         punch});
    }
    // A viewer behind a NAT leaves its address for this machine.
    void viewerAt(const std::string& host, std::uint16_t port) {
        NATSignalling(phone, clock).publish(anywhere->macID(), host, port);
    }
    void fetch() {
        asio::co_spawn(mainIo, anywhere->fetchCommands(), asio::detached);
        settle();
    }
};

TEST_F(AnywherePunch, SwitchedOffNothingIsAskedOrPublished) {
    start();
    viewerAt("198.51.100.7", 40000);
    fetch();
    EXPECT_EQ(stunAsked, 0);
    EXPECT_TRUE(listeners.made.empty());
    EXPECT_FALSE(macs().at(0).natHost);
    EXPECT_EQ(anywhere->holePunchAddress(), std::nullopt);
    for (const auto& r : store->requestLog()) EXPECT_NE(r, "fetchRecord");
}

TEST_F(AnywherePunch, PublishesItsAddressAndPunchesTowardsFreshViewers) {
    settings.setBool(NATHolePunch::defaultsKey, true);
    int routeChanges = 0;
    auto routes = anywhere->routesChanged.connect([&] { ++routeChanges; });
    start();
    EXPECT_EQ(stunAsked, 1);
    EXPECT_EQ(routeChanges, 1) << "the pairing link learns the address";
    EXPECT_EQ(anywhere->holePunchAddress(), (STUNReflexive{"203.0.113.9", 61000}));
    auto mac = macs().at(0);
    EXPECT_EQ(mac.natHost, "203.0.113.9");
    EXPECT_EQ(mac.natPort, 61000);
    ASSERT_EQ(listeners.made.size(), 1u);
    auto& listener = *listeners.made[0];
    EXPECT_EQ(listener.port(), 50123);
    code = "WXYZ-WXYZ";
    EXPECT_EQ(listener.key(), AccessCode::pskKey(code)) << "read at each handshake";
    EXPECT_TRUE(listener.sent().empty()) << "no viewer yet";

    // The viewer's record pushes; the fetch that follows punches.
    viewerAt("198.51.100.7", 40000);
    settle();
    const std::pair<HostPort, Bytes> one{{"198.51.100.7", 40000}, Bytes{0x09}};
    EXPECT_EQ(listener.sent(), (std::vector<std::pair<HostPort, Bytes>>(5, one)));

    // After a failed command fetch too; not once the address is two minutes old.
    store->failNextRequest(cloudError(CloudErrorCode::networkUnavailable));
    fetch();
    EXPECT_EQ(listener.sent().size(), 10u);
    clock.advance(120s);
    fetch();
    EXPECT_EQ(listener.sent().size(), 10u);

    // Punched connections reach the host on the main actor.
    auto pair = MemoryTransportPair::make(net);
    std::thread([&] { listener.deliver(pair.server); }).join();
    EXPECT_TRUE(accepted.empty());
    settle();
    ASSERT_EQ(accepted.size(), 1u);
    EXPECT_TRUE(acceptedOnMain);

    anywhere->stop();
    EXPECT_TRUE(listener.cancelled());
}

TEST_F(AnywherePunch, NoSTUNAnswerPublishesNoAddress) {
    settings.setBool(NATHolePunch::defaultsKey, true);
    stunAnswer.reset();
    start();
    EXPECT_EQ(stunAsked, 1);
    EXPECT_FALSE(macs().at(0).natHost);
    viewerAt("198.51.100.7", 40000);
    fetch();
    EXPECT_TRUE(listeners.made.empty());
    for (const auto& r : store->requestLog()) EXPECT_NE(r, "fetchRecord");
}

}  // namespace

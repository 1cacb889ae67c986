#include <gtest/gtest.h>

#include <cerrno>

#include "OrvaneKit/net/testing/FakeServiceAdvertiser.h"
#include "OrvaneKit/protocol/Json.h"
#include "OrvaneKit/protocol/Messages.h"
#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/testing/FakeIdentity.h"
#include "Orvane_Host/session/HostController.h"
#include "Orvane_Host/session/testing/FakeListenerFactory.h"
#include "Orvane_Host/session/testing/HostHarness.h"
#include "Orvane_Host/session/testing/SettleClients.h"
#include "Orvane_Host/session/testing/StubTransport.h"

using namespace orvane;
using namespace std::chrono_literals;

namespace {

using Posted = RecordingNotifier::Posted;
using ms = std::chrono::milliseconds;

constexpr const char* fp = "3F2A 91C0 77DE 0B15";
constexpr const char* code = "ABC-DEF-GHJ-KLM";
constexpr const char* byHost = "Disconnected by the host.";
const Posted annDisconnected{"Ann disconnected", "Screen sharing ended."};
const std::vector<std::string> releaseLockRelease{"injector.releaseAll", "power.lockScreen",
                                                  "injector.releaseAll"};

struct Ending {
    HostHarness h;
    std::shared_ptr<HostController> host = h.make();

    // Listed, with a Hello, not admitted.
    std::shared_ptr<RemoteClient> arrived(std::string name,
                                          std::optional<std::string> fingerprint = fp,
                                          std::optional<ClientRole> role = std::nullopt) {
        auto c = h.bareClient(std::move(fingerprint));
        Hello hello;
        hello.deviceName = std::move(name);
        hello.platform = ClientPlatform::iPhone;
        hello.role = role;
        c->setHello(hello);
        auto list = host->clients();
        list.push_back(c);
        host->setClients(std::move(list));
        return c;
    }
    // Admitted the ordinary way (so its history entry exists), its welcome already sent.
    std::shared_ptr<RemoteClient> admitted(std::string name,
                                           std::optional<std::string> fingerprint = fp,
                                           std::optional<ClientRole> role = std::nullopt,
                                           bool canControl = true) {
        auto c = arrived(std::move(name), std::move(fingerprint), role);
        c->setCanControl(canControl);
        host->admission().admit(c, false);
        h.rt.drain();
        return c;
    }
    bool listed(const std::shared_ptr<RemoteClient>& c) const {
        return std::any_of(host->clients().begin(), host->clients().end(),
                           [&](const auto& x) { return x->id == c->id; });
    }
    std::vector<Posted> postedSince(std::size_t n) const {
        auto all = h.notifier.posted();
        return {all.begin() + static_cast<std::ptrdiff_t>(std::min(n, all.size())), all.end()};
    }
    // The calls that touch input or the session lock, in order.
    std::vector<std::string> inputAndLock() const {
        std::vector<std::string> out;
        for (const auto& c : h.calls.calls())
            if (c.rfind("injector.", 0) == 0 || c.rfind("power.", 0) == 0) out.push_back(c);
        return out;
    }
    static std::vector<std::string> byes(const std::shared_ptr<RemoteClient>& c) {
        std::vector<std::string> out;
        for (const auto& s : HostHarness::connectionOf(c)->sent(MessageType::bye))
            out.push_back(json::decode<Bye>(s.body).value().reason);
        return out;
    }
    static int cancels(const std::shared_ptr<RemoteClient>& c) {
        return HostHarness::connectionOf(c)->cancelCount();
    }
};

// A host with its front door on a fake listener, for the restarts.
struct WithListener : Ending {
    NetContext net{1};
    FakeListenerFactory listeners;
    FakeServiceAdvertiser advertiser;
    FakeIdentity identity{Bytes(32, 5)};

    WithListener() {
        host->setAccessCode(code);
        host->setFrontDoor({listeners, advertiser, {&identity.identity(), nullptr, &net}, [] {
                                return std::string("Test Machine");
                            }});
    }
    ~WithListener() { closeAndSettle(host, h); }
};

}  // namespace

// The connection closes 0.05 s after the bye has gone out, and 1.0 s after the end at the latest.
TEST(HostEnding, CancelFollowsTheByeOrComesAfterOneSecond) {
    struct Case {
        const char* name;
        bool closedAlready;  // the bye's send then fails at once
        std::optional<ms> byeDone;
        std::optional<NetError> byeError;
        std::vector<std::pair<ms, int>> cancelsAt;  // since the end
    } cases[] = {
        {"bye sent at 0.3 s", false, 300ms, std::nullopt, {{349ms, 0}, {350ms, 1}, {1s, 2}}},
        {"bye fails at 0.3 s", false, 300ms, posixError(EPIPE), {{349ms, 0}, {350ms, 1}}},
        {"bye sent at 0.98 s", false, 980ms, std::nullopt, {{999ms, 0}, {1s, 1}, {2s, 2}}},
        {"bye never completes", false, std::nullopt, std::nullopt, {{999ms, 0}, {1s, 1}}},
        {"no channel, bye fails at once",
         true,
         std::nullopt,
         std::nullopt,
         {{0ms, 1}, {49ms, 1}, {50ms, 2}, {999ms, 2}, {1s, 3}}},
    };
    for (const auto& cs : cases) {
        SCOPED_TRACE(cs.name);
        Ending e;
        auto c = e.arrived("Ann");
        auto conn = HostHarness::connectionOf(c);
        if (cs.closedAlready) conn->cancel();
        auto start = e.h.rt.clock.monoNow();
        e.host->endSession(c, byHost);
        EXPECT_EQ(Ending::byes(c), std::vector<std::string>{byHost});
        EXPECT_FALSE(e.listed(c));
        bool done = false;
        for (const auto& [at, want] : cs.cancelsAt) {
            if (cs.byeDone && !done && *cs.byeDone <= at) {
                e.h.rt.advance(*cs.byeDone - (e.h.rt.clock.monoNow() - start));
                ASSERT_TRUE(conn->completeOne(cs.byeError));
                done = true;
            }
            e.h.rt.advance(at - (e.h.rt.clock.monoNow() - start));
            EXPECT_EQ(conn->cancelCount(), want) << "at " << at.count() << " ms";
        }
    }
}

TEST(HostEnding, EndRecordsTheReasonRemembersThePeerAndAnnounces) {
    struct Case {
        const char* name;
        std::optional<std::string> fingerprint;
        bool admitted;
        std::optional<std::string> earlierReason;
    } cases[] = {
        {"viewer", fp, true, std::nullopt},
        {"viewer without fingerprint", std::nullopt, true, std::nullopt},
        {"reason set earlier", fp, true, "No response for 20 seconds"},
        {"never admitted", fp, false, std::nullopt},
    };
    for (const auto& cs : cases) {
        SCOPED_TRACE(cs.name);
        Ending e;
        auto c = cs.admitted ? e.admitted("Ann", cs.fingerprint) : e.arrived("Ann", cs.fingerprint);
        c->endReason = cs.earlierReason;
        auto posted = e.h.notifier.posted().size();
        e.h.rt.advance(7s);
        e.host->endSession(c, byHost);
        e.h.rt.drain();

        EXPECT_EQ(Ending::byes(c), std::vector<std::string>{byHost});
        EXPECT_FALSE(e.listed(c));
        EXPECT_FALSE(c->authorized());
        std::string outcome = cs.earlierReason.value_or(byHost);
        EXPECT_EQ(c->endReason, outcome);
        if (cs.fingerprint)
            EXPECT_EQ(e.host->recentlyStopped(),
                      (HostController::StoppedPeers{{fp, e.h.rt.clock.monoNow()}}));
        else
            EXPECT_TRUE(e.host->recentlyStopped().empty());
        if (cs.admitted) {
            ASSERT_EQ(e.h.history->entries().size(), 1u);
            const auto& entry = e.h.history->entries()[0];
            EXPECT_EQ(entry.id, c->id);
            EXPECT_EQ(entry.outcome, outcome);
            EXPECT_TRUE(entry.ended);
            EXPECT_EQ(e.postedSince(posted), std::vector<Posted>{annDisconnected});
        } else {
            EXPECT_TRUE(e.h.history->entries().empty());
            EXPECT_TRUE(e.postedSince(posted).empty());
        }
        // A second end finds nothing to remove.
        e.host->ender().removeClient(c, true);
        EXPECT_EQ(e.h.history->entries().size(), cs.admitted ? 1u : 0u);
    }
}

TEST(HostEnding, SharerLeavingClosesItsWindowQuietly) {
    Ending e;
    auto c = e.admitted("Ann", fp, ClientRole::screenSharer);
    ASSERT_EQ(e.h.shareWindows.windows.size(), 1u);
    auto posted = e.h.notifier.posted().size();
    e.h.calls.clear();

    e.host->router().handle(MessageType::bye, json::encode(Bye{"Done"}).value(), c);
    e.h.rt.drain();
    EXPECT_FALSE(e.listed(c));
    EXPECT_TRUE(e.host->shareWindows().empty());
    EXPECT_TRUE(e.h.shareWindows.windows[0]->closed);
    EXPECT_TRUE(Ending::byes(c).empty()) << "its close handler did not run";
    EXPECT_EQ(e.postedSince(posted),
              (std::vector<Posted>{{"Ann stopped sharing", "Their screen is no longer shown."}}));
    EXPECT_EQ(e.h.history->entries().at(0).outcome, "Ended on Ann");
    EXPECT_TRUE(e.inputAndLock().empty());
}

TEST(HostEnding, LockWhenTheLastControllingViewerLeaves) {
    struct Other {
        bool admitted;
        bool control;
        std::optional<ClientRole> role;
    };
    struct Case {
        const char* name;
        bool setting;
        bool leaverControls;
        std::optional<ClientRole> leaverRole;
        std::optional<Other> other;
        std::vector<std::string> want;
    } cases[] = {
        {"last controlling viewer", true, true, std::nullopt, std::nullopt, releaseLockRelease},
        {"setting off", false, true, std::nullopt, std::nullopt, {"injector.releaseAll"}},
        {"leaver could not control",
         true,
         false,
         std::nullopt,
         std::nullopt,
         {"injector.releaseAll"}},
        {"leaver shared its screen", true, true, ClientRole::screenSharer, std::nullopt, {}},
        {"another controlling viewer remains",
         true,
         true,
         std::nullopt,
         Other{true, true, std::nullopt},
         {"injector.releaseAll"}},
        {"the remaining viewer only watches", true, true, std::nullopt,
         Other{true, false, std::nullopt}, releaseLockRelease},
        {"the remaining one shares its screen", true, true, std::nullopt,
         Other{true, true, ClientRole::screenSharer}, releaseLockRelease},
        {"the remaining one is not admitted", true, true, std::nullopt,
         Other{false, true, std::nullopt}, releaseLockRelease},
    };
    for (const auto& cs : cases) {
        SCOPED_TRACE(cs.name);
        Ending e;
        e.host->setLockWhenSessionEnds(cs.setting);
        auto leaver = e.arrived("Ann", fp, cs.leaverRole);
        leaver->setCanControl(cs.leaverControls);
        leaver->setAuthorized(true);
        if (cs.other) {
            auto o = e.arrived("Bob", "BBBB", cs.other->role);
            o->setCanControl(cs.other->control);
            o->setAuthorized(cs.other->admitted);
        }
        e.h.calls.clear();
        e.host->endSession(leaver, byHost);
        e.h.rt.drain();
        EXPECT_EQ(e.inputAndLock(), cs.want);
    }
}

TEST(HostEnding, CaptureStopsWhenTheLastViewerLeaves) {
    Ending e;
    auto ann = e.admitted("Ann", "AAAA");
    auto bob = e.admitted("Bob", "BBBB");
    e.admitted("Sam", "5555", ClientRole::screenSharer);
    auto waiting = e.arrived("Eve", "EEEE");
    e.h.calls.clear();

    e.host->endSession(ann, byHost);
    e.h.rt.drain();
    EXPECT_EQ(e.h.calls.count("overlays.clearAnnotations"), 0u);
    EXPECT_EQ(e.h.calls.count("streams.stop"), 0u);

    e.host->endSession(bob, byHost);  // a screen sharer does not hold capture open
    e.h.rt.drain();
    EXPECT_EQ(e.h.calls.count("overlays.clearAnnotations"), 1u);
    EXPECT_EQ(e.h.calls.count("streams.stop"), 1u);
    EXPECT_FALSE(e.host->isStreaming());

    // Any later removal with no viewer left does both again, harmlessly.
    e.host->ender().removeClient(waiting);
    e.h.rt.drain();
    EXPECT_EQ(e.h.calls.count("overlays.clearAnnotations"), 2u);
    EXPECT_EQ(e.h.calls.count("streams.stop"), 2u);
    EXPECT_EQ(e.h.files.calls(),
              (std::vector<std::string>{"cancelAll Ann", "cancelAll Bob", "cancelAll Eve"}));
}

TEST(HostEnding, LastSupportClientGivesTheListenerBackToTheAccessCode) {
    WithListener e;
    e.host->setSupportCode("SUP-POR-TCO-DE2");
    e.host->frontDoor().start();
    ASSERT_EQ(e.listeners.made.size(), 1u);
    auto first = e.admitted("Ann", "AAAA");
    auto second = e.admitted("Bob", "BBBB");
    first->isSupport = second->isSupport = true;
    auto other = e.admitted("Cai", "CCCC");

    e.host->endSession(first, "The support session ended.");
    e.host->endSession(other, byHost);
    e.h.rt.drain();
    EXPECT_EQ(e.host->supportCode(), "SUP-POR-TCO-DE2");
    EXPECT_EQ(e.listeners.made.size(), 1u);

    e.host->endSession(second, "The support session ended.");
    e.h.rt.drain();
    EXPECT_FALSE(e.host->supportCode());
    ASSERT_EQ(e.listeners.made.size(), 2u);
    EXPECT_TRUE(e.listeners.made[0]->cancelled);
    EXPECT_EQ(e.listeners.last()->params.tls.key, AccessCode::pskKey(code));
}

// A peer that says bye and keeps its connection open is closed a second later.
TEST(HostEnding, PeerByeKeepsAnEarlierReasonAndClosesOneSecondLater) {
    struct Case {
        std::optional<std::string> earlier;
        std::string outcome;
    } cases[] = {
        {std::nullopt, "Ended on Ann"},
        {"The access code was changed.", "The access code was changed."},
    };
    for (const auto& cs : cases) {
        Ending e;
        auto c = e.admitted("Ann");
        c->endReason = cs.earlier;
        auto posted = e.h.notifier.posted().size();
        e.host->router().handle(MessageType::bye, json::encode(Bye{"Leaving"}).value(), c);
        e.h.rt.drain();
        EXPECT_FALSE(e.listed(c));
        EXPECT_EQ(e.h.history->entries().at(0).outcome, cs.outcome);
        EXPECT_EQ(e.postedSince(posted), std::vector<Posted>{annDisconnected});
        EXPECT_TRUE(Ending::byes(c).empty());
        EXPECT_TRUE(e.host->recentlyStopped().empty()) << "the peer left; the host stopped nobody";
        e.h.rt.advance(999ms);
        EXPECT_EQ(Ending::cancels(c), 0);
        e.h.rt.advance(1ms);
        EXPECT_EQ(Ending::cancels(c), 1);
    }
}

TEST(HostEnding, ConnectionReports) {
    struct Case {
        const char* name;
        bool admitted;
        std::vector<ConnState> reports;
        bool removed;
        std::optional<std::string> outcome;  // of the one ended entry
        std::size_t restarts;
    } cases[] = {
        {"failed", true, {conn::Failed{posixError(ECONNRESET)}}, true, "Connection lost", 1},
        {"failed, then cancelled",
         true,
         {conn::Failed{posixError(ECONNRESET)}, conn::Cancelled{}},
         true,
         "Connection lost",
         1},
        {"cancelled", true, {conn::Cancelled{}}, true, "Connection closed", 0},
        {"failed before admission",
         false,
         {conn::Failed{posixError(ETIMEDOUT)}},
         true,
         std::nullopt,
         1},
        {"waiting", true, {conn::Waiting{tlsError(20, "bad record mac")}}, false, std::nullopt, 0},
    };
    for (const auto& cs : cases) {
        SCOPED_TRACE(cs.name);
        WithListener e;
        e.host->frontDoor().start();
        auto c = cs.admitted ? e.admitted("Ann") : e.arrived("Ann");
        auto posted = e.h.notifier.posted().size();
        for (const auto& s : cs.reports) {
            e.host->frontDoor().clientStateChanged(s, c, c->address, false);
            e.h.rt.drain();
        }
        EXPECT_EQ(e.listed(c), !cs.removed);
        EXPECT_EQ(e.listeners.made.size(), 1 + cs.restarts);
        std::size_t ended = 0;
        for (const auto& entry : e.h.history->entries()) ended += entry.ended.has_value();
        EXPECT_EQ(ended, cs.outcome ? 1u : 0u);
        if (cs.outcome) {
            EXPECT_EQ(e.h.history->entries().at(0).outcome, *cs.outcome);
        }
        EXPECT_EQ(e.postedSince(posted).size(), cs.outcome ? 1u : 0u);
    }
}

// The reports of one connection through the real accept path: a wrong code counts once.
TEST(HostEnding, TlsFailureCountsOneWrongCode) {
    struct Case {
        const char* name;
        std::vector<ConnState> reports;
        std::size_t wrongCodes;
    } cases[] = {
        {"tls failure, then cancelled",
         {conn::Failed{tlsError(20, "bad record mac")}, conn::Cancelled{}},
         1},
        {"waiting, failed and cancelled",
         {conn::Waiting{tlsError(51, "decrypt error")}, conn::Failed{tlsError(51, "decrypt error")},
          conn::Cancelled{}},
         1},
        {"reset during the handshake",
         {conn::Failed{posixError(ECONNRESET)}, conn::Cancelled{}},
         0},
    };
    for (const auto& cs : cases) {
        SCOPED_TRACE(cs.name);
        WithListener e;
        e.host->frontDoor().start();
        auto link = std::make_shared<StubTransport>(e.net, "172.16.0.4", 40000);
        e.host->frontDoor().accept(link);
        ASSERT_EQ(e.host->clients().size(), 1u);
        ASSERT_TRUE(link->handler);
        for (const auto& s : cs.reports) link->handler(s);
        e.h.rt.drain();
        EXPECT_TRUE(e.host->clients().empty());
        auto it = e.host->bruteForce().attempts.find("172.16.0.4");
        EXPECT_EQ(it == e.host->bruteForce().attempts.end() ? 0u : it->second.size(),
                  cs.wrongCodes);
        // The peer never proved it holds the code: the listener is left as it is.
        EXPECT_EQ(e.listeners.made.size(), 1u);
        EXPECT_EQ(e.listeners.last()->rekeys, 0);
        EXPECT_FALSE(e.listeners.last()->cancelled);
        link.reset();
    }
}

TEST(HostEnding, StopFromMacEndsEveryClient) {
    Ending e;
    auto viewer = e.admitted("Ann", "AAAA");
    auto sharer = e.admitted("Sam", "5555", ClientRole::screenSharer);
    auto waiting = e.arrived("Eve", "EEEE");
    e.host->stopFromMac();
    EXPECT_TRUE(e.host->clients().empty());
    for (const auto& c : {viewer, sharer, waiting})
        EXPECT_EQ(Ending::byes(c),
                  std::vector<std::string>{"The person at the Mac stopped the session."});
    EXPECT_EQ(e.host->recentlyStopped().size(), 3u);
}

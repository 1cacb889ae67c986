#include <gtest/gtest.h>

#include "OrvaneKit/net/testing/FakeServiceAdvertiser.h"
#include "OrvaneKit/protocol/Json.h"
#include "OrvaneKit/protocol/Messages.h"
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
using Kind = SessionHistory::Entry::Kind;
using Field = HostController::Field;

constexpr const char* fp = "3F2A 91C0 77DE 0B15";
constexpr const char* hostToken = "c2VjcmV0LXRva2VuLTAx";
constexpr const char* viewerText =
    "They entered the correct access code. They will see your screen and be able to use your "
    "mouse and keyboard.";
constexpr const char* sharerText =
    "They entered the correct access code and want to share their screen with you. They won't "
    "see or control this Mac.";
const Posted connected{"Ann connected", "Your screen is being shared."};
const Posted withoutAsking{
    "Ann connected without asking",
    "A trusted device was let in. You can turn this off in Settings under Security."};
const std::vector<std::string> threeButtons{"Allow", "Always Allow This Device", "Deny"};
const TrustedDevice bob{"9999 0000", "Bob's iPad", ClientPlatform::iPad};

constexpr int allow = AlertResponse::firstButton;
constexpr int second = AlertResponse::secondButton;
constexpr int third = AlertResponse::thirdButton;

Hello hello(std::string name, std::optional<ClientRole> role = std::nullopt,
            std::optional<std::string> token = std::nullopt) {
    Hello h;
    h.deviceName = std::move(name);
    h.platform = ClientPlatform::iPhone;
    h.role = role;
    h.iCloudToken = std::move(token);
    return h;
}

Bytes bytes(const Hello& h) {
    return json::encode(h).value();
}

// A host on fakes whose clients say Hello through the router's main-actor tier.
struct AdmissionBench {
    HostHarness h;
    std::shared_ptr<HostController> host = h.make();

    void list(const std::shared_ptr<RemoteClient>& c) {
        auto l = host->clients();
        l.push_back(c);
        host->setClients(std::move(l));
    }
    bool listed(const std::shared_ptr<RemoteClient>& c) const {
        return std::any_of(host->clients().begin(), host->clients().end(),
                           [&](const auto& x) { return x->id == c->id; });
    }
    void say(const std::shared_ptr<RemoteClient>& c, Bytes body) {
        host->router().handle(MessageType::hello, std::move(body), c);
        h.rt.drain();
    }
    // A newly accepted peer, listed, that then sends its Hello.
    std::shared_ptr<RemoteClient> arrive(const Hello& hl,
                                         std::optional<std::string> fingerprint = fp) {
        auto c = h.bareClient(std::move(fingerprint));
        list(c);
        say(c, bytes(hl));
        return c;
    }
    // A session admitted earlier, without any of admission's side effects.
    std::shared_ptr<RemoteClient> inSession(std::optional<std::string> fingerprint,
                                            bool canControl = true,
                                            std::optional<ClientRole> role = std::nullopt) {
        auto c = h.bareClient(std::move(fingerprint));
        c->setHello(hello("Ann's Mac", role));
        c->setCanControl(canControl);
        c->setAuthorized(true);
        list(c);
        return c;
    }
    void bye(const std::shared_ptr<RemoteClient>& c) {
        host->router().handle(MessageType::bye, json::encode(Bye{"Closed"}).value(), c);
        h.rt.drain();
    }
    void answer(int response, bool newest = false) {
        ASSERT_TRUE(newest ? h.alerts.respondNewest(response) : h.alerts.respond(response));
        h.rt.drain();
    }
    static std::optional<std::string> byeReason(const std::shared_ptr<RemoteClient>& c) {
        auto sent = HostHarness::connectionOf(c)->sent(MessageType::bye);
        if (sent.empty()) return std::nullopt;
        return json::decode<Bye>(sent.back().body).value().reason;
    }
    static bool welcomed(const std::shared_ptr<RemoteClient>& c) {
        return !HostHarness::connectionOf(c)->sent(MessageType::helloAck).empty();
    }
    // Admitted: authorised, its history entry and notifications as for `unattended`, welcomed.
    void expectAdmitted(const std::shared_ptr<RemoteClient>& c, bool unattended) const {
        EXPECT_TRUE(c->authorized());
        EXPECT_TRUE(welcomed(c));
        ASSERT_FALSE(h.history->entries().empty());
        const auto& e = h.history->entries().front();
        EXPECT_EQ(e.id, c->id);
        EXPECT_EQ(e.outcome, "Connected");
        EXPECT_EQ(e.unattended, unattended);
        auto want = unattended ? std::vector<Posted>{withoutAsking, connected}
                               : std::vector<Posted>{connected};
        EXPECT_EQ(h.notifier.posted(), want);
    }
    // Put before the person at the Mac, and nothing else yet.
    void expectAsked(const std::shared_ptr<RemoteClient>& c) const {
        EXPECT_EQ(h.alerts.openCount(), 1u);
        EXPECT_EQ(host->admission().openAlerts(c->id), 1u);
        EXPECT_FALSE(c->authorized());
        EXPECT_TRUE(listed(c));
        EXPECT_TRUE(h.notifier.posted().empty());
        EXPECT_FALSE(welcomed(c));
    }
};

}  // namespace

TEST(HostAdmission, RepeatedAndUndecodableHellosChangeNothing) {
    AdmissionBench a;
    int published = 0;
    auto sub = a.host->changed.connect([&](Field f) { published += f == Field::clients; });
    auto c = a.h.bareClient(fp);
    a.list(c);
    published = 0;

    a.say(c, Bytes{'{', '"', 'x'});
    EXPECT_FALSE(c->hello());
    EXPECT_EQ(published, 0);
    EXPECT_TRUE(a.h.alerts.shown().empty());
    EXPECT_TRUE(HostHarness::connectionOf(c)->sent().empty());
    EXPECT_TRUE(a.listed(c));

    a.say(c, bytes(hello("Ann")));
    ASSERT_TRUE(c->hello());
    EXPECT_EQ(published, 1);
    a.expectAsked(c);

    // Even a support code that appeared meanwhile changes nothing for a second Hello.
    a.host->setSupportCode("SUP-POR-TCO-DE2");
    a.say(c, bytes(hello("Mallory", ClientRole::screenSharer, hostToken)));
    a.say(c, Bytes{'n', 'o'});
    EXPECT_EQ(c->hello()->deviceName, "Ann");
    EXPECT_FALSE(c->isSupport);
    EXPECT_EQ(published, 1);
    EXPECT_EQ(a.h.alerts.shown().size(), 1u);
}

// The host ended Ann's session (for any reason); she reconnects some time later.
TEST(HostAdmission, RecentlyStoppedPeerIsSentAwayForLessThan120Seconds) {
    struct Case {
        const char* name;
        std::chrono::milliseconds after;
        bool support;
        bool sentAway;
    } cases[] = {
        {"119 s", 119s, false, true},
        {"just under 120 s", 119999ms, false, true},
        {"120 s", 120s, false, false},
        {"121 s", 121s, false, false},
        {"support client at 119 s", 119s, true, false},
    };
    for (const auto& cs : cases) {
        SCOPED_TRACE(cs.name);
        AdmissionBench a;
        a.host->endSession(a.inSession(fp), "The access code was changed.");
        auto posted = a.h.notifier.posted().size();
        auto entries = a.h.history->entries().size();
        a.h.rt.advance(cs.after);
        if (cs.support) a.host->setSupportCode("SUP-POR-TCO-DE2");

        auto again = a.arrive(hello("Ann"));
        if (cs.sentAway) {
            EXPECT_EQ(AdmissionBench::byeReason(again), "The session was stopped at the Mac.");
            EXPECT_FALSE(a.listed(again));
            EXPECT_TRUE(a.h.alerts.shown().empty());
            EXPECT_EQ(a.h.notifier.posted().size(), posted);
            EXPECT_EQ(a.h.history->entries().size(), entries);
        } else {
            EXPECT_FALSE(AdmissionBench::byeReason(again));
            EXPECT_EQ(a.h.alerts.openCount(), 1u);
            EXPECT_TRUE(a.listed(again));
        }
    }
}

TEST(HostAdmission, SecondConnectionOfAViewingDeviceComesInLikeTheFirst) {
    struct Case {
        const char* name;
        bool earlierAuthorised;
        std::optional<ClientRole> earlierRole;
        std::optional<std::string> earlierFp;
        std::optional<ClientRole> role;
        std::optional<std::string> fingerprint;
        bool admitted;
    } cases[] = {
        {"same device", true, std::nullopt, fp, std::nullopt, fp, true},
        {"earlier one not yet admitted", false, std::nullopt, fp, std::nullopt, fp, false},
        {"earlier one shares its screen", true, ClientRole::screenSharer, fp, std::nullopt, fp,
         false},
        {"newcomer shares its screen", true, std::nullopt, fp, ClientRole::screenSharer, fp, false},
        {"another device", true, std::nullopt, "AAAA", std::nullopt, fp, false},
        {"no fingerprints", true, std::nullopt, std::nullopt, std::nullopt, std::nullopt, false},
    };
    for (const auto& cs : cases) {
        for (bool control : {true, false}) {
            SCOPED_TRACE(std::string(cs.name) + (control ? ", may control" : ", view only"));
            AdmissionBench a;  // asking is on
            auto earlier = a.inSession(cs.earlierFp, control, cs.earlierRole);
            if (!cs.earlierAuthorised) earlier->setAuthorized(false);
            auto c = a.h.bareClient(cs.fingerprint);
            c->setCanControl(!control);  // so the copy shows
            a.list(c);
            a.say(c, bytes(hello("Ann", cs.role)));
            if (cs.admitted) {
                a.expectAdmitted(c, false);
                EXPECT_EQ(c->canControl(), control);
                EXPECT_EQ(a.h.history->entries().front().kind,
                          control ? Kind::control : Kind::viewOnly);
                EXPECT_TRUE(a.h.alerts.shown().empty());
                EXPECT_TRUE(earlier->authorized());
                EXPECT_TRUE(a.listed(earlier));
            } else {
                a.expectAsked(c);
            }
        }
    }
}

// Unattended trust, then the iCloud token, then asking (or not).
TEST(HostAdmission, TrustAndTokenRules) {
    enum Outcome { asked, admitted, letInWithoutAsking };
    struct Case {
        const char* name;
        bool unattended;
        bool trusted;  // the fingerprint is in the list, under an old name
        bool ask;
        std::optional<std::string> token;
        std::optional<std::string> fingerprint;
        Outcome outcome;
        bool trustsAnew;
    } cases[] = {
        {"unattended, trusted", true, true, true, std::nullopt, fp, letInWithoutAsking, false},
        {"trusted, unattended off", false, true, true, std::nullopt, fp, asked, false},
        {"trusted, unattended and asking off", false, true, false, std::nullopt, fp, admitted,
         false},
        {"unattended, not trusted, asking off", true, false, false, std::nullopt, fp, admitted,
         false},
        {"unattended, no fingerprint", true, true, true, std::nullopt, std::nullopt, asked, false},
        {"token", false, false, true, hostToken, fp, letInWithoutAsking, true},
        {"token of a trusted device", false, true, true, hostToken, fp, letInWithoutAsking, true},
        {"token, no fingerprint", false, false, true, hostToken, std::nullopt, letInWithoutAsking,
         false},
        {"wrong token", false, false, true, "c2VjcmV0LXRva2VuLTAy", fp, asked, false},
        {"token's prefix", false, false, true, "c2VjcmV0LXRva2Vu", fp, asked, false},
        {"no token, asking off", false, false, false, std::nullopt, fp, admitted, false},
    };
    const TrustedDevice old{fp, "Ann's old phone", ClientPlatform::mac};
    for (const auto& cs : cases) {
        SCOPED_TRACE(cs.name);
        AdmissionBench a;
        a.host->setICloudAuthToken(hostToken);
        a.host->setUnattendedAccess(cs.unattended);
        a.host->setAskBeforeConnecting(cs.ask);
        auto before =
            cs.trusted ? std::vector<TrustedDevice>{old, bob} : std::vector<TrustedDevice>{bob};
        a.host->setTrustedDevices(before);

        auto c = a.arrive(hello("Ann", std::nullopt, cs.token), cs.fingerprint);
        switch (cs.outcome) {
            case asked:
                a.expectAsked(c);
                break;
            case admitted:
                a.expectAdmitted(c, false);
                break;
            case letInWithoutAsking:
                a.expectAdmitted(c, true);
                break;
        }
        auto want = cs.trustsAnew
                        ? std::vector<TrustedDevice>{bob, {fp, "Ann", ClientPlatform::iPhone}}
                        : before;
        EXPECT_EQ(a.host->trustedDevices(), want);
        if (cs.trustsAnew) {
            EXPECT_EQ(TrustedDevice::load(a.h.settings), want);
        }
        EXPECT_EQ(a.host->unattendedAccess(), cs.unattended);
        EXPECT_EQ(a.h.settings.boolValue("unattendedAccess"), cs.unattended);
    }
}

// A token that was never set up must not match a Hello that carries an empty one.
TEST(HostAdmission, EmptyTokenTrustsNobody) {
    AdmissionBench a;
    a.host->setICloudAuthToken("");
    auto c = a.arrive(hello("Ann", std::nullopt, ""));
    a.expectAsked(c);
    EXPECT_TRUE(a.host->trustedDevices().empty());
}

// While a support code is pending, every newcomer is asked and comes in as a support client.
TEST(HostAdmission, SupportClientIsAlwaysAsked) {
    enum Shortcut { none, unattendedTrust, token, sameDevice };
    for (Shortcut s : {none, unattendedTrust, token, sameDevice}) {
        SCOPED_TRACE(static_cast<int>(s));
        AdmissionBench a;
        a.host->setAskBeforeConnecting(false);
        a.host->setICloudAuthToken(hostToken);
        a.host->setSupportCode("SUP-POR-TCO-DE2");
        if (s == unattendedTrust) {
            a.host->setUnattendedAccess(true);
            a.host->setTrustedDevices({{fp, "Ann", ClientPlatform::iPhone}});
        }
        if (s == sameDevice) a.inSession(fp);
        auto c = a.arrive(hello("Ann", std::nullopt,
                                s == token ? std::optional<std::string>(hostToken) : std::nullopt));
        EXPECT_TRUE(c->isSupport);
        a.expectAsked(c);
        a.answer(allow);
        a.expectAdmitted(c, false);
        EXPECT_EQ(a.h.history->entries().front().kind, Kind::support);
        EXPECT_EQ(a.host->trustedDevices().size(), s == unattendedTrust ? 1u : 0u);
    }
}

TEST(HostAdmission, ApprovalAlertTextsAndButtons) {
    struct Case {
        std::optional<ClientRole> role;
        std::optional<std::string> fingerprint;
        AlertSpec want;
    } cases[] = {
        {std::nullopt, fp, {"Allow Ann to control this Mac?", viewerText, threeButtons, ""}},
        {std::nullopt,
         std::nullopt,
         {"Allow Ann to control this Mac?", viewerText, {"Allow", "Deny"}, ""}},
        {ClientRole::screenSharer,
         fp,
         {"Show Ann's screen on this Mac?", sharerText, threeButtons, ""}},
        {ClientRole::screenSharer,
         std::nullopt,
         {"Show Ann's screen on this Mac?", sharerText, {"Allow", "Deny"}, ""}},
    };
    for (auto& cs : cases) {
        AdmissionBench a;
        auto c = a.arrive(hello("Ann", cs.role), cs.fingerprint);
        cs.want.symbol = c->symbolName();
        ASSERT_EQ(a.h.alerts.shown().size(), 1u);
        EXPECT_EQ(a.h.alerts.shown()[0], cs.want);
        EXPECT_FALSE(cs.want.symbol.empty());
        EXPECT_EQ(a.host->approvingClientID(), c->id);
    }
}

TEST(HostAdmission, ApprovalAnswers) {
    struct Case {
        const char* name;
        std::optional<std::string> fingerprint;
        std::vector<int> answers;
        bool fingerprintLostMeanwhile;
        bool admitted;
        bool trustedForGood;
    } cases[] = {
        {"Allow", fp, {allow}, false, true, false},
        {"Allow, no fingerprint", std::nullopt, {allow}, false, true, false},
        {"Always Allow, Let It In Without Asking", fp, {second, allow}, false, true, true},
        {"Always Allow, Just This Time", fp, {second, second}, false, true, false},
        {"Deny", fp, {third}, false, false, false},
        {"Deny, no fingerprint", std::nullopt, {second}, false, false, false},
        {"Always Allow once the fingerprint is gone", fp, {second}, true, false, false},
    };
    for (const auto& cs : cases) {
        SCOPED_TRACE(cs.name);
        AdmissionBench a;
        a.host->setTrustedDevices({bob});
        auto c = a.arrive(hello("Ann"), cs.fingerprint);
        if (cs.fingerprintLostMeanwhile) HostHarness::connectionOf(c)->setFingerprint({});
        for (int r : cs.answers) a.answer(r);
        EXPECT_EQ(a.h.alerts.openCount(), 0u);
        EXPECT_EQ(a.host->admission().openAlerts(c->id), 0u);
        EXPECT_FALSE(a.host->approvingClientID());

        if (cs.answers.size() == 2) {
            ASSERT_EQ(a.h.alerts.shown().size(), 2u);
            const auto& confirm = a.h.alerts.shown()[1];
            EXPECT_EQ(confirm, HostController::confirmationSpec("Ann"));
            EXPECT_EQ(confirm.buttons,
                      (std::vector<std::string>{"Let It In Without Asking", "Just This Time"}));
        } else {
            EXPECT_EQ(a.h.alerts.shown().size(), 1u);
        }
        auto trusted = cs.trustedForGood
                           ? std::vector<TrustedDevice>{bob, {fp, "Ann", ClientPlatform::iPhone}}
                           : std::vector<TrustedDevice>{bob};
        EXPECT_EQ(a.host->trustedDevices(), trusted);
        EXPECT_EQ(a.host->unattendedAccess(), cs.trustedForGood);

        if (cs.admitted) {
            a.expectAdmitted(c, false);
            EXPECT_EQ(a.h.history->entries().size(), 1u);
            continue;
        }
        EXPECT_FALSE(a.listed(c));
        EXPECT_FALSE(c->authorized());
        EXPECT_EQ(AdmissionBench::byeReason(c), "The Mac's owner declined the connection.");
        EXPECT_FALSE(AdmissionBench::welcomed(c));
        ASSERT_EQ(a.h.history->entries().size(), 1u) << "a declined entry and no ended one";
        EXPECT_EQ(a.h.history->entries()[0].kind, Kind::declined);
        EXPECT_NE(a.h.history->entries()[0].id, c->id);
        EXPECT_TRUE(a.h.notifier.posted().empty());
        EXPECT_EQ(a.host->recentlyStopped().contains(fp),
                  !cs.fingerprintLostMeanwhile && cs.fingerprint.has_value());
    }
}

// A client that leaves while one of its alerts is up: the alert goes, and nothing comes of it.
TEST(HostAdmission, LeavingDuringAnAlertAbortsIt) {
    for (bool confirming : {false, true}) {
        SCOPED_TRACE(confirming ? "confirmation alert" : "approval alert");
        AdmissionBench a;
        auto c = a.arrive(hello("Ann"));
        if (confirming) a.answer(second);
        ASSERT_EQ(a.h.alerts.openCount(), 1u);
        EXPECT_EQ(a.host->approvingClientID(), c->id);

        a.bye(c);
        EXPECT_EQ(a.h.alerts.openCount(), 0u);
        EXPECT_EQ(a.host->admission().openAlerts(c->id), 0u);
        EXPECT_FALSE(a.host->approvingClientID());
        EXPECT_FALSE(a.listed(c));
        EXPECT_FALSE(c->authorized());
        EXPECT_FALSE(AdmissionBench::welcomed(c));
        EXPECT_FALSE(AdmissionBench::byeReason(c));
        EXPECT_TRUE(a.h.history->entries().empty());
        EXPECT_TRUE(a.h.notifier.posted().empty());
        EXPECT_TRUE(a.host->trustedDevices().empty());
        EXPECT_FALSE(a.host->unattendedAccess());
        // A late admission for a client that left does nothing.
        a.host->admission().admit(c, false);
        a.h.rt.drain();
        EXPECT_FALSE(c->authorized());
        EXPECT_TRUE(a.h.notifier.posted().empty());
    }
}

// Ann's alert is up when Bob's opens over it. Each one belongs to its own client, whichever is
// answered or leaves first.
TEST(HostAdmission, NestedAlertsEachAbortForTheirOwnClient) {
    struct Case {
        const char* name;
        bool annConfirming;  // Ann's outer alert is the confirmation
        bool bobAnsweredFirst;
        bool annLeaves;  // else Bob leaves
    } cases[] = {
        {"inner answered, outer client leaves", false, true, true},
        {"inner answered, outer client leaves its confirmation", true, true, true},
        {"outer client leaves under the inner alert", false, false, true},
        {"inner client leaves", false, false, false},
    };
    for (const auto& cs : cases) {
        SCOPED_TRACE(cs.name);
        AdmissionBench a;
        auto ann = a.arrive(hello("Ann"), "AAAA");
        if (cs.annConfirming) a.answer(second);
        auto bob = a.arrive(hello("Bob"), "BBBB");
        ASSERT_EQ(a.h.alerts.openCount(), 2u);
        EXPECT_EQ(a.host->approvingClientID(), bob->id);
        if (cs.bobAnsweredFirst) {
            a.answer(allow, /*newest=*/true);
            EXPECT_TRUE(bob->authorized());
            // The outer alert is still up, so its client is the one being asked about again.
            EXPECT_EQ(a.host->approvingClientID(), ann->id);
        }
        a.bye(cs.annLeaves ? ann : bob);
        auto stays = cs.annLeaves ? bob : ann;
        auto gone = cs.annLeaves ? ann : bob;
        EXPECT_EQ(a.host->admission().openAlerts(gone->id), 0u);
        EXPECT_EQ(a.h.alerts.openCount(), cs.bobAnsweredFirst ? 0u : 1u);
        if (!cs.bobAnsweredFirst) {
            EXPECT_EQ(a.host->admission().openAlerts(stays->id), 1u);
            EXPECT_EQ(a.host->approvingClientID(), stays->id);
            a.answer(allow);
        }
        EXPECT_FALSE(a.host->approvingClientID());
        EXPECT_TRUE(stays->authorized());
        EXPECT_FALSE(gone->authorized());
        EXPECT_FALSE(AdmissionBench::welcomed(gone));
        EXPECT_TRUE(a.host->trustedDevices().empty());
    }
}

// The Hello timeout needs accepted connections, so this one goes through the front door.
TEST(HostAdmission, ConnectionWithoutAGoodHelloEndsTenSecondsAfterTheAccept) {
    HostHarness h;
    NetContext net{1};
    FakeListenerFactory listeners;
    FakeServiceAdvertiser advertiser;
    FakeIdentity identity{Bytes(32, 3)};
    auto host = h.make();
    host->setAccessCode("ABC-DEF-GHJ-KLM");
    host->setAskBeforeConnecting(false);
    host->setFrontDoor({listeners, advertiser, {&identity.identity(), nullptr, &net}, [] {
                            return std::string("Test Machine");
                        }});

    auto good = std::make_shared<StubTransport>(net, "10.0.0.1", 5000);
    auto garbled = std::make_shared<StubTransport>(net, "10.0.0.2", 5000);
    auto silent = std::make_shared<StubTransport>(net, "10.0.0.3", 5000);
    for (const auto& l : {good, garbled, silent}) host->frontDoor().accept(l);
    ASSERT_EQ(host->clients().size(), 3u);
    auto clientAt = [&](const std::string& address) {
        for (const auto& c : host->clients())
            if (c->address == address) return c;
        return std::shared_ptr<RemoteClient>();
    };

    h.rt.advance(5s);
    host->router().handle(MessageType::hello, Bytes{'{'}, clientAt("10.0.0.2"));
    h.rt.advance(4s);
    host->router().handle(MessageType::hello, bytes(hello("Ann")), clientAt("10.0.0.1"));
    h.rt.drain();
    EXPECT_TRUE(clientAt("10.0.0.1")->authorized());

    h.rt.advance(999ms);
    EXPECT_EQ(host->clients().size(), 3u);
    h.rt.advance(1ms);
    ASSERT_EQ(host->clients().size(), 1u);
    EXPECT_EQ(host->clients()[0]->address, "10.0.0.1");
    EXPECT_EQ(good->cancels, 0);
    EXPECT_GE(garbled->cancels, 1);
    EXPECT_GE(silent->cancels, 1);
    ASSERT_EQ(h.history->entries().size(), 1u) << "only Ann's session is recorded";
    EXPECT_EQ(h.notifier.posted(), std::vector<Posted>{connected});
    good.reset();
    garbled.reset();
    silent.reset();
    closeAndSettle(host, h);
}

// A peer's device name reaches the history file (device and outcome), the trusted list and the
// alerts only up to the cap, however long the peer made it.
TEST(HostAdmission, HugeDeviceNamesAreCappedWhereverTheyAreKept) {
    const std::string huge(2'000'000, 'x');
    const std::string capped = std::string(254, 'x') + "\xE2\x80\xA6";
    AdmissionBench a;
    auto declined = a.arrive(hello(huge), "DDDD");
    a.answer(third);
    auto trusted = a.arrive(hello(huge), fp);
    a.answer(second);
    a.answer(allow);
    a.bye(trusted);
    for (const auto& spec : a.h.alerts.shown())
        EXPECT_LT(spec.message.size() + spec.informativeText.size(), 1000u);
    ASSERT_EQ(a.h.history->entries().size(), 2u);
    for (const auto& e : a.h.history->entries()) {
        EXPECT_EQ(e.device, capped);
        EXPECT_LT(e.outcome.size(), 300u);
    }
    ASSERT_EQ(a.host->trustedDevices().size(), 1u);
    EXPECT_EQ(a.host->trustedDevices()[0].name, capped);
    (void)declined;
}

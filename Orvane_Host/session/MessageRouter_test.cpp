#include <gtest/gtest.h>

#include <asio/post.hpp>
#include <asio/thread_pool.hpp>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <set>
#include <thread>

#include "OrvaneKit/base/NetContext.h"
#include "OrvaneKit/protocol/AnnotationEvent.h"
#include "OrvaneKit/protocol/InputEvent.h"
#include "OrvaneKit/protocol/Json.h"
#include "Orvane_Host/session/testing/HostHarness.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

template <class T>
Bytes encoded(const T& record) {
    return *json::encode(record);
}

Bytes bytesOf(std::string_view text) {
    auto v = asBytes(text);
    return Bytes(v.begin(), v.end());
}

Bytes garbage() {
    return bytesOf("not json");
}

enum class Role { controlling, viewOnly, sharer, unauthorised };

const char* name(Role r) {
    switch (r) {
        case Role::controlling:
            return "controlling viewer";
        case Role::viewOnly:
            return "view-only viewer";
        case Role::sharer:
            return "screen sharer";
        case Role::unauthorised:
            return "unauthorised";
    }
    return "";
}

Hello helloOf(const std::string& device, Role role) {
    Hello hello;
    hello.deviceName = device;
    hello.platform = ClientPlatform::iPhone;
    if (role == Role::sharer) hello.role = ClientRole::screenSharer;
    return hello;
}

// One listed client "Ann" in a role, on a host with two displays; the client watches display 1.
struct RouterBench {
    HostHarness h;
    std::shared_ptr<HostController> host = h.make();
    std::shared_ptr<RemoteClient> client = h.bareClient("FP-ANN");
    std::size_t sentBefore = 0;

    explicit RouterBench(Role role) {
        host->setDisplays({{1, "Built-in Display", 1512, 982}, {2, "Side", 1920, 1080}});
        client->setHello(helloOf("Ann", role));
        host->setClients({client});
        if (role == Role::sharer)
            host->streaming().showSharedScreen(client, false);
        else if (role != Role::unauthorised)
            client->setAuthorized(true);
        if (role == Role::viewOnly) client->setCanControl(false);
        h.rt.drain();
        h.calls.clear();
        sentBefore = connection()->sent().size();
    }
    std::shared_ptr<FakeConnection> connection() const { return HostHarness::connectionOf(client); }
    // As the connection does, on its own queue; the main actor has not run yet.
    void send(MessageType type, Bytes body) {
        MessageRouter::receive(type, std::move(body), client, host->router().connectionTier());
    }
    void deliver(MessageType type, Bytes body) {
        send(type, std::move(body));
        h.rt.drain();
    }
    bool listed() const {
        for (const auto& c : host->clients())
            if (c == client) return true;
        return false;
    }

    // Everything a message can do, by name.
    std::set<std::string> effects() const {
        std::set<std::string> out;
        if (!h.injector.events.empty()) out.insert("input");
        for (const auto& c : h.files.calls())
            if (c.rfind("file ", 0) == 0) out.insert("file");
        if (h.calls.count("streams.requestKeyframe 1") > 0) out.insert("keyframe");
        auto sent = connection()->sent();
        for (std::size_t i = sentBefore; i < sent.size(); ++i)
            out.insert(sent[i].type == MessageType::pong
                           ? std::string("pong")
                           : "reply " + std::string(messageTypeName(sent[i].type)));
        for (const auto& r : h.shareWindows.receivers)
            if (!r->calls().empty()) out.insert("video");
        if (h.pasteboard.count != 7) out.insert("clipboard");
        if (client->displayID() != 1) out.insert("display");
        if (!host->chat().empty()) out.insert("chat");
        for (const auto& c : h.actions.calls()) out.insert(c.substr(0, c.find(' ')));
        if (!h.overlays.applied.empty()) out.insert("annotation");
        for (const auto& w : h.shareWindows.windows)
            if (w->layouts > 0) out.insert("orientation");
        if (!listed()) out.insert("removed");
        if (!h.alerts.shown().empty()) out.insert("alert");
        return out;
    }
};

Bytes validBody(MessageType t) {
    switch (t) {
        case MessageType::hello:
            return encoded(helloOf("Other", Role::controlling));
        case MessageType::input:
            return encoded(InputEvent{InputEvent::MouseMove{0.25, 0.75}});
        case MessageType::clipboard:
            return encoded(Clipboard{"copied"});
        case MessageType::selectDisplay:
            return encoded(SelectDisplay{2});
        case MessageType::chat:
            return encoded(ChatMessage{Uuid::random(), "hi", "Mallory", Date::fromReference(1)});
        case MessageType::hostAction:
            return encoded(HostAction::sleepDisplay);
        case MessageType::annotation:
            return encoded(AnnotationEvent{AnnotationEvent::Clear{}});
        case MessageType::sharerInfo:
            return encoded(SharerInfo{6});
        case MessageType::macCommand:
            return encoded(MacCommand{MacCommand::OpenApp{"Notes"}});
        case MessageType::video:
        case MessageType::ping:
        case MessageType::fileOffer:
        case MessageType::fileChunk:
        case MessageType::fileEnd:
            return Bytes{1, 2, 3};
        default:
            return bytesOf("{}");
    }
}

// What each served code does; every code not listed (host-to-viewer codes, `invalid` which is
// what an unknown code arrives as, a repeated Hello, the handshake codes) does nothing.
struct Served {
    MessageType type;
    const char* effect;
    bool controlling, viewOnly, sharer, unauthorised;
    bool readsBody;
};
const Served servedTable[] = {
    // Only a screen sharer has a receiver for its video.
    {MessageType::video, "video", false, false, true, false, false},
    {MessageType::input, "input", true, false, false, false, true},
    {MessageType::clipboard, "clipboard", true, false, false, false, true},
    {MessageType::selectDisplay, "display", true, true, true, false, true},
    // A sharer watches no display of this machine.
    {MessageType::keyframeRequest, "keyframe", true, true, false, false, false},
    {MessageType::ping, "pong", true, true, true, true, false},
    {MessageType::bye, "removed", true, true, true, true, false},
    {MessageType::fileOffer, "file", true, true, false, false, false},
    {MessageType::fileChunk, "file", true, true, false, false, false},
    {MessageType::fileEnd, "file", true, true, false, false, false},
    {MessageType::chat, "chat", true, true, true, false, true},
    {MessageType::hostAction, "power", true, false, false, false, true},
    {MessageType::annotation, "annotation", true, true, false, false, true},
    // Only a screen sharer has a window to turn.
    {MessageType::sharerInfo, "orientation", false, false, true, false, true},
    {MessageType::macCommand, "macCommand", true, false, false, false, true},
    {MessageType::screenTextRequest, "screenText", true, true, false, false, false},
    {MessageType::screenshotRequest, "screenshot", true, true, false, false, false},
};

const Served* servedRow(MessageType t) {
    for (const auto& row : servedTable)
        if (row.type == t) return &row;
    return nullptr;
}

bool servesRole(const Served& row, Role r) {
    switch (r) {
        case Role::controlling:
            return row.controlling;
        case Role::viewOnly:
            return row.viewOnly;
        case Role::sharer:
            return row.sharer;
        case Role::unauthorised:
            return row.unauthorised;
    }
    return false;
}

TEST(HostRouter, RoleMatrixOverEveryCode) {
    for (Role role : {Role::controlling, Role::viewOnly, Role::sharer, Role::unauthorised}) {
        for (MessageType type : allMessageTypes) {
            RouterBench b(role);
            b.deliver(type, validBody(type));
            std::set<std::string> want;
            const Served* row = servedRow(type);
            if (row && servesRole(*row, role)) want.insert(row->effect);
            EXPECT_EQ(b.effects(), want) << name(role) << ", " << messageTypeName(type);
        }
    }
}

TEST(HostRouter, UndecodableBodiesAreDroppedSilently) {
    for (const auto& row : servedTable) {
        if (!row.readsBody) continue;
        RouterBench b(row.sharer && !row.controlling ? Role::sharer : Role::controlling);
        b.deliver(row.type, garbage());
        EXPECT_EQ(b.effects(), std::set<std::string>{}) << messageTypeName(row.type);
        EXPECT_TRUE(b.h.calls.calls().empty()) << messageTypeName(row.type);
    }
}

TEST(HostRouter, EveryMessageRefreshesLastHeard) {
    for (Role role : {Role::controlling, Role::unauthorised}) {
        RouterBench b(role);
        for (MessageType type : allMessageTypes) {
            b.h.rt.advance(1s);
            ASSERT_LT(b.client->lastHeard(), b.h.rt.clock.monoNow());
            b.send(type, garbage());
            EXPECT_EQ(b.client->lastHeard(), b.h.rt.clock.monoNow())
                << name(role) << ", " << messageTypeName(type);
            b.h.rt.drain();
        }
    }
}

TEST(HostRouter, PingIsEchoedByteForByteBeforeAdmission) {
    HostHarness h;
    auto host = h.make();
    auto c = h.bareClient();
    host->setClients({c});
    const std::vector<Bytes> pings = {{}, {0x00}, {0xff, 0x00, 0x0a, 0x0d}, Bytes(70000, 0xab)};
    for (const auto& p : pings)
        MessageRouter::receive(MessageType::ping, p, c, host->router().connectionTier());
    // Answered on the connection's queue, without waiting for the main actor.
    auto sent = HostHarness::connectionOf(c)->sent();
    ASSERT_EQ(sent.size(), pings.size());
    for (std::size_t i = 0; i < pings.size(); ++i) {
        EXPECT_EQ(sent[i].type, MessageType::pong);
        EXPECT_EQ(sent[i].body, pings[i]) << i;
    }
    h.rt.drain();
    EXPECT_EQ(HostHarness::connectionOf(c)->sent().size(), pings.size());
    EXPECT_FALSE(c->authorized());
}

TEST(HostRouter, InputRightAfterHelloIsDroppedUntilAdmitted) {
    HostHarness h;
    auto host = h.make();
    host->setAskBeforeConnecting(false);
    auto c = h.bareClient();
    host->setClients({c});
    auto tier = host->router().connectionTier();
    const InputEvent move{InputEvent::MouseMove{0.5, 0.5}};
    MessageRouter::receive(MessageType::hello, encoded(helloOf("Ann", Role::controlling)), c, tier);
    MessageRouter::receive(MessageType::input, encoded(move), c, tier);
    h.rt.drain();
    ASSERT_TRUE(c->authorized());
    EXPECT_TRUE(h.injector.events.empty());

    h.rt.advance(3s);
    MessageRouter::receive(MessageType::input, encoded(move), c, tier);
    ASSERT_EQ(h.injector.events.size(), 1u);
    EXPECT_TRUE(h.injector.events[0].first == move);
    EXPECT_EQ(h.injector.events[0].second, 1u);
    EXPECT_EQ(c->lastActivity(), h.rt.clock.monoNow());
}

TEST(HostRouter, ByeRemovesTheClientKeepingAnEarlierReason) {
    struct Case {
        Role role;
        std::optional<std::string> earlier;
        std::string want;
    } cases[] = {
        {Role::controlling, std::nullopt, "Ended on Ann"},
        {Role::controlling, "The access code was changed.", "The access code was changed."},
        {Role::unauthorised, std::nullopt, "Ended on Ann"},
    };
    for (const auto& cs : cases) {
        RouterBench b(cs.role);
        if (cs.role != Role::unauthorised) b.h.history->recordConnected(*b.client, false);
        b.client->endReason = cs.earlier;
        b.deliver(MessageType::bye, {});
        EXPECT_FALSE(b.listed());
        EXPECT_EQ(b.client->endReason, cs.want);
        if (cs.role != Role::unauthorised) {
            ASSERT_FALSE(b.h.history->entries().empty());
            EXPECT_EQ(b.h.history->entries().back().outcome, cs.want);
        }
        EXPECT_EQ(b.connection()->sent().size(), b.sentBefore) << "no bye back";
        // A peer that keeps its connection open after its bye is closed a second later.
        b.h.rt.advance(999ms);
        EXPECT_FALSE(b.connection()->isCancelled());
        b.h.rt.advance(1ms);
        EXPECT_TRUE(b.connection()->isCancelled());
    }
}

TEST(HostRouter, SharerOrientationOutsideOneToEightIsOne) {
    RouterBench b(Role::sharer);
    ASSERT_EQ(b.h.shareWindows.windows.size(), 1u);
    auto& window = *b.h.shareWindows.windows[0];
    const std::pair<std::uint32_t, int> cases[] = {{6, 6}, {0, 1}, {8, 8},
                                                   {9, 1}, {3, 3}, {0xffffffff, 1}};
    int layouts = 0;
    for (auto [sent, want] : cases) {
        b.deliver(MessageType::sharerInfo, encoded(SharerInfo{sent}));
        EXPECT_EQ(window.orientation, want) << sent;
        EXPECT_EQ(window.layouts, ++layouts) << sent;
    }
}

TEST(HostRouter, ChatShowsTheDisplayNameAndCountsEachMessage) {
    RouterBench b(Role::viewOnly);
    const ChatMessage first{Uuid::random(), "hello there", "Mallory", Date::fromReference(5)};
    const ChatMessage second{Uuid::random(), "second", "Root", Date::fromReference(6)};
    auto notes = b.h.notifier.posted().size();
    b.deliver(MessageType::chat, encoded(first));
    b.deliver(MessageType::chat, encoded(second));
    ASSERT_EQ(b.host->chat().size(), 2u);
    auto shown = first;
    shown.sender = "Ann";
    EXPECT_EQ(b.host->chat()[0], shown);
    EXPECT_EQ(b.host->chat()[1].sender, "Ann");
    EXPECT_EQ(b.host->unreadChat(), 2);
    auto posted = b.h.notifier.posted();
    ASSERT_EQ(posted.size(), notes + 2);
    EXPECT_EQ(posted[notes], (RecordingNotifier::Posted{"Message from Ann", "hello there"}));
    EXPECT_EQ(posted[notes + 1], (RecordingNotifier::Posted{"Message from Ann", "second"}));
}

TEST(HostRouter, ClipboardFollowsTheSettingAndRemembersItsOwnChange) {
    RouterBench b(Role::controlling);
    b.host->setShareClipboard(false);
    auto countBefore = b.host->pasteboardChangeCount;
    b.deliver(MessageType::clipboard, encoded(Clipboard{"secret"}));
    EXPECT_EQ(b.h.pasteboard.text, "");
    EXPECT_EQ(b.h.pasteboard.count, 7);
    EXPECT_EQ(b.host->pasteboardChangeCount, countBefore);

    b.host->setShareClipboard(true);
    b.h.pasteboard.externalCopy("someone else's");
    b.deliver(MessageType::clipboard, encoded(Clipboard{"secret"}));
    EXPECT_EQ(b.h.pasteboard.text, "secret");
    // So the clipboard watch does not send the viewer's own text back.
    EXPECT_EQ(b.host->pasteboardChangeCount, b.h.pasteboard.changeCount());
    EXPECT_EQ(b.h.pasteboard.count, 9);
}

TEST(HostRouter, SelectDisplayOnlyForAListedDisplay) {
    RouterBench b(Role::controlling);
    b.deliver(MessageType::selectDisplay, encoded(SelectDisplay{5}));
    EXPECT_EQ(b.client->displayID(), 1u);
    EXPECT_TRUE(b.h.calls.calls().empty());

    b.deliver(MessageType::selectDisplay, encoded(SelectDisplay{2}));
    EXPECT_EQ(b.client->displayID(), 2u);
    const auto& calls = b.h.calls.calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls.front().rfind("streams.start [2]", 0), 0u) << calls.front();
    EXPECT_EQ(std::vector<std::string>(calls.end() - 2, calls.end()),
              (std::vector<std::string>{"streams.requestKeyframe 2", "streams.sendKeyframeNow 2"}));
}

// Waits for a condition another thread makes true; fails the test after a generous bound.
template <class F>
bool eventually(F&& done) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

std::vector<std::string> callsOf(const FakeMacActions& actions, const std::string& who) {
    std::vector<std::string> out;
    for (const auto& c : actions.calls())
        if (c.find(" " + who) != std::string::npos) out.push_back(c);
    return out;
}

// Holds the first job that enters until released.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool released = false;
    int entered = 0;
    void enter() {
        std::unique_lock lock(m);
        if (++entered == 1) cv.wait(lock, [&] { return released; });
    }
    int count() {
        std::lock_guard lock(m);
        return entered;
    }
    void release() {
        {
            std::lock_guard lock(m);
            released = true;
        }
        cv.notify_all();
    }
};

TEST(HostRouterConcurrency, EachClientsJobsRunOneAtATimeInOrder) {
    HostHarness h;
    Gate gate;
    asio::thread_pool pool(2);
    // Also after a failed assertion: the held job goes and every job ends before the gate does.
    struct Finish {
        Gate& gate;
        asio::thread_pool& pool;
        ~Finish() {
            gate.release();
            pool.join();
        }
    } finish{gate, pool};
    h.actions.duringJob = [&gate] { gate.enter(); };
    auto host = h.make(h.injector, pool.get_executor());
    auto a = h.client("A"), b = h.client("B");
    a->setAuthorized(true);
    b->setAuthorized(true);
    host->setClients({a, b});
    auto send = [&](const std::shared_ptr<RemoteClient>& c, MessageType type, Bytes body) {
        MessageRouter::receive(type, std::move(body), c, host->router().connectionTier());
    };

    send(a, MessageType::macCommand, encoded(MacCommand{MacCommand::OpenApp{"Notes"}}));
    send(a, MessageType::screenTextRequest, {});
    send(a, MessageType::screenshotRequest, {});
    h.rt.drain();
    ASSERT_TRUE(eventually([&] { return gate.count() >= 1; }));
    // Another client's job does not wait behind A's, and A's next job does not take the free
    // worker while A's first still runs.
    send(b, MessageType::screenshotRequest, {});
    h.rt.drain();
    ASSERT_TRUE(eventually([&] { return !callsOf(h.actions, "B").empty(); }));
    EXPECT_EQ(gate.count(), 2);
    gate.release();
    ASSERT_TRUE(eventually([&] { return h.actions.calls().size() == 4; }));
    EXPECT_EQ(callsOf(h.actions, "A"),
              (std::vector<std::string>{"macCommand A", "screenText A none", "screenshot A none"}));
}

TEST(HostRouterConcurrency, ConnectionTierBesideAdmissionAndRemoval) {
    HostHarness h;
    CallLog injected;  // the harness's log is the main actor's alone
    FakeInjector injector{injected};
    NetContext net{3};
    auto host = h.make(injector, net.context().get_executor());

    struct Peer {
        std::shared_ptr<RemoteClient> client;
        std::uint32_t pings = 0;  // on the peer's strand only
    };
    std::vector<Peer> peers(4);
    for (std::size_t i = 0; i < peers.size(); ++i) {
        auto connection = std::make_shared<FakeConnection>("FP-" + std::to_string(i),
                                                           net.makeStrand("connection"));
        peers[i].client = RemoteClient::make(connection, h.rt.clock, 1);
        peers[i].client->setHello(helloOf("Peer " + std::to_string(i), Role::controlling));
    }

    std::atomic<bool> stop{false};
    std::atomic<int> pumping{static_cast<int>(peers.size())};
    const auto tier = host->router().connectionTier();
    const Bytes move = encoded(InputEvent{InputEvent::MouseMove{0.5, 0.5}});
    const Bytes chat = encoded(ChatMessage{Uuid::random(), "x", "y", Date::fromReference(0)});
    // Each peer's connection queue keeps feeding messages until the main actor is done.
    std::vector<std::function<void()>> pumps(peers.size());
    for (std::size_t i = 0; i < peers.size(); ++i) {
        Peer& p = peers[i];
        auto queue = p.client->connection->executor();
        auto* self = &pumps[i];
        pumps[i] = [&p, &tier, &move, &chat, &stop, &pumping, queue, self] {
            Bytes ping;
            appendBE32(ping, p.pings++);
            MessageRouter::receive(MessageType::ping, ping, p.client, tier);
            MessageRouter::receive(MessageType::input, move, p.client, tier);
            MessageRouter::receive(MessageType::keyframeRequest, {}, p.client, tier);
            // A few that go on to the main actor; a steady stream would keep its drain busy.
            if (p.pings <= 64 && p.pings % 8 == 0)
                MessageRouter::receive(MessageType::chat, chat, p.client, tier);
            if (!stop && p.pings < 20000)
                asio::post(queue, [self] { (*self)(); });
            else
                --pumping;
        };
        asio::post(queue, [self] { (*self)(); });
    }

    HostController::Clients all;
    for (auto& p : peers) all.push_back(p.client);
    for (int round = 0; round < 20; ++round) {
        host->setClients(all);
        for (auto& c : all) host->admission().admit(c, false);
        h.rt.drain();
        for (auto& c : all) host->ender().removeClient(c);
        h.rt.drain();
    }
    stop = true;
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (pumping > 0 && std::chrono::steady_clock::now() < deadline) {
        h.rt.drain();
        std::this_thread::yield();
    }
    ASSERT_EQ(pumping, 0);
    net.stop();
    h.rt.drain();

    EXPECT_TRUE(host->clients().empty());
    for (auto& p : peers) {
        auto pongs = HostHarness::connectionOf(p.client)->sent(MessageType::pong);
        ASSERT_EQ(pongs.size(), p.pings) << "every ping answered, admitted or not";
        for (std::uint32_t i = 0; i < p.pings; ++i)
            ASSERT_EQ(readBE32(pongs[i].body.data()), i) << "in order";
    }
    for (const auto& [event, display] : injector.events) EXPECT_EQ(display, 1u);
}

}  // namespace
}  // namespace orvane

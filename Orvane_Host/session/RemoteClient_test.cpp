#include "Orvane_Host/session/RemoteClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "OrvaneKit/base/testing/FakeClock.h"
#include "Orvane_Host/session/testing/FakeConnection.h"

namespace orvane {
namespace {

struct ClientFixture {
    FakeClock clock;
    std::shared_ptr<FakeConnection> conn = std::make_shared<FakeConnection>();
    std::shared_ptr<RemoteClient> client = RemoteClient::make(conn, clock, 7);

    void authorise(std::optional<ClientRole> role = std::nullopt) {
        Hello h;
        h.deviceName = "Pad";
        h.platform = ClientPlatform::iPad;
        h.role = role;
        client->setHello(h);
        client->setAuthorized(true);
    }
    bool key() { return client->sendVideo(true, Bytes{1}); }
    bool delta() { return client->sendVideo(false, Bytes{0}); }
};

TEST(RemoteClient, StartsUnauthorisedOnTheMainDisplay) {
    ClientFixture f;
    EXPECT_FALSE(f.client->authorized());
    // It takes no video yet, so it must not make the stream key every frame.
    EXPECT_FALSE(f.client->needsKeyframe());
    EXPECT_TRUE(f.client->canControl());
    EXPECT_EQ(f.client->displayID(), 7u);
    EXPECT_EQ(f.client->connectedAt, Date::fromTimePoint(f.clock.wallNow()));
    EXPECT_EQ(f.client->displayName(), "Unknown device");
    EXPECT_EQ(f.client->symbolName(), "display");
    EXPECT_FALSE(f.client->isScreenSharer());
    EXPECT_EQ(RemoteClient::filesFolder().filename(), "Orvane");
}

TEST(RemoteClient, SoundFollowsItsFormatNeverPrecedesIt) {
    ClientFixture f;
    f.authorise();
    f.client->sendAudio(Bytes{1});
    EXPECT_TRUE(f.conn->sent().empty());
    f.client->sendAudioFormat(Bytes{9});
    f.client->sendAudio(Bytes{2});
    auto sent = f.conn->sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].type, MessageType::audioFormat);
    EXPECT_EQ(sent[1].type, MessageType::audio);
    EXPECT_EQ(sent[1].body, Bytes{2});
}

TEST(RemoteClient, SymbolByPlatform) {
    std::pair<ClientPlatform, const char*> table[] = {
        {ClientPlatform::mac, "laptopcomputer"}, {ClientPlatform::iPhone, "iphone"},
        {ClientPlatform::iPad, "ipad"},          {ClientPlatform::vision, "vision.pro"},
        {ClientPlatform::watch, "applewatch"},   {ClientPlatform::unknown, "display"},
    };
    ClientFixture f;
    for (auto [platform, symbol] : table) {
        Hello h;
        h.deviceName = "Dev";
        h.platform = platform;
        f.client->setHello(h);
        EXPECT_EQ(f.client->symbolName(), symbol);
        EXPECT_EQ(f.client->displayName(), "Dev");
    }
}

TEST(RemoteClient, NonTargetsTakeNoVideoAndDropNothing) {
    ClientFixture unauthorised;
    EXPECT_TRUE(unauthorised.delta());
    EXPECT_TRUE(unauthorised.key());
    EXPECT_EQ(unauthorised.client->inFlight(), 0);
    EXPECT_TRUE(unauthorised.conn->sent().empty());

    ClientFixture sharer;
    sharer.authorise(ClientRole::screenSharer);
    EXPECT_TRUE(sharer.client->isScreenSharer());
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(sharer.key());
    EXPECT_EQ(sharer.client->inFlight(), 0);
    EXPECT_FALSE(sharer.client->isBacklogged());
    EXPECT_TRUE(sharer.conn->sent().empty());
}

TEST(RemoteClient, FlowControlWindowAndKeyframeGate) {
    ClientFixture f;
    f.authorise();
    EXPECT_FALSE(f.delta()) << "first frame after authorisation must be a keyframe";
    EXPECT_TRUE(f.client->needsKeyframe());
    EXPECT_TRUE(f.key());
    EXPECT_TRUE(f.delta());
    EXPECT_TRUE(f.delta());
    EXPECT_EQ(f.client->inFlight(), 3);
    EXPECT_TRUE(f.client->isBacklogged());
    EXPECT_FALSE(f.key()) << "a fourth frame is dropped, even a keyframe";
    EXPECT_TRUE(f.client->needsKeyframe());
    EXPECT_EQ(f.conn->sent(MessageType::video).size(), 3u);

    f.conn->completeOne();
    EXPECT_FALSE(f.client->isBacklogged());
    EXPECT_FALSE(f.delta()) << "the gate holds delta frames after a drop";
    EXPECT_EQ(f.client->inFlight(), 2);
    EXPECT_TRUE(f.key());
    f.conn->completeOne(
        NetError{NetError::Kind::posix, Err::notConnected, "x"});  // errors free too
    EXPECT_TRUE(f.delta());
    EXPECT_EQ(f.client->inFlight(), 3);
    EXPECT_EQ(f.conn->sent(MessageType::video).back().body, Bytes{0});

    // De-authorising and authorising again arms the gate.
    f.conn->completeAll();
    f.client->setAuthorized(false);
    f.client->setAuthorized(true);
    EXPECT_FALSE(f.delta());
    EXPECT_TRUE(f.key());
}

TEST(RemoteClient, CancelFreesEverySlot) {
    ClientFixture f;
    f.authorise();
    f.key();
    f.delta();
    f.delta();
    ASSERT_TRUE(f.client->isBacklogged());
    f.conn->cancel();
    EXPECT_EQ(f.client->inFlight(), 0);
    EXPECT_FALSE(f.client->isBacklogged());
}

TEST(RemoteClient, CompletionAfterReleaseIsHarmless) {
    auto f = std::make_unique<ClientFixture>();
    f->authorise();
    f->key();
    auto conn = f->conn;
    std::weak_ptr<RemoteClient> weak = f->client;
    f->client.reset();
    EXPECT_TRUE(weak.expired()) << "a pending send must not keep the record alive";
    EXPECT_TRUE(conn->completeOne());
}

TEST(RemoteClient, SetAuthorizedCountsAsHeard) {
    ClientFixture f;
    auto before = f.client->lastHeard();
    f.clock.advance(std::chrono::seconds(5));
    f.client->setAuthorized(true);
    EXPECT_EQ(f.client->lastHeard() - before, std::chrono::seconds(5));
    EXPECT_EQ(f.client->lastActivity(), before);
}

// A capture thread offers frames while completions arrive on another thread; the window must
// never exceed 3 and every slot must come back.
TEST(RemoteClientConcurrency, CaptureSendsWhileCompletionsArrive) {
    ClientFixture f;
    f.authorise();
    std::atomic<bool> done{false};
    std::atomic<int> maxSeen{0};
    std::thread capture([&] {
        // On a busy machine the completion thread may not run at all during a fixed count, so
        // keep going (within a bound) until completions have really interleaved with sends.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        auto interleaved = [&] { return f.conn->sent(MessageType::video).size() > 40; };
        auto keepGoing = [&](int i) {
            if (i < 20000) return true;
            if (i % 1000 != 0) return true;
            return !interleaved() && std::chrono::steady_clock::now() < deadline;
        };
        for (int i = 0; keepGoing(i); ++i) {
            bool backlogged = f.client->isBacklogged();
            if (!backlogged) f.client->sendVideo(i % 30 == 0, Bytes{static_cast<std::uint8_t>(i)});
            int n = f.client->inFlight();
            int m = maxSeen.load();
            while (n > m && !maxSeen.compare_exchange_weak(m, n)) {
            }
        }
        done = true;
    });
    std::thread completions([&] {
        while (!done) f.conn->completeOne();
    });
    std::thread uiReads([&] {
        while (!done) {
            (void)f.client->displayName();
            f.client->setCanControl(!f.client->canControl());
            f.client->noteHeard();
        }
    });
    capture.join();
    completions.join();
    uiReads.join();
    f.conn->completeAll();
    EXPECT_LE(maxSeen.load(), 3);
    EXPECT_EQ(f.client->inFlight(), 0);
    EXPECT_GT(f.conn->sent(MessageType::video).size(), 3u);
}

}  // namespace
}  // namespace orvane

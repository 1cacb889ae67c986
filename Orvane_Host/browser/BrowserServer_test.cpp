#include "Orvane_Host/browser/BrowserServer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <asio/thread_pool.hpp>
#include <set>
#include <thread>

#include "Orvane_Host/browser/BrowserTLS.h"
#include "Orvane_Host/browser/testing/BrowserTestClient.h"
#include "Orvane_Host/browser/testing/FakeBrowserVideo.h"
#include "Orvane_Host/input/testing/FakeInjector.h"
#include "Orvane_Host/system/testing/FakeScreens.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string page = "<!doctype html><title>viewer</title>\xe2\x9c\x93";
const std::string code = "ABC-DEF-GHJ-KLM";

bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds limit = 5s) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(2ms);
    }
    return pred();
}

// A port nobody listens on now.
std::uint16_t freePort() {
    asio::io_context io;
    asio::ip::tcp::acceptor a(io, {asio::ip::tcp::v4(), 0});
    return a.local_endpoint().port();
}

class FakeGuard final : public IBrowserServer::Guard {
public:
    void checkAddress(const std::string& address, std::function<void(bool)> done) override {
        bool b;
        {
            std::lock_guard lock(mutex_);
            b = blocked.count(address) > 0;
        }
        done(b);
    }
    void noteWrongCode(const std::string& address) override {
        std::lock_guard lock(mutex_);
        wrong.push_back(address);
    }
    std::size_t wrongCount() {
        std::lock_guard lock(mutex_);
        return wrong.size();
    }
    std::mutex mutex_;
    std::set<std::string> blocked;
    std::vector<std::string> wrong;
};

struct ServerRig {
    NetContext net{2};
    asio::thread_pool blocking{1};
    FakeScreens screens;
    CallLog calls;
    FakeInjector injector{calls};
    FakeBrowserVideo video;
    std::shared_ptr<FakeGuard> guard = std::make_shared<FakeGuard>();
    std::shared_ptr<TlsCertContext> identity;
    bool pageReadable = true;
    std::shared_ptr<BrowserServer> server;
    std::uint16_t port = 0;

    explicit ServerRig(std::chrono::milliseconds headTimeout = 400ms, std::uint16_t fixedPort = 0) {
        screens.mainID = 7;
        screens.displays = std::vector<DisplayInfo>{{3, "Left", 800, 600}, {7, "Main", 1920, 1080}};
        server = BrowserServer::make({net, screens, injector, video, blocking.get_executor(),
                                      [this] { return identity; },
                                      [this]() -> std::optional<Bytes> {
                                          if (!pageReadable) return std::nullopt;
                                          return toBytes(page);
                                      },
                                      fixedPort, headTimeout});
        server->setGuard(guard);
    }
    ~ServerRig() {
        server->stop();
        server->drain();
        // Connections closed by the stop finish their cancels on their own strands; the pool
        // must run them before it goes, or their last handlers never free them.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        server->drain();
        blocking.join();
    }
    void start(const std::string& c = code) {
        server->start(c);
        server->drain();
        port = server->port();
    }
    std::string request(std::string_view head) {
        return BrowserTestClient::request(port, identity != nullptr, head);
    }
    // A viewer after a good upgrade.
    std::unique_ptr<BrowserTestClient> viewer(const std::string& query = "code=" + code) {
        auto c = std::make_unique<BrowserTestClient>(port, identity != nullptr);
        EXPECT_TRUE(c->upgrade(query));
        return c;
    }
};

std::string status(const char* s) {
    return std::string("HTTP/1.1 ") + s + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

TEST(NetBrowserServer, AnswersEveryRouteWithExactBytesAndCloses) {
    ServerRig r;
    EXPECT_TRUE(r.server->usesTLS()) << "the address reads https before the first start";
    r.start();
    EXPECT_FALSE(r.server->usesTLS());
    ASSERT_NE(r.port, 0);
    const std::string pageReply = pageReplyHead(page.size()) + page;
    struct Case {
        const char* head;
        std::string reply;
    };
    const Case cases[] = {
        {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", pageReply},
        {"GET /index.html HTTP/1.0\r\n\r\n", pageReply},
        {"GET /index.htm HTTP/1.1\r\n\r\n", status("404 Not Found")},
        {"GET /ws/ HTTP/1.1\r\n\r\n", status("404 Not Found")},
        {"POST / HTTP/1.1\r\n\r\n", status("405 Method Not Allowed")},
        {"get / HTTP/1.1\r\n\r\n", status("405 Method Not Allowed")},
        {"GET\r\n\r\n", status("405 Method Not Allowed")},
        // Bytes after the head are not read as a second request.
        {"GET /nope HTTP/1.1\r\n\r\nGET / HTTP/1.1\r\n\r\n", status("404 Not Found")},
    };
    for (const auto& c : cases) EXPECT_EQ(r.request(c.head), c.reply) << c.head;

    r.pageReadable = false;
    EXPECT_EQ(r.request("GET / HTTP/1.1\r\n\r\n"), status("500 Internal Server Error"));
}

TEST(NetBrowserServer, DropsBadHeadsWithoutAReply) {
    ServerRig r;
    r.start();
    struct Case {
        const char* what;
        std::string bytes;
    };
    const Case cases[] = {
        {"not UTF-8", "GET /\xff HTTP/1.1\r\n\r\n"},
        {"64,001 bytes without an end", std::string(64001, 'a')},
        {"the end of data before the head's end", "GET / HTTP/1.1\r\n"},
        {"nothing until the deadline", ""},
    };
    for (const auto& c : cases) {
        BrowserTestClient client(r.port, false);
        ASSERT_TRUE(client.send(c.bytes)) << c.what;
        if (std::string_view(c.what).starts_with("the end")) client.shutdownWrite();
        EXPECT_EQ(client.readToClose(3s), "") << c.what;
        EXPECT_TRUE(client.closed()) << c.what << ": closed, not timed out";
    }
    // 64,000 bytes keep the connection waiting for the rest, and the rest is taken.
    BrowserTestClient waiting(r.port, false);
    ASSERT_TRUE(waiting.send("GET / HTTP/1.1\r\nX: " + std::string(64000 - 22, 'a')));
    ASSERT_TRUE(waiting.send("\r\n\r\n"));
    EXPECT_EQ(waiting.readToClose().substr(0, 15), "HTTP/1.1 200 OK");

    // A head dripped one byte at a time is reassembled.
    BrowserTestClient drip(r.port, false);
    for (char ch : std::string("GET /index.html HTTP/1.1\r\n\r\n")) {
        ASSERT_TRUE(drip.send(std::string(1, ch)));
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(drip.readToClose().substr(0, 15), "HTTP/1.1 200 OK");
}

TEST(NetBrowserServer, OneAddressHoldsOnlySoManyConnectionsWaitingForAHead) {
    ServerRig r(30s);
    r.start();
    std::vector<std::unique_ptr<BrowserTestClient>> idle;
    for (std::size_t i = 0; i < BrowserServer::maxPendingPerAddress; ++i) {
        idle.push_back(std::make_unique<BrowserTestClient>(r.port, false));
        ASSERT_TRUE(idle.back()->send("GET"));
    }
    r.server->drain();
    EXPECT_EQ(r.request("GET / HTTP/1.1\r\n\r\n"), "") << "one more is closed at once";
    idle.clear();
    ASSERT_TRUE(eventually(
        [&] { return r.request("GET / HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 200 OK", 0) == 0; }));
}

TEST(NetBrowserServer, UpgradeChecksTheCodeFirstThenTheHeaders) {
    ServerRig r;
    r.start();
    const std::string key = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
    struct Case {
        std::string head;
        std::string reply;
        bool countsAsWrong;
    };
    const Case cases[] = {
        {"GET /ws HTTP/1.1\r\nUpgrade: websocket\r\n" + key + "\r\n", status("403 Forbidden"),
         true},
        {"GET /ws?code= HTTP/1.1\r\nUpgrade: websocket\r\n" + key + "\r\n", status("403 Forbidden"),
         true},
        {"GET /ws?code=ABCDEFGHJKLN HTTP/1.1\r\nUpgrade: websocket\r\n" + key + "\r\n",
         status("403 Forbidden"), true},
        // A bad code wins over a missing upgrade.
        {"GET /ws?code=WRONG HTTP/1.1\r\n\r\n", status("403 Forbidden"), true},
        {"GET /ws?code=" + code + " HTTP/1.1\r\n\r\n", status("400 Bad Request"), false},
        {"GET /ws?code=" + code + " HTTP/1.1\r\nUpgrade: h2c\r\n" + key + "\r\n",
         status("400 Bad Request"), false},
        {"GET /ws?code=" + code + " HTTP/1.1\r\nUpgrade: WebSocket\r\n\r\n",
         status("400 Bad Request"), false},
    };
    std::size_t wrong = 0;
    for (const auto& c : cases) {
        EXPECT_EQ(r.request(c.head), c.reply) << c.head;
        wrong += c.countsAsWrong;
        EXPECT_EQ(r.guard->wrongCount(), wrong) << c.head;
    }
    EXPECT_EQ(r.guard->wrong.front(), "127.0.0.1");

    // Lower case with hyphens, and spaces written as %20, match; the accept value is the RFC's.
    for (std::string q : {"code=abc-def-ghj-klm", "x=1&code=ABC%20DEF%20GHJ%20KLM"}) {
        BrowserTestClient c(r.port, false);
        std::string head;
        ASSERT_TRUE(c.upgrade(q, &head)) << q << "\n" << head;
        EXPECT_EQ(head,
                  "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: "
                  "Upgrade\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
    }
    EXPECT_EQ(r.guard->wrongCount(), wrong);
}

TEST(NetBrowserServer, ABlockedAddressIsRefusedEvenWithTheRightCode) {
    ServerRig r;
    r.start();
    r.guard->blocked.insert("127.0.0.1");
    BrowserTestClient c(r.port, false);
    std::string head;
    EXPECT_FALSE(c.upgrade("code=" + code, &head));
    EXPECT_EQ(head, status("403 Forbidden"));
    EXPECT_EQ(r.guard->wrongCount(), 0u) << "refused before its code is looked at";
    EXPECT_EQ(r.server->viewerCount(), 0u);
}

TEST(NetBrowserServer, ViewersShareOnePipelineOfTheMainDisplayAndSendInput) {
    ServerRig r;
    r.start();
    auto a = r.viewer();
    ASSERT_TRUE(eventually([&] { return r.video.stream() != nullptr; }));
    EXPECT_EQ(r.video.starts, std::vector<std::uint32_t>{7});
    EXPECT_EQ(r.video.lastSettings.maxWidth, 2304);
    EXPECT_EQ(r.video.lastSettings.bitrate, 8'000'000);
    EXPECT_EQ(r.video.lastSettings.fps, 60);
    EXPECT_EQ(r.video.lastSettings.codec, VideoCodec::h264);
    EXPECT_FALSE(r.video.lastSettings.sound);
    auto stream = r.video.stream();
    ASSERT_TRUE(eventually([&] { return stream->keyframesNow == 1; }));
    auto b = r.viewer();
    ASSERT_TRUE(eventually([&] { return r.server->viewerCount() == 2; }));
    EXPECT_EQ(r.video.startCount(), 1u);

    // A delta first is refused by both and asks for a keyframe; the keyframe reaches both.
    VideoPacket delta;
    delta.timestampMicros = 5;
    delta.avcc = {0, 0, 0, 1, 0x41};
    int before = stream->keyframeRequests;
    r.video.emit(delta);
    EXPECT_EQ(stream->keyframeRequests, before + 1);
    VideoPacket key = delta;
    key.isKeyframe = true;
    key.parameterSets = {{0x67, 1}, {0x68, 2}};
    r.video.emit(key);
    for (auto* v : {a.get(), b.get()}) {
        auto f = v->readFrame();
        ASSERT_TRUE(f);
        EXPECT_EQ(f->firstByte, 0x82);
        EXPECT_FALSE(f->masked);
        EXPECT_EQ(f->payload, *key.serialize());
    }

    // Input lands on the streamed display.
    ASSERT_TRUE(a->sendFrame(websocket::text, R"({"t":"move","x":0.25,"y":0.75})"));
    ASSERT_TRUE(eventually([&] { return r.calls.count("injector.inject") == 1; }));
    EXPECT_EQ(r.calls.count("injector.setDisplay 7"), 1u);
    EXPECT_EQ(r.injector.events.at(0).first, InputEvent(InputEvent::MouseMove{0.25, 0.75}));
    EXPECT_EQ(r.injector.events.at(0).second, 7u);

    // One leaves: the pipeline runs on, and everything held is released.
    ASSERT_TRUE(a->sendFrame(websocket::close, ""));
    EXPECT_EQ(a->readToClose(), "") << "no close frame comes back";
    ASSERT_TRUE(eventually([&] { return r.server->viewerCount() == 1; }));
    EXPECT_GE(r.calls.count("injector.releaseAll"), 1u);
    EXPECT_FALSE(stream->stopped);
    // The last leaves: it stops.
    b.reset();
    ASSERT_TRUE(eventually([&] { return stream->stopped.load(); }));
    EXPECT_EQ(r.server->viewerCount(), 0u);
}

TEST(NetBrowserServer, ANewCodeKeepsViewersAndStopEndsThemReleasingInput) {
    // On a fixed port, as in the product: the new listener binds it again at once.
    const std::uint16_t port = freePort();
    ServerRig r(400ms, port);
    r.start();
    ASSERT_EQ(r.port, port);
    auto v = r.viewer();
    ASSERT_TRUE(eventually([&] { return r.video.stream() != nullptr; }));
    r.start("NEW-NEW-NEW-NEW");
    ASSERT_EQ(r.port, port);
    EXPECT_EQ(r.server->viewerCount(), 1u);
    ASSERT_TRUE(v->sendFrame(websocket::ping, "still"));
    auto pong = v->readFrame();
    ASSERT_TRUE(pong);
    EXPECT_EQ(toString(pong->payload), "still");
    BrowserTestClient old(r.port, false);
    EXPECT_FALSE(old.upgrade("code=" + code));
    auto fresh = r.viewer("code=new-new-new-new");

    // A key held down when access is switched off is let go.
    ASSERT_TRUE(v->sendFrame(websocket::text, R"({"t":"key","code":56,"down":true})"));
    ASSERT_TRUE(eventually([&] { return r.calls.count("injector.inject") == 1; }));
    r.calls.clear();
    r.server->stop();
    r.server->drain();
    EXPECT_EQ(r.calls.count("injector.releaseAll"), 1u);
    EXPECT_EQ(v->readToClose(), "");
    EXPECT_TRUE(v->closed());
    EXPECT_EQ(r.server->viewerCount(), 0u);
    ASSERT_TRUE(eventually([&] { return r.video.stream()->stopped.load(); }));
    // Nobody listens any more.
    EXPECT_FALSE(BrowserTestClient(r.port, false).connected());
}

TEST(NetBrowserServer, ACaptureThatCannotStartLeavesViewersConnectedWithoutVideo) {
    ServerRig r;
    auto logs = std::make_shared<MemoryLogSink>();
    Log::addSink(logs);
    r.video.failWith = "no screen";
    r.start();
    auto v = r.viewer();
    ASSERT_TRUE(eventually([&] { return logs->contains("browser capture failed: no screen"); }));
    EXPECT_EQ(r.server->viewerCount(), 1u);
    // The next viewer tries again.
    r.video.failWith.reset();
    auto w = r.viewer();
    ASSERT_TRUE(eventually([&] { return r.video.stream() != nullptr; }));
    // A capture that ends by itself is let go; the viewers stay.
    r.video.stopByItself();
    ASSERT_TRUE(eventually([&] { return r.video.stream()->stopped.load(); }));
    EXPECT_EQ(r.server->viewerCount(), 2u);
    Log::removeSink(logs);
    // The code, carried in the request target, never reaches the log.
    for (const auto& rec : logs->records()) EXPECT_EQ(rec.message.find("GHJ"), std::string::npos);
}

TEST(NetBrowserServer, ServesHttpsWithItsOwnIdentity) {
    if (::access("/usr/bin/openssl", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/openssl";
    fs::path dir = fs::temp_directory_path() / ("orvane-browser-https-" + std::to_string(getpid()));
    fs::create_directories(dir / "tmp");
    MemorySettingsStore settings;
    BrowserTLS tls({settings, dir / "id.p12", dir / "tmp", [] { return std::string("Box"); }});
    ServerRig r;
    r.identity = tls.identity();
    ASSERT_TRUE(r.identity);
    r.start();
    EXPECT_TRUE(r.server->usesTLS());
    EXPECT_EQ(r.request("GET / HTTP/1.1\r\n\r\n"), pageReplyHead(page.size()) + page);
    auto v = r.viewer();
    ASSERT_TRUE(v->sendFrame(websocket::ping, "tls"));
    auto pong = v->readFrame();
    ASSERT_TRUE(pong);
    EXPECT_EQ(toString(pong->payload), "tls");
    // Plain bytes get nothing back.
    BrowserTestClient plain(r.port, false);
    ASSERT_TRUE(plain.send("GET / HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(plain.readToClose(3s).find("HTTP/1.1"), std::string::npos);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace orvane

namespace orvane {
namespace {

// Frames from the encoder's thread while browsers come and go, send input and the listener is
// replaced: run under ThreadSanitizer by the concurrency pass.
TEST(NetBrowserConcurrency, FramesInputAndRestartsWhileViewersComeAndGo) {
    const std::uint16_t port = freePort();
    ServerRig r(2s, port);
    r.start();
    std::atomic<bool> running{true};
    std::thread encoder([&] {
        VideoPacket p;
        p.avcc = {0, 0, 0, 1, 0x65};
        p.parameterSets = {{0x67}, {0x68}};
        for (int i = 0; running; ++i) {
            p.isKeyframe = i % 5 == 0;
            p.timestampMicros = static_cast<std::uint64_t>(i);
            r.video.emit(p);
            std::this_thread::sleep_for(200us);
        }
    });
    std::atomic<int> framesSeen{0};
    std::vector<std::thread> browsers;
    for (int b = 0; b < 4; ++b)
        browsers.emplace_back([&] {
            for (int round = 0; round < 5; ++round) {
                BrowserTestClient c(port, false);
                if (!c.upgrade("code=" + code)) continue;
                for (int f = 0; f < 3; ++f)
                    if (c.readFrame(2s)) ++framesSeen;
                c.sendFrame(websocket::text, R"({"t":"key","code":56,"down":true})");
                c.sendFrame(websocket::ping, "p");
                if (round % 2) c.sendFrame(websocket::close, "");
            }
        });
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(50ms);
        r.server->start(code);  // a new listener on the same port; viewers stay
    }
    for (auto& t : browsers) t.join();
    running = false;
    encoder.join();
    EXPECT_GT(framesSeen.load(), 0);
    ASSERT_TRUE(eventually([&] { return r.server->viewerCount() == 0; }));
}

}  // namespace
}  // namespace orvane

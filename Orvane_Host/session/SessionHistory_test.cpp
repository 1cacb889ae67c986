#include "Orvane_Host/session/SessionHistory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <asio/post.hpp>
#include <fstream>
#include <future>
#include <iterator>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/base/NetContext.h"
#include "OrvaneKit/base/testing/TestRuntime.h"
#include "OrvaneKit/reach/ConnectionRoute.h"
#include "Orvane_Host/session/RemoteClient.h"
#include "Orvane_Host/session/testing/FakeConnection.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using Kind = SessionHistory::Entry::Kind;
using namespace std::chrono_literals;

class SessionHistoryTest : public ::testing::Test {
protected:
    TestRuntime rt;
    fs::path root = fs::temp_directory_path() / ("orvane-history-" + Uuid::random().string());
    fs::path file = root / "com.nimbrel.kelsap.host" / "SessionHistory.json";

    void TearDown() override { fs::remove_all(root); }

    std::unique_ptr<SessionHistory> open() {
        return std::make_unique<SessionHistory>(file, rt.clock, rt.io.get_executor());
    }
    std::string fileText() {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    void writeFile(const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
    }
    std::shared_ptr<RemoteClient> client(std::string name = "Ann's iPad",
                                         ClientPlatform p = ClientPlatform::iPad) {
        auto conn = std::make_shared<FakeConnection>();
        auto c = RemoteClient::make(conn, rt.clock, 1);
        Hello h;
        h.deviceName = std::move(name);
        h.platform = p;
        c->setHello(h);
        c->address = "192.168.1.20";
        return c;
    }
};

TEST_F(SessionHistoryTest, WrongCodesMergeWithinThreeSecondsOfTheNewest) {
    auto h = open();
    h->recordWrongCode("10.0.0.1");
    rt.clock.advance(1s);
    h->recordWrongCode("10.0.0.1");
    EXPECT_EQ(h->entries().size(), 1u);
    h->recordWrongCode("10.0.0.2");  // another address within 3 s
    EXPECT_EQ(h->entries().size(), 2u);
    h->recordWrongCode("10.0.0.1");  // the newest entry is another address now
    EXPECT_EQ(h->entries().size(), 3u);
    rt.clock.advance(3s);
    h->recordWrongCode("10.0.0.1");  // exactly 3 s later
    ASSERT_EQ(h->entries().size(), 4u);
    const auto& e = h->entries().front();
    EXPECT_EQ(e.device, "Unknown device");
    EXPECT_EQ(e.symbol, "exclamationmark.triangle");
    EXPECT_EQ(e.route, "");
    EXPECT_EQ(e.kind, Kind::wrongCode);
    EXPECT_EQ(e.ended, e.started);
    EXPECT_EQ(e.outcome, "Wrong access code");
    EXPECT_FALSE(e.unattended);
    EXPECT_FALSE(e.isSession());
}

TEST_F(SessionHistoryTest, WrongCodeMergeIgnoresWallClockJumps) {
    auto h = open();
    h->recordWrongCode("10.0.0.1");
    rt.clock.setWall(rt.clock.wallNow() + std::chrono::hours(2));  // the wall clock jumps ahead
    h->recordWrongCode("10.0.0.1");
    EXPECT_EQ(h->entries().size(), 1u);
    rt.clock.setWall(rt.clock.wallNow() - std::chrono::hours(5));  // and back
    rt.clock.advance(4s);
    h->recordWrongCode("10.0.0.1");
    EXPECT_EQ(h->entries().size(), 2u);
}

TEST_F(SessionHistoryTest, SessionLifecycleAndKinds) {
    auto h = open();
    auto viewer = client();
    std::static_pointer_cast<FakeConnection>(viewer->connection)
        ->setRoute(ConnectionRoute::natTraversal);
    viewer->setCanControl(false);
    h->recordConnected(*viewer, true);
    auto& e = h->entries().front();
    EXPECT_EQ(e.id, viewer->id);
    EXPECT_EQ(e.kind, Kind::viewOnly);
    EXPECT_EQ(e.route, "Internet (through NAT)");
    EXPECT_EQ(e.symbol, "ipad");
    EXPECT_EQ(e.started, viewer->connectedAt);
    EXPECT_EQ(e.outcome, "Connected");
    EXPECT_EQ(e.unattended, true);
    EXPECT_FALSE(e.ended);

    struct Case {
        bool sharer, support, control;
        Kind kind;
    } cases[] = {{true, true, true, Kind::screenShare},
                 {false, true, true, Kind::support},
                 {false, false, true, Kind::control},
                 {false, false, false, Kind::viewOnly}};
    for (auto c : cases) {
        auto cl = client();
        if (c.sharer) {
            auto hello = *cl->hello();
            hello.role = ClientRole::screenSharer;
            cl->setHello(hello);
        }
        cl->isSupport = c.support;
        cl->setCanControl(c.control);
        std::static_pointer_cast<FakeConnection>(cl->connection)
            ->setRoute(ConnectionRoute::unknown);
        h->recordConnected(*cl, false);
        EXPECT_EQ(h->entries().front().kind, c.kind);
        EXPECT_EQ(h->entries().front().route, "");
    }

    rt.clock.advance(10s);
    h->recordEnded(*viewer, "Connection closed");
    auto it = std::find_if(h->entries().begin(), h->entries().end(),
                           [&](auto& x) { return x.id == viewer->id; });
    ASSERT_NE(it, h->entries().end());
    EXPECT_EQ(it->outcome, "Connection closed");
    ASSERT_TRUE(it->ended);
    EXPECT_DOUBLE_EQ(*it->ended - it->started, 10.0);

    // Ending again (or a client never admitted) changes nothing.
    auto before = h->entries();
    h->recordEnded(*viewer, "Later");
    h->recordEnded(*client(), "Never admitted");
    EXPECT_EQ(h->entries(), before);
}

TEST_F(SessionHistoryTest, EndClosesOnlyTheNewestOpenEntryOfThatClient) {
    auto h = open();
    auto c = client();
    h->recordConnected(*c, false);
    h->recordEnded(*c, "First");
    h->recordConnected(*c, false);  // e.g. a screen sharer shown again
    rt.clock.advance(2s);
    h->recordEnded(*c, "Second");
    ASSERT_EQ(h->entries().size(), 2u);
    EXPECT_EQ(h->entries()[0].outcome, "Second");
    EXPECT_EQ(h->entries()[1].outcome, "First");
    EXPECT_DOUBLE_EQ(*h->entries()[1].ended - h->entries()[1].started, 0.0);
}

TEST_F(SessionHistoryTest, DeclinedEntry) {
    auto h = open();
    auto c = client("Bob's Mac", ClientPlatform::mac);
    std::static_pointer_cast<FakeConnection>(c->connection)
        ->setRoute(ConnectionRoute::privateNetwork);
    h->recordDeclined(*c);
    const auto& e = h->entries().front();
    EXPECT_NE(e.id, c->id);
    EXPECT_EQ(e.device, "Bob's Mac");
    EXPECT_EQ(e.symbol, "laptopcomputer");
    EXPECT_EQ(e.address, "192.168.1.20");
    EXPECT_EQ(e.route, "Private network");
    EXPECT_EQ(e.kind, Kind::declined);
    EXPECT_EQ(e.outcome, "You declined");
    EXPECT_EQ(e.ended, e.started);
    EXPECT_FALSE(e.unattended);
}

TEST_F(SessionHistoryTest, FileFormatAndMode) {
    auto h = open();
    auto c = client("Ann/iPad");
    h->recordConnected(*c, false);
    h->recordWrongCode("fe80::1");
    rt.drain();
    auto text = fileText();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text, json::dump(*json::parse(text))) << "compact output";
    EXPECT_NE(text.find("\"id\":\"" + c->id.string() + "\""), std::string::npos) << text;
    EXPECT_EQ(c->id.string(), [&] {
        auto s = c->id.string();
        for (auto& ch : s) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        return s;
    }());
    auto doc = nlohmann::json::parse(text);
    ASSERT_EQ(doc.size(), 2u);
    EXPECT_EQ(doc[0]["kind"], "wrongCode");
    EXPECT_TRUE(doc[0].contains("ended"));
    EXPECT_FALSE(doc[0].contains("unattended"));
    EXPECT_EQ(doc[1]["kind"], "control");
    EXPECT_FALSE(doc[1].contains("ended"));
    EXPECT_EQ(doc[1]["unattended"], false);
    EXPECT_DOUBLE_EQ(doc[1]["started"].get<double>(), c->connectedAt.secondsSince2001());
    EXPECT_DOUBLE_EQ(
        doc[1]["started"].get<double>(),
        std::chrono::duration<double>(rt.clock.wallNow().time_since_epoch()).count() - 978307200.0);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(file.parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u);

    // Reloading gives the same list back, the open session marked as cut off.
    auto again = open();
    ASSERT_EQ(again->entries().size(), 2u);
    EXPECT_EQ(again->entries()[0], h->entries()[0]);
    auto cut = h->entries()[1];
    cut.outcome = "Orvane Host stopped";
    EXPECT_EQ(again->entries()[1], cut);
}

TEST_F(SessionHistoryTest, LoadMarksOpenSessionsStopped) {
    auto a = Uuid::random(), b = Uuid::random();
    writeFile(
        R"([{"id":")" + a.string() +
        R"(","device":"D","symbol":"ipad","address":"x","route":"","kind":"control","started":100.5,"outcome":"Connected","extra":1},)"
        R"({"id":")" +
        b.string() +
        R"(","device":"D","symbol":"ipad","address":"x","route":"","kind":"declined","started":90,"outcome":"You declined"}])");
    auto h = open();
    ASSERT_EQ(h->entries().size(), 2u);
    EXPECT_EQ(h->entries()[0].outcome, "Orvane Host stopped");
    EXPECT_FALSE(h->entries()[0].ended);
    EXPECT_EQ(h->entries()[0].started.secondsSince2001(), 100.5);
    EXPECT_EQ(h->entries()[1].outcome, "You declined");
    rt.drain();
    EXPECT_NE(fileText().find("Connected"), std::string::npos) << "nothing is written back at load";
}

TEST_F(SessionHistoryTest, UnreadableFileIsKeptAsideBeforeTheFirstSave) {
    auto memory = std::make_shared<MemoryLogSink>();
    Log::addSink(memory);
    const std::string bad =
        R"([{"id":"6B1F1C5E-0000-4000-8000-000000000001","device":"D","symbol":"s","address":"a","route":"","kind":"teleport","started":1,"outcome":"o"}])";
    writeFile(bad);
    auto h = open();
    EXPECT_TRUE(h->entries().empty());
    EXPECT_EQ(fileText(), bad) << "loading alone moves nothing";
    h->recordWrongCode("10.0.0.9");
    h->recordWrongCode("10.0.0.8");
    rt.drain();
    Log::removeSink(memory);
    std::vector<fs::path> aside;
    for (auto& p : fs::directory_iterator(file.parent_path()))
        if (p.path().filename().string().starts_with("SessionHistory.json.unreadable-"))
            aside.push_back(p.path());
    ASSERT_EQ(aside.size(), 1u);
    std::ifstream in(aside[0], std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
              bad);
    EXPECT_EQ(aside[0].filename().string(), "SessionHistory.json.unreadable-2027-01-15T08-00-00Z");
    EXPECT_EQ(nlohmann::json::parse(fileText()).size(), 2u);
    int lines = 0;
    for (auto& r : memory->records())
        if (r.message.find("session history unreadable") != std::string::npos) ++lines;
    EXPECT_EQ(lines, 1);
}

TEST_F(SessionHistoryTest, CapAt500AndTheFileFollows) {
    auto h = open();
    for (int i = 0; i < 501; ++i) {
        rt.clock.advance(5s);
        h->recordWrongCode("10.0.0." + std::to_string(i % 2));
    }
    ASSERT_EQ(h->entries().size(), 500u);
    EXPECT_EQ(h->entries().back().address, "10.0.0.1") << "the first (oldest) entry left";
    rt.drain();
    EXPECT_EQ(nlohmann::json::parse(fileText()).size(), 500u);
}

TEST_F(SessionHistoryTest, RemoveKeepingAndLogEntries) {
    auto h = open();
    auto a = client("A"), b = client("B"), c = client("C");
    h->recordConnected(*a, false);
    h->recordWrongCode("1.1.1.1");
    h->recordConnected(*b, true);
    h->recordConnected(*c, false);
    auto log = h->logEntries();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].device, "A");
    EXPECT_EQ(log[0].kind, "Control");
    EXPECT_EQ(log[1].kind, "Tried to connect");
    EXPECT_FALSE(log[1].unattended);
    EXPECT_TRUE(log[2].unattended);
    EXPECT_EQ(log[3].device, "C");

    int notified = 0;
    auto conn = h->changed().connect([&](auto&) { ++notified; });
    h->remove({a->id, c->id});
    ASSERT_EQ(h->entries().size(), 2u);
    EXPECT_EQ(h->entries()[0].id, c->id);
    EXPECT_EQ(h->entries()[1].id, a->id);
    EXPECT_EQ(notified, 1);
    h->remove({a->id, c->id});  // nothing removed: no notification, still saved
    EXPECT_EQ(notified, 1);
    h->remove({});
    EXPECT_TRUE(h->entries().empty());
    rt.drain();
    EXPECT_EQ(fileText(), "[]");
}

TEST_F(SessionHistoryTest, RouteLabels) {
    EXPECT_EQ(SessionHistory::routeLabel(ConnectionRoute::localNetwork), "This network");
    EXPECT_EQ(SessionHistory::routeLabel(ConnectionRoute::privateNetwork), "Private network");
    EXPECT_EQ(SessionHistory::routeLabel(ConnectionRoute::internet), "Internet");
    EXPECT_EQ(SessionHistory::routeLabel(ConnectionRoute::natTraversal), "Internet (through NAT)");
    EXPECT_EQ(SessionHistory::routeLabel(ConnectionRoute::unknown), "");
    EXPECT_EQ(label(Kind::screenShare), "Shared their screen");
    EXPECT_EQ(label(Kind::support), "Support code");
    EXPECT_EQ(label(Kind::declined), "Asked to connect");
    EXPECT_EQ(label(Kind::viewOnly), "View only");
}

}  // namespace
}  // namespace orvane

namespace orvane {
namespace {

// Saves from the main thread land on a real background strand; the file must end up holding
// the latest list however the pool schedules them.
TEST(SessionHistoryConcurrency, LatestListWinsOnABackgroundStrand) {
    namespace fs = std::filesystem;
    auto root = fs::temp_directory_path() / ("orvane-history-" + Uuid::random().string());
    auto file = root / "com.nimbrel.kelsap.host" / "SessionHistory.json";
    NetContext pool(3);
    auto strand = pool.makeStrand("orvane.history");
    FakeClock clock;
    {
        SessionHistory h(file, clock, strand);
        for (int i = 0; i < 300; ++i) {
            clock.advance(std::chrono::seconds(4));
            h.recordWrongCode("10.0.0." + std::to_string(i % 7));
            if (i % 50 == 25) h.remove({h.entries().front().id});
        }
        std::promise<void> idle;
        asio::post(strand, [&] { idle.set_value(); });
        idle.get_future().wait();
        SessionHistory reloaded(file, clock, strand);
        EXPECT_EQ(reloaded.entries(), h.entries());
        EXPECT_EQ(h.entries().size(), 25u);
    }
    pool.stop();
    fs::remove_all(root);
}

}  // namespace
}  // namespace orvane

// The command-line peer against itself on loopback: one process serves, one dials.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "OrvaneKit/media/VideoPacket.h"
#include "OrvaneKit/net/testing/ChildProcess.h"
#include "OrvaneKit/protocol/Json.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string peerBinary = ORVANE_BINARY_DIR "/tools/orvane-peer";
constexpr const char* code = "ABC-DEF-GHJ-KLM";

class NetOrvanePeer : public ::testing::Test {
protected:
    fs::path dir;

    void SetUp() override {
        if (!fs::exists(peerBinary)) GTEST_SKIP() << "orvane-peer is not built: " << peerBinary;
        dir = fs::temp_directory_path() /
              ("orvane-peer-test-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    void TearDown() override {
        if (!dir.empty()) fs::remove_all(dir);
    }

    std::unique_ptr<ChildProcess> serve(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {
            peerBinary, "serve",  "--bind", "127.0.0.1",  "--port",
            "0",        "--code", code,     "--keychain", (dir / "host.json").string()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        auto p = std::make_unique<ChildProcess>(argv);
        EXPECT_TRUE(p->waitForOutput("\"listening\"", 20s)) << p->output();
        return p;
    }
    // The serving peer's "listening" line.
    static json::Value listening(const ChildProcess& p) {
        std::string out = p.output();
        auto start = out.rfind('\n', out.find("\"listening\""));
        start = start == std::string::npos ? 0 : start + 1;
        return *json::parse(std::string_view(out).substr(start, out.find('\n', start) - start));
    }
    std::pair<std::optional<int>, std::string> connect(const json::Value& host,
                                                       std::vector<std::string> extra) {
        std::vector<std::string> argv = {peerBinary,   "connect",
                                         "--host",     "127.0.0.1",
                                         "--port",     std::to_string(host["port"].get<int>()),
                                         "--keychain", (dir / "viewer.json").string()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return ChildProcess::run(argv, "", 30s);
    }
    std::string script(const std::string& text, const std::string& name = "script.txt") {
        auto path = dir / name;
        std::ofstream(path) << text;
        return path.string();
    }
};

TEST_F(NetOrvanePeer, HandshakeAndPingPong) {
    auto server = serve();
    auto host = listening(*server);
    auto [status, out] = connect(
        host, {"--code", code, "--expect-fingerprint", host["fingerprint"].get<std::string>(),
               "--script", script("send ping hex:01020304\nexpect pong 10\nbye done\n")});
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("\"state\":\"ready\""), std::string::npos) << out;
    EXPECT_NE(out.find(R"("hex":"01020304","type":"pong")"), std::string::npos) << out;
    ASSERT_TRUE(server->waitExit(20s).has_value()) << server->output();
    std::string served = server->output();
    EXPECT_NE(served.find(R"("type":"hello")"), std::string::npos) << served;
    EXPECT_NE(served.find(R"("body":{"reason":"done"})"), std::string::npos) << served;
}

// A test that forbids a message must fail when it comes, also while waiting for the end.
TEST_F(NetOrvanePeer, ForbiddenMessageFailsTheScript) {
    auto server =
        serve({"--script",
               script("expect hello\nsend bye {\"reason\":\"x\"}\nclosed 10\n", "serve.txt")});
    auto [status, out] = connect(listening(*server),
                                 {"--code", code, "--script", script("forbid bye\nclosed 10\n")});
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("a forbidden bye arrived"), std::string::npos) << out;
    EXPECT_TRUE(server->waitExit(20s).has_value()) << server->output();
}

TEST_F(NetOrvanePeer, WrongCodeIsRefused) {
    auto server = serve();
    auto [status, out] = connect(listening(*server), {"--code", "ABC-DEF-GHJ-KLN"});
    EXPECT_EQ(status, 2) << out;
    EXPECT_NE(out.find("the access code was refused"), std::string::npos) << out;
    EXPECT_TRUE(server->waitExit(20s).has_value()) << server->output();
}

TEST_F(NetOrvanePeer, WrongFingerprintNamesBoth) {
    auto server = serve();
    auto host = listening(*server);
    const std::string pinned = "0000 1111 2222 3333 4444 5555 6666 7777";
    auto [status, out] = connect(host, {"--code", code, "--expect-fingerprint", pinned});
    EXPECT_EQ(status, 3) << out;
    EXPECT_NE(out.find("expected " + pinned + ", got " + host["fingerprint"].get<std::string>()),
              std::string::npos)
        << out;
    EXPECT_TRUE(server->waitExit(20s).has_value()) << server->output();
}

// Video from the first keyframe on goes to the file as Annex B; media messages are summed up
// a second at a time instead of printed one by one.
TEST_F(NetOrvanePeer, VideoOutAndMediaSummary) {
    auto packet = [](bool key, std::vector<std::uint8_t> nal) {
        VideoPacket p;
        p.isKeyframe = key;
        p.timestampMicros = 1000;
        if (key) p.parameterSets = {{0x67, 0x01}, {0x68, 0x02}};
        appendBE32(p.avcc, static_cast<std::uint32_t>(nal.size()));
        p.avcc.insert(p.avcc.end(), nal.begin(), nal.end());
        return "send video hex:" + toHex(*p.serialize()) + "\n";
    };
    const std::string served = "expect hello 20\n" + packet(false, {0x41, 0x09}) +
                               packet(true, {0x65, 0x0a, 0x0b}) + packet(false, {0x41, 0x0c}) +
                               "send audio hex:0102\nsend audio hex:0304\nwait 1200\n" +
                               "send audio hex:05\nwait 300\nbye done\n";
    auto server = serve({"--script", script(served, "served.txt")});
    auto host = listening(*server);
    const fs::path video = dir / "video.h264";
    auto [status, out] = connect(host, {"--code", code, "--video-out", video.string(), "--media",
                                        "summary", "--script", script("closed 20\n")});
    EXPECT_EQ(status, 0) << out;

    const Bytes expected = {0, 0, 0, 1,    0x67, 0x01, 0, 0, 0, 1, 0x68, 0x02, 0,
                            0, 0, 1, 0x65, 0x0a, 0x0b, 0, 0, 0, 1, 0x41, 0x0c};
    std::ifstream in(video, std::ios::binary);
    const Bytes written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(written, expected);

    int videos = 0, audios = 0, keyframes = 0, lines = 0;
    std::istringstream text(out);
    for (std::string line; std::getline(text, line);) {
        auto e = json::parse(std::string_view(line));
        if (!e || !e->contains("event")) continue;
        const std::string event = (*e)["event"].get<std::string>();
        const std::string type = e->contains("type") ? (*e)["type"].get<std::string>() : "";
        if (event == "message") {
            EXPECT_NE(type, "video") << line;
            EXPECT_NE(type, "audio") << line;
        }
        if (event != "media") continue;
        ++lines;
        if (type == "video") {
            videos += (*e)["count"].get<int>();
            keyframes += (*e)["keyframes"].get<int>();
        } else {
            audios += (*e)["count"].get<int>();
        }
    }
    EXPECT_EQ(videos, 3);
    EXPECT_EQ(keyframes, 1);
    EXPECT_EQ(audios, 3);
    EXPECT_GE(lines, 3) << out;  // the second after the pause starts new lines
}

}  // namespace
}  // namespace orvane

namespace orvane {
namespace {

TEST(OrvanePeerPairing, ParsesALinkAndRefusesOthers) {
    if (!fs::exists(peerBinary)) GTEST_SKIP() << "orvane-peer is not built: " << peerBinary;
    auto [status, out] = ChildProcess::run(
        {peerBinary, "pair", "parse",
         "kelsap://pair?name=Mac%20%26%20Co&code=abc-def-ghj-klm&port=5895&ext=203.0.113.7:6000"},
        "", 10s);
    ASSERT_EQ(status, 0) << out;
    auto line = json::parse(out.substr(0, out.find('\n')));
    ASSERT_TRUE(line) << out;
    EXPECT_EQ((*line)["name"], "Mac & Co");
    EXPECT_EQ((*line)["code"], "ABC-DEF-GHJ-KLM");
    EXPECT_EQ((*line)["reach"], "bestEffortInternet");
    EXPECT_EQ((*line)["routes"][0]["host"], "203.0.113.7");
    EXPECT_EQ((*line)["routes"][0]["port"], 6000);

    EXPECT_EQ(
        ChildProcess::run({peerBinary, "pair", "parse", "kelsap://other?name=x"}, "", 10s).first,
        1);
    EXPECT_EQ(ChildProcess::run({peerBinary, "wake", "00:11"}, "", 10s).first, 1);
}

}  // namespace
}  // namespace orvane

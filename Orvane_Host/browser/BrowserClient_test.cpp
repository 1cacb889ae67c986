#include "Orvane_Host/browser/BrowserClient.h"

#include <gtest/gtest.h>

#include "Orvane_Host/browser/testing/HeldTransport.h"

namespace orvane {
namespace {

Bytes masked(std::uint8_t opcode, std::string_view payload) {
    Bytes out = websocket::encodeFrameHeader(opcode, payload.size());
    out[1] |= 0x80;
    const std::uint8_t key[4] = {1, 2, 3, 4};
    out.insert(out.end(), key, key + 4);
    for (std::size_t i = 0; i < payload.size(); ++i)
        out.push_back(static_cast<std::uint8_t>(payload[i]) ^ key[i % 4]);
    return out;
}

struct ClientRig {
    NetContext net{1};
    std::shared_ptr<HeldTransport> wire = std::make_shared<HeldTransport>(net);
    std::shared_ptr<BrowserClient> client =
        std::make_shared<BrowserClient>(wire, Logger("test", "browser"));
    std::vector<InputEvent> inputs;
    int closes = 0;

    ClientRig() {
        client->onInput = [this](const InputEvent& e) { inputs.push_back(e); };
        client->onClose = [this](const std::shared_ptr<BrowserClient>&) { ++closes; };
    }
};

VideoPacket packet(bool key) {
    VideoPacket p;
    p.isKeyframe = key;
    return p;
}

TEST(WebSocketViewerVideo, GateTakesAKeyframeFirstAndAtMostFourInFlight) {
    ClientRig r;
    const Bytes bytes = {1, 2, 3};
    struct Step {
        bool keyframe;
        bool completeOneFirst;
        bool accepted;
    };
    const Step steps[] = {
        {false, false, false},  // a new client waits for a keyframe
        {true, false, true},   {false, false, true},
        {false, false, true},  {false, false, true},  // four in flight
        {false, false, false},                        // the fifth is refused
        {false, true, false},                         // room again, but a keyframe is due
        {true, false, true},                          // resumes at the keyframe
        {false, false, false},                        // four in flight again
        {true, true, true},                           // a keyframe with room
    };
    int i = 0;
    for (const auto& s : steps) {
        if (s.completeOneFirst) r.wire->completeOne(posixError(EPIPE));  // failed sends free too
        EXPECT_EQ(r.client->sendVideo(packet(s.keyframe), bytes), s.accepted) << "step " << i;
        ++i;
    }
    // Sent unchanged in binary frames.
    ASSERT_FALSE(r.wire->writes.empty());
    EXPECT_EQ(toHex(r.wire->writes.front()), "8203010203");

    r.client->close();
    while (r.wire->heldWrites()) r.wire->completeOne();
    EXPECT_FALSE(r.client->sendVideo(packet(true), bytes)) << "a closed client refuses";
    EXPECT_EQ(r.wire->cancels, 1);
}

TEST(WebSocketViewerFrames, HandlesEveryFrameOfAReadAndWaitsForSplitOnes) {
    ClientRig r;
    Bytes both = masked(websocket::text, R"({"t":"move","x":0.5,"y":0.5})");
    auto second = masked(websocket::text, R"({"t":"key","code":36,"down":true})");
    both.insert(both.end(), second.begin(), second.end());
    // The first frame and half of a third came with the request head.
    auto third = masked(websocket::text, R"({"t":"scroll","dy":-3})");
    both.insert(both.end(), third.begin(), third.begin() + 5);
    r.client->start(both);
    ASSERT_EQ(r.inputs.size(), 2u);
    EXPECT_EQ(r.inputs[0], InputEvent(InputEvent::MouseMove{0.5, 0.5}));
    EXPECT_EQ(r.inputs[1], InputEvent(InputEvent::Key{36, true, 0}));
    ASSERT_TRUE(r.wire->deliver(ByteView(third).subspan(5)));
    ASSERT_EQ(r.inputs.size(), 3u);
    EXPECT_EQ(r.inputs[2], InputEvent(InputEvent::Scroll{0, -3}));

    // Ignored: bad JSON, binary, pong, a continuation.
    Bytes ignored = masked(websocket::text, "{nope");
    for (auto op : {websocket::binary, websocket::pong, websocket::continuation}) {
        auto f = masked(op, R"({"t":"move"})");
        ignored.insert(ignored.end(), f.begin(), f.end());
    }
    ASSERT_TRUE(r.wire->deliver(ignored));
    EXPECT_EQ(r.inputs.size(), 3u);
    EXPECT_TRUE(r.wire->writes.empty());
    EXPECT_EQ(r.closes, 0);
    EXPECT_TRUE(r.wire->reading());
}

TEST(WebSocketViewerFrames, PingGetsAnUnmaskedPongAndTheQueueOfPongsIsBounded) {
    ClientRig r;
    r.client->start({});
    ASSERT_TRUE(r.wire->deliver(masked(websocket::ping, "abc")));
    ASSERT_EQ(r.wire->writes.size(), 1u);
    EXPECT_EQ(toHex(r.wire->writes[0]), "8a03616263");

    // A peer that pings without reading: the queue stops growing.
    Bytes flood;
    for (int i = 0; i < 100; ++i) {
        auto f = masked(websocket::ping, "x");
        flood.insert(flood.end(), f.begin(), f.end());
    }
    ASSERT_TRUE(r.wire->deliver(flood));
    EXPECT_EQ(r.wire->writes.size(), std::size_t(BrowserClient::maxPongsQueued));
    r.wire->completeOne();
    ASSERT_TRUE(r.wire->deliver(masked(websocket::ping, "y")));
    EXPECT_EQ(r.wire->writes.size(), std::size_t(BrowserClient::maxPongsQueued) + 1);
    EXPECT_EQ(r.closes, 0);
}

TEST(WebSocketViewerFrames, EndsOnCloseFrameEndOfDataOrABrokenFrame) {
    struct Case {
        const char* what;
        Bytes bytes;
        bool eof;
    };
    Bytes oversized = {0x82, 127};
    appendBE64(oversized, ~std::uint64_t(0));
    const Case cases[] = {
        {"close frame", masked(websocket::close, ""), false},
        {"end of data", {}, true},
        {"length near 2^64", oversized, false},
        {"ping of 126 bytes", masked(websocket::ping, std::string(126, 'p')), false},
    };
    for (const auto& c : cases) {
        ClientRig r;
        r.client->start({});
        ASSERT_TRUE(r.wire->deliver(c.bytes, c.eof)) << c.what;
        EXPECT_EQ(r.closes, 1) << c.what;
        EXPECT_EQ(r.wire->cancels, 1) << c.what;
        EXPECT_TRUE(r.wire->writes.empty()) << c.what << ": no close frame goes back";
        EXPECT_FALSE(r.wire->reading()) << c.what;
        EXPECT_TRUE(r.client->isClosed()) << c.what;
    }
}

}  // namespace
}  // namespace orvane

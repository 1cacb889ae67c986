#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>

#include "OrvaneKit/protocol/Json.h"
#include "OrvaneKit/security/testing/MemorySecretStore.h"
#include "Orvane_Host/session/testing/HostHarness.h"
#include "Orvane_Host/system/MachineName.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

const std::vector<DisplayInfo> twoDisplays = {{1, "Built-in Display", 1512, 982},
                                              {2, "Side", 1920, 1080}};

template <class T>
T only(const std::shared_ptr<RemoteClient>& c, MessageType type) {
    auto sent = HostHarness::connectionOf(c)->sent(type);
    EXPECT_EQ(sent.size(), 1u) << messageTypeName(type);
    if (sent.empty()) return T{};
    auto v = json::decode<T>(ByteView(sent.back().body));
    EXPECT_TRUE(v) << messageTypeName(type);
    return v.value_or(T{});
}

std::vector<MessageType> typesSent(const std::shared_ptr<RemoteClient>& c) {
    std::vector<MessageType> out;
    for (const auto& s : HostHarness::connectionOf(c)->sent()) out.push_back(s.type);
    return out;
}

struct StreamBench {
    HostHarness h;
    std::shared_ptr<HostController> host;

    StreamBench() {
        h.screens.displays = twoDisplays;
        host = h.make();
    }
    // An authorised, listed viewer (or sharer), as admission leaves it.
    std::shared_ptr<RemoteClient> viewer(const std::string& name,
                                         std::optional<std::uint32_t> preferred = std::nullopt,
                                         bool sharer = false) {
        auto c = h.client(name, "FP-" + name);
        auto hello = *c->hello();
        hello.preferredDisplayID = preferred;
        if (sharer) hello.role = ClientRole::screenSharer;
        c->setHello(hello);
        auto list = host->clients();
        list.push_back(c);
        host->setClients(list);
        if (!sharer) c->setAuthorized(true);
        return c;
    }
    void startStreaming(const std::shared_ptr<RemoteClient>& c) {
        asio::co_spawn(h.rt.io, host->streaming().startStreaming(c), asio::detached);
        h.rt.drain();
    }
};

TEST(HostStreaming, FirstViewerIsWelcomedThenCaptureStarts) {
    struct Case {
        std::optional<std::uint32_t> preferred;
        std::uint32_t active;
        bool canControl, support;
    } cases[] = {
        {std::nullopt, 1, true, false},
        {2, 2, true, false},
        {9, 1, true, false},  // not a display of this machine
        {std::nullopt, 1, false, true},
    };
    for (const auto& cs : cases) {
        StreamBench b;
        auto c = b.viewer("Ann", cs.preferred);
        c->setCanControl(cs.canControl);
        c->isSupport = cs.support;
        b.h.calls.clear();
        b.startStreaming(c);
        SCOPED_TRACE(cs.active);

        EXPECT_EQ(typesSent(c),
                  (std::vector<MessageType>{MessageType::helloAck, MessageType::permissions,
                                            MessageType::hostStatus}));
        EXPECT_EQ(only<HelloAck>(c, MessageType::helloAck),
                  (HelloAck{macDisplayName(), twoDisplays, cs.active}));
        EXPECT_EQ(only<SessionPermissions>(c, MessageType::permissions),
                  (SessionPermissions{cs.canControl, cs.support}));
        EXPECT_EQ(only<HostStatus>(c, MessageType::hostStatus), b.h.status.makeHostStatus());
        EXPECT_EQ(c->displayID(), cs.active);
        EXPECT_EQ(b.host->displays(), twoDisplays);
        EXPECT_TRUE(b.host->screenRecordingGranted());
        EXPECT_TRUE(b.host->isStreaming());

        const auto& calls = b.h.calls.calls();
        auto started =
            std::find(calls.begin(), calls.end(),
                      "streams.start [" + std::to_string(cs.active) + "] width 2304 sound");
        ASSERT_NE(started, calls.end());
        EXPECT_EQ(b.h.calls.count("streams.start"), 1u);
        EXPECT_EQ(calls.back(), "streams.sendKeyframeNow " + std::to_string(cs.active));
    }
}

TEST(HostStreaming, LaterViewerWhileCaptureRunsGetsOnlyAKeyframe) {
    StreamBench b;
    b.startStreaming(b.viewer("Ann"));
    b.h.calls.clear();

    auto second = b.viewer("Bob");
    b.startStreaming(second);
    EXPECT_EQ(b.h.calls.count("streams.start"), 0u);
    EXPECT_EQ(b.h.calls.count("streams.sendKeyframeNow 1"), 1u);
    EXPECT_EQ(typesSent(second),
              (std::vector<MessageType>{MessageType::helloAck, MessageType::permissions,
                                        MessageType::hostStatus}));

    // A viewer of a display without a pipeline gets that display's video, not another's.
    b.h.calls.clear();
    auto third = b.viewer("Cat", 2);
    b.startStreaming(third);
    EXPECT_EQ(b.h.calls.count("streams.start [1,2] width 2304 sound"), 1u);
    EXPECT_EQ(b.h.calls.calls().back(), "streams.sendKeyframeNow 2");
}

TEST(HostStreaming, FirstViewerGetsTheAudioFormatOnceCaptureRuns) {
    const AudioStreamFormat format{48000, 2, 480, std::nullopt};
    StreamBench b;
    b.h.streams.formatOnStart = format;
    auto first = b.viewer("Ann");
    b.startStreaming(first);
    EXPECT_EQ(only<AudioStreamFormat>(first, MessageType::audioFormat), format);
    auto types = typesSent(first);
    EXPECT_LT(std::find(types.begin(), types.end(), MessageType::permissions),
              std::find(types.begin(), types.end(), MessageType::audioFormat));

    auto second = b.viewer("Bob");
    b.startStreaming(second);
    EXPECT_EQ(only<AudioStreamFormat>(second, MessageType::audioFormat), format);
    EXPECT_EQ(HostHarness::connectionOf(first)->sent(MessageType::audioFormat).size(), 1u);

    StreamBench silent;
    silent.h.streams.formatOnStart = format;
    silent.host->setShareSound(false);
    auto c = silent.viewer("Ann");
    silent.startStreaming(c);
    EXPECT_TRUE(HostHarness::connectionOf(c)->sent(MessageType::audioFormat).empty());
    EXPECT_EQ(silent.h.calls.count("streams.start [1] width 2304 silent"), 1u);
}

TEST(HostStreaming, FailedDisplayReadStillWelcomesTheViewer) {
    // Nothing read yet, capture already running.
    StreamBench b;
    b.h.screens.displays = std::nullopt;
    b.h.streams.running = {1};
    b.host->setIsStreaming(true);
    auto c = b.viewer("Ann", 2);
    b.startStreaming(c);
    EXPECT_EQ(only<HelloAck>(c, MessageType::helloAck), (HelloAck{macDisplayName(), {}, 1}));
    EXPECT_EQ(b.host->lastError(), "Screen Recording permission is needed.");
    EXPECT_FALSE(b.host->screenRecordingGranted());
    EXPECT_EQ(typesSent(c),
              (std::vector<MessageType>{MessageType::helloAck, MessageType::permissions,
                                        MessageType::hostStatus}));

    // A failed read keeps the last list.
    StreamBench again;
    again.startStreaming(again.viewer("Ann"));
    again.h.screens.displays = std::nullopt;
    auto late = again.viewer("Bob", 2);
    again.startStreaming(late);
    EXPECT_EQ(only<HelloAck>(late, MessageType::helloAck).displays, twoDisplays);
    EXPECT_EQ(late->displayID(), 2u);
    EXPECT_FALSE(again.host->screenRecordingGranted());
}

TEST(HostStreaming, UpdatesRequestedDuringAStartShareOneStartAfterIt) {
    StreamBench b;
    b.startStreaming(b.viewer("Ann"));
    ASSERT_TRUE(b.host->isStreaming());
    b.h.streams.startTimers = &b.h.rt.timers;
    b.h.streams.startTakes = 100ms;
    b.h.calls.clear();

    b.host->setQuality(StreamQuality::sharp);  // starts at once
    b.h.rt.drain();
    b.host->setHighFrameRate(true);  // both wait for it, then share one start
    b.host->setQuality(StreamQuality::balanced);
    b.h.rt.drain();
    auto starts = [&] {
        auto calls = b.h.calls.calls();
        return std::count_if(calls.begin(), calls.end(),
                             [](const std::string& c) { return c.rfind("streams.start", 0) == 0; });
    };
    EXPECT_EQ(starts(), 1);
    b.h.rt.advance(100ms);
    EXPECT_EQ(starts(), 2);
    b.h.rt.advance(100ms);
    b.h.rt.advance(100ms);
    EXPECT_EQ(starts(), 2);
    EXPECT_EQ(b.h.streams.mostAtOnce, 1);
    EXPECT_EQ(b.h.streams.startsRunning, 0);
    EXPECT_TRUE(b.host->isStreaming());
}

TEST(HostStreaming, HdrChangeRestartsTheStreamsWhileACodecChangeDoesNot) {
    StreamBench b;
    b.h.screens.edr = true;
    auto ann = b.viewer("Ann");
    auto hello = *ann->hello();
    hello.supportsHEVC = true;
    hello.supportsHDR = true;
    ann->setHello(hello);
    b.startStreaming(ann);
    ASSERT_TRUE(b.host->isStreaming());
    auto starts = [&] { return b.h.calls.count("streams.start"); };

    ASSERT_EQ(b.host->activeCodec(), VideoCodec::hevc);
    b.h.calls.clear();
    b.host->setPreferHEVC(false);
    b.h.rt.drain();
    b.host->setPreferHEVC(true);
    b.h.rt.drain();
    EXPECT_EQ(b.h.calls.calls(),
              (std::vector<std::string>{"streams.setCodec h264 sdr", "streams.setCodec hevc sdr"}));

    b.h.calls.clear();
    b.host->setPreferHDR(true);
    b.h.rt.drain();
    EXPECT_EQ(b.h.calls.count("streams.storeCodec hevc hdr"), 1u);
    EXPECT_EQ(b.h.calls.count("streams.setCodec"), 0u);
    EXPECT_EQ(b.h.calls.count("streams.start [1] width 2304 sound restart"), 1u);
    EXPECT_TRUE(b.host->activeHDR());

    // Back to SDR is a change of range too.
    b.h.calls.clear();
    b.host->setPreferHDR(false);
    b.h.rt.drain();
    EXPECT_EQ(b.h.calls.count("streams.storeCodec hevc sdr"), 1u);
    EXPECT_EQ(starts(), 1u);
}

TEST(HostStreaming, StatusTickReachesEveryViewerAndNobodyElse) {
    StreamBench b;
    auto sharer = b.viewer("Pad", std::nullopt, true);
    b.host->streaming().showSharedScreen(sharer, false);
    auto pending = b.h.client("Eve");
    b.host->setClients({sharer, pending});
    b.h.rt.drain();
    auto sharerSent = HostHarness::connectionOf(sharer)->sent().size();

    b.host->streaming().statusTick();
    b.h.rt.drain();
    EXPECT_EQ(b.h.facts.diskQueries(), 0) << "no viewer: no record built";

    auto ann = b.viewer("Ann");
    auto bob = b.viewer("Bob");
    bob->setCanControl(false);
    b.host->streaming().statusTick();
    b.h.rt.drain();
    for (const auto& c : {ann, bob})
        EXPECT_EQ(only<HostStatus>(c, MessageType::hostStatus), b.h.status.makeHostStatus());
    EXPECT_EQ(HostHarness::connectionOf(sharer)->sent().size(), sharerSent);
    EXPECT_TRUE(HostHarness::connectionOf(pending)->sent().empty());
}

TEST(HostStreaming, StatusIsBuiltAndSentOffTheMainActor) {
    HostHarness h;
    asio::io_context background;  // run by hand
    auto host = h.make(h.injector, background.get_executor());
    auto c = h.client("Ann");
    host->setClients({c});
    c->setAuthorized(true);
    asio::co_spawn(h.rt.io, host->streaming().startStreaming(c), asio::detached);
    host->streaming().statusTick();
    h.rt.drain();
    EXPECT_TRUE(HostHarness::connectionOf(c)->sent(MessageType::hostStatus).empty());
    EXPECT_EQ(h.facts.diskQueries(), 0);
    background.run();
    EXPECT_EQ(HostHarness::connectionOf(c)->sent(MessageType::hostStatus).size(), 2u);
}

TEST(HostStreaming, StartTicksTheStatusEveryFiveSeconds) {
    StreamBench b;
    auto c = b.viewer("Ann");
    MemorySecretStore secrets;
    b.host->start(secrets);
    auto statuses = [&] {
        return HostHarness::connectionOf(c)->sent(MessageType::hostStatus).size();
    };
    b.h.rt.advance(4999ms);
    EXPECT_EQ(statuses(), 0u);
    b.h.rt.advance(1ms);
    EXPECT_EQ(statuses(), 1u);
    b.h.rt.advance(5s);
    EXPECT_EQ(statuses(), 2u);
}

TEST(HostStreaming, RevokingControlReleasesHeldInputBeforeTellingTheViewer) {
    StreamBench b;
    auto c = b.viewer("Ann");
    auto connection = HostHarness::connectionOf(c);
    std::optional<std::size_t> permissionsAtRelease;
    b.h.injector.onReleaseAll = [&] {
        permissionsAtRelease = connection->sent(MessageType::permissions).size();
    };
    b.h.calls.clear();
    b.host->setCanControl(false, c);
    EXPECT_EQ(permissionsAtRelease, 0u);
    EXPECT_EQ(b.h.calls.count("injector.releaseAll"), 1u);
    EXPECT_EQ(only<SessionPermissions>(c, MessageType::permissions),
              (SessionPermissions{false, false}));
    EXPECT_FALSE(c->canControl());
    EXPECT_EQ(b.h.calls.count("overlays.hideIndicator"), 1u) << "no one controls now";

    b.h.calls.clear();
    b.host->setCanControl(true, c);
    EXPECT_EQ(b.h.calls.count("injector.releaseAll"), 0u);
    auto sent = connection->sent(MessageType::permissions);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(json::decode<SessionPermissions>(ByteView(sent[1].body)),
              (SessionPermissions{true, false}));
    EXPECT_EQ(b.h.calls.count("overlays.showIndicator 1 Ann"), 1u);
}

TEST(HostStreaming, SharedScreenOpensAWindowAndWelcomesTheDevice) {
    StreamBench b;
    auto s = b.viewer("Pad", std::nullopt, true);
    b.h.calls.clear();
    auto notes = b.h.notifier.posted().size();
    b.host->streaming().showSharedScreen(s, true);
    b.h.rt.drain();

    ASSERT_EQ(b.h.shareWindows.windows.size(), 1u);
    auto window = b.h.shareWindows.windows[0];
    EXPECT_EQ(window->title, "Pad's Screen");
    EXPECT_EQ(s->screenReceiver, b.h.shareWindows.receivers[0]);
    ASSERT_TRUE(b.host->shareWindows().contains(s->id));
    EXPECT_EQ(b.host->shareWindows().at(s->id), window);
    EXPECT_TRUE(s->authorized());
    ASSERT_FALSE(b.h.history->entries().empty());
    EXPECT_EQ(b.h.history->entries().front().device, "Pad");
    EXPECT_EQ(b.h.history->entries().front().unattended, true);
    EXPECT_EQ(b.h.calls.calls(), std::vector<std::string>{"streams.assignTargets 1"})
        << "re-published; no capture, curtain or codec for a sharer";
    EXPECT_EQ(typesSent(s), std::vector<MessageType>{MessageType::helloAck});
    EXPECT_EQ(only<HelloAck>(s, MessageType::helloAck), (HelloAck{macDisplayName(), {}, 0}));
    auto posted = b.h.notifier.posted();
    ASSERT_EQ(posted.size(), notes + 1);
    EXPECT_EQ(posted.back(), (RecordingNotifier::Posted{"Pad is sharing their screen",
                                                        "Close the window to stop."}));
    EXPECT_FALSE(b.host->idleWatch().timer());

    // The window asks the device for a keyframe.
    window->needKeyframe();
    auto asks = HostHarness::connectionOf(s)->sent(MessageType::keyframeRequest);
    ASSERT_EQ(asks.size(), 1u);
    EXPECT_TRUE(asks[0].body.empty());

    // Closing it at the machine ends the session.
    window->onClose();
    b.h.rt.drain();
    auto byes = HostHarness::connectionOf(s)->sent(MessageType::bye);
    ASSERT_EQ(byes.size(), 1u);
    EXPECT_EQ(json::decode<Bye>(ByteView(byes[0].body))->reason,
              "The Mac closed the shared screen.");
    EXPECT_TRUE(b.host->clients().empty());
    EXPECT_TRUE(b.host->shareWindows().empty());
    EXPECT_FALSE(window->closed);
}

}  // namespace
}  // namespace orvane

#include "Orvane_Host/capture/VideoPipeline.h"

#include <gtest/gtest.h>

#include <asio/post.hpp>
#include <atomic>
#include <future>
#include <thread>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/base/testing/FakeClock.h"
#include "OrvaneKit/media/AudioEncoder.h"
#include "OrvaneKit/media/testing/FakeEncoderBackend.h"
#include "Orvane_Host/capture/testing/FakeScreenSource.h"
#include "Orvane_Host/capture/testing/FakeSystemAudioSource.h"
#include "Orvane_Host/capture/testing/FakeVideoTarget.h"

namespace orvane {
namespace {

using testing::FakeVideoTarget;

// Takes every frame; backlogged only when the test says so.
class GateTarget final : public VideoTarget {
public:
    std::atomic<bool> backlogged{false};
    std::uint32_t displayID() const override { return 1; }
    bool isBacklogged() const override { return backlogged; }
    bool needsKeyframe() const override { return false; }
    bool sendVideo(const VideoPacket&, const Bytes&) override { return true; }
    void sendAudio(const Bytes&) override {}
};

class VideoPipelineTest : public ::testing::Test {
protected:
    CaptureDisplay display{1, "main", 0, 0, 64, 36, 1, true};
    NetContext net{2};
    FakeClock clock;
    std::shared_ptr<FakeScreenSource> screens =
        std::make_shared<FakeScreenSource>(std::vector<CaptureDisplay>{display});
    std::shared_ptr<FakeEncoderBackend> encoders = std::make_shared<FakeEncoderBackend>();
    std::shared_ptr<testing::FakeSystemAudioSource> sound =
        std::make_shared<testing::FakeSystemAudioSource>();
    std::shared_ptr<MemoryLogSink> logs = std::make_shared<MemoryLogSink>();
    std::shared_ptr<VideoPipeline> pipeline;
    std::int64_t nextPts = 1'000'000;

    void SetUp() override { Log::addSink(logs); }
    void TearDown() override {
        if (pipeline) pipeline->stop();
        Log::removeSink(logs);
    }

    VideoPipeline::Parts parts() {
        VideoPipeline::Parts p;
        p.screens = screens;
        p.encoders = encoders;
        p.sound = sound;
        p.clock = &clock;
        p.net = &net;
        return p;
    }

    void startPipeline(VideoPipeline::Targets targets, bool withSound = false) {
        pipeline = VideoPipeline::make(parts(), 12'000'000);
        pipeline->setTargetBitrate(12'000'000, 60);
        pipeline->setTargets(std::move(targets));
        pipeline->start(display, 3840, withSound);
        drain();
    }

    // Runs what the capture queue holds, including what that work queued in turn.
    void drain() {
        for (int i = 0; i < 3; ++i) {
            std::promise<void> done;
            asio::post(pipeline->queue(), [&] { done.set_value(); });
            done.get_future().wait();
        }
    }

    void frame() {
        screens->pushFrame(64, 36, MediaTime{nextPts, 1'000'000});
        nextPts += 16'666;
        drain();
    }

    size_t encodedCount() const { return encoders->frames.size(); }

    std::vector<std::string> bitrateLogs() const {
        std::vector<std::string> out;
        for (const LogRecord& r : logs->records())
            if (r.message.rfind("adaptive bitrate", 0) == 0) out.push_back(r.message);
        return out;
    }
};

TEST_F(VideoPipelineTest, AdaptiveBitrateFollowsSkipRatioWindowByWindow) {
    auto gate = std::make_shared<GateTarget>();
    startPipeline({gate});

    struct Window {
        int captured, skipped;
        std::int64_t bitrate;  // after the window
        const char* log;       // expected line, or null for none
    };
    const Window windows[] = {
        {100, 11, 8'400'000, "adaptive bitrate → 8400 kbit/s (skip 11%)"},
        {100, 10, 8'400'000, nullptr},  // exactly 10 %: no change
        {50, 0, 8'400'000, nullptr},    // first clean window
        {50, 0, 8'400'000, nullptr},    // second
        {50, 0, 9'660'000, "adaptive bitrate → 9660 kbit/s (skip 0%)"},
        {50, 0, 11'109'000, "adaptive bitrate → 11109 kbit/s (skip 0%)"},
        {50, 0, 12'000'000, "adaptive bitrate → 12000 kbit/s (skip 0%)"},  // capped at target
        {50, 0, 12'000'000, nullptr},
        // Down to the floor.
        {10, 9, 8'400'000, "adaptive bitrate → 8400 kbit/s (skip 90%)"},
        {10, 9, 5'880'000, "adaptive bitrate → 5880 kbit/s (skip 90%)"},
        {10, 9, 4'116'000, "adaptive bitrate → 4116 kbit/s (skip 90%)"},
        {10, 9, 2'881'200, "adaptive bitrate → 2881 kbit/s (skip 90%)"},
        {10, 9, 2'016'840, "adaptive bitrate → 2016 kbit/s (skip 90%)"},
        {10, 9, 1'500'000, "adaptive bitrate → 1500 kbit/s (skip 90%)"},
        {10, 5, 1'500'000, nullptr},  // at the floor: nothing, but the clean count restarts
        {10, 0, 1'500'000, nullptr},
        {10, 0, 1'500'000, nullptr},
        {10, 5, 1'500'000, nullptr},  // resets again
        {10, 0, 1'500'000, nullptr},
        {10, 0, 1'500'000, nullptr},
        {20, 1, 1'500'000, nullptr},  // 5 %: keeps the two clean windows
        {10, 0, 1'725'000, "adaptive bitrate → 1725 kbit/s (skip 0%)"},
    };
    int row = 0;
    for (const Window& w : windows) {
        SCOPED_TRACE("window " + std::to_string(row++));
        const size_t logsBefore = bitrateLogs().size();
        for (int i = 0; i < w.captured - w.skipped - 1; ++i) frame();
        gate->backlogged = true;
        for (int i = 0; i < w.skipped; ++i) frame();
        gate->backlogged = false;
        clock.advance(VideoPipeline::statsWindow);
        frame();  // the encoded frame that closes the window

        EXPECT_EQ(pipeline->currentBitrate(), w.bitrate);
        const auto lines = bitrateLogs();
        if (w.log) {
            ASSERT_EQ(lines.size(), logsBefore + 1);
            EXPECT_EQ(lines.back(), w.log);
            ASSERT_FALSE(encoders->bitrateChanges.empty());
            EXPECT_EQ(encoders->bitrateChanges.back().second, w.bitrate);
        } else {
            EXPECT_EQ(lines.size(), logsBefore);
        }
    }
    // Every change kept the session that the first frame opened.
    EXPECT_EQ(encoders->opened.size(), 1u);
}

TEST_F(VideoPipelineTest, StatisticsWindowStaysOpenWhileNothingIsEncoded) {
    auto gate = std::make_shared<GateTarget>();
    startPipeline({gate});
    gate->backlogged = true;
    clock.advance(std::chrono::seconds(5));
    for (int i = 0; i < 20; ++i) frame();
    EXPECT_EQ(pipeline->currentBitrate(), 12'000'000);  // no frame encoded: no window closed
    gate->backlogged = false;
    frame();
    EXPECT_EQ(pipeline->currentBitrate(), 8'400'000);  // 20 of 21 skipped
}

TEST_F(VideoPipelineTest, OneBackloggedTargetSkipsTheFrameForAll) {
    auto slow = std::make_shared<FakeVideoTarget>(1);
    auto idle = std::make_shared<FakeVideoTarget>(1);
    startPipeline({slow, idle});
    for (int i = 0; i < 3; ++i) frame();  // the slow one never completes
    ASSERT_EQ(slow->inFlight(), 3);
    idle->complete(3);
    const size_t encoded = encodedCount();

    frame();
    EXPECT_EQ(encodedCount(), encoded);  // skipped, though the idle target could take it
    EXPECT_EQ(idle->offers().size(), 3u);

    // Once the slow target catches up, frames flow to both again.
    slow->complete(3);
    frame();
    EXPECT_EQ(encodedCount(), encoded + 1);
    EXPECT_EQ(idle->offers().size(), 4u);
    EXPECT_EQ(slow->offers().size(), 4u);
}

TEST_F(VideoPipelineTest, WaitingTargetGetsAKeyframeOnTheNextFrame) {
    auto first = std::make_shared<FakeVideoTarget>(1);
    startPipeline({first});
    frame();
    frame();
    first->complete(2);
    ASSERT_FALSE(encoders->frames.back().forced);

    // A viewer that just arrived waits for a keyframe: the next frame is one, not a delta it
    // would refuse until the encoder's interval comes round.
    auto late = std::make_shared<FakeVideoTarget>(1);
    pipeline->setTargets({first, late});
    frame();
    EXPECT_TRUE(encoders->frames.back().forced);
    ASSERT_EQ(late->offers().size(), 1u);
    EXPECT_TRUE(late->offers()[0].keyframe);
    EXPECT_TRUE(late->offers()[0].taken);
    EXPECT_TRUE(first->offers().back().taken);
}

// Refuses the deltas it is offered until a keyframe comes, without saying so beforehand: the
// refusal alone must bring the keyframe.
class RefusingTarget final : public VideoTarget {
public:
    std::vector<bool> offered;  // keyframe flags, capture queue only
    std::uint32_t displayID() const override { return 1; }
    bool isBacklogged() const override { return false; }
    bool needsKeyframe() const override { return false; }
    bool sendVideo(const VideoPacket& packet, const Bytes&) override {
        offered.push_back(packet.isKeyframe);
        if (packet.isKeyframe) waiting_ = false;
        return !waiting_;
    }
    void sendAudio(const Bytes&) override {}

private:
    bool waiting_ = true;
};

TEST_F(VideoPipelineTest, RefusedFrameBringsAKeyframeThatTheTargetTakes) {
    startPipeline({});
    frame();  // the session's first frame, a keyframe, before the target arrives
    auto target = std::make_shared<RefusingTarget>();
    pipeline->setTargets({target});
    frame();
    frame();
    frame();
    EXPECT_EQ(target->offered, (std::vector<bool>{false, true, false}));
}

TEST_F(VideoPipelineTest, KeyframeNowReencodesTheLastFrameAndNothingBeforeOne) {
    auto target = std::make_shared<FakeVideoTarget>(1);
    startPipeline({target});
    // The browser's hook sees every encoded frame, serialised once, as the targets do.
    std::vector<Bytes> hooked;
    pipeline->setOnEncoded([&](const VideoPacket& p, const Bytes& bytes) {
        EXPECT_EQ(p.serialize(), bytes);
        hooked.push_back(bytes);
    });
    pipeline->sendKeyframeNow();
    drain();
    EXPECT_EQ(encodedCount(), 0u);

    frame();
    target->complete();
    const std::uint64_t captured = target->offers().back().timestamp;
    pipeline->sendKeyframeNow();
    pipeline->sendKeyframeNow();
    drain();
    const auto offers = target->offers();
    ASSERT_EQ(offers.size(), 3u);
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_TRUE(offers[i].keyframe);
        EXPECT_EQ(offers[i].timestamp, captured);  // the capture time travels with the frame
    }
    EXPECT_EQ(hooked, target->sentVideo());
    // The encoder itself was fed increasing times.
    ASSERT_EQ(encoders->frames.size(), 3u);
    EXPECT_LT(encoders->frames[0].ptsMicros, encoders->frames[1].ptsMicros);
    EXPECT_LT(encoders->frames[1].ptsMicros, encoders->frames[2].ptsMicros);
}

TEST_F(VideoPipelineTest, CodecChangeReconfiguresOnlyWhenSomethingDiffers) {
    auto target = std::make_shared<FakeVideoTarget>(1);
    startPipeline({target});
    frame();
    target->complete();
    const size_t sessions = encoders->opened.size();
    const size_t encoded = encodedCount();

    pipeline->setCodec(VideoCodec::h264, 12'000'000, false);  // as stored
    drain();
    EXPECT_EQ(encoders->opened.size(), sessions);
    EXPECT_EQ(encodedCount(), encoded);

    pipeline->setCodec(VideoCodec::hevc, 12'000'000, false);
    drain();
    ASSERT_EQ(encoders->opened.size(), sessions + 1);
    EXPECT_EQ(encoders->opened.back().codec, VideoCodec::hevc);
    EXPECT_EQ(encodedCount(), encoded + 1);  // the last frame again, as a keyframe
    EXPECT_TRUE(target->offers().back().keyframe);
    EXPECT_EQ(screens->stream().format, PixelFormat::i420);
}

// A session that cannot change its rate in place (the HEVC library) reopens on every drop;
// under lasting congestion that is one new session per statistics window, never more.
TEST_F(VideoPipelineTest, RateDropsNeedingANewSessionComeOncePerWindow) {
    encoders->refuseBitrate = true;
    auto gate = std::make_shared<GateTarget>();
    startPipeline({gate});
    frame();
    const size_t sessions = encoders->opened.size();
    for (int window = 0; window < 4; ++window) {
        gate->backlogged = true;
        for (int i = 0; i < 5; ++i) frame();
        gate->backlogged = false;
        clock.advance(std::chrono::milliseconds(500));
        for (int i = 0; i < 5; ++i) frame();  // frames inside the window change nothing
        clock.advance(std::chrono::milliseconds(1500));
        frame();
    }
    frame();  // opens the session at the last rate
    EXPECT_EQ(pipeline->currentBitrate(), 2'881'200);
    EXPECT_EQ(encoders->opened.size(), sessions + 4);
    EXPECT_EQ(encoders->opened.back().bitrate, 2'881'200);
}

TEST_F(VideoPipelineTest, SoundGoesToTargetsThatAreNotBacklogged) {
    auto flowing = std::make_shared<FakeVideoTarget>(1);
    auto stalled = std::make_shared<FakeVideoTarget>(1);
    startPipeline({flowing, stalled}, true);
    ASSERT_TRUE(sound->running());
    for (int i = 0; i < 3; ++i) {
        frame();
        flowing->complete();
    }
    ASSERT_TRUE(stalled->isBacklogged());

    const PcmFormat format{48'000, 2};
    // A buffer of another layout is dropped, not converted.
    sound->push(PcmBuffer(PcmFormat{44'100, 2}, 4800));
    sound->push(PcmBuffer(format, 4800));  // 100 ms: ten packets of 480 frames
    // Sound arrives on the audio queue; wait for it there.
    for (int i = 0; i < 100 && flowing->sentAudio().size() < 10; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(flowing->sentAudio().size(), 10u);
    EXPECT_TRUE(stalled->sentAudio().empty());
}

TEST_F(VideoPipelineTest, NoSoundWithoutAnAudioEncoder) {
    auto p = parts();
    p.makeAudioEncoder = [] { return std::unique_ptr<AudioEncoder>(); };
    pipeline = VideoPipeline::make(p, 12'000'000);
    EXPECT_FALSE(pipeline->canEncodeSound());
    EXPECT_FALSE(pipeline->audioFormat());
    pipeline->start(display, 3840, true);
    EXPECT_FALSE(sound->running());
}

TEST_F(VideoPipelineTest, StopDropsTargetsAndLastFrameAndReportsNothing) {
    auto target = std::make_shared<FakeVideoTarget>(1);
    startPipeline({target});
    int stops = 0;
    pipeline->setOnStop([&](std::optional<PlatformError>) { ++stops; });
    frame();
    ASSERT_TRUE(pipeline->lastFrame());
    pipeline->stop();
    EXPECT_FALSE(pipeline->lastFrame());
    EXPECT_TRUE(pipeline->targets().empty());
    EXPECT_EQ(screens->runningCount(), 0u);
    EXPECT_EQ(stops, 0);
}

TEST_F(VideoPipelineTest, PlatformStopMarksThePipelineDead) {
    startPipeline({});
    std::promise<std::optional<PlatformError>> stopped;
    pipeline->setOnStop([&](std::optional<PlatformError> e) { stopped.set_value(std::move(e)); });
    screens->stopWithError(PlatformError("X11", 4, "The display was disconnected."));
    auto error = stopped.get_future().get();
    ASSERT_TRUE(error);
    EXPECT_STREQ(error->what(), "The display was disconnected.");
    EXPECT_TRUE(pipeline->isDead());
}

}  // namespace
}  // namespace orvane

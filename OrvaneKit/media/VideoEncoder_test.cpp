#include "OrvaneKit/media/VideoEncoder.h"

#include <gtest/gtest.h>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/media/testing/FakeEncoderBackend.h"

namespace orvane {
namespace {

struct VideoEncoderLogic : ::testing::Test {
    std::shared_ptr<FakeEncoderBackend> backend = std::make_shared<FakeEncoderBackend>();
    VideoEncoder encoder{12'000'000, 60, backend};
    std::vector<VideoPacket> packets;
    std::shared_ptr<FrameBuffer> frame = FrameBuffer::make(PixelFormat::nv12, 64, 32);
    int64_t nextPts = 0;

    void SetUp() override {
        encoder.onPacket = [this](VideoPacket p) { packets.push_back(std::move(p)); };
    }
    // Frames 1/60 s apart unless told otherwise.
    void encode(const FrameBuffer& f) { encoder.encode(f, {nextPts++, 60}); }
    void encode() { encode(*frame); }
    std::vector<bool> keys() const {
        std::vector<bool> k;
        for (const auto& p : packets) k.push_back(p.isKeyframe);
        return k;
    }
};

TEST_F(VideoEncoderLogic, KeyframeOnFirstFrameOfEverySession) {
    encode();
    encode();
    encoder.configure(8'000'000, 30);
    encode();
    encode();
    encode(*FrameBuffer::make(PixelFormat::nv12, 128, 64));  // size change
    encode(*FrameBuffer::make(PixelFormat::nv12, 128, 64));
    EXPECT_EQ(keys(), (std::vector<bool>{true, false, true, false, true, false}));
    ASSERT_EQ(backend->opened.size(), 3u);
    EXPECT_EQ(backend->opened[1].bitrate, 8'000'000);
    EXPECT_EQ(backend->opened[1].fps, 30);
    EXPECT_EQ(backend->opened[2].width, 128);
    EXPECT_EQ(backend->openSessions, 1);  // old sessions are closed
    // Keyframes carry the parameter sets, others none.
    EXPECT_EQ(packets[0].parameterSets.size(), 2u);
    EXPECT_TRUE(packets[1].parameterSets.empty());
}

TEST_F(VideoEncoderLogic, RequestedKeyframesCoalesce) {
    encode();
    encoder.requestKeyframe();
    encoder.requestKeyframe();
    encode();
    encode();
    encoder.requestKeyframe();
    encode();
    EXPECT_EQ(keys(), (std::vector<bool>{true, true, false, true}));
    EXPECT_EQ(backend->opened.size(), 1u);  // a keyframe never rebuilds the session
}

TEST_F(VideoEncoderLogic, HdrOnlyWithHevcAndRaisedBitrate) {
    encoder.configure(12'000'000, 60, VideoCodec::h264, true);
    encode();
    encoder.configure(12'000'000, 60, VideoCodec::hevc, std::nullopt);  // keeps hdr on
    encode();
    ASSERT_EQ(backend->opened.size(), 2u);
    EXPECT_FALSE(backend->opened[0].hdr);
    EXPECT_EQ(backend->opened[0].bitrate, 12'000'000);
    EXPECT_TRUE(backend->opened[1].hdr);
    EXPECT_EQ(backend->opened[1].codec, VideoCodec::hevc);
    EXPECT_EQ(backend->opened[1].bitrate, 16'800'000);
    EXPECT_EQ(encoder.bitrate(), 12'000'000);
    EXPECT_TRUE(encoder.hdrCoding());
    EXPECT_EQ(packets[1].codec, VideoCodec::hevc);
    EXPECT_EQ(packets[1].parameterSets.size(), 3u);

    encoder.setBitrate(3'000'001);  // truncated toward zero
    ASSERT_EQ(backend->bitrateChanges.size(), 1u);
    EXPECT_EQ(backend->bitrateChanges[0].second, 4'200'001);
    EXPECT_EQ(encoder.bitrate(), 3'000'001);
}

TEST_F(VideoEncoderLogic, SetBitrateChangesSessionInPlace) {
    encoder.setBitrate(5'000'000);  // no session: only stored
    EXPECT_TRUE(backend->bitrateChanges.empty());
    encode();
    EXPECT_EQ(backend->opened.at(0).bitrate, 5'000'000);
    encoder.setBitrate(3'000'000);
    encode();
    EXPECT_EQ(backend->bitrateChanges, (std::vector<std::pair<int, int64_t>>{{0, 3'000'000}}));
    EXPECT_EQ(backend->opened.size(), 1u);
    EXPECT_EQ(keys(), (std::vector<bool>{true, false}));

    encoder.setBitrate(3'000'000);  // unchanged: nothing to do
    EXPECT_EQ(backend->bitrateChanges.size(), 1u);
}

TEST_F(VideoEncoderLogic, RateTheSessionCannotChangeWaitsForAKeyframeUnlessLower) {
    backend->refuseBitrate = true;
    encode();
    // Higher: kept until a keyframe is due anyway, then the new session carries it.
    encoder.setBitrate(20'000'000);
    encode();
    EXPECT_EQ(backend->opened.size(), 1u);
    encoder.requestKeyframe();
    encode();
    encode();
    ASSERT_EQ(backend->opened.size(), 2u);
    EXPECT_EQ(backend->opened[1].bitrate, 20'000'000);
    // Lower: the link is congested, so a new session at once.
    encoder.setBitrate(4'000'000);
    encode();
    ASSERT_EQ(backend->opened.size(), 3u);
    EXPECT_EQ(backend->opened[2].bitrate, 4'000'000);
    EXPECT_EQ(keys(), (std::vector<bool>{true, false, true, false, true}));
}

TEST_F(VideoEncoderLogic, FailedOpenDropsFrameAndRetries) {
    auto sink = std::make_shared<MemoryLogSink>();
    Log::addSink(sink);
    backend->failOpens = 1;
    encode();
    EXPECT_TRUE(packets.empty());
    EXPECT_FALSE(encoder.hasSession());
    EXPECT_TRUE(sink->contains("encoder open failed"));
    encode();
    EXPECT_EQ(keys(), (std::vector<bool>{true}));
    Log::removeSink(sink);
}

TEST_F(VideoEncoderLogic, FailedEncodeForcesNextKeyframe) {
    encode();
    backend->failEncodes = 1;
    encode();
    encode();
    encode();
    EXPECT_EQ(keys(), (std::vector<bool>{true, true, false}));
    EXPECT_EQ(backend->opened.size(), 1u);
}

TEST_F(VideoEncoderLogic, OddSizesAreDroppedWithOneLogLine) {
    auto sink = std::make_shared<MemoryLogSink>();
    Log::addSink(sink);
    auto odd = FrameBuffer::make(PixelFormat::i420, 63, 32);
    encode(*odd);
    encode(*odd);
    Log::removeSink(sink);
    EXPECT_TRUE(packets.empty());
    EXPECT_TRUE(backend->opened.empty());
    int lines = 0;
    for (const auto& r : sink->records()) lines += r.message.find("63x32") != std::string::npos;
    EXPECT_EQ(lines, 1);
    encode();
    EXPECT_EQ(keys(), (std::vector<bool>{true}));
}

TEST_F(VideoEncoderLogic, KeyframeAtLeastEveryTenSecondsOfTimestamps) {
    // Sparse frames, as from an idle screen: 4 s apart.
    // Then the clock goes back: the interval counts from there.
    for (int64_t s : {0, 4, 8, 10, 12, 16, 19, 20, 5, 14, 15}) encoder.encode(*frame, {s, 1});
    EXPECT_EQ(keys(), (std::vector<bool>{true, false, false, true, false, false, false, true, false,
                                         false, true}));
}

TEST_F(VideoEncoderLogic, TimestampsRescaledToMicros) {
    encoder.encode(*frame, {1, 3});
    encoder.encode(*frame, {-5, 3});
    encoder.encode(*frame, {3, 2'000'000});
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[0].timestampMicros, 333'333u);
    EXPECT_EQ(packets[1].timestampMicros, 0u);
    EXPECT_EQ(packets[2].timestampMicros, 2u);
}

// A frame encoded again with its capture time (a keyframe for a new viewer) must not hand the
// library a time that does not increase; the packets still carry the capture times.
TEST_F(VideoEncoderLogic, LibrarySeesIncreasingTimesPacketsKeepCaptureTimes) {
    const MediaTime times[] = {{5'000, 1'000'000},
                               {5'000, 1'000'000},
                               {5'000, 1'000'000},
                               {4'000, 1'000'000},
                               {9'000, 1'000'000}};
    for (const MediaTime& t : times) {
        encoder.requestKeyframe();
        encoder.encode(*frame, t);
    }
    ASSERT_EQ(packets.size(), 5u);
    ASSERT_EQ(backend->frames.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(packets[i].timestampMicros, times[i].toMicros()) << i;
        if (i > 0) EXPECT_GT(backend->frames[i].ptsMicros, backend->frames[i - 1].ptsMicros) << i;
    }
    EXPECT_EQ(backend->frames[4].ptsMicros, 9'000);  // back on the capture clock once it leads
}

TEST_F(VideoEncoderLogic, InvalidateFlushesAndForcesKeyframe) {
    encode();
    encode();
    encoder.invalidate();
    EXPECT_EQ(backend->flushes, 1);
    EXPECT_FALSE(encoder.hasSession());
    encode();
    EXPECT_EQ(keys(), (std::vector<bool>{true, false, true}));
}

TEST_F(VideoEncoderLogic, FormatChangeRebuildsSession) {
    encode();
    encode(*FrameBuffer::make(PixelFormat::i420, 64, 32));
    ASSERT_EQ(backend->opened.size(), 2u);
    EXPECT_EQ(backend->opened[1].inputFormat, PixelFormat::i420);
    EXPECT_EQ(keys(), (std::vector<bool>{true, true}));
}

TEST_F(VideoEncoderLogic, PacketHandlerMayAdjustTheEncoder) {
    // The pipeline adapts the rate from its packet handler; with a session that cannot change in
    // place that replaces the session under the running encode call.
    backend->refuseBitrate = true;
    int64_t rate = 12'000'000;
    encoder.onPacket = [&](VideoPacket p) {
        packets.push_back(std::move(p));
        rate -= 1'000'000;
        encoder.setBitrate(rate);
        if (packets.size() == 3) encoder.invalidate();
    };
    for (int i = 0; i < 5; ++i) encode();
    EXPECT_EQ(packets.size(), 5u);
    EXPECT_EQ(backend->opened.back().bitrate, 8'000'000);  // the last change awaits the next frame
    EXPECT_EQ(encoder.bitrate(), 7'000'000);
    EXPECT_FALSE(encoder.hasSession());
}

TEST(VideoEncoderConcurrency, RequestKeyframeFromOtherThreads) {
    auto backend = std::make_shared<FakeEncoderBackend>();
    VideoEncoder encoder(1'000'000, 60, backend);
    int keyframes = 0;
    encoder.onPacket = [&](VideoPacket p) { keyframes += p.isKeyframe; };
    auto frame = FrameBuffer::make(PixelFormat::nv12, 16, 16);
    std::atomic<bool> stop{false};
    std::thread requester([&] {
        while (!stop) encoder.requestKeyframe();
    });
    for (int i = 0; i < 2000; ++i) encoder.encode(*frame, {i, 60});
    stop = true;
    requester.join();
    EXPECT_GE(keyframes, 1);
}

}  // namespace
}  // namespace orvane

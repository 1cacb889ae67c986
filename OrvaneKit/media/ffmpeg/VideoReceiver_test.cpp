#include "OrvaneKit/media/ffmpeg/VideoReceiver.h"

#include <gtest/gtest.h>

#include "OrvaneKit/media/VideoEncoder.h"
#include "OrvaneKit/media/testing/EncodedStreams.h"

namespace orvane {
namespace {

struct Counts {
    int keyframeRequests = 0;
    std::vector<VideoSize> sizes;
    std::vector<DecodedPicture> pictures;
    int samples = 0;
};

void watch(VideoReceiver& r, Counts& c) {
    r.onNeedKeyframe = [&] { ++c.keyframeRequests; };
    r.onSizeChange = [&](double w, double h) {
        c.sizes.push_back({static_cast<int>(w), static_cast<int>(h)});
    };
    r.onPicture = [&](const DecodedPicture& p) { c.pictures.push_back(p); };
    r.onSample = [&](const CompressedSample&) { ++c.samples; };
}

class VideoReceiverDecodes : public ::testing::TestWithParam<VideoCodec> {};

TEST_P(VideoReceiverDecodes, OwnEncoderPicturesWithTheirColour) {
    auto packets = encodeGreyStream(GetParam(), 320, 180, 6, 30, {}, 180);
    ASSERT_EQ(packets.size(), 6u);
    VideoReceiver r;
    Counts c;
    watch(r, c);
    for (const auto& p : packets) r.receive(*p.serialize());
    EXPECT_EQ(c.keyframeRequests, 0);
    EXPECT_EQ(c.sizes, (std::vector<VideoSize>{{320, 180}}));
    EXPECT_EQ(c.samples, 6);
    ASSERT_EQ(c.pictures.size(), 6u);  // no reorder delay
    const auto& last = c.pictures.back();
    ASSERT_EQ(last.width, 320);
    ASSERT_EQ(last.height, 180);
    // Y 180 in video range is about 191 in full range, grey.
    const uint8_t* centre = &last.pixels[size_t(90 * last.stride + 160 * 4)];
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(centre[i], 191, 6) << i;
    EXPECT_EQ(r.takeFrameCount(), 6);
    EXPECT_EQ(r.takeFrameCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Codecs, VideoReceiverDecodes,
                         ::testing::Values(VideoCodec::h264, VideoCodec::hevc),
                         [](const auto& info) { return std::string(videoCodecName(info.param)); });

TEST(VideoReceiver, KeyframeRequestsAndSizeChanges) {
    auto small = encodeGreyStream(VideoCodec::h264, 320, 180, 4, 30, {2});
    auto large = encodeGreyStream(VideoCodec::h264, 640, 360, 2, 30, {});
    VideoReceiver r;
    Counts c;
    watch(r, c);

    // Deltas before any keyframe, and junk: requests for the deltas only.
    r.receive(*small[1].serialize());
    r.receive(*small[3].serialize());
    r.receive(Bytes{1, 2, 3});
    EXPECT_EQ(c.keyframeRequests, 2);
    EXPECT_TRUE(c.pictures.empty());

    // Two keyframes of one size: one size report; a new size reports again.
    r.receive(*small[0].serialize());
    r.receive(*small[2].serialize());
    r.receive(*small[3].serialize());
    r.receive(*large[0].serialize());
    EXPECT_EQ(c.sizes, (std::vector<VideoSize>{{320, 180}, {640, 360}}));
    EXPECT_EQ(c.pictures.size(), 4u);
    EXPECT_EQ(c.keyframeRequests, 2);

    // A keyframe with an empty payload, a length past the payload, a time out of range.
    auto empty = large[0];
    empty.avcc.clear();
    r.receive(*empty.serialize());
    auto cut = large[1];
    cut.avcc.resize(cut.avcc.size() - 1);
    r.receive(*cut.serialize());
    EXPECT_EQ(c.keyframeRequests, 4);
    auto late = large[1];
    late.timestampMicros = uint64_t{1} << 63;
    r.receive(*late.serialize());
    EXPECT_EQ(c.keyframeRequests, 4);  // malformed: dropped without a request
    EXPECT_EQ(c.pictures.size(), 4u);

    // Flushing silences the keyframe and sample callbacks and clears the count.
    r.flush();
    EXPECT_EQ(r.takeFrameCount(), 0);
    r.receive(*small[1].serialize());
    EXPECT_EQ(c.keyframeRequests, 4);
    r.receive(*large[0].serialize());
    EXPECT_EQ(c.pictures.size(), 5u);
    EXPECT_EQ(c.samples, 4);
}

}  // namespace
}  // namespace orvane

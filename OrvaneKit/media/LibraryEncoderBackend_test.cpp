#include "OrvaneKit/media/LibraryEncoderBackend.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "OrvaneKit/media/VideoEncoder.h"
#include "OrvaneKit/media/testing/SyntheticFrames.h"

namespace orvane {
namespace {

struct Variant {
  const char* name;
  VideoCodec codec;
  bool hdr;
  PixelFormat format;
};

const Variant kVariants[] = {
    {"h264_nv12", VideoCodec::h264, false, PixelFormat::nv12},
    {"h264_i420", VideoCodec::h264, false, PixelFormat::i420},
    {"h264_from10bit", VideoCodec::h264, false, PixelFormat::yuv420p10},
    {"hevc_nv12", VideoCodec::hevc, false, PixelFormat::nv12},
    {"hevc_i420", VideoCodec::hevc, false, PixelFormat::i420},
    {"hevc_hdr_10bit", VideoCodec::hevc, true, PixelFormat::yuv420p10},
    {"hevc_hdr_from8bit", VideoCodec::hevc, true, PixelFormat::nv12},
};

std::string variantName(const ::testing::TestParamInfo<Variant>& info) { return info.param.name; }

// Encodes `count` gradient frames at `fps`, forcing keyframes at the given indices.
std::vector<VideoPacket> encodeGradient(const Variant& v, int width, int height, int count, int fps,
                                        const std::vector<int>& forced, int64_t bitrate = 2'000'000) {
  VideoEncoder encoder(bitrate, fps);
  encoder.configure(bitrate, fps, v.codec, v.hdr);
  std::vector<VideoPacket> packets;
  encoder.onPacket = [&](VideoPacket p) { packets.push_back(std::move(p)); };
  FrameBufferPool pool(v.format, width, height, 3);
  for (int i = 0; i < count; ++i) {
    if (std::find(forced.begin(), forced.end(), i) != forced.end()) encoder.requestKeyframe();
    auto frame = pool.acquire();
    drawGradientFrame(*frame, i);
    encoder.encode(*frame, {i, fps});
  }
  encoder.invalidate();
  return packets;
}

class VideoLibraryEncoder : public ::testing::TestWithParam<Variant> {};

TEST_P(VideoLibraryEncoder, OnePacketPerFrameKeyframesOnlyWhenAsked) {
  const auto& v = GetParam();
  auto packets = encodeGradient(v, 320, 180, 12, 30, {7});
  ASSERT_EQ(packets.size(), 12u);  // no reordering, no delay
  const std::vector<int> expectedSets =
      v.codec == VideoCodec::hevc ? std::vector<int>{32, 33, 34} : std::vector<int>{7, 8};
  for (size_t i = 0; i < packets.size(); ++i) {
    SCOPED_TRACE(i);
    const auto& p = packets[i];
    EXPECT_EQ(p.codec, v.codec);
    EXPECT_EQ(p.isKeyframe, i == 0 || i == 7);
    EXPECT_EQ(p.timestampMicros, (i * 1'000'000 + 15) / 30);
    auto types = nalTypes(p.avcc, v.codec);
    ASSERT_FALSE(types.empty()) << "payload is not length-prefixed NAL units";
    if (p.isKeyframe) {
      std::vector<int> setTypes;
      for (const auto& s : p.parameterSets) {
        Bytes prefixed;
        appendBE32(prefixed, static_cast<uint32_t>(s.size()));
        prefixed.insert(prefixed.end(), s.begin(), s.end());
        setTypes.push_back(nalTypes(prefixed, v.codec).at(0));
      }
      EXPECT_EQ(setTypes, expectedSets);
      const bool idr = std::any_of(types.begin(), types.end(), [&](int t) {
        return v.codec == VideoCodec::hevc ? (t == 19 || t == 20) : t == 5;
      });
      EXPECT_TRUE(idr);
    } else {
      EXPECT_TRUE(p.parameterSets.empty());
    }
    // Parameter sets travel only in the packet header, never inside the payload.
    for (int t : types) EXPECT_EQ(std::count(expectedSets.begin(), expectedSets.end(), t), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, VideoLibraryEncoder, ::testing::ValuesIn(kVariants), variantName);

}  // namespace
}  // namespace orvane

namespace orvane {
namespace {

// Encodes noise at 30 fps: 2 s at 12 Mbit/s, then setBitrate(3 Mbit/s) and 2 s more.
struct BitrateRun {
  size_t before = 0;
  size_t after = 0;
  int keyframesAfterChange = 0;
  int packets = 0;
};

BitrateRun runBitrateChange(VideoCodec codec, int width, int height) {
  constexpr int fps = 30;
  VideoEncoder encoder(12'000'000, fps);
  encoder.configure(12'000'000, fps, codec, false);
  BitrateRun run;
  int index = 0;
  encoder.onPacket = [&](VideoPacket p) {
    ++run.packets;
    // Skip the first second: the opening keyframe and VBV settling.
    if (index >= fps && index < 3 * fps) run.before += p.avcc.size();
    if (index >= 3 * fps) {
      run.after += p.avcc.size();
      run.keyframesAfterChange += p.isKeyframe;
    }
  };
  FrameBufferPool pool(PixelFormat::i420, width, height, 2);
  for (index = 0; index < 5 * fps; ++index) {
    if (index == 3 * fps) encoder.setBitrate(3'000'000);
    auto frame = pool.acquire();
    drawNoiseFrame(*frame, static_cast<uint64_t>(index));
    encoder.encode(*frame, {index, fps});
  }
  return run;
}

TEST(ScratchBitrate, Measure) {
  for (auto codec : {VideoCodec::hevc}) {
    for (auto [w, h] : {std::pair{640, 360}}) {
      auto t0 = std::chrono::steady_clock::now();
      auto r = runBitrateChange(codec, w, h);
      auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
      printf("%s %dx%d before %zu (%.2f Mbit/s) after %zu (%.2f Mbit/s) shrink %.3f keys %d  %lld ms\n",
             std::string(videoCodecName(codec)).c_str(), w, h, r.before, r.before * 8 / 2e6, r.after, r.after * 8 / 2e6,
             1.0 - double(r.after) / r.before, r.keyframesAfterChange, (long long)ms);
    }
  }
}

}  // namespace
}  // namespace orvane

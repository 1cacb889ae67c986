// A known picture painted on an X server goes through capture and the real encoders and comes
// back out of FFmpeg's decoders at the right place, size and level.

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <chrono>
#include <condition_variable>
#include <cstring>

#include "OrvaneKit/media/VideoEncoder.h"
#include "OrvaneKit/media/x26x/LibraryEncoderBackend.h"
#include "Orvane_Host/capture/ScreenCapturer.h"
#include "Orvane_Host/capture/testing/X11TestPainter.h"
#include "Orvane_Host/capture/testing/XvfbServer.h"
#include "Orvane_Host/capture/x11/X11ScreenSource.h"

namespace orvane {
namespace {

double lumaOf(uint32_t rgb) {
    const double r = ((rgb >> 16) & 0xff) / 255.0, g = ((rgb >> 8) & 0xff) / 255.0,
                 b = (rgb & 0xff) / 255.0;
    return 16 + 219 * (0.2126 * r + 0.7152 * g + 0.0722 * b);
}

// The packet as an Annex B byte stream, which FFmpeg's decoders take without extradata.
Bytes annexB(const VideoPacket& packet) {
    static const uint8_t start[4] = {0, 0, 0, 1};
    Bytes out;
    for (const Bytes& ps : packet.parameterSets) {
        out.insert(out.end(), start, start + 4);
        out.insert(out.end(), ps.begin(), ps.end());
    }
    for (size_t i = 0; i + 4 <= packet.avcc.size();) {
        const size_t n = readBE32(packet.avcc.data() + i);
        out.insert(out.end(), start, start + 4);
        out.insert(out.end(), packet.avcc.begin() + static_cast<ptrdiff_t>(i + 4),
                   packet.avcc.begin() + static_cast<ptrdiff_t>(i + 4 + n));
        i += 4 + n;
    }
    return out;
}

struct Decoded {
    int width = 0, height = 0;
    std::vector<uint8_t> luma;  // tightly packed
    int at(int x, int y) const { return luma[static_cast<size_t>(y) * width + x]; }
};

std::optional<Decoded> decode(VideoCodec codec, const VideoPacket& packet) {
    const AVCodec* dec =
        avcodec_find_decoder(codec == VideoCodec::h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC);
    if (!dec) return std::nullopt;
    AVCodecContext* ctx = avcodec_alloc_context3(dec);
    std::optional<Decoded> result;
    if (avcodec_open2(ctx, dec, nullptr) == 0) {
        Bytes stream = annexB(packet);
        AVPacket* pkt = av_packet_alloc();
        pkt->data = stream.data();
        pkt->size = static_cast<int>(stream.size());
        avcodec_send_packet(ctx, pkt);
        avcodec_send_packet(ctx, nullptr);
        AVFrame* frame = av_frame_alloc();
        if (avcodec_receive_frame(ctx, frame) == 0) {
            Decoded d;
            d.width = frame->width;
            d.height = frame->height;
            d.luma.resize(static_cast<size_t>(d.width) * d.height);
            for (int y = 0; y < d.height; ++y)
                std::memcpy(&d.luma[static_cast<size_t>(y) * d.width],
                            frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0],
                            static_cast<size_t>(d.width));
            result = std::move(d);
        }
        av_frame_free(&frame);
        av_packet_free(&pkt);
    }
    avcodec_free_context(&ctx);
    return result;
}

TEST(X11CaptureEncode, KnownPatternSurvivesEncodeAndDecode) {
    XvfbServer server;
    if (!server.start(1920, 1080)) GTEST_SKIP() << "no X server: " << server.error();
    X11TestPainter painter(server.display(), 0, 0, 1920, 1080);
    // Quadrants of distinct levels, plus a bright marker near the top-left corner that shows
    // the picture is not mirrored or flipped.
    const uint32_t colours[4] = {0xff0000, 0x00ff00, 0x0000ff, 0x808080};
    painter.fill(0, 0, 960, 540, colours[0]);
    painter.fill(960, 0, 960, 540, colours[1]);
    painter.fill(0, 540, 960, 540, colours[2]);
    painter.fill(960, 540, 960, 540, colours[3]);
    painter.fill(96, 54, 192, 108, 0xffffff);
    painter.movePointer(1915, 1075);
    painter.flush();

    auto source = std::make_shared<X11ScreenSource>(server.display());
    const CaptureDisplay display = source->displays().front();
    NetContext net{2};

    struct Case {
        VideoCodec codec;
        PixelFormat format;
        int maxWidth;
    };
    for (const Case c : {Case{VideoCodec::h264, PixelFormat::nv12, 3840},
                         Case{VideoCodec::h264, PixelFormat::nv12, 1600},
                         Case{VideoCodec::hevc, PixelFormat::i420, 2304}}) {
        SCOPED_TRACE(::testing::Message() << videoCodecName(c.codec) << " max " << c.maxWidth);
        ScreenCapturer capturer(source, net);
        std::mutex mutex;
        std::condition_variable cv;
        std::shared_ptr<FrameBuffer> frame;
        capturer.setOnFrame([&](const std::shared_ptr<FrameBuffer>& f, MediaTime) {
            std::lock_guard lock(mutex);
            if (!frame) frame = f;
            cv.notify_all();
        });
        capturer.setPixelFormat(c.format);
        capturer.start(display, c.maxWidth, 30, false, false);
        {
            std::unique_lock lock(mutex);
            ASSERT_TRUE(
                cv.wait_for(lock, std::chrono::seconds(5), [&] { return frame != nullptr; }));
        }
        capturer.stop();

        VideoEncoder encoder(
            12'000'000, 30, std::make_shared<LibraryEncoderBackend>(EncoderTuning{"ultrafast", 2}));
        std::vector<VideoPacket> packets;
        encoder.onPacket = [&](VideoPacket p) { packets.push_back(std::move(p)); };
        encoder.configure(12'000'000, 30, c.codec);
        encoder.encode(*frame, MediaTime{0, 1'000'000});
        encoder.invalidate();
        ASSERT_FALSE(packets.empty());
        ASSERT_TRUE(packets[0].isKeyframe);

        const std::optional<Decoded> d = decode(c.codec, packets[0]);
        ASSERT_TRUE(d) << "FFmpeg could not decode the keyframe";
        const ScreenCapturer::Size size = ScreenCapturer::captureSize(1920, 1080, 1, c.maxWidth);
        ASSERT_EQ(d->width, size.width);
        ASSERT_EQ(d->height, size.height);
        const int w = d->width, h = d->height;
        const int points[4][2] = {{w / 4 + w / 8, h / 4 + h / 8},
                                  {3 * w / 4, h / 4},
                                  {w / 4, 3 * h / 4},
                                  {3 * w / 4, 3 * h / 4}};
        for (int i = 0; i < 4; ++i)
            EXPECT_NEAR(d->at(points[i][0], points[i][1]), lumaOf(colours[i]), 8.0)
                << "quadrant " << i;
        EXPECT_NEAR(d->at(w / 10, h / 10), 235, 8.0) << "marker not at the top left";
        EXPECT_NEAR(d->at(w - w / 10, h / 10), lumaOf(colours[1]), 8.0);
    }
}

}  // namespace
}  // namespace orvane

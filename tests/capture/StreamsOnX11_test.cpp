// Display streams on a real X server with the real encoder: two monitors, two viewers, one of
// them slow. Each viewer's stream decodes; the slow one's bitrate falls while the other keeps
// its own; a still screen sends nothing more; a monitor unplugged ends its stream.

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/media/VideoPacket.h"
#include "OrvaneKit/media/testing/SyntheticFrames.h"
#include "OrvaneKit/media/x26x/LibraryEncoderBackend.h"
#include "Orvane_Host/capture/DisplayStreams.h"
#include "Orvane_Host/capture/FrameWrappers.h"
#include "Orvane_Host/capture/testing/FakeVideoTarget.h"
#include "Orvane_Host/capture/testing/X11TestPainter.h"
#include "Orvane_Host/capture/testing/XvfbServer.h"
#include "Orvane_Host/capture/x11/X11CursorSource.h"
#include "Orvane_Host/capture/x11/X11ScreenSource.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
using testing::FakeVideoTarget;

double lumaOf(uint32_t rgb) {
    const double r = ((rgb >> 16) & 0xff) / 255.0, g = ((rgb >> 8) & 0xff) / 255.0,
                 b = (rgb & 0xff) / 255.0;
    return 16 + 219 * (0.2126 * r + 0.7152 * g + 0.0722 * b);
}

// Decodes one viewer's stream in order; counts what FFmpeg refused.
class StreamDecoder {
public:
    StreamDecoder() {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        ctx_ = avcodec_alloc_context3(codec);
        avcodec_open2(ctx_, codec, nullptr);
        frame_ = av_frame_alloc();
        packet_ = av_packet_alloc();
    }
    ~StreamDecoder() {
        av_packet_free(&packet_);
        av_frame_free(&frame_);
        avcodec_free_context(&ctx_);
    }
    void feed(const Bytes& serialized) {
        auto packet = VideoPacket::parse(serialized);
        Bytes annexB;
        if (!packet || !appendAnnexB(*packet, annexB)) {
            ++errors;
            return;
        }
        packet_->data = annexB.data();
        packet_->size = static_cast<int>(annexB.size());
        if (avcodec_send_packet(ctx_, packet_) < 0) ++errors;
        while (avcodec_receive_frame(ctx_, frame_) == 0) {
            ++frames;
            width = frame_->width;
            luma.assign(static_cast<size_t>(frame_->width) * frame_->height, 0);
            for (int y = 0; y < frame_->height; ++y)
                std::memcpy(luma.data() + static_cast<size_t>(y) * frame_->width,
                            frame_->data[0] + static_cast<ptrdiff_t>(y) * frame_->linesize[0],
                            static_cast<size_t>(frame_->width));
            av_frame_unref(frame_);
        }
    }
    int at(int x, int y) const { return luma[static_cast<size_t>(y) * width + x]; }

    int errors = 0;
    int frames = 0;
    int width = 0;
    std::vector<uint8_t> luma;

private:
    AVCodecContext* ctx_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
};

TEST(X11Streams, TwoViewersDecodeSlowOneAdaptsStillScreenSendsNothingUnplugEnds) {
    XvfbServer server;
    if (!server.start(1280, 720)) GTEST_SKIP() << "no X server: " << server.error();
    X11TestPainter painter(server.display(), 0, 0, 1280, 720);
    painter.movePointer(1279, 719);
    painter.addMonitor("LEFT", 0, 0, 640, 720, true);
    painter.addMonitor("RIGHT", 640, 0, 640, 720, false);
    painter.flush();

    auto x11 = std::make_shared<X11ScreenSource>(server.display());
    std::uint32_t left = 0, right = 0;
    for (const CaptureDisplay& d : x11->displays()) {
        if (d.name == "LEFT") left = d.id;
        if (d.name == "RIGHT") right = d.id;
    }
    ASSERT_TRUE(left && right);

    asio::io_context mainActor;
    asio::thread_pool work(1);
    NetContext net(2);
    auto logs = std::make_shared<MemoryLogSink>();
    Log::addSink(logs);
    DisplayStreams::Parts parts;
    parts.pipeline.screens =
        std::make_shared<CursorOverlaySource>(std::make_shared<UnchangedFrameFilter>(x11),
                                              std::make_shared<X11CursorSource>(server.display()));
    parts.pipeline.encoders =
        std::make_shared<LibraryEncoderBackend>(EncoderTuning{"ultrafast", 2});
    parts.pipeline.net = &net;
    parts.mainActor = mainActor.get_executor();
    parts.work = work.get_executor();
    auto streams = std::make_unique<DisplayStreams>(parts, 12'000'000);
    std::vector<std::optional<std::string>> stops;
    streams->setOnStop([&](std::optional<std::string> e) { stops.push_back(e); });

    auto runMain = [&](const std::function<bool()>& done, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < end) {
            mainActor.restart();
            if (mainActor.run_for(10ms) == 0) std::this_thread::sleep_for(5ms);
        }
        return done();
    };
    auto call = [&](asio::awaitable<void> op) {
        bool finished = false;
        std::exception_ptr error;
        asio::co_spawn(mainActor, std::move(op), [&](std::exception_ptr e) {
            error = e;
            finished = true;
        });
        EXPECT_TRUE(runMain([&] { return finished; }, 20s));
        if (error) std::rethrow_exception(error);
    };

    auto fast = std::make_shared<FakeVideoTarget>(left);
    auto slow = std::make_shared<FakeVideoTarget>(right);
    call(streams->start({left, right}, {fast, slow}, 3840, false, false));

    // The fast viewer's connection sends at once; the slow one lets a frame out every 150 ms.
    StreamDecoder fastDecoder, slowDecoder;
    size_t fastFed = 0, slowFed = 0;
    auto drainViewers = [&] {
        auto f = fast->sentVideo();
        for (; fastFed < f.size(); ++fastFed) fastDecoder.feed(f[fastFed]);
        auto s = slow->sentVideo();
        for (; slowFed < s.size(); ++slowFed) slowDecoder.feed(s[slowFed]);
    };
    std::atomic<bool> animating{true};
    std::thread completer([&] {
        int tick = 0;
        while (animating) {
            fast->complete(fast->inFlight());
            if (++tick % 30 == 0) slow->complete(1);
            std::this_thread::sleep_for(5ms);
        }
    });
    const auto begin = std::chrono::steady_clock::now();
    for (int step = 0; std::chrono::steady_clock::now() - begin < 5s; ++step) {
        painter.animate(step);
        painter.flush();
        std::this_thread::sleep_for(33ms);
    }
    // A known still picture on the left monitor to end with.
    const uint32_t colours[4] = {0xff0000, 0x00ff00, 0x0000ff, 0xffffff};
    painter.fill(0, 0, 320, 360, colours[0]);
    painter.fill(320, 0, 320, 360, colours[1]);
    painter.fill(0, 360, 320, 360, colours[2]);
    painter.fill(320, 360, 320, 360, colours[3]);
    painter.flush();
    std::this_thread::sleep_for(1s);
    animating = false;
    completer.join();
    fast->complete(fast->inFlight());
    drainViewers();

    EXPECT_EQ(fastDecoder.errors, 0);
    EXPECT_EQ(slowDecoder.errors, 0);
    EXPECT_GT(fastDecoder.frames, 60);
    EXPECT_GT(slowDecoder.frames, 5);
    ASSERT_EQ(fastDecoder.width, 640);
    const int points[4][2] = {{160, 180}, {480, 180}, {160, 540}, {480, 540}};
    for (int i = 0; i < 4; ++i)
        EXPECT_NEAR(fastDecoder.at(points[i][0], points[i][1]), lumaOf(colours[i]), 6)
            << "quadrant " << i;

    // Head-of-line blocking stays on its own display.
    EXPECT_LT(streams->pipeline(right)->currentBitrate(), 12'000'000);
    EXPECT_EQ(streams->pipeline(left)->currentBitrate(), 12'000'000);
    EXPECT_TRUE(logs->contains("adaptive bitrate → 8400 kbit/s"));

    // Still: nothing more is sent.
    const size_t sent = fast->offers().size();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(fast->offers().size(), sent) << "a still screen kept sending";

    // Unplugging the right monitor ends its stream and tells the owner.
    painter.removeMonitor("RIGHT");
    EXPECT_TRUE(runMain([&] { return !stops.empty(); }, 5s));
    EXPECT_FALSE(streams->hasPipeline(right));
    EXPECT_TRUE(streams->hasPipeline(left));

    call(streams->stop());
    Log::removeSink(logs);
    streams.reset();
    work.join();
}

}  // namespace
}  // namespace orvane

#include "Orvane_Host/system/turbojpeg/TurboJpegEncoder.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <asio/io_context.hpp>

#include "OrvaneKit/base/testing/FakeClock.h"
#include "OrvaneKit/media/FrameBuffer.h"
#include "Orvane_Host/capture/FrameConverter.h"
#include "Orvane_Host/input/testing/FakeInjector.h"
#include "Orvane_Host/session/MacActions.h"
#include "Orvane_Host/system/testing/FakeActionBackends.h"
#include "Orvane_Host/system/testing/FakePowerActions.h"
#include "Orvane_Host/system/testing/FakeProcessRunner.h"

namespace orvane {
namespace {

constexpr std::uint32_t bars[] = {0xffffff, 0xffff00, 0x00ffff, 0x00ff00,
                                  0xff00ff, 0xff0000, 0x0000ff, 0x000000};

struct Decoded {
    int width = 0, height = 0, subsampling = -1;
    std::vector<std::uint8_t> rgb;
    std::uint32_t at(int x, int y) const {
        const auto* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
        return std::uint32_t(p[0]) << 16 | std::uint32_t(p[1]) << 8 | p[2];
    }
};

std::optional<Decoded> decode(const Bytes& jpeg) {
    tjhandle h = tjInitDecompress();
    Decoded d;
    int colorspace = 0;
    auto size = static_cast<unsigned long>(jpeg.size());
    if (tjDecompressHeader3(h, jpeg.data(), size, &d.width, &d.height, &d.subsampling,
                            &colorspace) != 0) {
        tjDestroy(h);
        return std::nullopt;
    }
    d.rgb.resize(static_cast<std::size_t>(d.width) * d.height * 3);
    int rc = tjDecompress2(h, jpeg.data(), size, d.rgb.data(), d.width, 0, d.height, TJPF_RGB,
                           TJFLAG_ACCURATEDCT);
    tjDestroy(h);
    if (rc != 0) return std::nullopt;
    return d;
}

void expectNear(std::uint32_t got, std::uint32_t want, int tolerance, const std::string& where) {
    for (int shift : {16, 8, 0})
        EXPECT_NEAR(int(got >> shift & 0xff), int(want >> shift & 0xff), tolerance)
            << where << std::hex << " got " << got << " want " << want;
}

// Eight vertical bars, each `w / 8` wide.
std::vector<std::uint8_t> barsBGRX(int w, int h) {
    std::vector<std::uint8_t> px(static_cast<std::size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint32_t c = bars[x * 8 / w];
            auto* p = &px[(static_cast<std::size_t>(y) * w + x) * 4];
            p[0] = c & 0xff, p[1] = c >> 8 & 0xff, p[2] = c >> 16 & 0xff, p[3] = 0;
        }
    return px;
}

TEST(TurboJpegEncoder, KeepsSizeAndColours) {
    const int w = 256, h = 64;
    auto px = barsBGRX(w, h);
    auto jpeg = TurboJpegEncoder().encodeBGRX(px.data(), w, h, w * 4, 85);
    ASSERT_GE(jpeg.size(), 2u);
    EXPECT_EQ(jpeg[0], 0xff);
    EXPECT_EQ(jpeg[1], 0xd8);
    auto d = decode(jpeg);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->width, w);
    EXPECT_EQ(d->height, h);
    EXPECT_EQ(d->subsampling, TJSAMP_420);
    for (int i = 0; i < 8; ++i)
        expectNear(d->at(i * w / 8 + w / 16, h / 2), bars[i], 6, "bar " + std::to_string(i));

    EXPECT_TRUE(TurboJpegEncoder().encodeBGRX(nullptr, w, h, w * 4, 85).empty());
    EXPECT_TRUE(TurboJpegEncoder().encodeBGRX(px.data(), 0, h, w * 4, 85).empty());
}

// The snapshot of a captured frame (video-range 4:2:0) decodes to what was on the screen.
TEST(TurboJpegEncoder, SnapshotOfACapturedFrame) {
    asio::io_context work;
    IoContextMainActor mainActor{work};
    FakeClock clock;
    CallLog calls;
    FakeInjector injector{calls};
    FakePowerActions power{calls};
    FakeProcessRunner processes;
    FakeTextRecognizer recognizer;
    FakeFrontmostApp frontmost;
    TurboJpegEncoder jpeg;
    MacActions actions({mainActor, clock, injector, power, power, processes, recognizer, jpeg,
                        frontmost, work.get_executor()},
                       {});
    const int w = 320, h = 90;  // odd chroma rows: 45
    auto px = barsBGRX(w, h);
    for (auto format : {PixelFormat::nv12, PixelFormat::i420}) {
        auto frame = FrameBuffer::make(format, w, h);
        FrameConverter::convertUnscaled(px.data(), w * 4, *frame);
        auto d = decode(actions.jpegSnapshot(frame));
        ASSERT_TRUE(d);
        EXPECT_EQ(d->width, w);
        EXPECT_EQ(d->height, h);
        for (int i = 0; i < 8; ++i)
            for (int y : {2, h / 2, h - 3})
                expectNear(d->at(i * w / 8 + w / 16, y), bars[i], 8,
                           "bar " + std::to_string(i) + " row " + std::to_string(y));
    }
    EXPECT_TRUE(actions.jpegSnapshot(nullptr).empty());
}

}  // namespace
}  // namespace orvane

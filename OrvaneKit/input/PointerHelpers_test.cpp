#include "OrvaneKit/input/PointerHelpers.h"

#include <gtest/gtest.h>

#include <cmath>

namespace orvane {
namespace {

TEST(PointerHelpers, DragModeAndDelta) {
    using D = RemotePointer::Drag;
    const std::tuple<bool, bool, bool, D> cases[] = {
        {true, true, true, D::dragSelect}, {false, true, false, D::dragSelect},
        {true, false, true, D::clickDrag}, {false, false, true, D::clickDrag},
        {true, false, false, D::panZoom},  {false, false, false, D::movePointer},
    };
    for (const auto& [a, b, c, want] : cases)
        EXPECT_EQ(RemotePointer::dragMode(a, b, c), want) << a << b << c;
    EXPECT_EQ(RemotePointer::delta(5, 1, 2, 4), (std::pair<double, double>{3, -3}));
}

TEST(PointerHelpers, DoubleClickSnap) {
    struct Tap {
        double t, vx, vy, mx, my;
        double wantX, wantY;
    };
    struct Case {
        const char* name;
        std::vector<Tap> taps;
    } cases[] = {
        {"near and quick snaps", {{1, 0, 0, .2, .2, .2, .2}, {1.2, 3, 3.9, .3, .3, .2, .2}}},
        {"exactly max distance keeps", {{1, 0, 0, .2, .2, .2, .2}, {1.2, 3, 4, .3, .3, .3, .3}}},
        {"exactly max interval keeps", {{1, 0, 0, .2, .2, .2, .2}, {1.5, 0, 0, .3, .3, .3, .3}}},
        {"earlier time keeps", {{1, 0, 0, .2, .2, .2, .2}, {0.9, 0, 0, .3, .3, .3, .3}}},
        {"same time snaps", {{1, 0, 0, .2, .2, .2, .2}, {1, 0, 0, .3, .3, .2, .2}}},
        {"a chain stays on the first spot",
         {{1, 0, 0, .2, .2, .2, .2}, {1.4, 4, 0, .3, .3, .2, .2}, {1.8, 8, 0, .4, .4, .2, .2}}},
    };
    for (const auto& c : cases) {
        DoubleClickSnap snap(0.5, 5);
        for (const Tap& t : c.taps)
            EXPECT_EQ(snap.snap(t.t, t.vx, t.vy, t.mx, t.my),
                      (std::pair<double, double>{t.wantX, t.wantY}))
                << c.name << " at " << t.t;
    }
}

TEST(PointerHelpers, PointerModeText) {
    EXPECT_EQ(pointerModeFromRaw("touch"), PointerMode::touch);
    EXPECT_EQ(pointerModeFromRaw("trackpad"), PointerMode::trackpad);
    for (const char* bad : {"Touch", "TRACKPAD", "", "mouse"})
        EXPECT_EQ(pointerModeFromRaw(bad), std::nullopt) << bad;
    EXPECT_EQ(rawValue(PointerMode::trackpad), "trackpad");
    EXPECT_EQ(allPointerModes[0], PointerMode::touch);
}

TEST(PointerHelpers, TrackpadPointer) {
    const std::pair<double, double> gains[] = {{0, 0.6},   {270, 0.6},  {450, 1},
                                               {900, 2.0}, {1170, 2.6}, {5000, 2.6}};
    for (const auto& [speed, gain] : gains)
        EXPECT_DOUBLE_EQ(TrackpadPointer::gain(speed), gain) << speed;

    EXPECT_EQ(TrackpadPointer(-0.5, 1.5), (TrackpadPointer{0, 1}));
    EXPECT_EQ(TrackpadPointer(0, std::nan("")), (TrackpadPointer{0, 0}));

    TrackpadPointer p(0.5, 0.5);
    p.move(100, 100, 450, 0, 800);
    EXPECT_EQ(p, (TrackpadPointer{0.5, 0.5}));
    p.move(100, -40, 900, 1000, 800);  // gain 2
    EXPECT_DOUBLE_EQ(p.x, 0.7);
    EXPECT_DOUBLE_EQ(p.y, 0.4);
    p.move(10000, -10000, 450, 1000, 800);
    EXPECT_EQ(p, (TrackpadPointer{1, 0}));
    p.moveTo(0.25, 7);
    EXPECT_EQ(p, (TrackpadPointer{0.25, 1}));
}

TEST(PointerHelpers, HotCornerGuard) {
    const std::tuple<double, double, double> cases[] = {
        {0.01, 0.01, 0.02}, {0.99, 0.99, 0.98}, {0.01, 0.99, 0.02}, {0.99, 0.01, 0.98},
        {0.01, 0.5, 0.01},  {0.5, 0.01, 0.5},   {0.02, 0.01, 0.02},  // on the margin: outside
    };
    for (const auto& [x, y, want] : cases)
        EXPECT_DOUBLE_EQ(HotCornerGuard::clamp(x, y, 1000, 800, 20), want) << x << "," << y;
    EXPECT_EQ(HotCornerGuard::clamp(0.01, 0.01, 0, 800, 20), 0.01);
}

}  // namespace
}  // namespace orvane

#include "Orvane_Host/capture/CaptureScreenInfo.h"

#include <gtest/gtest.h>

#include "OrvaneKit/base/testing/TestRuntime.h"
#include "Orvane_Host/capture/testing/FakeScreenSource.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

class ScriptedChanges final : public DisplayChangeSource {
public:
    std::function<void()> onChange;
    int starts = 0, stops = 0;
    void start(std::function<void()> f) override {
        ++starts;
        onChange = std::move(f);
    }
    void stop() override {
        ++stops;
        onChange = nullptr;
    }
};

class CaptureScreenInfoTest : public ::testing::Test {
protected:
    TestRuntime rt;
    std::shared_ptr<FakeScreenSource> screens = std::make_shared<FakeScreenSource>();
    std::shared_ptr<ScriptedChanges> changes = std::make_shared<ScriptedChanges>();
    CaptureScreenInfo info{screens, changes, rt.timers, rt.io.get_executor()};
};

TEST_F(CaptureScreenInfoTest, ListsTheCaptureDisplaysWithTheirIds) {
    screens->setDisplays(
        {{71, "DP-1", 0, 0, 1920.6, 1080, 1, false}, {72, "", 1920, 0, 2560, 1440, 1, true}});
    const auto displays = info.shareableDisplays();
    ASSERT_TRUE(displays);
    EXPECT_EQ(*displays,
              (std::vector<DisplayInfo>{{71, "DP-1", 1920, 1080}, {72, "Display 72", 2560, 1440}}));
    EXPECT_EQ(info.mainDisplayID(), 72u);  // the primary, not the first
    EXPECT_TRUE(info.canCapture());
    EXPECT_FALSE(info.anyScreenSupportsEDR());
}

// A source that cannot reach its display server.
class UnreachableScreens final : public ScreenSource {
public:
    std::vector<CaptureDisplay> displays() override {
        throw PlatformError("X11", 1, "Cannot open the X display.");
    }
    std::unique_ptr<ScreenStream> startStream(const CaptureDisplay&, const StreamConfig&,
                                              StreamSink) override {
        throw PlatformError("X11", 1, "Cannot open the X display.");
    }
    bool canExcludeWindows() const override { return false; }
};

TEST_F(CaptureScreenInfoTest, NoDisplayServerMeansNoDisplaysAndNoCapture) {
    CaptureScreenInfo none{std::make_shared<UnreachableScreens>(), nullptr, rt.timers,
                           rt.io.get_executor()};
    EXPECT_FALSE(none.shareableDisplays());
    EXPECT_FALSE(none.canCapture());
    EXPECT_EQ(none.mainDisplayID(), 0u);
    none.setOnChanged([] {});  // nothing to follow: no error
}

TEST_F(CaptureScreenInfoTest, BurstOfChangesReportsOnceAfterItSettles) {
    int reports = 0;
    info.setOnChanged([&] { ++reports; });
    ASSERT_EQ(changes->starts, 1);

    // Reports come from the source's thread in bursts; only the quiet after the last counts.
    changes->onChange();
    rt.advance(500ms);
    changes->onChange();
    rt.advance(500ms);
    changes->onChange();
    rt.advance(799ms);
    EXPECT_EQ(reports, 0);
    rt.advance(1ms);
    EXPECT_EQ(reports, 1);
    rt.advance(5s);
    EXPECT_EQ(reports, 1);

    // A pending report dies with the handler.
    changes->onChange();
    info.setOnChanged(nullptr);
    EXPECT_EQ(changes->stops, 1);
    rt.advance(1s);
    EXPECT_EQ(reports, 1);
}

}  // namespace
}  // namespace orvane

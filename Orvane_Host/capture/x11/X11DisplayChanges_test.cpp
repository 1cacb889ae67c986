#include "Orvane_Host/capture/x11/X11DisplayChanges.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include "Orvane_Host/capture/CaptureScreenInfo.h"
#include "Orvane_Host/capture/testing/X11TestPainter.h"
#include "Orvane_Host/capture/testing/XvfbServer.h"
#include "Orvane_Host/capture/x11/X11ScreenSource.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

class X11ScreenInfo : public ::testing::Test {
protected:
    XvfbServer server;
    asio::io_context io;
    AsioTimerService timers{io};
    std::shared_ptr<X11ScreenSource> source;
    std::unique_ptr<CaptureScreenInfo> info;

    void SetUp() override {
        if (!server.start(1280, 720))
            GTEST_SKIP() << "no X server for display tests: " << server.error();
        source = std::make_shared<X11ScreenSource>(server.display());
        info = std::make_unique<CaptureScreenInfo>(
            source, std::make_shared<X11DisplayChanges>(server.display()), timers,
            io.get_executor());
    }

    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < end) {
            io.restart();
            io.run_for(20ms);
        }
        return done();
    }
};

TEST_F(X11ScreenInfo, SameIdsAsCaptureAndMonitorChangesReported) {
    int reports = 0;
    info->setOnChanged([&] { ++reports; });

    X11TestPainter painter(server.display(), 0, 0, 64, 64);
    painter.addMonitor("LEFT", 0, 0, 640, 720, true);
    painter.addMonitor("RIGHT", 640, 0, 640, 720, false);
    ASSERT_TRUE(runUntil([&] { return reports > 0; })) << "no change reported";

    const auto displays = info->shareableDisplays();
    ASSERT_TRUE(displays);
    std::vector<uint32_t> captureIds, listedIds;
    for (const auto& d : source->displays()) captureIds.push_back(d.id);
    for (const auto& d : *displays) listedIds.push_back(d.id);
    EXPECT_EQ(listedIds, captureIds);
    std::vector<std::string> names;
    for (const auto& d : *displays) names.push_back(d.name);
    EXPECT_NE(std::find(names.begin(), names.end(), "RIGHT"), names.end());
    for (const auto& d : *displays)
        if (d.name == "LEFT") {
            EXPECT_EQ(info->mainDisplayID(), d.id);
        }

    // Unplugging one is reported too.
    const int before = reports;
    painter.removeMonitor("RIGHT");
    ASSERT_TRUE(runUntil([&] { return reports > before; })) << "no change reported";
    const auto after = info->shareableDisplays();
    ASSERT_TRUE(after);
    for (const auto& d : *after) EXPECT_NE(d.name, "RIGHT");
}

TEST_F(X11ScreenInfo, ServerGoneMeansNoDisplays) {
    info->setOnChanged([] {});
    server.kill();
    EXPECT_FALSE(info->shareableDisplays());
    EXPECT_FALSE(info->canCapture());
    info->setOnChanged(nullptr);  // the watcher ends without hanging
}

}  // namespace
}  // namespace orvane

#include "Orvane_Host/ui/overlays/ScreenShareWindow.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <thread>

#include "OrvaneKit/media/testing/EncodedStreams.h"
#include "Orvane_Host/ui/QtMainActor.h"
#include "Orvane_Host/ui/testing_support/QtTestApp.h"

using namespace orvane;
using namespace std::chrono_literals;

namespace {

bool pumpUntil(const std::function<bool()>& done) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(1ms);
    }
    return done();
}

// Red above, blue below, as a portrait device sends it.
QImage redOverBlue() {
    QImage picture(100, 200, QImage::Format_RGB32);
    picture.fill(Qt::blue);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x) picture.setPixel(x, y, qRgb(255, 0, 0));
    return picture;
}

struct ShareWindow : ::testing::Test {
    ShareWindow() { QtTestApp::ensure(); }
};

TEST_F(ShareWindow, OpensCentredBlackAndHeldToThePortraitShape) {
    auto sink = std::make_shared<FrameSink>();
    ScreenShareWindow window("iPhone's Screen", sink);
    EXPECT_EQ(window.windowTitle(), "iPhone's Screen");
    EXPECT_EQ(window.size(), QSize(390, 844));
    EXPECT_TRUE(window.isVisible());
    QRect avail = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((window.frameGeometry().center() - avail.center()).manhattanLength(), 2);
    EXPECT_EQ(window.aspect(), QSize(1170, 2532));
    QImage shot = window.grab().toImage();
    EXPECT_EQ(QColor(shot.pixel(195, 422)), QColor(Qt::black));
}

TEST_F(ShareWindow, OrientationTurnsThePictureAndTheShape) {
    struct Case {
        int orientation;
        int degrees;
        QSize aspect;
    } cases[] = {
        {1, 0, {1170, 2532}},   {2, 0, {1170, 2532}},   {3, 180, {1170, 2532}},
        {4, 180, {1170, 2532}}, {5, -90, {2532, 1170}}, {6, 90, {2532, 1170}},
        {7, 90, {2532, 1170}},  {8, -90, {2532, 1170}}, {0, 0, {1170, 2532}},
        {9, 0, {1170, 2532}},
    };
    ScreenShareWindow window("x", std::make_shared<FrameSink>());
    for (const auto& c : cases) {
        window.setOrientation(c.orientation);
        EXPECT_EQ(ScreenShareWindow::rotationFor(c.orientation), c.degrees) << c.orientation;
        EXPECT_EQ(window.aspect(), c.aspect) << c.orientation;
    }
    // Sizes that are not a picture leave the shape alone.
    window.setOrientation(1);
    window.setVideoSize({0, 100});
    window.setVideoSize({-5, -5});
    EXPECT_EQ(window.aspect(), QSize(1170, 2532));
    window.setVideoSize({1920, 1080});
    EXPECT_EQ(window.aspect(), QSize(1920, 1080));
}

TEST_F(ShareWindow, PicturesAreFittedAndTurnedUpright) {
    auto sink = std::make_shared<FrameSink>();
    ScreenShareWindow window("x", sink);
    window.resize(400, 400);
    sink->put(redOverBlue());
    window.showLatest();
    auto colourAt = [&](int x, int y) { return QColor(window.grab().toImage().pixel(x, y)); };
    // Upright: fitted to 200x400, centred; black beside it.
    EXPECT_EQ(colourAt(200, 100), QColor(Qt::red));
    EXPECT_EQ(colourAt(200, 300), QColor(Qt::blue));
    EXPECT_EQ(colourAt(50, 200), QColor(Qt::black));

    // Turned a quarter clockwise: the top of the picture is on the right.
    window.setOrientation(6);
    EXPECT_EQ(colourAt(300, 200), QColor(Qt::red));
    EXPECT_EQ(colourAt(100, 200), QColor(Qt::blue));
    EXPECT_EQ(colourAt(200, 50), QColor(Qt::black));

    window.setOrientation(8);
    EXPECT_EQ(colourAt(100, 200), QColor(Qt::red));
    window.setOrientation(3);
    EXPECT_EQ(colourAt(200, 300), QColor(Qt::red));

    // Resizing re-fits at once.
    window.setOrientation(1);
    window.resize(100, 400);
    EXPECT_EQ(colourAt(50, 120), QColor(Qt::red));
    EXPECT_EQ(colourAt(50, 280), QColor(Qt::blue));
}

TEST_F(ShareWindow, ClosingRunsTheHandlerUnlessClosedQuietly) {
    int closes = 0;
    // The handler lets go of the window, as the controller does when it ends the session.
    auto byPerson = std::make_shared<ScreenShareWindow>("x", std::make_shared<FrameSink>());
    QPointer<ScreenShareWindow> watch = byPerson.get();
    byPerson->setOnClose([&] {
        ++closes;
        byPerson.reset();
    });
    byPerson->close();
    ASSERT_TRUE(pumpUntil([&] { return closes == 1; }));
    EXPECT_TRUE(watch.isNull());

    ScreenShareWindow byDevice("x", std::make_shared<FrameSink>());
    byDevice.setOnClose([&] { ++closes; });
    byDevice.closeQuietly();
    EXPECT_FALSE(byDevice.isVisible());
    QCoreApplication::processEvents();
    EXPECT_EQ(closes, 1);
}

TEST_F(ShareWindow, DecodesTheDevicesVideoOnItsOwnThread) {
    QtMainActor actor;
    QtScreenShareWindows windows(actor);
    std::atomic<int> keyframeRequests{0};
    auto opened = windows.open(
        "Pad's Screen", [&] { ++keyframeRequests; }, [] {});
    auto* window = dynamic_cast<ScreenShareWindow*>(opened.window.get());
    ASSERT_NE(window, nullptr);

    auto packets = encodeGreyStream(VideoCodec::h264, 320, 240, 3, 30, {}, 200);
    std::thread connection([&] {
        opened.receiver->receive(*packets[1].serialize());  // no keyframe yet
        for (const auto& p : packets) opened.receiver->receive(*p.serialize());
    });
    connection.join();
    EXPECT_EQ(keyframeRequests, 1);
    ASSERT_TRUE(pumpUntil([&] { return window->videoSize() == QSizeF(320, 240); }));
    EXPECT_EQ(window->aspect(), QSize(320, 240));
    ASSERT_TRUE(pumpUntil([&] { return qGray(window->grab().toImage().pixel(195, 422)) > 150; }));

    // The window may go while video still arrives.
    opened.window->closeQuietly();
    opened.window.reset();
    opened.receiver->receive(*packets[0].serialize());
    QCoreApplication::processEvents();
}

}  // namespace

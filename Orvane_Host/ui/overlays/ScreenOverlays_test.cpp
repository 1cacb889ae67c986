#include "Orvane_Host/ui/overlays/ScreenOverlays.h"

#include <gtest/gtest.h>

#include <QBitmap>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QPainter>
#include <QPushButton>
#include <QTest>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <thread>

#include "Orvane_Host/capture/ScreenCapturer.h"
#include "Orvane_Host/system/testing/FakeKeyMonitor.h"
#include "Orvane_Host/ui/QtMainActor.h"
#include "Orvane_Host/ui/overlays/AnnotationLayer.h"
#include "Orvane_Host/ui/overlays/ControlPill.h"
#include "Orvane_Host/ui/overlays/CurtainView.h"
#include "Orvane_Host/ui/testing_support/QtTestApp.h"

using namespace orvane;
using namespace std::chrono_literals;

namespace {

std::set<std::uint32_t> excludedNow() {
    std::lock_guard lock(excludedWindowLock());
    return excludedWindowIDs();
}

// Pictures for a person to look at, when ORVANE_UI_SHOTS names a folder.
void keepForReview(const QImage& image, const char* name) {
    if (const char* dir = std::getenv("ORVANE_UI_SHOTS"))
        image.save(QString("%1/%2.png").arg(dir, name));
}

void pump() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

AnnotationStroke stroke(std::vector<float> points, std::vector<float> color = {1, 0, 0},
                        float width = 0.01f) {
    return AnnotationStroke{Uuid::random(), std::move(points), std::move(color), width};
}

struct WithApp {
    WithApp() { QtTestApp::ensure(); }
};

struct Overlays : ::testing::Test, WithApp {
    ~Overlays() override { overlays.reset(); }

    void make() {
        overlays = std::make_unique<ScreenOverlays>(ScreenOverlays::Options{
            actor, keys, [this] { return canExclude; },
            [](std::uint32_t) -> std::optional<std::string> { return std::nullopt; },
            [this] { return screens; }});
    }

    QtMainActor actor;
    FakeKeyMonitor keys;
    bool canExclude = true;
    QList<QScreen*> screens = QGuiApplication::screens();
    std::unique_ptr<ScreenOverlays> overlays;
};

// ---- Border and pill ----

TEST(ControlPillText, NamesEveryControllerAndSaysWhenItIsSupport) {
    struct Case {
        std::vector<std::string> names;
        bool support;
        const char* text;
    } cases[] = {
        {{"iPad"}, false, "iPad is controlling this Mac"},
        {{"A", "B"}, false, "A, B is controlling this Mac"},
        {{"A", "B"}, true, "Support session · A, B"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ControlPill::textFor(c.names, c.support), QString::fromUtf8(c.text));
}

TEST_F(Overlays, PillSitsCentredBelowTheTopAndRecentresForNewNames) {
    make();
    bool stopped = false;
    overlays->showSessionIndicator(1, {"iPad"}, false, [&] { stopped = true; });
    ControlPill* pill = overlays->pill();
    ASSERT_NE(pill, nullptr);
    QRect avail = QGuiApplication::primaryScreen()->availableGeometry();
    auto expectPlaced = [&] {
        QRect g = pill->geometry();
        EXPECT_LE(std::abs(g.center().x() - avail.center().x()), 1) << g.x() << " " << g.width();
        EXPECT_EQ(g.top(), avail.top() + 8);
        EXPECT_EQ(g.size(), pill->sizeHint());
    };
    expectPlaced();
    keepForReview(pill->grab().toImage(), "pill");
    EXPECT_TRUE(pill->isVisible());
    EXPECT_EQ(pill->text(), "iPad is controlling this Mac");
    EXPECT_EQ(pill->accessibleName(), pill->text());
    EXPECT_EQ(pill->tint(), controlTint);
    EXPECT_FALSE(pill->windowFlags() & Qt::WindowTransparentForInput);
    int narrow = pill->width();

    overlays->showSessionIndicator(1, {"A much longer device name", "B"}, true, [] {});
    EXPECT_EQ(pill->text(), "Support session · A much longer device name, B");
    EXPECT_EQ(pill->tint(), supportTint);
    EXPECT_GT(pill->width(), narrow);
    expectPlaced();

    // The Stop button runs the action of the latest call.
    // Stopping ends the sessions, and the controller refreshes the pill from within.
    std::string kept(64, 'x');
    overlays->showSessionIndicator(1, {"iPad"}, false, [&, kept] {
        overlays->showSessionIndicator(1, {"Mac"}, false, [] {});
        stopped = kept.size() == 64;
    });
    QTest::mouseClick(pill->findChild<QPushButton*>("pillStop"), Qt::LeftButton);
    EXPECT_TRUE(stopped);

    overlays->hideSessionIndicator();
    EXPECT_FALSE(pill->isVisible());
    EXPECT_FALSE(overlays->borderWindow()->isVisible());
}

TEST_F(Overlays, BorderIsARingInTheTintAroundTheWholeScreenAndLetsClicksThrough) {
    make();
    overlays->showSessionIndicator(1, {"iPad"}, true, [] {});
    QWidget* border = overlays->borderWindow();
    ASSERT_NE(border, nullptr);
    QScreen* screen = QGuiApplication::primaryScreen();
    EXPECT_EQ(border->geometry(), screen->geometry());
    EXPECT_TRUE(border->windowFlags() & Qt::WindowTransparentForInput);
    EXPECT_TRUE(border->windowFlags() & Qt::X11BypassWindowManagerHint);

    // No compositing manager here: the window is cut to a ring about 5 px wide.
    QRegion mask = border->mask();
    QPoint mid = border->rect().center();
    EXPECT_TRUE(mask.contains(QPoint(mid.x(), 2)));
    EXPECT_FALSE(mask.contains(QPoint(mid.x(), 7)));
    EXPECT_FALSE(mask.contains(mid));

    QImage shot(border->size(), QImage::Format_RGB32);
    shot.fill(Qt::white);
    border->render(&shot, {}, {}, QWidget::DrawChildren);
    EXPECT_EQ(QColor(shot.pixel(mid.x(), 2)), supportTint);
    EXPECT_EQ(QColor(shot.pixel(mid)), QColor(Qt::white));
}

TEST_F(Overlays, NoScreenLeavesEverythingAsItIs) {
    screens.clear();
    make();
    overlays->showSessionIndicator(1, {"iPad"}, false, [] {});
    EXPECT_EQ(overlays->borderWindow(), nullptr);
    EXPECT_EQ(overlays->pill(), nullptr);
    overlays->applyAnnotation(AnnotationEvent{AnnotationEvent::Stroke{stroke({0, 0, 1, 1})}}, 1);
    EXPECT_EQ(overlays->annotations().strokes().size(), 1u);  // the model still takes it
    EXPECT_EQ(overlays->annotationWindow(), nullptr);
}

// ---- Drawing ----

TEST(StrokeDrawing, FollowsTheSentValuesAndRefusesHostileOnes) {
    const QSizeF canvas(1728, 1000);
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // Too few points, or nothing finite to draw.
    for (auto s :
         {stroke({0.1f, 0.2f}), stroke({0.1f, 0.2f, 0.3f}), stroke({0, 0, 1, 1}, {1}, nan),
          stroke({0, 0, 1, 1}, {nan, 0, 0}), stroke({nan, 0, inf, 1}), stroke({0, 0, 2e4f, 0.5f})})
        EXPECT_FALSE(strokeDrawing(s, canvas).has_value());

    struct Case {
        std::vector<float> color;
        QColor expected;
    } colours[] = {
        {{1, 0, 0}, QColor::fromRgbF(1, 0, 0, 1)},
        {{0, 0, 1, 0.5f}, QColor::fromRgbF(0, 0, 1, 0.5f)},
        {{}, QColor::fromRgbF(1, 1, 1, 1)},
        {{0, 1, 0, 1, 0.2f, 0.3f}, QColor::fromRgbF(0, 1, 0, 1)},
    };
    for (const auto& c : colours) {
        auto d = strokeDrawing(stroke({0, 0, 1, 1}, c.color), canvas);
        ASSERT_TRUE(d);
        EXPECT_EQ(d->colour, c.expected);
    }

    auto d = strokeDrawing(stroke({0.1f, 0.2f, 0.5f, 0.5f, 0.9f}, {1, 0, 0}, 0.01f), canvas);
    ASSERT_TRUE(d);
    EXPECT_NEAR(d->penWidth, 17.28, 0.01);
    EXPECT_EQ(d->path.elementCount(), 2);  // the odd trailing number is ignored
    EXPECT_EQ(QPointF(d->path.elementAt(1)), QPointF(864, 500));
    EXPECT_FALSE(d->dot);

    auto huge = strokeDrawing(stroke({0, 0, 1, 1}, {1, 0, 0}, 1e30f), canvas);
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->penWidth, 2 * 1728);

    // Points that cannot be drawn are skipped; the rest of the stroke stays.
    auto partly = strokeDrawing(stroke({0, 0, inf, 0.5f, 1e5f, 0, 1, 1}), canvas);
    ASSERT_TRUE(partly);
    EXPECT_EQ(partly->path.elementCount(), 2);
    EXPECT_EQ(QPointF(partly->path.elementAt(1)), QPointF(1728, 1000));

    EXPECT_TRUE(strokeDrawing(stroke({0.5f, 0.5f, 0.5f, 0.5f}), canvas)->dot);
}

TEST_F(Overlays, DrawingShowsStrokesOldestFirstAndGoesWithAClear) {
    make();
    // Red across the middle, then blue down the middle; a dot in the top-left quarter.
    overlays->applyAnnotation(
        AnnotationEvent{AnnotationEvent::Stroke{stroke({0.1f, 0.5f, 0.9f, 0.5f}, {1, 0, 0})}}, 1);
    overlays->applyAnnotation(
        AnnotationEvent{AnnotationEvent::Stroke{stroke({0.5f, 0.1f, 0.5f, 0.9f}, {0, 0, 1})}}, 1);
    overlays->applyAnnotation(AnnotationEvent{AnnotationEvent::Stroke{
                                  stroke({0.25f, 0.25f, 0.25f, 0.25f}, {0, 1, 0}, 0.02f)}},
                              1);
    AnnotationLayer* layer = overlays->annotationWindow();
    ASSERT_NE(layer, nullptr);
    EXPECT_TRUE(layer->isVisible());
    EXPECT_TRUE(layer->windowFlags() & Qt::WindowTransparentForInput);
    EXPECT_EQ(layer->geometry(), QGuiApplication::primaryScreen()->geometry());

    QImage shot(layer->size(), QImage::Format_RGB32);
    shot.fill(Qt::black);
    QPainter p(&shot);
    layer->paintStrokes(p, layer->size(), true);
    p.end();
    const int w = shot.width(), h = shot.height();
    EXPECT_EQ(QColor(shot.pixel(w / 5, h / 2)), QColor(Qt::red));
    EXPECT_EQ(QColor(shot.pixel(w / 2, h / 2)), QColor(Qt::blue));  // drawn last, on top
    EXPECT_EQ(QColor(shot.pixel(w / 4, h / 4)), QColor(Qt::green));
    EXPECT_EQ(QColor(shot.pixel(w / 4 + 5, h / 4)), QColor(Qt::green));  // a round dot
    EXPECT_EQ(QColor(shot.pixel(w / 5, h / 4)), QColor(Qt::black));
    EXPECT_EQ(QColor(shot.pixel(w / 5, h / 2 + 20)), QColor(Qt::black));
    // Without a compositing manager only the strokes belong to the window.
    EXPECT_TRUE(layer->mask().contains(QPoint(w / 5, h / 2)));
    EXPECT_FALSE(layer->mask().contains(QPoint(w / 5, h / 4)));

    overlays->applyAnnotation(AnnotationEvent{AnnotationEvent::Clear{}}, 1);
    EXPECT_TRUE(overlays->annotations().strokes().empty());
    EXPECT_FALSE(layer->isVisible());

    // A stroke too short to draw still shows the (empty) drawing.
    overlays->applyAnnotation(AnnotationEvent{AnnotationEvent::Stroke{stroke({0.5f, 0.5f})}}, 1);
    EXPECT_TRUE(layer->isVisible());
    overlays->clearAnnotations();
    EXPECT_TRUE(overlays->annotations().strokes().empty());
    EXPECT_FALSE(layer->isVisible());
}

// ---- Curtain ----

TEST(CurtainKey, OnlyControlAltSuperPeriodStops) {
    using K = KeyPress;
    const std::uint32_t all = K::Control | K::Alt | K::Super;
    struct Case {
        std::uint32_t keysym, modifiers;
        bool stops;
    } cases[] = {
        {0x2e, all, true},
        {0x2e, all | K::NumLock, true},
        {0x2e, all | K::Shift, false},
        {0x2e, all | K::CapsLock, false},
        {0x2e, K::Control | K::Super, false},
        {0x2e, K::Control | K::Alt, false},
        {0xffae, all, false},  // the keypad's decimal key
        {0x2c, all, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ScreenOverlays::isCurtainStopKey({c.keysym, c.modifiers}), c.stops)
            << std::hex << c.keysym << " " << c.modifiers;
}

TEST_F(Overlays, CurtainCoversEveryScreenAndIsLeftOutOfTheCapture) {
    QScreen* only = QGuiApplication::primaryScreen();
    screens = {only, only};  // two entries: one window each
    make();
    int stops = 0;
    EXPECT_TRUE(overlays->setCurtain(true, [&] { ++stops; }));
    auto windows = overlays->curtainWindows();
    ASSERT_EQ(windows.size(), 2u);
    std::set<std::uint32_t> ids;
    for (QWidget* w : windows) {
        EXPECT_TRUE(w->isVisible());
        EXPECT_EQ(w->geometry(), only->geometry());
        EXPECT_TRUE(w->windowFlags() & Qt::WindowTransparentForInput);
        ids.insert(static_cast<std::uint32_t>(w->winId()));
    }
    EXPECT_EQ(excludedNow(), ids);
    EXPECT_EQ(keys.starts, 1);

    // Up already: nothing changes, and the first action stays.
    EXPECT_FALSE(overlays->setCurtain(true, [] { FAIL() << "the second action ran"; }));
    EXPECT_EQ(overlays->curtainWindows(), windows);
    EXPECT_EQ(keys.starts, 1);

    // The key handler only posts the action: it runs on the main actor's turn.
    keys.press({0x2e, KeyPress::Control | KeyPress::Alt | KeyPress::Super});
    keys.press({0x2e, KeyPress::Control | KeyPress::Super});
    EXPECT_EQ(stops, 0);
    pump();
    EXPECT_EQ(stops, 1);
    std::thread([&] {
        keys.press({0x2e, KeyPress::Control | KeyPress::Alt | KeyPress::Super});
    }).join();
    pump();
    EXPECT_EQ(stops, 2);

    EXPECT_TRUE(overlays->setCurtain(false, [] {}));
    EXPECT_TRUE(overlays->curtainWindows().empty());
    EXPECT_TRUE(excludedNow().empty());
    EXPECT_EQ(keys.stops, 1);
    EXPECT_FALSE(keys.running());
    EXPECT_FALSE(overlays->setCurtain(false, [] {}));
}

TEST_F(Overlays, CurtainStaysDownWhenTheCaptureWouldShowIt) {
    canExclude = false;
    make();
    EXPECT_FALSE(overlays->setCurtain(true, [] {}));
    EXPECT_TRUE(overlays->curtainWindows().empty());
    EXPECT_TRUE(excludedNow().empty());
    EXPECT_EQ(keys.starts, 0);
    EXPECT_EQ(overlays->takeCurtainError(),
              "Couldn't blank this Mac's screen: the screen capture can't leave the curtain out.");
    EXPECT_EQ(overlays->takeCurtainError(), std::nullopt);  // said once per refusal
}

TEST_F(Overlays, CurtainWithNoScreenMakesNoWindowAndNoMonitor) {
    screens.clear();
    make();
    EXPECT_FALSE(overlays->setCurtain(true, [] {}));
    EXPECT_FALSE(overlays->setCurtain(true, [] {}));
    EXPECT_EQ(keys.starts, 0);
    EXPECT_TRUE(excludedNow().empty());
}

TEST_F(Overlays, ScreensChangingUnderTheCurtainPutItUpAnewOverEachOne) {
    QScreen* only = QGuiApplication::primaryScreen();
    make();
    int rebuilt = 0, stops = 0;
    overlays->setOnCurtainRebuilt([&] { ++rebuilt; });
    ASSERT_TRUE(overlays->setCurtain(true, [&] { ++stops; }));
    auto before = excludedNow();

    screens = {only, only};
    overlays->screensChanged();
    EXPECT_EQ(overlays->curtainWindows().size(), 2u);
    EXPECT_EQ(excludedNow().size(), 2u);
    EXPECT_NE(excludedNow(), before);
    EXPECT_EQ(rebuilt, 1);
    EXPECT_EQ(keys.starts, 2);
    EXPECT_EQ(keys.stops, 1);
    // The key combination still ends the sessions.
    keys.press({0x2e, KeyPress::Control | KeyPress::Alt | KeyPress::Super});
    pump();
    EXPECT_EQ(stops, 1);

    // Down: a screen change is none of the curtain's business.
    overlays->setCurtain(false, [] {});
    overlays->screensChanged();
    EXPECT_TRUE(overlays->curtainWindows().empty());
    EXPECT_EQ(rebuilt, 1);
}

TEST(CurtainViewLook, BlackWithTheTextsInTheMiddle) {
    QtTestApp::ensure();
    CurtainView view;
    view.resize(800, 600);
    auto* title = view.findChild<QLabel*>("curtainTitle");
    auto* footer = view.findChild<QLabel*>("curtainFooter");
    ASSERT_TRUE(title && footer);
    EXPECT_EQ(title->text(), "This Mac is being used remotely");
    EXPECT_EQ(footer->text(), "To end the session, press Control-Alt-Super-Period.");
    EXPECT_EQ(view.findChild<QLabel*>("curtainSymbol")->property("symbol"), "lock.display");
    QImage shot = view.grab().toImage();
    keepForReview(shot, "curtain");
    EXPECT_EQ(QColor(shot.pixel(5, 5)), QColor(Qt::black));
    EXPECT_EQ(QColor(shot.pixel(795, 595)), QColor(Qt::black));
    view.layout()->activate();
    EXPECT_LT(std::abs(title->geometry().center().x() - 400), 3);
    EXPECT_LT(std::abs(title->geometry().center().y() - 300), 40);
    int bright = 0;
    for (int x = 0; x < 800; ++x)
        for (int y = 250; y < 350; ++y) bright += qGray(shot.pixel(x, y)) > 128;
    EXPECT_GT(bright, 50);
}

}  // namespace

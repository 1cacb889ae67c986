#include "Orvane_Host/input/x11/XTestEventPoster.h"

#include <gtest/gtest.h>

// After gtest: X's macros (None, ...) clash with its names.
#include <X11/X.h>
#include <X11/keysym.h>

#include "OrvaneKit/base/testing/FakeClock.h"
#include "Orvane_Host/capture/testing/X11TestPainter.h"
#include "Orvane_Host/capture/testing/XvfbServer.h"
#include "Orvane_Host/capture/x11/X11ScreenSource.h"
#include "Orvane_Host/input/InputTranslator.h"
#include "Orvane_Host/input/testing/X11InputObserver.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
using Ev = InputEvent;
using Seen = X11InputObserver::Seen;
using Type = Seen::Type;

// The poster under the injector's rules, on a private server, watched by an X client.
class X11Input : public ::testing::Test {
protected:
    XvfbServer server;
    FakeClock clock;
    std::unique_ptr<XTestEventPoster> poster;
    std::unique_ptr<InputTranslator> input;
    std::unique_ptr<X11InputObserver> observer;

    void start(int width = 1920, int height = 1080) {
        if (!server.start(width, height)) GTEST_SKIP() << "no X server: " << server.error();
        poster = std::make_unique<XTestEventPoster>(server.display());
        ASSERT_TRUE(poster->canPost());
        input = std::make_unique<InputTranslator>(*poster, clock);
        observer = std::make_unique<X11InputObserver>(server.display());
    }
    void SetUp() override { start(); }

    void send(std::initializer_list<InputEvent> events) {
        for (const auto& e : events) input->handle(e);
    }
    static std::function<bool(const std::vector<Seen>&)> count(Type type, std::size_t n) {
        return [=](const std::vector<Seen>& seen) {
            return std::size_t(std::count_if(seen.begin(), seen.end(),
                                             [&](const Seen& s) { return s.type == type; })) >= n;
        };
    }
    static std::function<bool(const std::vector<Seen>&)> typed(const std::string& text) {
        return
            [=](const std::vector<Seen>& seen) { return X11InputObserver::textOf(seen) == text; };
    }
    std::vector<Seen> only(Type type) {
        std::vector<Seen> out;
        for (const Seen& s : observer->events())
            if (s.type == type) out.push_back(s);
        return out;
    }
};

TEST_F(X11Input, KeysArriveAsTheKeysAtTheirPlaceWithTheirModifiers) {
    constexpr unsigned mods = ShiftMask | ControlMask | Mod1Mask | Mod4Mask;
    struct Case {
        const char* name;
        std::vector<InputEvent> events;
        unsigned long keysym;
        unsigned state;
    } cases[] = {
        {"key 0", {Ev::Key{0, true, 0}, Ev::Key{0, false, 0}}, XK_a, 0},
        {"Shift held",
         {Ev::Key{56, true, 0x20000}, Ev::Key{0, true, 0x20000}, Ev::Key{0, false, 0x20000},
          Ev::Key{56, false, 0}},
         XK_A,
         ShiftMask},
        {"Control and Command held",
         {Ev::Key{59, true, 0}, Ev::Key{55, true, 0x40000}, Ev::Key{12, true, 0x140000},
          Ev::Key{12, false, 0x140000}, Ev::Key{55, false, 0x40000}, Ev::Key{59, false, 0}},
         XK_q,
         ControlMask | Mod4Mask},
        {"Control and Command from the flags alone",
         {Ev::Key{12, true, 0x140000}, Ev::Key{12, false, 0x140000}},
         XK_q,
         ControlMask | Mod4Mask},
        {"Option from the flags",
         {Ev::Key{36, true, 0x80000}, Ev::Key{36, false, 0}},
         XK_Return,
         Mod1Mask},
        {"an arrow", {Ev::Key{126, true, 0}, Ev::Key{126, false, 0}}, XK_Up, 0},
    };
    for (const auto& c : cases) {
        observer->clear();
        for (const auto& e : c.events) input->handle(e);
        ASSERT_TRUE(observer->waitFor([&](const std::vector<Seen>& seen) {
            return std::any_of(seen.begin(), seen.end(), [&](const Seen& s) {
                return s.type == Type::keyRelease && s.keysym == c.keysym;
            });
        })) << c.name;
        // The last press that is not a modifier of its own.
        std::optional<Seen> main;
        for (const Seen& s : only(Type::keyPress))
            if (s.keysym == c.keysym) main = s;
        ASSERT_TRUE(main) << c.name;
        EXPECT_EQ(main->state & mods, c.state) << c.name;
        ASSERT_TRUE(observer->waitFor([&](const std::vector<Seen>&) {
            return !observer->anyKeyDown();
        })) << c.name
            << ": a key stayed down";
    }
}

TEST_F(X11Input, CapsLockFollowsTheFlagsAndTextStaysAsTyped) {
    send({Ev::Key{57, true, 0x10000}, Ev::Key{57, false, 0x10000}, Ev::Key{0, true, 0x10000},
          Ev::Key{0, false, 0x10000}, Ev::Text{"Hi"}});
    // Caps Lock itself, then "A" from the key, then the text unchanged.
    ASSERT_TRUE(observer->waitFor(typed("AHi"))) << observer->typedText();
    EXPECT_TRUE(only(Type::keyPress)[1].state & LockMask);

    // Sent again while on, it changes nothing; with the bit clear it goes off.
    observer->clear();
    send({Ev::Key{57, true, 0x10000}, Ev::Key{57, false, 0x10000}, Ev::Key{0, true, 0}});
    ASSERT_TRUE(observer->waitFor(count(Type::keyPress, 1)));
    EXPECT_EQ(observer->typedText(), "A");
    send({Ev::Key{0, false, 0}, Ev::Key{57, true, 0}, Ev::Key{57, false, 0}, Ev::Key{0, true, 0},
          Ev::Key{0, false, 0}});
    ASSERT_TRUE(observer->waitFor(count(Type::keyPress, 3)));
    EXPECT_EQ(observer->typedText(), "Aa");
}

TEST_F(X11Input, TextIsTypedExactlyEvenWithCharactersTheKeyboardLacks) {
    const std::string text = "Hello, w\xC3\xB6rld \xE2\x9C\x93 \xF0\x9F\x98\x80";
    send({Ev::Text{text}});
    EXPECT_TRUE(observer->waitFor(typed(text))) << observer->typedText();
    EXPECT_FALSE(observer->anyKeyDown());

    // Longer than the spare keycodes: several bindings in turn, in order.
    observer->clear();
    std::string many;
    for (char32_t c = 0x3b1; c < 0x3b1 + 24; ++c) {  // Greek letters
        many += static_cast<char>(0xCE + (c >= 0x3c0));
        many += static_cast<char>(0x80 + (c & 0x3F));
    }
    send({Ev::Text{many}});
    EXPECT_TRUE(observer->waitFor(typed(many), 10s)) << observer->typedText();

    // The borrowed keys are given back when the poster goes.
    EXPECT_TRUE(observer->mapHas(XK_odiaeresis) || observer->mapHas(0x10003c8));
    input.reset();
    poster.reset();
    EXPECT_FALSE(observer->mapHas(XK_odiaeresis));
    EXPECT_FALSE(observer->mapHas(0x10003c8));
}

TEST_F(X11Input, WheelClicksComeEveryStepOfPixels) {
    const int step = XTestEventPoster::pixelsPerWheelClick;
    struct Case {
        double dx, dy;
        std::vector<unsigned> buttons;
    } cases[] = {
        {0, double(step), {4}},
        {0, step - 1.0, {}},
        {0, 1, {4}},  // the rest of the last one makes a click
        {0, -2.0 * step, {5, 5}},
        {double(step), 0, {6}},
        {-double(step), -double(step), {5, 7}},
        {0, 1e9, std::vector<unsigned>(XTestEventPoster::maxWheelClicks, 4)},
        {0, std::nan(""), {}},
    };
    send({Ev::MouseMove{0.5, 0.5}});
    for (const auto& c : cases) {
        observer->clear();
        send({Ev::Scroll{c.dx, c.dy}, Ev::MouseButtonChange{MouseButton::middle, true, -1, -1},
              Ev::MouseButtonChange{MouseButton::middle, false, -1, -1}});
        // The middle click marks the end of what this scroll made.
        ASSERT_TRUE(observer->waitFor([](const std::vector<Seen>& seen) {
            return !seen.empty() && seen.back().type == Type::buttonRelease &&
                   seen.back().button == 2;
        })) << c.dx
            << "," << c.dy;
        std::vector<unsigned> buttons;
        for (const Seen& s : only(Type::buttonPress))
            if (s.button != 2) buttons.push_back(s.button);
        EXPECT_EQ(buttons, c.buttons) << c.dx << "," << c.dy;
    }
}

TEST_F(X11Input, ReleaseAllLeavesNoKeyOrButtonDown) {
    send({Ev::Key{56, true, 0}, Ev::Key{0, true, 0x20000}, Ev::Key{55, true, 0x120000},
          Ev::Key{57, true, 0x130000}, Ev::MouseButtonChange{MouseButton::left, true, 0.2, 0.2},
          Ev::MouseButtonChange{MouseButton::right, true, -1, -1}, Ev::MouseMove{0.3, 0.3}});
    ASSERT_TRUE(observer->waitFor(count(Type::buttonPress, 2)));
    ASSERT_TRUE(observer->anyKeyDown());
    ASSERT_TRUE(observer->anyButtonDown());
    input->releaseAll();
    EXPECT_TRUE(observer->waitFor([&](const std::vector<Seen>&) {
        return !observer->anyKeyDown() && !observer->anyButtonDown();
    }));
    EXPECT_EQ(observer->pointer(), (std::pair<int, int>{576, 324}));
}

// The capture's display ids name the displays; positions stay on the display they were meant for.
TEST(X11InputDisplays, PointerLandsOnTheDisplayItWasMeantFor) {
    XvfbServer wide;
    if (!wide.start(3840, 1080)) GTEST_SKIP() << "no X server: " << wide.error();
    X11TestPainter painter(wide.display(), 0, 0, 8, 8);
    painter.addMonitor("LEFT", 0, 0, 1920, 1080, true);
    painter.addMonitor("RIGHT", 1920, 0, 1920, 1080, false);
    std::optional<std::uint32_t> left, right;
    for (const auto& d : X11ScreenSource(wide.display()).displays()) {
        if (d.name == "LEFT") left = d.id;
        if (d.name == "RIGHT") right = d.id;
    }
    ASSERT_TRUE(left && right);
    XTestEventPoster poster(wide.display());
    EXPECT_EQ(poster.mainDisplayID(), *left);
    FakeClock clock;
    auto input = std::make_unique<InputTranslator>(poster, clock);
    auto observer = std::make_unique<X11InputObserver>(wide.display());
    auto only = [&](Type type) {
        std::vector<Seen> out;
        for (const Seen& s : observer->events())
            if (s.type == type) out.push_back(s);
        return out;
    };

    input->setDisplay(*right);
    input->handle(Ev::MouseButtonChange{MouseButton::left, true, 0.5, 0.5});
    input->handle(Ev::MouseButtonChange{MouseButton::left, false, 0.5, 0.5});
    ASSERT_TRUE(observer->waitFor([](const std::vector<Seen>& seen) {
        return !seen.empty() && seen.back().type == Type::buttonRelease;
    }));
    auto press = only(Type::buttonPress).at(0);
    EXPECT_EQ(press.button, 1u);
    EXPECT_EQ(std::make_pair(press.x, press.y), (std::pair<int, int>{2880, 540}));

    // The far edge of the left display is its last pixel, not the right display's first.
    struct Case {
        InputEvent event;
        std::uint32_t display;
        std::pair<int, int> want;
    } cases[] = {
        {Ev::MouseMove{1.0, 1.0}, *left, {1919, 1079}},
        {Ev::MouseMove{0, 0}, *right, {1920, 0}},
        {Ev::MouseMove{std::nan(""), 1e300}, *right, {1920, 1079}},
        {Ev::MouseDelta{-1e12, 0}, *right, {1920, 1079}},
        {Ev::MouseMove{0.25, 0.5}, 12345, {480, 540}},  // unknown: the main display
    };
    for (const auto& c : cases) {
        input->setDisplay(c.display);
        input->handle(c.event);
        EXPECT_TRUE(observer->waitFor([&](const std::vector<Seen>&) {
            return observer->pointer() == c.want;
        })) << c.want.first
            << "," << c.want.second << " but at " << observer->pointer().first << ","
            << observer->pointer().second;
    }
}

TEST(X11InputWithoutServer, NothingIsPostedAndNothingBreaks) {
    XvfbServer noXTest;
    const bool haveServer = noXTest.start(640, 480, {"-extension", "XTEST"});
    for (const std::string& display : {std::string(":9999"), noXTest.display()}) {
        if (display.empty() || (display != ":9999" && !haveServer)) continue;
        XTestEventPoster poster(display);
        EXPECT_FALSE(poster.canPost()) << display;
        FakeClock clock;
        InputTranslator input(poster, clock);
        input.handle(Ev::MouseMove{0.5, 0.5});
        input.handle(Ev::Key{0, true, 0});
        input.handle(Ev::Text{"x"});
        input.releaseAll();
        EXPECT_EQ(poster.bounds(1), DisplayBounds{}) << display;
    }
}

}  // namespace
}  // namespace orvane

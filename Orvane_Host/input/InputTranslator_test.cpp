#include "Orvane_Host/input/InputTranslator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "OrvaneKit/base/testing/FakeClock.h"
#include "Orvane_Host/input/testing/RecordingPoster.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
using Kind = SyntheticEvent::Kind;
using Ev = InputEvent;
constexpr MouseButton L = MouseButton::left, R = MouseButton::right, M = MouseButton::middle;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// A main display at the origin and a second one to its right, lower down.
struct Bench {
    RecordingPoster poster;
    FakeClock clock;
    std::optional<InputTranslator> t;

    Bench() {
        poster.displays[1] = {0, 0, 1440, 900};
        poster.displays[2] = {1440, 100, 1920, 1080};
        t.emplace(poster, clock);
    }
    std::vector<SyntheticEvent> run(std::initializer_list<InputEvent> events) {
        for (const auto& e : events) t->handle(e);
        return poster.take();
    }
    SyntheticEvent one(const InputEvent& e) {
        auto out = run({e});
        EXPECT_EQ(out.size(), 1u);
        return out.empty() ? SyntheticEvent{} : out[0];
    }
};

TEST(InputTranslator, AbsoluteMovesLandInsideTheDisplay) {
    struct Case {
        double x, y;
        std::uint32_t display;
        InputPoint want;
    } cases[] = {
        {1.0, 1.0, 1, {1440, 900}},    {-0.5, 2.0, 1, {0, 900}},   {nan, 0.5, 1, {0, 450}},
        {inf, -inf, 1, {1440, 0}},     {0.5, 0.5, 2, {2400, 640}}, {0, 0, 2, {1440, 100}},
        {1e300, 0.25, 2, {3360, 370}}, {0.5, 0.5, 9, {720, 450}},  // unknown: the main one
    };
    for (const auto& c : cases) {
        Bench b;
        b.t->setDisplay(c.display);
        auto e = b.one(Ev::MouseMove{c.x, c.y});
        EXPECT_EQ(e.kind, Kind::mouseMoved);
        EXPECT_EQ(e.point, c.want) << c.x << "," << c.y << " on " << c.display;
        EXPECT_EQ(e.flags, 0u);
        EXPECT_TRUE(b.t->hasPointer());
    }
}

TEST(InputTranslator, MovesWithButtonsHeldAreDrags) {
    struct Case {
        std::vector<MouseButton> held;
        Kind absolute;
        MouseButton absoluteButton;
        Kind relative;
        MouseButton relativeButton;
    } cases[] = {
        {{}, Kind::mouseMoved, L, Kind::mouseMoved, L},
        {{L}, Kind::mouseDragged, L, Kind::mouseDragged, L},
        {{R}, Kind::mouseDragged, R, Kind::mouseDragged, R},
        {{M}, Kind::mouseDragged, M, Kind::mouseMoved, L},  // relative: middle alone is a move
        {{M, R}, Kind::mouseDragged, R, Kind::mouseDragged, R},
        {{R, L, M}, Kind::mouseDragged, L, Kind::mouseDragged, L},
    };
    for (const auto& c : cases) {
        Bench b;
        for (MouseButton h : c.held) b.t->handle(Ev::MouseButtonChange{h, true, 0.5, 0.5});
        b.poster.take();
        auto abs = b.one(Ev::MouseMove{0.1, 0.1});
        EXPECT_EQ(abs.kind, c.absolute) << c.held.size();
        EXPECT_EQ(abs.button, c.absoluteButton) << c.held.size();
        auto rel = b.one(Ev::MouseDelta{3, 4});
        EXPECT_EQ(rel.kind, c.relative) << c.held.size();
        EXPECT_EQ(rel.button, c.relativeButton) << c.held.size();
    }
}

TEST(InputTranslator, ButtonsPressWhereToldOrWhereThePointerIs) {
    Bench b;
    auto down = b.one(Ev::MouseButtonChange{R, true, -1, -1});
    EXPECT_EQ(down.kind, Kind::mouseDown);
    EXPECT_EQ(down.button, R);
    EXPECT_EQ(down.point, (InputPoint{0, 0}));  // before any positioned event
    EXPECT_FALSE(b.t->hasPointer());
    EXPECT_EQ(down.clickState, 1);

    b.t->handle(Ev::MouseMove{0.5, 0.5});
    auto up = b.run({Ev::MouseButtonChange{R, false, nan, 0.25}});
    ASSERT_EQ(up.size(), 2u);  // the move, then the release where the pointer is
    EXPECT_EQ(up[1].point, (InputPoint{720, 450}));
    EXPECT_EQ(up[1].clickState, 1);

    // A release of a button never pressed is still posted, with the last click's count.
    b.run({Ev::MouseButtonChange{L, true, 0.5, 0.5}, Ev::MouseButtonChange{L, false, 0.5, 0.5},
           Ev::MouseButtonChange{L, true, 0.5, 0.5}});
    auto stray = b.one(Ev::MouseButtonChange{M, false, 0.1, 0.1});
    EXPECT_EQ(stray.kind, Kind::mouseUp);
    EXPECT_EQ(stray.button, M);
    EXPECT_EQ(stray.clickState, 2);
    EXPECT_EQ(stray.point, (InputPoint{144, 90}));
}

TEST(InputTranslator, ClickCounting) {
    struct Press {
        MouseButton button;
        double dx;  // points right of the first press
        std::chrono::milliseconds after;
    };
    struct Case {
        const char* name;
        std::vector<Press> presses;
        std::vector<std::int64_t> counts;
    } cases[] = {
        {"5.9 points apart", {{L, 0, 0ms}, {L, 5.9, 100ms}}, {1, 2}},
        {"6.0 points apart", {{L, 0, 0ms}, {L, 6.0, 100ms}}, {1, 1}},
        {"just inside the interval", {{L, 0, 0ms}, {L, 0, 499ms}}, {1, 2}},
        {"at the interval", {{L, 0, 0ms}, {L, 0, 500ms}}, {1, 1}},
        {"a right press between", {{L, 0, 0ms}, {R, 0, 50ms}, {L, 0, 50ms}}, {1, 1, 1}},
        {"no upper bound",
         {{L, 0, 0ms}, {L, 1, 300ms}, {L, 2, 300ms}, {L, 3, 300ms}},
         {1, 2, 3, 4}},
        {"each press against the one before",
         {{L, 0, 0ms}, {L, 5, 100ms}, {L, 10, 100ms}},
         {1, 2, 3}},
    };
    for (const auto& c : cases) {
        Bench b;
        b.poster.displays[1] = {0, 0, 1024, 1024};  // fractions of it are exact
        std::vector<std::int64_t> downs, ups;
        for (const Press& p : c.presses) {
            b.clock.advance(p.after);
            auto out = b.run({Ev::MouseButtonChange{p.button, true, (100 + p.dx) / 1024, 0.5},
                              Ev::MouseButtonChange{p.button, false, -1, -1}});
            ASSERT_EQ(out.size(), 2u);
            downs.push_back(out[0].clickState);
            ups.push_back(out[1].clickState);
        }
        EXPECT_EQ(downs, c.counts) << c.name;
        EXPECT_EQ(ups, c.counts) << c.name << ": a release carries its press's count";
    }
}

TEST(InputTranslator, ScrollWheelsAreRoundedAndHeldToRange) {
    struct Case {
        double dx, dy;
        std::int32_t wheel1, wheel2;
    } cases[] = {
        {0.5, -2.5, -3, 1},
        {-0.4, 2.49, 2, 0},
        {nan, inf, INT32_MAX, 0},
        {-1e12, -inf, INT32_MIN, INT32_MIN},
    };
    for (const auto& c : cases) {
        Bench b;
        auto e = b.one(Ev::Scroll{c.dx, c.dy});
        EXPECT_EQ(e.kind, Kind::scrollWheel);
        EXPECT_EQ(e.wheel1, c.wheel1) << c.dx << "," << c.dy;
        EXPECT_EQ(e.wheel2, c.wheel2) << c.dx << "," << c.dy;
        EXPECT_FALSE(e.continuous);
        EXPECT_EQ(e.flags, 0u);
    }

    Bench b;
    auto s = b.one(Ev::SmoothScroll{0.5, -2.5, 2, 1});
    EXPECT_EQ(s.wheel1, -3);
    EXPECT_EQ(s.wheel2, 1);
    EXPECT_TRUE(s.continuous);
    EXPECT_EQ(s.scrollPhase, 2);
    EXPECT_EQ(s.momentumPhase, 1);
    EXPECT_EQ(s.pointDelta1, -2.5);
    EXPECT_EQ(s.pointDelta2, 0.5);
    auto wild = b.one(Ev::SmoothScroll{nan, -inf, 0, 0});
    EXPECT_EQ(wild.pointDelta2, 0);
    EXPECT_EQ(wild.pointDelta1, static_cast<double>(-INT32_MAX));
}

TEST(InputTranslator, RelativeMovesStartAtTheCentreAndStayOnTheDisplay) {
    struct Case {
        double dx, dy;
        InputPoint want;
        std::int64_t deltaX, deltaY;
    } cases[] = {
        {10.5, -2.5, {730.5, 447.5}, 11, -3},
        {1e6, 1e6, {1439, 899}, 1000000, 1000000},
        {-inf, inf, {0, 899}, INT64_MIN, INT64_MAX},
        {nan, 1e30, {720, 899}, 0, INT64_MAX},
    };
    for (const auto& c : cases) {
        Bench b;
        auto e = b.one(Ev::MouseDelta{c.dx, c.dy});
        EXPECT_EQ(e.kind, Kind::mouseMoved);
        EXPECT_EQ(e.point, c.want) << c.dx << "," << c.dy;
        EXPECT_EQ(e.deltaX, c.deltaX) << c.dx;
        EXPECT_EQ(e.deltaY, c.deltaY) << c.dy;
        EXPECT_EQ(b.t->lastPoint(), c.want);
    }

    // On a display away from the origin the edges are its own.
    Bench b;
    b.t->setDisplay(2);
    EXPECT_EQ(b.one(Ev::MouseDelta{-5000, -5000}).point, (InputPoint{1440, 100}));
    EXPECT_EQ(b.one(Ev::MouseDelta{5000, 5000}).point, (InputPoint{3359, 1179}));
}

TEST(InputTranslator, KeysCarryTheirOwnFlagsAndClicksTheLatch) {
    Bench b;
    auto lock = b.run({Ev::Key{12, true, 0x140000}, Ev::Key{12, false, 0x140000}});
    ASSERT_EQ(lock.size(), 2u);
    EXPECT_EQ(lock[0].kind, Kind::keyDown);
    EXPECT_EQ(lock[0].keyCode, 12);
    EXPECT_EQ(lock[0].flags, 0x140000u);
    EXPECT_EQ(lock[1].kind, Kind::keyUp);
    EXPECT_TRUE(b.t->latch().heldKeys.empty());

    // Command down: its own event has the flags sent, clicks carry the latch's until it is up.
    auto cmd = b.one(Ev::Key{55, true, 0});
    EXPECT_EQ(cmd.flags, 0u);
    auto click = b.run(
        {Ev::MouseButtonChange{L, true, 0.5, 0.5}, Ev::MouseButtonChange{L, false, 0.5, 0.5}});
    EXPECT_EQ(click[0].flags, 0x100000u);
    EXPECT_EQ(click[1].flags, 0x100000u);
    b.t->handle(Ev::Key{55, false, 0x100000});
    EXPECT_EQ(b.run({Ev::MouseButtonChange{L, true, 0.5, 0.5}})[1].flags, 0u);
    EXPECT_EQ(b.t->pressedKeys(), std::set<std::uint16_t>{});
}

TEST(InputTranslator, TextGoesOutInRunsOfWholeCharacters) {
    auto runs = [](const std::string& text) {
        Bench b;
        auto out = b.run({Ev::Text{text}});
        std::vector<std::u32string> texts;
        for (std::size_t i = 0; i < out.size(); ++i) {
            EXPECT_EQ(out[i].kind, i % 2 ? Kind::keyUp : Kind::keyDown);
            EXPECT_EQ(out[i].keyCode, 0);
            EXPECT_EQ(out[i].flags, 0u);
            if (i % 2 == 0)
                texts.push_back(out[i].text);
            else
                EXPECT_EQ(out[i].text, out[i - 1].text);
        }
        EXPECT_TRUE(b.t->pressedKeys().empty());
        return texts;
    };
    EXPECT_TRUE(runs("").empty());
    auto sizes = [](const std::vector<std::u32string>& r) {
        std::vector<std::size_t> out;
        for (const auto& s : r) out.push_back(s.size());
        return out;
    };
    EXPECT_EQ(sizes(runs(std::string(45, 'x'))), (std::vector<std::size_t>{20, 20, 5}));
    // 19 letters then an emoji (two UTF-16 units): the pair is never cut.
    auto split = runs(std::string(19, 'a') + "\xF0\x9F\x98\x80" + "b");
    EXPECT_EQ(split, (std::vector<std::u32string>{std::u32string(19, U'a'), U"\U0001F600b"}));
    // Ten emoji are twenty units: one run.
    std::string emoji;
    for (int i = 0; i < 10; ++i) emoji += "\xF0\x9F\x98\x80";
    EXPECT_EQ(sizes(runs(emoji)), std::vector<std::size_t>{10});
    EXPECT_EQ(runs("w\xC3\xB6rld \xE2\x9C\x93"), std::vector<std::u32string>{U"w\u00F6rld \u2713"});
    // Broken UTF-8 is typed as the replacement character, the rest kept.
    EXPECT_EQ(runs("a\xFF"
                   "b"),
              std::vector<std::u32string>{U"a\uFFFDb"});
}

TEST(InputTranslator, LogsNeitherKeyCodesNorText) {
    auto sink = std::make_shared<MemoryLogSink>();
    Log::addSink(sink);
    Bench b;
    b.poster.trusted = false;
    b.run({Ev::Key{46, true, 0}, Ev::Key{46, false, 0},
           Ev::Text{"hunter2 \xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"}, Ev::Text{""}});
    Log::removeSink(sink);
    std::vector<std::string> lines;
    for (const auto& r : sink->records())
        if (r.category == "input")
            lines.push_back(logLevelName(r.level).data() + (" " + r.message));
    // Grapheme clusters: a thumbs-up with its skin tone is one character.
    EXPECT_EQ(lines, (std::vector<std::string>{"debug key down flags 0 trusted=false",
                                               "debug key up flags 0 trusted=false",
                                               "default text 9 characters trusted=false",
                                               "default text 0 characters trusted=false"}));
}

TEST(InputTranslator, ReleaseAllLetsGoOfEverythingAndKeepsThePointer) {
    Bench b;
    b.run({Ev::Key{55, true, 0}, Ev::Key{0, true, 0x100000},
           Ev::MouseButtonChange{L, true, 0.5, 0.5}, Ev::MouseButtonChange{M, true, -1, -1},
           Ev::MouseMove{0.75, 0.5}});
    b.t->releaseAll();
    auto out = b.poster.take();
    ASSERT_EQ(out.size(), 4u);
    for (int i : {0, 1}) {
        EXPECT_EQ(out[i].kind, Kind::mouseUp);
        EXPECT_EQ(out[i].point, (InputPoint{1080, 450}));
        EXPECT_EQ(out[i].clickState, 1);
        EXPECT_EQ(out[i].flags, 0x100000u);
    }
    EXPECT_EQ(out[0].button, L);
    EXPECT_EQ(out[1].button, M);
    EXPECT_EQ(out[2], (SyntheticEvent{.kind = Kind::keyUp, .keyCode = 0}));
    EXPECT_EQ(out[3], (SyntheticEvent{.kind = Kind::keyUp, .keyCode = 55}));
    EXPECT_TRUE(b.t->pressed().empty());
    EXPECT_TRUE(b.t->pressedKeys().empty());
    EXPECT_EQ(b.t->latch(), ModifierLatch{});
    EXPECT_EQ(b.t->lastPoint(), (InputPoint{1080, 450}));

    b.t->releaseAll();
    EXPECT_TRUE(b.poster.take().empty());
}

TEST(InputTranslator, ChangingDisplayMovesThePointerOnlyWhenItIsOutside) {
    struct Case {
        const char* name;
        std::optional<InputPoint> before;  // none: no pointer event yet
        std::uint32_t to;
        InputPoint after;
    } cases[] = {
        {"no pointer yet", std::nullopt, 2, {0, 0}},
        {"inside", InputPoint{1500, 200}, 2, {1500, 200}},
        {"one point off the edge", InputPoint{1439, 99}, 2, {1439, 99}},
        {"further off", InputPoint{1438.5, 640}, 2, {2400, 640}},
        {"same display", InputPoint{10, 10}, 1, {10, 10}},
        {"unknown display is the main one", InputPoint{1500, 500}, 7, {720, 450}},
    };
    for (const auto& c : cases) {
        Bench b;
        if (c.before) {
            b.poster.displays[3] = {c.before->x, c.before->y, 100, 100};
            b.t->setDisplay(3);
            b.t->handle(Ev::MouseMove{0, 0});
            ASSERT_EQ(b.t->lastPoint(), *c.before);
        }
        b.t->setDisplay(c.to);
        EXPECT_EQ(b.t->displayID(), c.to) << c.name;
        EXPECT_EQ(b.t->lastPoint(), c.after) << c.name;
        EXPECT_EQ(b.t->hasPointer(), c.before.has_value()) << c.name;
    }
}

}  // namespace
}  // namespace orvane

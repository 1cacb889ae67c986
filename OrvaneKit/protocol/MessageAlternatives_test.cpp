// Wire shapes of the bodies with alternatives, both ways.

#include <gtest/gtest.h>

#include <cmath>

#include "OrvaneKit/protocol/AnnotationEvent.h"
#include "OrvaneKit/protocol/HostAction.h"
#include "OrvaneKit/protocol/InputEvent.h"
#include "OrvaneKit/protocol/MacCommand.h"
#include "OrvaneKit/protocol/MessageType.h"

namespace orvane {
namespace {

const Uuid kId = *Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
const std::string kWrongKeys = "Invalid number of keys found, expected one.";

template <class T>
void expectWritten(const T& value, const char* expected) {
    auto bytes = json::encode(value);
    ASSERT_TRUE(bytes) << expected;
    auto got = json::parse(*bytes);
    auto want = json::parse(std::string_view(expected));
    ASSERT_TRUE(got && want) << expected;
    EXPECT_EQ(*got, *want) << toString(*bytes);
}

TEST(MessageAlternatives, WrittenShapes) {
    expectWritten(InputEvent(InputEvent::MouseMove{0.25, 1}), R"({"mouseMove":{"x":0.25,"y":1}})");
    expectWritten(InputEvent(InputEvent::MouseButtonChange{MouseButton::left, true, 0.5, 0.5}),
                  R"({"mouseButton":{"button":0,"down":true,"x":0.5,"y":0.5}})");
    expectWritten(InputEvent(InputEvent::Scroll{-1, 2}), R"({"scroll":{"dx":-1,"dy":2}})");
    expectWritten(InputEvent(InputEvent::SmoothScroll{0.5, -0.5, 1, 4}),
                  R"({"smoothScroll":{"dx":0.5,"dy":-0.5,"phase":1,"momentum":4}})");
    expectWritten(InputEvent(InputEvent::MouseDelta{3, -4}), R"({"mouseDelta":{"dx":3,"dy":-4}})");
    expectWritten(
        InputEvent(InputEvent::Key{0x31, false, ModifierBits::command | ModifierBits::shift}),
        R"({"key":{"code":49,"down":false,"flags":1179648}})");
    expectWritten(InputEvent(InputEvent::Text{"héllo/"}), R"({"text":{"_0":"héllo/"}})");
    expectWritten(MacCommand(MacCommand::OpenApp{"Safari"}), R"({"openApp":{"name":"Safari"}})");
    expectWritten(MacCommand(MacCommand::OpenURL{"https://example.com/a"}),
                  R"({"openURL":{"_0":"https://example.com/a"}})");
    expectWritten(MacCommand(MacCommand::RunShortcut{"Focus"}),
                  R"({"runShortcut":{"name":"Focus"}})");
    expectWritten(
        AnnotationEvent(AnnotationEvent::Stroke{{kId, {0.1f, 0.2f}, {1, 0, 0}, 0.005f}}),
        R"({"stroke":{"_0":{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","points":[0.1,0.2],
                      "color":[1,0,0],"width":0.005}}})");
}

TEST(MessageAlternatives, ByteExactBodies) {
    struct Case {
        std::optional<Bytes> written;
        const char* exact;
    } cases[] = {
        {json::encode(AnnotationEvent(AnnotationEvent::Clear{})), R"({"clear":{}})"},
        {json::encode(HostAction::restart), R"("restart")"},
        {json::encode(HostAction::lockScreen), R"("lockScreen")"},
        {json::encode(HostAction::sleepDisplay), R"("sleepDisplay")"},
        {json::encode(MacCommand(MacCommand::OpenURL{"a/b"})), R"({"openURL":{"_0":"a\/b"}})"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(c.written) << c.exact;
        EXPECT_EQ(toString(*c.written), c.exact);
    }
    EXPECT_EQ(json::encode(HostAction::restart)->size(), 9u);
    auto clear = json::decode<AnnotationEvent>(R"({"clear":{}})");
    ASSERT_TRUE(clear);
    EXPECT_TRUE(std::holds_alternative<AnnotationEvent::Clear>(*clear));
}

TEST(MessageAlternatives, ReadingWrongShapes) {
    struct Case {
        const char* body;
        const char* error;  // nullptr when the body reads; "" for any failure
    } annotation[] = {
        {R"({"clear":{}})", nullptr},
        {R"({"clear":{},"bogus":1})", nullptr},
        {R"({"clear":{"ignored":true}})", nullptr},
        {R"({})", kWrongKeys.c_str()},
        {R"({"bogus":1})", kWrongKeys.c_str()},
        {R"({"Clear":{}})", kWrongKeys.c_str()},
        {R"({"clear":{},"stroke":{"_0":{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","points":[],"color":[],"width":1}}})",
         kWrongKeys.c_str()},
        {R"({"clear":null})", ""},
        {R"({"clear":true})", ""},
        {R"({"clear":[]})", ""},
        {R"("clear")", ""},
        {R"([{"clear":{}}])", ""},
        {R"({"stroke":{"_0":{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","points":[],"color":[1,1,1],"width":0.1}}})",
         nullptr},
        {R"({"stroke":{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","points":[],"color":[1,1,1],"width":0.1}})",
         ""},
        {R"({"stroke":{"_0":{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","points":[],"color":[1],"width":1e39}}})",
         ""},
        {R"({"stroke":{"_0":{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","points":[3.5e38],"color":[1],"width":1}}})",
         ""},
        {R"({"stroke":{"_0":{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","points":[3.4e38],"color":[1],"width":1}}})",
         nullptr},
    };
    for (const auto& c : annotation) {
        std::string error;
        auto got = json::decode<AnnotationEvent>(c.body, &error);
        EXPECT_EQ(got.has_value(), c.error == nullptr) << c.body;
        if (c.error && *c.error) {
            EXPECT_EQ(error, c.error) << c.body;
        }
    }

    auto empty = json::decode<AnnotationEvent>(
        R"({"stroke":{"_0":{"id":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f","points":[],"color":[0,0,1,0.5],"width":0.01}}})");
    ASSERT_TRUE(empty);
    const auto& stroke = std::get<AnnotationEvent::Stroke>(*empty).stroke;
    EXPECT_EQ(stroke.id, kId);
    EXPECT_TRUE(stroke.points.empty());
    EXPECT_EQ(stroke.color, (std::vector<float>{0, 0, 1, 0.5f}));
}

TEST(MessageAlternatives, ReadingInputEvents) {
    struct Case {
        const char* body;
        std::optional<InputEvent> expected;
    } cases[] = {
        {R"({"mouseMove":{"x":0.25}})", std::nullopt},
        {R"({"mouseMove":{"x":0.25,"y":1,"z":3}})", InputEvent::MouseMove{0.25, 1}},
        {R"({"mouseMove":{"x":0.25,"y":null}})", std::nullopt},
        {R"({"mouseMove":{"x":"0.25","y":1}})", std::nullopt},
        {R"({"mouseMove":{"x":1e999,"y":1}})", std::nullopt},
        {R"({"mouseButton":{"button":2,"down":true,"x":0,"y":0}})",
         InputEvent::MouseButtonChange{MouseButton::middle, true, 0, 0}},
        {R"({"mouseButton":{"button":1,"down":false,"x":0,"y":0}})",
         InputEvent::MouseButtonChange{MouseButton::right, false, 0, 0}},
        {R"({"mouseButton":{"button":3,"down":true,"x":0,"y":0}})", std::nullopt},
        {R"({"mouseButton":{"button":-1,"down":true,"x":0,"y":0}})", std::nullopt},
        {R"({"mouseButton":{"button":"left","down":true,"x":0,"y":0}})", std::nullopt},
        {R"({"mouseButton":{"button":0,"down":1,"x":0,"y":0}})", std::nullopt},
        {R"({"smoothScroll":{"dx":1,"dy":2,"phase":-1,"momentum":0}})",
         InputEvent::SmoothScroll{1, 2, -1, 0}},
        {R"({"smoothScroll":{"dx":1,"dy":2,"phase":1.5,"momentum":0}})", std::nullopt},
        {R"({"key":{"code":65535,"down":true,"flags":1048576}})",
         InputEvent::Key{65535, true, ModifierBits::command}},
        {R"({"key":{"code":65536,"down":true,"flags":0}})", std::nullopt},
        {R"({"key":{"code":-1,"down":true,"flags":0}})", std::nullopt},
        {R"({"key":{"code":1,"down":true,"flags":-1}})", std::nullopt},
        {R"({"key":{"code":1,"down":true,"flags":18446744073709551615}})",
         InputEvent::Key{1, true, 18446744073709551615ull}},
        {R"({"text":{"_0":"a\/b"}})", InputEvent::Text{"a/b"}},
        {R"({"text":{"text":"a"}})", std::nullopt},
        {R"({"text":{"_0":"a"},"scroll":{"dx":1,"dy":1}})", std::nullopt},
        {R"({"scroll":{"dx":1,"dy":1},"extra":[]})", InputEvent::Scroll{1, 1}},
        {R"({"mouseDelta":{"dx":-2.5,"dy":0}})", InputEvent::MouseDelta{-2.5, 0}},
    };
    for (const auto& c : cases) {
        auto got = json::decode<InputEvent>(c.body);
        EXPECT_EQ(got, c.expected) << c.body;
    }
}

TEST(MessageAlternatives, ReadingCommandsAndActions) {
    struct Case {
        const char* body;
        std::optional<MacCommand> expected;
    } commands[] = {
        {R"({"openApp":{"name":"Notes"}})", MacCommand::OpenApp{"Notes"}},
        {R"({"openURL":{"_0":"https://x"}})", MacCommand::OpenURL{"https://x"}},
        {R"({"openURL":{"url":"https://x"}})", std::nullopt},
        {R"({"openURL":{"_1":"https://x"}})", std::nullopt},
        {R"({"openURL":"https://x"})", std::nullopt},
        {R"({"runShortcut":{"name":"Go"},"openApp":{"name":"Notes"}})", std::nullopt},
        {R"({"runShortcut":{"name":"Go"}})", MacCommand::RunShortcut{"Go"}},
    };
    for (const auto& c : commands)
        EXPECT_EQ(json::decode<MacCommand>(c.body), c.expected) << c.body;

    struct ActionCase {
        const char* body;
        std::optional<HostAction> expected;
    } actions[] = {
        {R"("lockScreen")", HostAction::lockScreen},
        {R"("sleepDisplay")", HostAction::sleepDisplay},
        {R"("restart")", HostAction::restart},
        {R"("Restart")", std::nullopt},
        {R"("shutdown")", std::nullopt},
        {R"({"restart":{}})", std::nullopt},
        {R"(["restart"])", std::nullopt},
        {"2", std::nullopt},
        {"restart", std::nullopt},
    };
    for (const auto& c : actions) EXPECT_EQ(json::decode<HostAction>(c.body), c.expected) << c.body;

    EXPECT_EQ(allHostActions.size(), 3u);
    EXPECT_EQ(allHostActions[0], HostAction::lockScreen);
    EXPECT_EQ(mouseButtonFromRaw(2), MouseButton::middle);
    EXPECT_FALSE(mouseButtonFromRaw(3));
}

TEST(MessageAlternatives, NonFiniteValuesFailTheSend) {
    EXPECT_FALSE(json::encode(InputEvent(InputEvent::MouseMove{std::nan(""), 0})));
    EXPECT_FALSE(json::encode(InputEvent(InputEvent::Scroll{0, INFINITY})));
    EXPECT_FALSE(
        json::encode(AnnotationEvent(AnnotationEvent::Stroke{{kId, {0, NAN}, {1, 1, 1}, 1}})));
    EXPECT_FALSE(
        json::encode(AnnotationEvent(AnnotationEvent::Stroke{{kId, {}, {1, 1, 1}, INFINITY}})));
}

TEST(MessageAlternatives, Equality) {
    EXPECT_EQ(InputEvent(InputEvent::Scroll{1, 2}), InputEvent(InputEvent::Scroll{1, 2}));
    EXPECT_NE(InputEvent(InputEvent::Scroll{1, 2}), InputEvent(InputEvent::MouseDelta{1, 2}));
    EXPECT_EQ(InputEvent(InputEvent::MouseMove{0.0, 0}),
              InputEvent(InputEvent::MouseMove{-0.0, 0}));
    EXPECT_NE(MacCommand(MacCommand::OpenApp{"a"}), MacCommand(MacCommand::RunShortcut{"a"}));
    AnnotationStroke s{kId, {0, 1}, {1, 1, 1}, 1};
    auto t = s;
    EXPECT_EQ(s, t);
    t.points.push_back(2);
    EXPECT_NE(s, t);
}

}  // namespace
}  // namespace orvane

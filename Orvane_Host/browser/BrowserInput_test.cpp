#include "Orvane_Host/browser/BrowserInput.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

using E = InputEvent;

TEST(ViewerInputMessages, MapsEveryKindWithItsDefaults) {
    struct Case {
        const char* json;
        InputEvent want;
    };
    const Case cases[] = {
        {R"({"t":"move","x":0.5,"y":0.5})", E::MouseMove{0.5, 0.5}},
        {R"({"t":"move"})", E::MouseMove{0, 0}},
        {R"({"t":"down","button":1})", E::MouseButtonChange{MouseButton::right, true, -1, -1}},
        {R"({"t":"down","button":2,"x":0.1,"y":0.2})",
         E::MouseButtonChange{MouseButton::middle, true, 0.1, 0.2}},
        {R"({"t":"down","button":7})", E::MouseButtonChange{MouseButton::left, true, -1, -1}},
        {R"({"t":"up"})", E::MouseButtonChange{MouseButton::left, false, -1, -1}},
        {R"({"t":"scroll","dy":-3})", E::Scroll{0, -3}},
        {R"({"t":"key","code":36,"down":true})", E::Key{36, true, 0}},
        {R"({"t":"key","code":55,"down":true,"flags":1048576})", E::Key{55, true, 0x100000}},
        {R"({"t":"key"})", E::Key{0, false, 0}},
        {R"({"t":"key","code":65535})", E::Key{65535, false, 0}},
        {R"({"t":"text","text":"héllo ✓"})", E::Text{"héllo ✓"}},
        {R"({"t":"text"})", E::Text{""}},
        {R"({"t":"move","x":1,"y":null,"extra":[1,2]})", E::MouseMove{1, 0}},
    };
    for (const auto& c : cases) {
        auto got = BrowserInput::decode(asBytes(c.json));
        ASSERT_TRUE(got) << c.json;
        EXPECT_EQ(*got, c.want) << c.json;
    }
}

TEST(ViewerInputMessages, IgnoresWhatDoesNotDecode) {
    for (const char* bad : {
             R"({"t":"jump"})",
             R"({"t":"Move"})",
             R"({"x":0.5})",
             R"({"t":5})",
             R"({"t":"move","x":"0.5"})",
             R"({"t":"text","down":"yes"})",  // a mistyped key spoils any kind
             R"({"t":"down","button":1.5})",
             R"({"t":"key","code":65536})",
             R"({"t":"key","code":-1})",
             R"({"t":"key","code":36,"flags":-1})",
             R"(["move"])",
             R"("move")",
             R"({"t":"move")",
             "",
             "{\"t\":\"text\",\"text\":\"\xff\"}",
         })
        EXPECT_FALSE(BrowserInput::decode(asBytes(bad))) << bad;
}

}  // namespace
}  // namespace orvane

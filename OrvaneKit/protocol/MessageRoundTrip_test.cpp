// Every body reads back as the value that was written, over random values.

#include <gtest/gtest.h>

#include "OrvaneKit/protocol/testing/RandomMessages.h"

namespace orvane {
namespace {

template <class T>
class MessageRoundTrip : public ::testing::Test {};

using BodyTypes =
    ::testing::Types<Hello, HelloAck, DisplayInfo, DisplayList, SelectDisplay, SharerInfo,
                     Clipboard, Bye, FileOffer, FileEnd, ChatMessage, SessionPermissions,
                     HostStatus, ScreenText, InputEvent, MacCommand, AnnotationStroke,
                     AnnotationEvent, HostAction, MouseButton, ClientPlatform, ClientRole>;
TYPED_TEST_SUITE(MessageRoundTrip, BodyTypes);

TYPED_TEST(MessageRoundTrip, EncodeThenDecodeGivesTheSameValue) {
    testing::RandomMessages random(0x5eed0000 + sizeof(TypeParam));
    for (int i = 0; i < 300; ++i) {
        auto value = random.make<TypeParam>();
        auto bytes = json::encode(value);
        ASSERT_TRUE(bytes);
        auto back = json::decode<TypeParam>(*bytes);
        ASSERT_TRUE(back) << toString(*bytes);
        EXPECT_TRUE(*back == value) << toString(*bytes);
        // Writing is deterministic, so a second trip gives the same bytes.
        EXPECT_EQ(json::encode(*back), bytes);
    }
}

}  // namespace
}  // namespace orvane

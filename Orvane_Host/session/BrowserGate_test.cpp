#include "Orvane_Host/session/BrowserGate.h"

#include <gtest/gtest.h>

#include "Orvane_Host/session/testing/HostHarness.h"

namespace orvane {
namespace {

// Asks the guard the way the browser server does and waits for the answer.
std::optional<bool> blocked(HostHarness& h, IBrowserServer::Guard& guard, const std::string& a) {
    auto answer = std::make_shared<std::optional<bool>>();
    guard.checkAddress(a, [answer](bool b) { *answer = b; });
    h.pumpUntil([&] { return answer->has_value(); });
    return *answer;
}

TEST(GuardSharedWithBrowsers, BrowserWrongCodesCountInTheListenersGuardWithHistoryAndNotice) {
    HostHarness h;
    auto c = h.make();
    auto guard = h.browser.guard.lock();
    ASSERT_TRUE(guard) << "the controller hands the browser server its guard";
    const std::string peer = "192.0.2.7";

    using namespace std::chrono_literals;
    for (int i = 0; i < 4; ++i) {
        guard->noteWrongCode(peer);
        h.rt.drain();
        h.rt.advance(4s);  // apart enough to be separate history entries
    }
    EXPECT_EQ(h.wrongCodeEntries(), 4u);
    EXPECT_EQ(blocked(h, *guard, peer), false);
    EXPECT_TRUE(h.notifier.posted().empty());

    guard->noteWrongCode(peer);
    h.rt.drain();
    EXPECT_EQ(h.wrongCodeEntries(), 5u);
    EXPECT_EQ(blocked(h, *guard, peer), true);
    EXPECT_EQ(blocked(h, *guard, "192.0.2.8"), false);
    // The session listener refuses the same address.
    EXPECT_TRUE(c->frontDoor().isBlocked(peer));
    ASSERT_EQ(h.notifier.posted().size(), 1u);
    EXPECT_EQ(h.notifier.posted()[0].title, "Blocked repeated wrong codes");

    // Wrong session codes block the browser too.
    c->frontDoor().noteWrongCode("192.0.2.9");
    for (int i = 0; i < 4; ++i) c->frontDoor().noteWrongCode("192.0.2.9");
    EXPECT_EQ(blocked(h, *guard, "192.0.2.9"), true);
}

}  // namespace
}  // namespace orvane

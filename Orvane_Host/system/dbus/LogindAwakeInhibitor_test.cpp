#include "Orvane_Host/system/dbus/LogindAwakeInhibitor.h"

#include <gtest/gtest.h>

#include "OrvaneKit/base/Logger.h"
#include "Orvane_Host/system/testing/FakeLogind.h"
#include "Orvane_Host/system/testing/PrivateBus.h"

namespace orvane {
namespace {

TEST(LogindAwakeInhibitor, HoldsASleepAndIdleBlockUntilTheActivityEnds) {
    PrivateBus bus;
    if (bus.address().empty()) GTEST_SKIP() << "dbus-daemon is not available";
    FakeLogind logind(bus.address());
    ASSERT_TRUE(logind.ready());
    LogindAwakeInhibitor inhibitor(bus.address());

    auto activity = inhibitor.begin("Orvane remote session");
    ASSERT_EQ(logind.calls(),
              (std::vector<std::string>{"Inhibit sleep:idle|Orvane|Orvane remote session|block"}));
    EXPECT_TRUE(logind.held(0));
    activity.reset();
    EXPECT_TRUE(logind.releasedSoon(0));
}

TEST(LogindAwakeInhibitor, RefusalOrNoLogindIsLoggedAndHoldsNothing) {
    PrivateBus bus;
    if (bus.address().empty()) GTEST_SKIP() << "dbus-daemon is not available";
    auto logs = std::make_shared<MemoryLogSink>();
    Log::addSink(logs);
    {
        FakeLogind refusing(bus.address(), true);
        ASSERT_TRUE(refusing.ready());
        EXPECT_TRUE(LogindAwakeInhibitor(bus.address()).begin("x"));
    }
    // Nobody owns the name now: the call fails at once rather than hanging.
    EXPECT_TRUE(LogindAwakeInhibitor(bus.address()).begin("x"));
    EXPECT_TRUE(LogindAwakeInhibitor("unix:path=/nonexistent/bus").begin("x"));
    Log::removeSink(logs);
    int errors = 0;
    for (const auto& r : logs->records())
        if (r.message.rfind("cannot keep the machine awake", 0) == 0) ++errors;
    EXPECT_EQ(errors, 3);
    EXPECT_TRUE(logs->contains("AccessDenied"));
}

}  // namespace
}  // namespace orvane

#include "OrvaneKit/base/Date.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

TEST(Date, EpochsAndIso8601) {
    struct Case {
        Date date;
        const char* iso;
        const char* isoMs;
    } cases[] = {
        {Date::fromReference(0), "2001-01-01T00:00:00Z", "2001-01-01T00:00:00.000Z"},
        {Date::fromReference(100), "2001-01-01T00:01:40Z", "2001-01-01T00:01:40.000Z"},
        {Date::fromUnix(0), "1970-01-01T00:00:00Z", "1970-01-01T00:00:00.000Z"},
        {Date::fromUnix(1700000000.25), "2023-11-14T22:13:20Z", "2023-11-14T22:13:20.250Z"},
        {Date::fromUnix(-0.5), "1969-12-31T23:59:59Z", "1969-12-31T23:59:59.500Z"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.date.iso8601(), c.iso);
        EXPECT_EQ(c.date.iso8601(true), c.isoMs);
    }
    EXPECT_EQ(Date::fromUnix(0).secondsSince2001(), -978307200.0);
}

TEST(Date, TimePointRoundTrip) {
    auto tp = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000)) +
              std::chrono::milliseconds(125);
    Date d = Date::fromTimePoint(tp);
    EXPECT_DOUBLE_EQ(d.unixSeconds(), 1700000000.125);
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(d.timePoint() - tp).count(), 0);
    EXPECT_LT(Date::fromReference(1), Date::fromReference(2));
    EXPECT_EQ(Date::fromReference(2) - Date::fromReference(0.5), 1.5);
}

}  // namespace
}  // namespace orvane

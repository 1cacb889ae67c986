#pragma once

#include <chrono>
#include <compare>
#include <string>

namespace orvane {

// A moment in wall-clock time, held as seconds since 2001-01-01T00:00:00Z: the form our wire
// format and stored files use for dates, fractions included.
class Date {
public:
    // Seconds from the Unix epoch to 2001-01-01T00:00:00Z.
    static constexpr double unixOffset = 978307200.0;

    constexpr Date() = default;
    static constexpr Date fromReference(double secondsSince2001) { return Date(secondsSince2001); }
    static constexpr Date fromUnix(double unixSeconds) { return Date(unixSeconds - unixOffset); }
    static Date fromTimePoint(std::chrono::system_clock::time_point t);

    constexpr double secondsSince2001() const { return seconds_; }
    constexpr double unixSeconds() const { return seconds_ + unixOffset; }
    std::chrono::system_clock::time_point timePoint() const;

    // "2001-01-01T00:01:40Z", or with milliseconds ("…:40.250Z") when asked. UTC always.
    std::string iso8601(bool milliseconds = false) const;

    constexpr Date operator+(double s) const { return Date(seconds_ + s); }
    constexpr double operator-(const Date& o) const { return seconds_ - o.seconds_; }
    friend constexpr bool operator==(const Date&, const Date&) = default;
    friend constexpr auto operator<=>(const Date&, const Date&) = default;

private:
    constexpr explicit Date(double s) : seconds_(s) {}
    double seconds_ = 0;
};

}  // namespace orvane

#include "OrvaneKit/base/Date.h"

#include <cmath>
#include <cstdio>

namespace orvane {

using namespace std::chrono;

Date Date::fromTimePoint(system_clock::time_point t) {
    auto ns = duration_cast<nanoseconds>(t.time_since_epoch()).count();
    return fromUnix(static_cast<double>(ns) / 1e9);
}

system_clock::time_point Date::timePoint() const {
    auto ns = duration<double, std::nano>(unixSeconds() * 1e9);
    return system_clock::time_point(duration_cast<system_clock::duration>(ns));
}

std::string Date::iso8601(bool milliseconds) const {
    // Whole milliseconds since the Unix epoch, rounded down so a time never shows as later.
    auto ms = static_cast<long long>(std::floor(unixSeconds() * 1000.0));
    sys_time<std::chrono::milliseconds> tp{std::chrono::milliseconds(ms)};
    auto day = floor<days>(tp);
    year_month_day ymd{day};
    hh_mm_ss<std::chrono::milliseconds> hms{tp - day};
    char buf[40];
    if (milliseconds) {
        std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02lld.%03lldZ", int(ymd.year()),
                      unsigned(ymd.month()), unsigned(ymd.day()), int(hms.hours().count()),
                      int(hms.minutes().count()), static_cast<long long>(hms.seconds().count()),
                      static_cast<long long>(hms.subseconds().count()));
    } else {
        std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02lldZ", int(ymd.year()),
                      unsigned(ymd.month()), unsigned(ymd.day()), int(hms.hours().count()),
                      int(hms.minutes().count()), static_cast<long long>(hms.seconds().count()));
    }
    return buf;
}

}  // namespace orvane

#include "Orvane_Host/ui/settings/SettingsText.h"

#include <QDateTime>
#include <QLocale>
#include <cmath>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>

#include "OrvaneKit/base/Paths.h"

namespace orvane::settings {

std::string accountStatusText(std::optional<AccountStatus> status) {
    if (!status) return "Unknown";
    switch (*status) {
        case AccountStatus::available:
            return "Signed in";
        case AccountStatus::restricted:
            return "Restricted";
        case AccountStatus::noAccount:
            return "Not signed in";
        case AccountStatus::temporarilyUnavailable:
            return "Temporarily unavailable";
        case AccountStatus::couldNotDetermine:
            break;
    }
    return "Unknown";
}

std::string durationText(double seconds) {
    auto total = static_cast<long long>(std::max(1.0, std::floor(seconds)));
    const long long parts[3] = {total / 3600, total / 60 % 60, total % 60};
    const char* units[3] = {"h", "m", "s"};
    std::string out;
    int shown = 0;
    for (int i = 0; i < 3 && shown < 2; ++i) {
        // The units after the first shown one count towards the two even when zero.
        if (parts[i] == 0) {
            if (shown) ++shown;
            continue;
        }
        if (!out.empty()) out += ' ';
        out += std::to_string(parts[i]) + units[i];
        ++shown;
    }
    return out;
}

std::string relativeText(Date date, Date now) {
    double delta = now - date;
    bool past = delta >= 0;
    double span = std::fabs(delta);
    if (span < 1) return "now";
    struct Unit {
        const char* name;
        double seconds;
    };
    static const Unit units[] = {
        {"year", 365 * 86400.0}, {"month", 30 * 86400.0}, {"week", 7 * 86400.0}, {"day", 86400.0},
        {"hour", 3600.0},        {"minute", 60.0},        {"second", 1.0}};
    for (const auto& u : units) {
        if (span < u.seconds) continue;
        auto n = static_cast<long long>(span / u.seconds);
        std::string text = std::to_string(n) + " " + u.name + (n == 1 ? "" : "s");
        return past ? text + " ago" : "in " + text;
    }
    return "now";
}

namespace {

QDateTime local(Date date) {
    return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(date.unixSeconds() * 1000));
}

std::string startText(Date date) {
    auto t = local(date);
    QLocale l;
    return (l.toString(t.date(), QLocale::ShortFormat) + ", " +
            l.toString(t.time(), QLocale::ShortFormat))
        .toStdString();
}

}  // namespace

HistoryDetail historyDetail(const SessionHistory::Entry& e) {
    using Kind = SessionHistory::Entry::Kind;
    if (e.kind == Kind::declined || e.kind == Kind::wrongCode) return {e.outcome, false};
    if (!e.ended) {
        if (e.outcome == "Connected")
            return {
                "Connected now \u00b7 since " +
                    QLocale().toString(local(e.started).time(), QLocale::ShortFormat).toStdString(),
                true};
        return {startText(e.started) + " \u00b7 " + e.outcome, true};
    }
    return {startText(e.started) + " \u00b7 " + durationText(*e.ended - e.started) + " \u00b7 " +
                e.outcome,
            false};
}

std::string historySubtitle(const SessionHistory::Entry& e) {
    std::string out;
    for (std::string part : {std::string(label(e.kind)), e.route, e.address}) {
        if (part.empty()) continue;
        if (!out.empty()) out += " \u00b7 ";
        out += part;
    }
    return out;
}

namespace {

// "2025-03-01T14:05:09.123Z" → seconds since 1970; nothing for any other shape.
std::optional<double> parseTime(const std::string& s) {
    std::tm tm{};
    int consumed = 0;
    if (std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &consumed) != 6 ||
        consumed != 19)
        return std::nullopt;
    double fraction = 0;
    std::size_t i = 19;
    if (i < s.size() && s[i] == '.') {
        std::size_t start = ++i;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
        if (i == start) return std::nullopt;
        fraction = std::stod("0." + s.substr(start, i - start));
    }
    if (i + 1 != s.size() || s[i] != 'Z') return std::nullopt;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<double>(timegm(&tm)) + fraction;
}

}  // namespace

std::string logExportText(const std::vector<std::filesystem::path>& files, Date now) {
    const double since = now.unixSeconds() - 86400;
    std::string out;
    bool first = true;
    for (const auto& path : files) {
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line)) {
            auto j = nlohmann::json::parse(line, nullptr, false);
            if (!j.is_object()) continue;
            auto text = [&](const char* key) -> std::optional<std::string> {
                auto it = j.find(key);
                if (it == j.end() || !it->is_string()) return std::nullopt;
                return it->get<std::string>();
            };
            auto subsystem = text("subsystem");
            auto time = text("time");
            auto category = text("category");
            auto message = text("message");
            if (!subsystem || *subsystem != hostSubsystem || !time || !category || !message)
                continue;
            auto at = parseTime(*time);
            if (!at || *at < since || *at > now.unixSeconds()) continue;
            if (!first) out += '\n';
            first = false;
            out += Date::fromUnix(std::floor(*at)).iso8601() + " [" + *category + "] " + *message;
        }
    }
    return out;
}

std::optional<std::string> exportLogs(const std::vector<std::filesystem::path>& files, Date now,
                                      const std::filesystem::path& target) {
    return writeExport(target, logExportText(files, now));
}

std::optional<std::string> writeExport(const std::filesystem::path& target,
                                       const std::string& text) {
    errno = 0;
    if (writeFileAtomically(target, text.data(), text.size(), 0644)) return std::nullopt;
    std::string why = errno ? std::strerror(errno) : "unknown error";
    return "The file \u201c" + target.filename().string() + "\u201d couldn't be saved: " + why +
           ".";
}

std::string versionString(std::optional<std::string> shortVersion,
                          std::optional<std::string> buildNumber) {
    auto part = [](const std::optional<std::string>& s) {
        return s && !s->empty() ? *s : std::string("\u2013");
    };
    return part(shortVersion) + " (" + part(buildNumber) + ")";
}

std::string updateStatusText(const UpdateChecker::Status& status) {
    using Kind = UpdateChecker::Status::Kind;
    switch (status.kind) {
        case Kind::idle:
            return "";
        case Kind::checking:
            return "Checking\u2026";
        case Kind::upToDate:
            return "Up to date";
        case Kind::available:
            return "Version " + status.text + " available";
        case Kind::failed:
            return "Check failed";
    }
    return "";
}

}  // namespace orvane::settings

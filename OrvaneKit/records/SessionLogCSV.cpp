#include "OrvaneKit/records/SessionLogCSV.h"

#include <cmath>

namespace orvane {

namespace {

constexpr std::string_view lineEnd = "\r\n";

void replaceAll(std::string& s, std::string_view from, std::string_view to) {
    std::size_t pos = 0;
    while ((pos = s.find(from, pos)) != std::string::npos) {
        s.replace(pos, from.size(), to);
        pos += to.size();
    }
}

std::string joinLines(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& line : lines) {
        out += line;
        out += lineEnd;
    }
    return out;
}

std::string escapedRow(std::initializer_list<std::string_view> cells) {
    std::string row;
    bool first = true;
    for (auto cell : cells) {
        if (!first) row += ',';
        first = false;
        row += SessionLogCSV::escape(cell);
    }
    return row;
}

}  // namespace

std::string SessionLogCSV::escape(std::string_view text) {
    std::string s(text);
    replaceAll(s, "\r\n", " ");
    replaceAll(s, "\n", " ");
    if (!s.empty()) {
        char c = s.front();
        if (c == '=' || c == '+' || c == '-' || c == '@' || c == '\t' || c == '\r')
            s.insert(0, 1, '\'');
    }
    replaceAll(s, "\"", "\"\"");
    return "\"" + s + "\"";
}

std::string SessionLogCSV::timestamp(Date date) {
    // About ±3000 years around 2001; beyond that the date is corrupt, not a session.
    constexpr double limit = 1e11;
    double s = date.secondsSince2001();
    if (!std::isfinite(s) || std::fabs(s) > limit) return {};
    return date.iso8601(false);
}

std::string SessionLogCSV::durationCell(const SessionLogEntry& entry) {
    auto d = entry.duration();
    if (!d) return {};
    // llround is undefined past the int64 range; such a span can only come from corrupt dates.
    if (!std::isfinite(*d) || *d >= 9.2e18) return {};
    return std::to_string(std::llround(*d));
}

std::string SessionLogCSV::sessions(const std::vector<SessionLogEntry>& entries) {
    std::vector<std::string> lines;
    lines.reserve(entries.size() + 1);
    lines.push_back(escapedRow({"Device", "Kind", "Route", "Started (UTC)", "Ended (UTC)",
                                "Duration (seconds)", "Outcome", "Let in without asking"}));
    for (const auto& e : entries) {
        std::string line = escapedRow({e.device, e.kind, e.route, timestamp(e.started),
                                       e.ended ? timestamp(*e.ended) : std::string()});
        line += ',';
        line += durationCell(e);
        line += ',';
        line += escapedRow({e.outcome, e.unattended ? "Yes" : "No"});
        lines.push_back(std::move(line));
    }
    return joinLines(lines);
}

std::string SessionLogCSV::audit(const std::vector<AuditEvent>& events) {
    std::vector<std::string> lines;
    lines.reserve(events.size() + 1);
    lines.push_back(escapedRow({"Person", "Mac", "What", "When (UTC)"}));
    for (const auto& e : events)
        lines.push_back(escapedRow({e.actorName, e.macName, rawValue(e.kind), timestamp(e.at)}));
    return joinLines(lines);
}

}  // namespace orvane

#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneKit/base/Date.h"
#include "Orvane_Host/session/SessionHistory.h"
#include "Orvane_Host/update/UpdateChecker.h"

namespace orvane::settings {

// What the cloud store says of the person's account; nothing when asking failed.
enum class AccountStatus {
    couldNotDetermine,
    available,
    restricted,
    noAccount,
    temporarilyUnavailable
};
std::string accountStatusText(std::optional<AccountStatus> status);

// "1h 1m", "1m 1s", "1s": at most two units, zero units dropped, never under a second.
std::string durationText(double seconds);
// "2 minutes ago", "in 3 hours", "now": English, wide units.
std::string relativeText(Date date, Date now);

// The detail line of a history row; `green` says whether it is a running session.
struct HistoryDetail {
    std::string text;
    bool green = false;
};
HistoryDetail historyDetail(const SessionHistory::Entry& entry);
std::string historySubtitle(const SessionHistory::Entry& entry);

// The host's own log lines of the last day up to `now`, oldest first, from JSON-lines files
// given oldest first: "2025-03-01T14:05:09Z [net] message", joined by "\n". Lines that are not
// the host's records are skipped.
inline constexpr const char* hostSubsystem = "com.nimbrel.kelsap.host";
std::string logExportText(const std::vector<std::filesystem::path>& files, Date now);
// Writes the export to `target` atomically; the error's description when it failed.
std::optional<std::string> exportLogs(const std::vector<std::filesystem::path>& files, Date now,
                                      const std::filesystem::path& target);
// Writes an exported file atomically; the error's description when it failed.
std::optional<std::string> writeExport(const std::filesystem::path& target,
                                       const std::string& text);

// "1.2.0 (345)", a missing part as "–".
std::string versionString(std::optional<std::string> shortVersion,
                          std::optional<std::string> buildNumber);

// The About pane's line for the last update check; empty before any.
std::string updateStatusText(const UpdateChecker::Status& status);

}  // namespace orvane::settings

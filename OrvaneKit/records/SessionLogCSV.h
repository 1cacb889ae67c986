#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "OrvaneKit/base/Date.h"
#include "OrvaneKit/cloud/AuditEvent.h"
#include "OrvaneKit/records/SessionLogEntry.h"

namespace orvane {

// CSV exports of session records and team audit events. Every cell is quoted except the
// Duration cells of the session rows; every line, the last included, ends with CRLF.
struct SessionLogCSV {
    static std::string sessions(const std::vector<SessionLogEntry>& entries);
    static std::string audit(const std::vector<AuditEvent>& events);

    // One quoted cell. Line breaks become spaces, and a leading "=", "+", "-", "@", tab or
    // carriage return gets an apostrophe so that a spreadsheet never runs the cell as a formula.
    static std::string escape(std::string_view text);

    // "2026-03-04T05:06:07Z": UTC, fractions dropped (rounded toward the past). Empty for a
    // date that no calendar can show (not finite, or far beyond any real session).
    static std::string timestamp(Date date);

    // The unquoted Duration cell: whole seconds, halves away from zero; empty without an end
    // or when the dates are corrupt.
    static std::string durationCell(const SessionLogEntry& entry);
};

}  // namespace orvane

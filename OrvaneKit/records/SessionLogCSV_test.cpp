#include "OrvaneKit/records/SessionLogCSV.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>

#include "OrvaneKit/records/CSVDocument.h"

namespace orvane {
namespace {

const std::string header =
    R"csv("Device","Kind","Route","Started (UTC)","Ended (UTC)","Duration (seconds)","Outcome","Let in without asking")csv";

SessionLogEntry entry(std::string device, double start, std::optional<double> end) {
    SessionLogEntry e;
    e.id = Uuid::random();
    e.device = std::move(device);
    e.kind = "Control";
    e.route = "This network";
    e.started = Date::fromUnix(start);
    if (end) e.ended = Date::fromUnix(*end);
    e.outcome = "Connection closed";
    return e;
}

TEST(SessionLogCSV, EscapeRules) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"plain", "\"plain\""},
        {"", "\"\""},
        {"=SUM(A1)", "\"'=SUM(A1)\""},
        {"+1", "\"'+1\""},
        {"-x", "\"'-x\""},
        {"@me", "\"'@me\""},
        {"\tTab", "\"'\tTab\""},
        {"\rCR", "\"'\rCR\""},
        {"\nLF", "\" LF\""},  // the line feed became a space first: no apostrophe
        {"\r\nCRLF", "\" CRLF\""},
        {"a\r\nb\nc\rd", "\"a b c\rd\""},  // a lone carriage return inside stays
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"=\"x\"", "\"'=\"\"x\"\"\""},
        {"a=b", "\"a=b\""},
    };
    for (const auto& c : cases) EXPECT_EQ(SessionLogCSV::escape(c.in), c.out) << c.in;
}

TEST(SessionLogCSV, TimestampDropsFractionsTowardThePast) {
    EXPECT_EQ(SessionLogCSV::timestamp(Date::fromUnix(1772600767.0)), "2026-03-04T05:06:07Z");
    EXPECT_EQ(SessionLogCSV::timestamp(Date::fromUnix(1772600767.999)), "2026-03-04T05:06:07Z");
    EXPECT_EQ(SessionLogCSV::timestamp(Date::fromUnix(-0.5)), "1969-12-31T23:59:59Z");
    EXPECT_EQ(SessionLogCSV::timestamp(Date::fromReference(0)), "2001-01-01T00:00:00Z");
    EXPECT_EQ(
        SessionLogCSV::timestamp(Date::fromReference(std::numeric_limits<double>::quiet_NaN())),
        "");
    EXPECT_EQ(SessionLogCSV::timestamp(Date::fromReference(1e300)), "");
}

TEST(SessionLogCSV, EmptyListIsHeaderOnly) {
    EXPECT_EQ(SessionLogCSV::sessions({}), header + "\r\n");
    EXPECT_EQ(SessionLogCSV::audit({}), "\"Person\",\"Mac\",\"What\",\"When (UTC)\"\r\n");
}

TEST(SessionLogCSV, SessionRows) {
    auto closed = entry("iPad", 1772600767.0, 1772600767.0 + 89.5);
    closed.unattended = true;
    auto open = entry("=evil", 1772600767.0, std::nullopt);
    open.outcome = "Connected";
    auto text = SessionLogCSV::sessions({closed, open});
    EXPECT_EQ(
        text,
        header + "\r\n" +
            R"("iPad","Control","This network","2026-03-04T05:06:07Z","2026-03-04T05:07:36Z",90,"Connection closed","Yes")"
            "\r\n" +
            R"("'=evil","Control","This network","2026-03-04T05:06:07Z","",,"Connected","No")"
            "\r\n");
}

TEST(SessionLogCSV, DurationCell) {
    struct Case {
        double start;
        std::optional<double> end;
        std::string cell;
    } cases[] = {
        {1000, 1089.5, "90"},
        {1000, 1089.4, "89"},
        {1000, 1000.5, "1"},
        {1000, 999, "0"},  // an end before the start
        {1000, std::nullopt, ""},
        {0, 1e300, ""},  // corrupt dates never crash
        {0, std::numeric_limits<double>::infinity(), ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SessionLogCSV::durationCell(entry("d", c.start, c.end)), c.cell) << c.start;
}

TEST(SessionLogCSV, AuditRows) {
    AuditEvent e;
    e.actorName = "Ann \"A\"";
    e.macName = "-Studio";
    e.at = Date::fromUnix(1772600767.25);
    EXPECT_EQ(SessionLogCSV::audit({e}),
              "\"Person\",\"Mac\",\"What\",\"When (UTC)\"\r\n"
              "\"Ann \"\"A\"\"\",\"'-Studio\",\"connect\",\"2026-03-04T05:06:07Z\"\r\n");
}

// An independent RFC 4180 reader must see exactly the cells we meant.
TEST(SessionLogCSV, ParsesBackWithPythonCsv) {
    std::vector<SessionLogEntry> entries = {
        entry("Ann's \"iPhone\"", 1772600767.0, 1772600800.0),
        entry("two\r\nlines\nhere", 1772600767.0, std::nullopt),
        entry("=cmd|' /C calc'!A0", 1772600767.0, 1772600767.0),
        entry("mid\rCR, comma", 1772600767.0, 1772600768.6),
        entry("ünïcødé 🎉", 1772600767.0, 1772600768.0),
    };
    auto text = SessionLogCSV::sessions(entries);
    auto dir = std::filesystem::temp_directory_path() / ("orvane-csv-" + Uuid::random().string());
    std::filesystem::create_directories(dir);
    auto csvPath = dir / "record.csv";
    auto bytes = CSVDocument(text).fileContents();
    std::ofstream(csvPath, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    std::string cmd =
        "python3 -c \"import csv,json,sys; "
        "print(json.dumps(list(csv.reader(open(sys.argv[1], newline='', encoding='utf-8')))))\" " +
        csvPath.string();
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[4096];
    while (auto n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    int rc = pclose(p);
    std::filesystem::remove_all(dir);
    if (rc != 0 && out.empty()) GTEST_SKIP() << "python3 is not available";
    auto rows = nlohmann::json::parse(out);
    ASSERT_EQ(rows.size(), entries.size() + 1);
    EXPECT_EQ(rows[0][5], "Duration (seconds)");
    std::vector<std::vector<std::string>> expected = {
        {"Ann's \"iPhone\"", "33"}, {"two lines here", ""}, {"'=cmd|' /C calc'!A0", "0"},
        {"mid\rCR, comma", "2"},    {"ünïcødé 🎉", "1"},
    };
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const auto& row = rows[i + 1];
        ASSERT_EQ(row.size(), 8u);
        EXPECT_EQ(row[0], expected[i][0]);
        EXPECT_EQ(row[1], "Control");
        EXPECT_EQ(row[3], "2026-03-04T05:06:07Z");
        EXPECT_EQ(row[5], expected[i][1]);
        EXPECT_EQ(row[7], "No");
    }
    EXPECT_EQ(rows[2][4], "");
}

TEST(CSVDocument, LossyReadAndPlainWrite) {
    EXPECT_EQ(CSVDocument::fromBytes({}).text, "");
    const std::uint8_t mixed[] = {'a', 0xC3, 0xA9, 0xFF, 'b',  0xE2, 0x82,
                                  'c', 0xF0, 0x9F, 0x8E, 0x89, 0xC0, 0x80};
    EXPECT_EQ(CSVDocument::fromBytes(mixed).text,
              "a\xC3\xA9\xEF\xBF\xBD"
              "b\xEF\xBF\xBD"
              "c\xF0\x9F\x8E\x89\xEF\xBF\xBD\xEF\xBF\xBD");
    const std::uint8_t surrogate[] = {0xED, 0xA0, 0x80};  // each byte its own replacement
    EXPECT_EQ(CSVDocument::fromBytes(surrogate).text, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    auto bytes = CSVDocument("\"Device\"\r\n").fileContents();
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes.front(), '"');  // no byte-order mark
    EXPECT_EQ(CSVDocument::read("/nonexistent/orvane.csv").text, "");
}

}  // namespace
}  // namespace orvane

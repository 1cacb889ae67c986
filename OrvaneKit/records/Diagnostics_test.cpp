#include "OrvaneKit/records/Diagnostics.h"

#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "OrvaneKit/base/Date.h"
#include "OrvaneKit/base/testing/FakeClock.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A source that hands over what the test queued, and tells the test what was kept.
struct QueuedSource final : MetricSource {
    std::vector<std::pair<std::vector<std::string>, std::string>> pending;
    std::vector<bool> kept;
    void subscribe(Deliver deliver) override {
        for (auto& [payloads, kind] : pending) kept.push_back(deliver(payloads, kind));
    }
};

class DiagnosticsTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("orvane-diagnostics-" + Uuid::random().string());
        fs::create_directories(root_ / "tmp");
        clock_.setWall(Date::fromUnix(1738343109).timePoint());  // 2025-01-31T17:05:09Z
        Log::addSink(logs_);
    }
    void TearDown() override {
        Log::removeSink(logs_);
        fs::remove_all(root_);
    }

    Diagnostics::Config config() {
        Diagnostics::Config c;
        c.folder = root_ / "Orvane" / "Diagnostics";
        c.tempDir = root_ / "tmp";
        c.clock = &clock_;
        return c;
    }
    std::vector<std::string> names(const Diagnostics& d) {
        std::vector<std::string> out;
        for (const auto& f : d.savedFiles()) out.push_back(f.filename().string());
        return out;
    }
    std::size_t logCount(const std::string& text) {
        std::size_t n = 0;
        for (const auto& r : logs_->records())
            if (r.category == "diagnostics" && r.message == text) ++n;
        return n;
    }

    fs::path root_;
    FakeClock clock_;
    std::shared_ptr<MemoryLogSink> logs_ = std::make_shared<MemoryLogSink>();
};

TEST_F(DiagnosticsTest, ABatchInOneSecondGivesOneIntactFilePerPayload) {
    Diagnostics d(config());
    d.start();
    std::vector<std::string> payloads = {R"({"a":1})", R"({"b":2})", R"({"c":3})"};
    d.save(payloads, "diagnostic");

    auto files = d.savedFiles();
    ASSERT_EQ(files.size(), 3u);
    std::set<std::string> contents;
    for (const auto& f : files) {
        EXPECT_TRUE(
            std::regex_match(f.filename().string(),
                             std::regex("2025-01-31T17-05-09Z-diagnostic-[0-9A-F]{6}\\.json")))
            << f;
        contents.insert(readFile(f));
    }
    EXPECT_EQ(contents, std::set<std::string>(payloads.begin(), payloads.end()));
    EXPECT_EQ(logCount("saved 3 diagnostic payload(s)"), 1u);

    d.save({}, "metrics");
    EXPECT_EQ(d.savedFiles().size(), 3u);
    EXPECT_EQ(logs_->records().size(), 1u);
}

TEST_F(DiagnosticsTest, ANameThatIsTakenGetsAFreshSuffixInsteadOfReplacingTheFile) {
    auto c = config();
    std::deque<std::string> ids = {
        "3F9A1C00-0000-4000-8000-000000000000", "3F9A1C00-0000-4000-8000-000000000000",
        "3F9A1C00-0000-4000-8000-000000000000", "B0B0B000-0000-4000-8000-000000000000"};
    c.makeUuid = [&] {
        auto u = *Uuid::parse(ids.front());
        if (ids.size() > 1) ids.pop_front();
        return u;
    };
    Diagnostics d(c);
    d.start();
    d.save({"first"}, "diagnostic");
    d.save({"second"}, "diagnostic");

    EXPECT_EQ(names(d), (std::vector<std::string>{"2025-01-31T17-05-09Z-diagnostic-B0B0B0.json",
                                                  "2025-01-31T17-05-09Z-diagnostic-3F9A1C.json"}));
    EXPECT_EQ(readFile(config().folder / "2025-01-31T17-05-09Z-diagnostic-3F9A1C.json"), "first");
    EXPECT_EQ(readFile(config().folder / "2025-01-31T17-05-09Z-diagnostic-B0B0B0.json"), "second");
}

TEST_F(DiagnosticsTest, AnUnwritableFolderFailsSilentlyAndStillCountsThePayloads) {
    auto c = config();
    fs::create_directories(c.folder.parent_path());
    std::ofstream(c.folder) << "a file where the folder should be";
    QueuedSource source;
    source.pending = {{{"x", "y"}, "diagnostic"}};
    Diagnostics d(c, &source);
    d.start();
    d.save({"z"}, "metrics");

    EXPECT_TRUE(d.savedFiles().empty());
    EXPECT_EQ(source.kept, std::vector<bool>{false});  // so the source keeps them for later
    EXPECT_EQ(logCount("saved 2 diagnostic payload(s)"), 1u);
    EXPECT_EQ(logCount("saved 1 metrics payload(s)"), 1u);
}

TEST_F(DiagnosticsTest, SavedFilesAreNewestFirstAndTheSourceDeliversAtStart) {
    QueuedSource source;
    source.pending = {{{"{}"}, "diagnostic"}};
    Diagnostics d(config(), &source);
    EXPECT_TRUE(d.savedFiles().empty());  // no folder yet
    d.start();
    clock_.advance(std::chrono::hours(30));
    d.save({"{}"}, "metrics");
    clock_.advance(std::chrono::seconds(1));
    d.save({"{}"}, "diagnostic");

    EXPECT_EQ(source.kept, std::vector<bool>{true});
    auto n = names(d);
    ASSERT_EQ(n.size(), 3u);
    EXPECT_EQ(n[0].substr(0, 30), "2025-02-01T23-05-10Z-diagnosti");
    EXPECT_EQ(n[1].substr(0, 28), "2025-02-01T23-05-09Z-metrics");
    EXPECT_EQ(n[2].substr(0, 30), "2025-01-31T17-05-09Z-diagnosti");
}

TEST_F(DiagnosticsTest, TheProblemReportHoldsTheTenNewestThatParse) {
    auto c = config();
    c.app = {"com.nimbrel.kelsap.host", "2.1", "345", "Debian GNU/Linux 12 (bookworm)"};
    Diagnostics d(c);
    d.start();
    for (int i = 0; i < 12; ++i) {
        // The third newest is corrupt; it is left out rather than padded from older ones.
        d.save({i == 9 ? std::string("{not json") : nlohmann::json{{"n", i}}.dump()}, "metrics");
        clock_.advance(std::chrono::seconds(1));
    }
    auto path = d.problemReport();
    ASSERT_TRUE(path);
    EXPECT_EQ(*path, root_ / "tmp" / "Orvane Problem Report.json");
    std::string text = readFile(*path);
    EXPECT_NE(text.find("\n  \"app\": "), std::string::npos) << text;  // pretty-printed

    auto report = nlohmann::json::parse(text);
    EXPECT_EQ(report["app"], "com.nimbrel.kelsap.host");
    EXPECT_EQ(report["version"], "2.1 (345)");
    EXPECT_EQ(report["os"], "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(report["date"], "2025-01-31T17:05:21Z");
    std::vector<int> ns;
    for (const auto& r : report["reports"]) ns.push_back(r["n"]);
    EXPECT_EQ(ns, (std::vector<int>{11, 10, 8, 7, 6, 5, 4, 3, 2}));

    // A second report replaces the first; missing facts show as question marks.
    Diagnostics bare(config());
    ASSERT_TRUE(bare.problemReport());
    report = nlohmann::json::parse(readFile(*path));
    EXPECT_EQ(report["app"], "?");
    EXPECT_EQ(report["version"], "? (?)");
    EXPECT_FALSE(report["os"].get<std::string>().empty());
    EXPECT_EQ(report["reports"].size(), 9u);
}

TEST_F(DiagnosticsTest, AReportThatCannotBeWrittenGivesNothing) {
    auto c = config();
    c.tempDir = root_ / "tmp" / "Orvane Problem Report.json" / "inside";
    std::ofstream(root_ / "tmp" / "Orvane Problem Report.json") << "a file";
    EXPECT_FALSE(Diagnostics(c).problemReport());
}

}  // namespace
}  // namespace orvane

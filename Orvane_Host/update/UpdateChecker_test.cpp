#include "Orvane_Host/update/UpdateChecker.h"

#include <gtest/gtest.h>

#include <map>

#include "OrvaneKit/base/testing/TestRuntime.h"
#include "Orvane_Host/system/testing/FakeWorkspace.h"
#include "Orvane_Host/system/testing/ScriptedAlerts.h"
#include "Orvane_Host/system/testing/UnattendedAlerts.h"
#include "Orvane_Host/update/testing/FakeHttpClient.h"

namespace orvane {
namespace {

using Kind = UpdateChecker::Status::Kind;
using namespace std::chrono_literals;

std::string feed(std::int64_t build, const std::string& url = "https://orvane.app/Orvane.deb") {
    return R"({"shortVersion":"2.)" + std::to_string(build) + R"(","build":)" +
           std::to_string(build) + R"(,"url":")" + url + R"(","notes":"Fixes."})";
}

class UpdateCheckerTest : public ::testing::Test {
protected:
    void SetUp() override { Log::addSink(logs_); }
    void TearDown() override { Log::removeSink(logs_); }

    std::shared_ptr<UpdateChecker> make(UpdateChecker::Bundle bundle = {"2.1", "345"},
                                        AlertPresenter* alerts = nullptr) {
        UpdateChecker::Feed f;
        f.server = "https://updates.test";
        return UpdateChecker::make(
            {rt_.mainActor, http_, alerts ? *alerts : alerts_, workspace_, settings_}, f,
            std::move(bundle));
    }
    // Runs a check to its end, answering its alert (if any) with `response`.
    void run(UpdateChecker& c, bool userInitiated, std::optional<int> response = std::nullopt) {
        bool done = false;
        c.check(userInitiated, [&] { done = true; });
        rt_.drain();
        if (response && alerts_.openCount()) alerts_.respond(*response);
        rt_.drain();
        ASSERT_TRUE(done);
    }
    std::vector<std::string> errorLines() {
        std::vector<std::string> out;
        for (const auto& r : logs_->records())
            if (r.category == "update" && r.level == LogLevel::error) out.push_back(r.message);
        return out;
    }

    TestRuntime rt_;
    FakeHttpClient http_;
    ScriptedAlerts alerts_;
    FakeWorkspace workspace_;
    MemorySettingsStore settings_;
    std::shared_ptr<MemoryLogSink> logs_ = std::make_shared<MemoryLogSink>();
};

TEST_F(UpdateCheckerTest, TheFeedsBuildAgainstTheRunningAndTheSkippedOne) {
    struct Case {
        const char* name;
        std::optional<std::string> running;
        std::int64_t offered;
        std::optional<std::int64_t> skipped;
        bool asked;
        UpdateChecker::Status want;
        const char* alert;  // message of the alert shown, or none
    } cases[] = {
        {"equal, at launch", "345", 345, {}, false, UpdateChecker::Status::upToDate(), nullptr},
        {"equal, asked",
         "345",
         345,
         {},
         true,
         UpdateChecker::Status::upToDate(),
         "You're up to date"},
        {"lower, asked",
         "345",
         300,
         {},
         true,
         UpdateChecker::Status::upToDate(),
         "You're up to date"},
        {"higher, nothing skipped",
         "345",
         346,
         {},
         false,
         UpdateChecker::Status::available("2.346"),
         "Orvane Host 2.346 is available"},
        {"higher, that build skipped", "345", 346, 346, false,
         UpdateChecker::Status::available("2.346"), nullptr},
        {"higher, an older build skipped", "345", 346, 345, false,
         UpdateChecker::Status::available("2.346"), "Orvane Host 2.346 is available"},
        {"higher, skipped but asked", "345", 346, 346, true,
         UpdateChecker::Status::available("2.346"), "Orvane Host 2.346 is available"},
        {"running build not a number",
         "12a",
         1,
         {},
         false,
         UpdateChecker::Status::available("2.1"),
         "Orvane Host 2.1 is available"},
        {"running build missing",
         std::nullopt,
         0,
         {},
         false,
         UpdateChecker::Status::upToDate(),
         nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        settings_.remove(UpdateChecker::dismissedKey);
        if (c.skipped) settings_.setInteger(UpdateChecker::dismissedKey, *c.skipped);
        alerts_ = ScriptedAlerts();
        auto checker = make({"2.1", c.running});
        std::vector<Kind> seen;
        auto sub = checker->statusChanged().connect([&](const auto& s) { seen.push_back(s.kind); });
        http_.answer(HttpResult::response(200, feed(c.offered)));
        run(*checker, c.asked, AlertResponse::secondButton);

        EXPECT_EQ(checker->status(), c.want);
        EXPECT_EQ(seen, (std::vector<Kind>{Kind::checking, c.want.kind}));
        ASSERT_EQ(alerts_.shown().size(), c.alert ? 1u : 0u);
        if (c.alert) {
            EXPECT_EQ(alerts_.shown()[0].message, c.alert);
        }
        EXPECT_TRUE(workspace_.opened().empty());
    }
    auto sent = http_.requests().back();
    EXPECT_EQ(sent.url, "https://updates.test/appcast.json");
    EXPECT_EQ(sent.timeout, 15s);
    EXPECT_TRUE(sent.ignoreCache);
}

TEST_F(UpdateCheckerTest, TheUpdateAlertsButtons) {
    const std::string longText =
        "You have 2.1. A newer build is listed, but the Host disk image is not published on the "
        "site, so this opens the download page instead of a missing file.";
    struct Case {
        const char* url;
        int response;
        const char* firstButton;
        std::vector<std::string> opened;
        std::optional<std::int64_t> skipped;
    } cases[] = {
        {"https://orvane.app/Orvane-2.346.deb",
         AlertResponse::firstButton,
         "Download Update",
         {"https://orvane.app/Orvane-2.346.deb"},
         {}},
        {"HTTP://orvane.app/ORVANE.DEB",
         AlertResponse::firstButton,
         "Download Update",
         {"HTTP://orvane.app/ORVANE.DEB"},
         {}},
        {"https://orvane.app/Orvane.deb?mirror=1",
         AlertResponse::firstButton,
         "Open Download Page",
         {"https://updates.test/download/"},
         {}},
        {"https://orvane.app/Orvane.dmg",
         AlertResponse::firstButton,
         "Open Download Page",
         {"https://updates.test/download/"},
         {}},
        // A package address the browser should never be handed.
        {"file:///etc/passwd.deb", AlertResponse::firstButton, "Download Update", {}, {}},
        {"javascript:alert(1)//.deb", AlertResponse::firstButton, "Download Update", {}, {}},
        {"https:///no-host.deb", AlertResponse::firstButton, "Download Update", {}, {}},
        {"https://orvane.app/a b.deb", AlertResponse::firstButton, "Download Update", {}, {}},
        {"https://orvane.app/Orvane.deb", AlertResponse::secondButton, "Download Update", {}, {}},
        {"https://orvane.app/Orvane.deb", AlertResponse::thirdButton, "Download Update", {}, 346},
        {"https://orvane.app/Orvane.deb", AlertResponse::aborted, "Download Update", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.url) + " " + std::to_string(c.response));
        settings_.remove(UpdateChecker::dismissedKey);
        alerts_ = ScriptedAlerts();
        FakeWorkspace fresh;
        auto checker = UpdateChecker::make({rt_.mainActor, http_, alerts_, fresh, settings_},
                                           {"https://updates.test"}, {"2.1", "345"});
        http_.answer(HttpResult::response(200, feed(346, c.url)));
        run(*checker, false, c.response);

        ASSERT_EQ(alerts_.shown().size(), 1u);
        const auto& a = alerts_.shown()[0];
        EXPECT_EQ(a.buttons, (std::vector<std::string>{c.firstButton, "Remind Me Later",
                                                       "Skip This Version"}));
        EXPECT_EQ(a.informativeText, std::string(c.firstButton) == "Download Update"
                                         ? "You have 2.1. Would you like to download the update?"
                                         : longText);
        EXPECT_EQ(fresh.opened(), c.opened);
        if (c.skipped)
            EXPECT_EQ(settings_.integer(UpdateChecker::dismissedKey), *c.skipped);
        else
            EXPECT_FALSE(settings_.hasStoredValue(UpdateChecker::dismissedKey));
    }
}

TEST_F(UpdateCheckerTest, EveryFailureEndsTheSameWay) {
    struct Case {
        const char* name;
        HttpResult answer;
        const char* why;
    } cases[] = {
        {"no connection", HttpResult::failure("The request timed out."), "The request timed out."},
        {"not found", HttpResult::response(404, feed(346)),
         "The update server gave an unexpected answer (HTTP status 404)."},
        {"not JSON", HttpResult::response(200, "<html>"),
         "The update information could not be read: the answer is not JSON."},
        {"no build", HttpResult::response(200, R"({"shortVersion":"2","url":"https://x/"})"),
         "The update information could not be read: \"build\" is missing."},
    };
    for (bool asked : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (asked ? ", asked" : ", at launch"));
            Log::removeSink(logs_);
            logs_ = std::make_shared<MemoryLogSink>();
            Log::addSink(logs_);
            alerts_ = ScriptedAlerts();
            auto checker = make();
            http_.answer(c.answer);
            run(*checker, asked, AlertResponse::firstButton);

            EXPECT_EQ(checker->status(), UpdateChecker::Status::failed(c.why));
            EXPECT_EQ(errorLines(),
                      std::vector<std::string>{std::string("update check failed: ") + c.why});
            ASSERT_EQ(alerts_.shown().size(), asked ? 1u : 0u);
            if (!asked) continue;
            EXPECT_EQ(alerts_.shown()[0], (AlertSpec{"Couldn't check for updates",
                                                     "Please try again later, or visit "
                                                     "updates.test/download.",
                                                     {"OK", "Open Download Page"},
                                                     ""}));
        }
    }
    EXPECT_TRUE(workspace_.opened().empty());
    alerts_ = ScriptedAlerts();
    run(*make(), true, AlertResponse::secondButton);
    EXPECT_EQ(workspace_.opened(), std::vector<std::string>{"https://updates.test/download/"});
}

TEST_F(UpdateCheckerTest, TheFeedDocument) {
    using R = UpdateChecker::Release;
    struct Case {
        const char* body;
        std::optional<R> want;  // none: a decoding error
    } cases[] = {
        {R"({"shortVersion":"2.2","build":346,"url":"u"})", R{"2.2", 346, "u", {}, {}}},
        {R"({"shortVersion":"2.2","build":346.0,"url":"u","notes":null,"extra":[1],
             "minimumSystemVersion":"12"})",
         R{"2.2", 346, "u", {}, "12"}},
        {R"({"shortVersion":"2.2","build":-1,"url":"u","notes":"n"})", R{"2.2", -1, "u", "n", {}}},
        {R"({"shortVersion":"2.2","build":9223372036854775807,"url":"u"})",
         R{"2.2", 9223372036854775807, "u", {}, {}}},
        {R"({"shortVersion":"2.2","build":9223372036854775808,"url":"u"})", {}},
        {R"({"shortVersion":"2.2","build":1e30,"url":"u"})", {}},
        {R"({"shortVersion":"2.2","build":346.5,"url":"u"})", {}},
        {R"({"shortVersion":"2.2","build":"346","url":"u"})", {}},
        {R"({"shortVersion":2.2,"build":346,"url":"u"})", {}},
        {R"({"shortVersion":"2.2","build":346})", {}},
        {R"({"shortVersion":"2.2","build":346,"url":"u","notes":5})", {}},
        {R"({"shortVersion":"2.2","build":346,"url":"u","minimumSystemVersion":{}})", {}},
        {R"([{"shortVersion":"2.2","build":346,"url":"u"}])", {}},
        {R"({"shortVersion":"2.2","build":346,"url":"u"} trailing)", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        if (c.want)
            EXPECT_EQ(R::decode(c.body), *c.want);
        else
            EXPECT_THROW(R::decode(c.body), std::invalid_argument);
    }
}

TEST_F(UpdateCheckerTest, TheRunningNumbers) {
    std::map<std::string, std::int64_t> builds = {
        {"345", 345},
        {"+7", 7},
        {"-3", -3},
        {"007", 7},
        {"9223372036854775807", 9223372036854775807},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        {"9223372036854775808", 0},
        {"12a", 0},
        {"1.2", 0},
        {" 1", 0},
        {"+", 0},
        {"", 0},
    };
    for (const auto& [text, want] : builds)
        EXPECT_EQ(UpdateChecker::parseBuild(text), want) << text;
    EXPECT_EQ(make({std::nullopt, std::nullopt})->currentVersion(), "\u2013");
    EXPECT_EQ(make({std::nullopt, std::nullopt})->currentBuild(), 0);
    EXPECT_EQ(make({"2.1", "345"})->currentVersion(), "2.1");
}

TEST_F(UpdateCheckerTest, TheServerCanBeMovedBySettingsAndThenByTheEnvironment) {
    std::map<std::string, std::string> env;
    auto lookup = [&](const char* name) -> const char* {
        auto it = env.find(name);
        return it == env.end() ? nullptr : it->second.c_str();
    };
    auto f = UpdateChecker::Feed::fromSettings(settings_, lookup);
    EXPECT_EQ(f.manifestURL(), "https://orvane.app/appcast.json");
    EXPECT_EQ(f.downloadPage(), "https://orvane.app/download/");
    EXPECT_EQ(f.downloadPageText(), "orvane.app/download");
    EXPECT_EQ(f.caFile, "");
    EXPECT_EQ(f.timeout, 15s);

    settings_.setString(UpdateChecker::serverKey, "https://mirror.lan/orvane/");
    settings_.setString(UpdateChecker::caFileKey, "/etc/mirror-ca.pem");
    f = UpdateChecker::Feed::fromSettings(settings_, lookup);
    EXPECT_EQ(f.manifestURL(), "https://mirror.lan/orvane/appcast.json");
    EXPECT_EQ(f.downloadPageText(), "mirror.lan/orvane/download");
    EXPECT_EQ(f.caFile, "/etc/mirror-ca.pem");

    env[UpdateChecker::serverVariable] = "https://127.0.0.1:4433";
    env[UpdateChecker::caFileVariable] = "/tmp/test-ca.pem";
    f = UpdateChecker::Feed::fromSettings(settings_, lookup);
    EXPECT_EQ(f.manifestURL(), "https://127.0.0.1:4433/appcast.json");
    EXPECT_EQ(f.caFile, "/tmp/test-ca.pem");

    // A server address that is not a web address fails the check; the real server is not asked.
    auto checker = UpdateChecker::make({rt_.mainActor, http_, alerts_, workspace_, settings_},
                                       {"file:///srv/feed"}, {"2.1", "345"});
    run(*checker, false);
    EXPECT_EQ(checker->status().kind, Kind::failed);
    EXPECT_TRUE(http_.requests().empty());
}

TEST_F(UpdateCheckerTest, WithNobodyToAnswerTheCheckOnlyLogs) {
    UnattendedAlerts nobody;
    http_.answer(HttpResult::response(200, feed(346)));
    for (bool asked : {false, true}) {
        auto checker = make({"2.1", "345"}, &nobody);
        run(*checker, asked);
        EXPECT_EQ(checker->status(), UpdateChecker::Status::available("2.346"));
    }
    http_.answer(HttpResult::response(200, feed(345)));
    run(*make({"2.1", "345"}, &nobody), true);
    http_.answer(HttpResult::response(500, ""));
    run(*make({"2.1", "345"}, &nobody), true);

    EXPECT_TRUE(nobody.shown().empty());
    EXPECT_FALSE(settings_.hasStoredValue(UpdateChecker::dismissedKey));
    EXPECT_TRUE(workspace_.opened().empty());
    EXPECT_TRUE(logs_->contains(
        "Orvane Host 2.346 is available (you have 2.1): https://orvane.app/Orvane.deb"));
    EXPECT_TRUE(logs_->contains("You're up to date: Orvane Host 2.1 is the latest version."));
}

TEST_F(UpdateCheckerTest, OverlappingChecksEachEndAndTheLastToFinishSetsTheStatus) {
    http_.hold();
    auto checker = make();
    int ended = 0;
    checker->check(false, [&] { ++ended; });
    checker->check(false, [&] { ++ended; });
    rt_.drain();
    EXPECT_EQ(checker->status().kind, Kind::checking);
    http_.complete(1, HttpResult::response(200, feed(345)));
    rt_.drain();
    EXPECT_EQ(checker->status(), UpdateChecker::Status::upToDate());
    http_.complete(0, HttpResult::failure("The request timed out."));
    rt_.drain();
    EXPECT_EQ(checker->status(), UpdateChecker::Status::failed("The request timed out."));
    EXPECT_EQ(ended, 2);

    // A result that arrives after the checker is gone is dropped.
    checker->check(false);
    checker.reset();
    http_.complete(2, HttpResult::response(200, feed(346)));
    rt_.drain();
    EXPECT_TRUE(alerts_.shown().empty());
}

}  // namespace
}  // namespace orvane

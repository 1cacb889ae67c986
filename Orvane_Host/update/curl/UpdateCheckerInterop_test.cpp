// The update check end to end against OpenSSL's own HTTPS server, with an authority made for
// the suite and thrown away after it; everything stays on 127.0.0.1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "OrvaneKit/base/testing/TestRuntime.h"
#include "Orvane_Host/system/testing/FakeWorkspace.h"
#include "Orvane_Host/system/testing/ScriptedAlerts.h"
#include "Orvane_Host/system/testing/UnattendedAlerts.h"
#include "Orvane_Host/update/UpdateChecker.h"
#include "Orvane_Host/update/curl/CurlHttpClient.h"
#include "Orvane_Host/update/testing/TestFeedServer.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
using Status = UpdateChecker::Status;

class InteropUpdateFeed : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = TestFeedServer::start(problem_); }
    static void TearDownTestSuite() { server_.reset(); }
    void SetUp() override {
        if (!server_) GTEST_SKIP() << "no test server: " << problem_;
    }

    static void serve(const std::string& statusLine, const std::string& body,
                      const std::string& headers = "", const std::string& file = "appcast.json") {
        server_->serve(statusLine, body, headers, file);
    }
    static std::string release(std::int64_t build, const std::string& url) {
        return TestFeedServer::release(build, url);
    }

    UpdateChecker::Feed feed(std::uint16_t port = 0) {
        UpdateChecker::Feed f;
        f.server = "https://127.0.0.1:" + std::to_string(port ? port : server_->port());
        f.caFile = server_->caFile();
        return f;
    }
    std::shared_ptr<UpdateChecker> make(UpdateChecker::Feed f, AlertPresenter* alerts = nullptr) {
        return UpdateChecker::make(
            {rt_.mainActor, http_, alerts ? *alerts : alerts_, workspace_, settings_}, f,
            {"2.1", "345"});
    }
    // Runs a check to its end, answering its alert (if one comes up) with `response`.
    bool run(UpdateChecker& c, bool userInitiated, int response = AlertResponse::secondButton) {
        bool done = false;
        c.check(userInitiated, [&] { done = true; });
        auto until = std::chrono::steady_clock::now() + 30s;
        while (!done && std::chrono::steady_clock::now() < until) {
            rt_.io.restart();
            rt_.io.run_for(20ms);
            if (alerts_.openCount()) alerts_.respond(response);
        }
        return done;
    }

    static inline std::string problem_;
    static inline std::unique_ptr<TestFeedServer> server_;

    TestRuntime rt_;
    CurlHttpClient http_;
    ScriptedAlerts alerts_;
    FakeWorkspace workspace_;
    MemorySettingsStore settings_;
};

TEST_F(InteropUpdateFeed, HigherEqualAndLowerBuilds) {
    struct Case {
        std::int64_t build;
        bool asked;
        Status want;
        const char* alert;
    } cases[] = {
        {346, false, Status::available("2.346"), "Orvane Host 2.346 is available"},
        {345, false, Status::upToDate(), nullptr},
        {345, true, Status::upToDate(), "You're up to date"},
        {344, true, Status::upToDate(), "You're up to date"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.build) + (c.asked ? " asked" : " at launch"));
        alerts_ = ScriptedAlerts();
        serve("200 OK", release(c.build, "https://127.0.0.1/Orvane.deb"));
        auto checker = make(feed());
        ASSERT_TRUE(run(*checker, c.asked));
        EXPECT_EQ(checker->status(), c.want);
        ASSERT_EQ(alerts_.shown().size(), c.alert ? 1u : 0u);
        if (c.alert) {
            EXPECT_EQ(alerts_.shown()[0].message, c.alert);
        }
    }
}

TEST_F(InteropUpdateFeed, NotFoundAndMissingKeysFail) {
    struct Case {
        const char* statusLine;
        std::string body;
        const char* why;
    } cases[] = {
        {"404 Not Found", release(346, "https://127.0.0.1/Orvane.deb"),
         "The update server gave an unexpected answer (HTTP status 404)."},
        {"200 OK", R"({"shortVersion":"2.346","url":"https://127.0.0.1/Orvane.deb"})",
         "The update information could not be read: \"build\" is missing."},
        {"200 OK", R"({"build":346,"url":"https://127.0.0.1/Orvane.deb"})",
         "The update information could not be read: \"shortVersion\" is missing."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        alerts_ = ScriptedAlerts();
        serve(c.statusLine, c.body);
        auto checker = make(feed());
        ASSERT_TRUE(run(*checker, false));
        EXPECT_EQ(checker->status(), Status::failed(c.why));
        EXPECT_TRUE(alerts_.shown().empty());
        ASSERT_TRUE(run(*checker, true));
        ASSERT_EQ(alerts_.shown().size(), 1u);
        EXPECT_EQ(alerts_.shown()[0].message, "Couldn't check for updates");
    }
}

TEST_F(InteropUpdateFeed, RedirectsOnlyToHttpsAndAnswersUpToAMegabyte) {
    serve("200 OK", release(346, "https://127.0.0.1/Orvane.deb"), "", "moved.json");
    auto moved = [](const std::string& scheme) {
        return "Location: " + scheme + "://127.0.0.1:" + std::to_string(server_->port()) +
               "/moved.json\r\n";
    };
    struct Case {
        const char* name;
        std::string statusLine, headers, body;
        Status want;
    } cases[] = {
        {"moved within https", "301 Moved Permanently", moved("https"), "",
         Status::available("2.346")},
        {"moved to plain http", "302 Found", moved("http"), "",
         Status::failed("The server sent the request on to an address that is not allowed.")},
        {"too large", "200 OK", "", std::string(CurlHttpClient::maxBody + 1, ' '),
         Status::failed("The server's answer is too large.")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        serve(c.statusLine, c.body, c.headers);
        auto checker = make(feed());
        ASSERT_TRUE(run(*checker, false));
        auto got = checker->status();
        if (got.kind == Status::Kind::failed) got.text = got.text.substr(0, got.text.find(" ("));
        EXPECT_EQ(got, c.want) << checker->status().text;
    }
}

TEST_F(InteropUpdateFeed, AServerThatNeverAnswersTimesOut) {
    // Silent before the secure connection: a socket that is listened on and never served.
    int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(::listen(silent, 4), 0);
    ASSERT_EQ(::getsockname(silent, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    // Silent after it: a server that completes the handshake and never writes an answer.
    std::uint16_t mutePort = 0;
    auto mute = server_->startMute(mutePort);
    ASSERT_TRUE(mute);

    for (std::uint16_t port : {ntohs(addr.sin_port), mutePort}) {
        SCOPED_TRACE(port == mutePort ? "after the handshake" : "before the handshake");
        auto f = feed(port);
        f.timeout = 1s;
        auto checker = make(f);
        auto started = std::chrono::steady_clock::now();
        ASSERT_TRUE(run(*checker, false));
        EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
        EXPECT_EQ(checker->status().kind, Status::Kind::failed);
        EXPECT_EQ(checker->status().text.rfind("The request timed out.", 0), 0u)
            << checker->status().text;
    }
    ::close(silent);
}

TEST_F(InteropUpdateFeed, AnUnknownAuthorityFails) {
    std::string other = server_->otherAuthority();
    ASSERT_FALSE(other.empty());
    serve("200 OK", release(346, "https://127.0.0.1/Orvane.deb"));
    for (std::string caFile : {std::string(), other}) {
        SCOPED_TRACE(caFile.empty() ? "the system's authorities" : "another authority");
        auto f = feed();
        f.caFile = caFile;
        auto checker = make(f);
        ASSERT_TRUE(run(*checker, false));
        EXPECT_EQ(checker->status().kind, Status::Kind::failed);
        EXPECT_EQ(checker->status().text.rfind("The certificate for this server is invalid.", 0),
                  0u)
            << checker->status().text;
    }
}

TEST_F(InteropUpdateFeed, TheHeadlessLaunchCheckNeverSkipsNorOpens) {
    UnattendedAlerts nobody;
    serve("200 OK", release(346, "https://127.0.0.1/Orvane.deb"));
    auto checker = make(feed(), &nobody);
    ASSERT_TRUE(run(*checker, false));
    EXPECT_EQ(checker->status(), Status::available("2.346"));
    EXPECT_TRUE(nobody.shown().empty());
    EXPECT_FALSE(settings_.hasStoredValue(UpdateChecker::dismissedKey));
    EXPECT_TRUE(workspace_.opened().empty());
}

TEST_F(InteropUpdateFeed, OnlyWebPagesAreOpened) {
    struct Case {
        const char* url;
        std::vector<std::string> opened;
    } cases[] = {
        {"https://127.0.0.1/Orvane-2.346.deb", {"https://127.0.0.1/Orvane-2.346.deb"}},
        {"http://127.0.0.1/Orvane-2.346.deb", {"http://127.0.0.1/Orvane-2.346.deb"}},
        {"file:///etc/passwd.deb", {}},
        {"ftp://127.0.0.1/Orvane.deb", {}},
        {"smb://127.0.0.1/share/Orvane.deb", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        alerts_ = ScriptedAlerts();
        FakeWorkspace workspace;
        serve("200 OK", release(346, c.url));
        auto checker = UpdateChecker::make({rt_.mainActor, http_, alerts_, workspace, settings_},
                                           feed(), {"2.1", "345"});
        ASSERT_TRUE(run(*checker, true, AlertResponse::firstButton));
        ASSERT_EQ(alerts_.shown().size(), 1u);
        EXPECT_EQ(alerts_.shown()[0].buttons[0], "Download Update");
        EXPECT_EQ(workspace.opened(), c.opened);
    }
}

}  // namespace
}  // namespace orvane

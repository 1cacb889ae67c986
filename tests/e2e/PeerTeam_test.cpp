// Two people, each with their own account file and keychain, keeping one team on a PostgreSQL
// server through orvane-peer, one process per step.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "OrvaneKit/net/testing/ChildProcess.h"
#include "tests/support/HostHome.h"
#include "tests/support/PostgresServer.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class Person {
public:
    Person(const fs::path& dir, const std::string& user, int port, const std::string& database,
           const std::string& role)
        : dir_(dir / user), user_(user) {
        fs::create_directories(dir_);
        std::ofstream(dir_ / "cloud.json")
            << nlohmann::json{{"backend", "postgres"}, {"userRecordName", user},
                              {"server", "127.0.0.1"}, {"port", port},
                              {"database", database},  {"role", role}}
                   .dump();
    }
    const std::string& user() const { return user_; }
    // orvane-peer team ARGS: exit status and output.
    std::pair<std::optional<int>, std::string> team(std::vector<std::string> args) const {
        args.insert(args.begin(), "team");
        return peer(std::move(args));
    }
    std::pair<std::optional<int>, std::string> peer(std::vector<std::string> args) const {
        return ChildProcess::run(argv(std::move(args)), "", 20s);
    }
    std::vector<std::string> argv(std::vector<std::string> args) const {
        std::vector<std::string> argv{HostHome::peerBinary};
        argv.insert(argv.end(), args.begin(), args.end());
        for (const char* flag : {"--cloud", "--keychain"}) {
            argv.push_back(flag);
            argv.push_back((dir_ / (flag[2] == 'c' ? "cloud.json" : "keychain.json")).string());
        }
        return argv;
    }
    nlohmann::json teamJson(std::vector<std::string> args) const {
        auto [status, out] = team(std::move(args));
        EXPECT_EQ(status, 0) << out;
        auto j = nlohmann::json::parse(out.substr(0, out.find('\n')), nullptr, false);
        return j.is_object() ? j : nlohmann::json::object();
    }

private:
    fs::path dir_;
    std::string user_;
};

TEST(SlowPeerTeam, TwoPeopleKeepOneTeamWithRolesAndAnAuditLog) {
    if (!fs::exists(HostHome::peerBinary)) GTEST_SKIP() << "not built: " << HostHome::peerBinary;
    std::string why;
    auto* server = PostgresServer::shared(why);
    if (!server) {
        if (PostgresServer::missing()) GTEST_SKIP() << why;
        FAIL() << why;
    }
    const std::string info = server->newDatabase();
    const auto at = info.find("dbname=") + 7;
    const std::string database = info.substr(at, info.find(' ', at) - at);
    char tmpl[] = "/tmp/orvane-team-XXXXXX";
    const fs::path dir = mkdtemp(tmpl);
    // The administrator sets the server up; each person logs in with a role of their own.
    Person admin(dir, "_admin", server->port(), database, "postgres");
    for (int i = 0; i < 2; ++i) EXPECT_EQ(admin.peer({"cloud", "server", "init"}).first, 0);
    Person a(dir, "_a0000000000000000000000000000001", server->port(), database, database + "_a");
    Person b(dir, "_b0000000000000000000000000000002", server->port(), database, database + "_b");
    for (const auto* p : {&a, &b}) {
        auto [status, out] =
            admin.peer({"cloud", "server", "add-user", database + (p == &a ? "_a" : "_b"),
                        p->user(), "--password", "pw"});
        ASSERT_EQ(status, 0) << out;
    }

    auto created = a.teamJson({"create", "Ops", "--name", "Person A"});
    ASSERT_TRUE(created["shareURL"].is_string()) << created;
    const std::string url = created["shareURL"];
    EXPECT_NE(b.team({"accept", url}).first, 0) << "accepted before being invited";
    a.teamJson({"invite", b.user()});
    EXPECT_EQ(b.teamJson({"accept", url})["event"], "accepted");

    EXPECT_EQ(a.teamJson({"load"})["amOwner"], true);
    EXPECT_EQ(b.teamJson({"load"})["amOwner"], false);
    a.teamJson({"add-mac", "mac-1", "Studio Mac"});
    a.teamJson({"add-member", b.user(), "Person B", "--role", "admin"});
    const std::string other =
        a.teamJson({"add-member", "_c3", "Person C", "--role", "admin"})["id"];
    EXPECT_EQ(b.teamJson({"load"})["myRole"], "admin");

    // An admin may not act on another admin; nothing changes.
    auto [refused, out] = b.team({"remove-member", other});
    EXPECT_EQ(refused, 1) << out;
    EXPECT_NE(out.find("\"code\":10"), std::string::npos) << out;
    EXPECT_EQ(a.teamJson({"load"})["members"].size(), 3u);

    // The owner's other process hears of the member's change through the server.
    ChildProcess watcher(a.argv({"cloud", "watch"}));
    ASSERT_TRUE(watcher.waitForOutput(R"("event":"watching")", 10s)) << watcher.output();
    b.teamJson({"record-connect", "mac-1", "Studio Mac", "--name", "Person B"});
    EXPECT_TRUE(watcher.waitForOutput(R"("event":"push")", 5s)) << watcher.output();
    auto state = a.teamJson({"load"});
    ASSERT_EQ(state["audit"].size(), 1u) << state;
    EXPECT_EQ(state["audit"][0]["description"], "Person B connected to Studio Mac");
    EXPECT_EQ(state["audit"][0]["actorID"], b.user());

    auto [status, csv] = a.team({"audit-csv"});
    ASSERT_EQ(status, 0);
    std::ofstream(dir / "audit.csv") << csv;
    auto [pyStatus, row] =
        ChildProcess::run({"python3", "-c",
                           "import csv,sys; rows=list(csv.reader(open(sys.argv[1], newline=''))); "
                           "print('|'.join(rows[1][:3]), len(rows))",
                           (dir / "audit.csv").string()},
                          "", 20s);
    EXPECT_EQ(row, "Person B|Studio Mac|connect 2\n");

    // The key of encrypted fields goes to another machine of the same person as it is.
    auto [exported, key] = a.peer({"cloud", "key", "export"});
    ASSERT_EQ(exported, 0);
    ASSERT_EQ(key.size(), 65u) << key;
    EXPECT_EQ(b.peer({"cloud", "key", "import", key.substr(0, 64)}).first, 0);
    EXPECT_EQ(b.peer({"cloud", "key", "export"}).second, key);
    EXPECT_EQ(b.peer({"cloud", "key", "import", "abc"}).first, 64);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace orvane

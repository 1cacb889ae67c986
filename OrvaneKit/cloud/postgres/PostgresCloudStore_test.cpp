#include "OrvaneKit/cloud/postgres/PostgresCloudStore.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "OrvaneKit/cloud/inotify/InotifyWakeSignal.h"
#include "OrvaneKit/cloud/sqlite/SqliteCloudStore.h"
#include "OrvaneKit/security/Keychain.h"
#include "OrvaneKit/security/testing/MemorySecretStore.h"
#include "tests/support/PostgresServer.h"

using namespace orvane;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(PostgresCloudStore, OffLoopbackTheServerMustProveItsName) {
    CloudAccountFile a;
    a.backend = "postgres";
    a.database = "orvane";
    a.role = "o'neil";
    struct Case {
        const char* server;
        const char* mode;
    };
    for (const auto& c :
         {Case{"127.0.0.1", "prefer"}, Case{"localhost", "prefer"}, Case{"::1", "prefer"},
          Case{"db.example.net", "verify-full"}, Case{"192.0.2.7", "verify-full"}}) {
        a.server = c.server;
        const auto info = postgresConnInfo(a, "pw");
        EXPECT_NE(info.find(std::string("sslmode=") + c.mode), std::string::npos) << info;
        EXPECT_NE(info.find("user='o\\'neil'"), std::string::npos) << info;
    }
}

TEST(SlowPostgresCloudStore, CloudJsonNamesTheServerAndPagingSeesEveryRecordOnce) {
    std::string why;
    auto* server = PostgresServer::shared(why);
    if (!server) {
        if (PostgresServer::missing()) GTEST_SKIP() << why;
        FAIL() << why;
    }
    const std::string conninfo = server->newDatabase();
    const std::string dbname =
        conninfo.substr(conninfo.find("dbname=") + 7, conninfo.find(' ', conninfo.find("dbname=")) -
                                                          conninfo.find("dbname=") - 7);
    char tmpl[] = "/tmp/orvane-pgjson-XXXXXX";
    const fs::path dir = mkdtemp(tmpl);
    std::ofstream(dir / "cloud.json")
        << R"({"backend": "postgres", "userRecordName": "_00112233445566778899aabbccddeeff", )"
        << R"("server": "127.0.0.1", "port": )" << server->port() << R"(, "database": ")" << dbname
        << R"(", "role": "postgres"})";
    MemorySecretStore keychain;
    Keychain::set("unused-with-trust", postgresPasswordAccount, "com.nimbrel.kelsap", false,
                  std::nullopt, keychain);
    auto open = [&] {
        return openConfiguredCloudStore(
            keychain, makeInotifyWakeSignal, dir / "cloud.json",
            [&](const CloudAccountFile& a) { return openPostgresBackend(a, keychain); });
    };
    auto reader = open();
    ASSERT_EQ(reader->currentUserRecordName(), "_00112233445566778899aabbccddeeff");
    const CloudZoneID zone{"Kelsap"};
    reader->database(CloudScope::privateScope)->modifyZones({zone}, {});

    // Two writers at once while a reader pages on with its tokens.
    std::atomic<int> writing{2};
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w)
        writers.emplace_back([&, w] {
            auto db = open()->database(CloudScope::privateScope);
            for (int i = 0; i < 200; ++i) {
                CloudRecord r;
                r.type = "Note";
                r.id = {"w" + std::to_string(w) + "-" + std::to_string(i), zone};
                db->modifyRecords({r}, {}, CloudSavePolicy::allKeys, true);
            }
            --writing;
        });
    std::map<std::string, int> seen;
    std::optional<std::string> token;
    auto db = reader->database(CloudScope::privateScope);
    for (bool last = false;;) {
        const bool done = writing.load() == 0;
        auto page = db->fetchZoneChanges(zone, token, 7);
        for (const auto& r : page.changed) ++seen[r.id.name];
        token = page.token;
        if (!page.moreComing && last) break;
        if (!page.moreComing && done) last = true;
    }
    for (auto& t : writers) t.join();
    EXPECT_EQ(seen.size(), 400u);
    for (const auto& [name, n] : seen) EXPECT_EQ(n, 1) << name;
    fs::remove_all(dir);
}

TEST(SlowPostgresCloudStore, EachPersonReachesOnlyTheirOwnAndAcceptedZones) {
    std::string why;
    auto* server = PostgresServer::shared(why);
    if (!server) {
        if (PostgresServer::missing()) GTEST_SKIP() << why;
        FAIL() << why;
    }
    const std::string admin = server->newDatabase();
    const auto at = admin.find("dbname=") + 7;
    const std::string dbname = admin.substr(at, admin.find(' ', at) - at);
    initPostgresServer(admin);
    initPostgresServer(admin);  // safe to repeat
    const std::string ann = "_a0000000000000000000000000000001";
    const std::string bob = "_b0000000000000000000000000000002";
    addPostgresUser(admin, "ann_" + dbname, ann, "pw-a");
    addPostgresUser(admin, "bob_" + dbname, bob, "pw-b");
    auto as = [&](const std::string& role) {
        std::string info = admin;
        info.replace(info.find("user=postgres"), 13, "user=" + role);
        return info;
    };
    MemorySecretStore keychain;
    CloudAccountFile a, b;
    a.userRecordName = ann;
    b.userRecordName = bob;
    auto annStore = openPostgresCloudStore(as("ann_" + dbname), a, keychain);
    auto bobStore = openPostgresCloudStore(as("bob_" + dbname), b, keychain);
    const CloudZoneID zone{"OrvaneTeam"};
    auto annDb = annStore->database(CloudScope::privateScope);
    annDb->modifyZones({zone, {"Private"}}, {});
    CloudRecord note;
    note.type = "Note";
    note.id = {"n1", {"Private"}};
    note.set("text", std::string("only Ann's"));
    note.setEncrypted("authToken", std::string("TOKEN-IN-THE-CLEAR"));
    ASSERT_FALSE(annDb->modifyRecords({note}, {}, CloudSavePolicy::allKeys, true).saved[0].error);

    // Bob's login sees none of Ann's rows, and his store cannot write there.
    EXPECT_EQ(server->psql(dbname, "SELECT count(*) FROM records", "bob_" + dbname), "0\n");
    EXPECT_EQ(server->psql(dbname, "SELECT count(*) FROM records", "ann_" + dbname), "1\n");
    // Not even the server's owner reads a sealed value.
    const auto everything = server->psql(dbname, "SELECT plain, sealed FROM records");
    EXPECT_NE(everything.find("only Ann"), std::string::npos) << everything;
    EXPECT_EQ(everything.find("TOKEN-IN-THE-CLEAR"), std::string::npos) << everything;
    auto bobShared = bobStore->database(CloudScope::sharedScope);
    CloudRecord intrusion;
    intrusion.type = "Note";
    intrusion.id = {"x", {"Private", ann}};
    auto result = bobShared->modifyRecords({intrusion}, {}, CloudSavePolicy::allKeys, true);
    ASSERT_TRUE(result.saved[0].error);
    EXPECT_EQ(result.saved[0].error->code, CloudErrorCode::zoneNotFound);
    EXPECT_EQ(
        server->psql(dbname,
                     "WITH u AS (UPDATE zones SET seq = 99 RETURNING 1) SELECT count(*) FROM u",
                     "bob_" + dbname),
        "0\n");

    // Shared and accepted: Bob reaches that zone, and no other.
    CloudRecord share;
    share.type = cloudShareType;
    share.id = {cloudZoneShareName, zone};
    share.set("title", std::string("Ops"));
    auto saved = annDb->modifyRecords({share}, {}, CloudSavePolicy::changedKeys, true);
    const auto url = std::get<std::string>(*saved.saved[0].record->get("url"));
    annStore->addShareParticipant(zone, bob);
    EXPECT_EQ(bobStore->acceptShare(url), (CloudZoneID{"OrvaneTeam", ann}));
    EXPECT_EQ(bobShared->allZones(), std::vector<CloudZoneID>{(CloudZoneID{"OrvaneTeam", ann})});
    CloudRecord fromBob;
    fromBob.type = "Note";
    fromBob.id = {"b1", {"OrvaneTeam", ann}};
    EXPECT_FALSE(
        bobShared->modifyRecords({fromBob}, {}, CloudSavePolicy::allKeys, true).saved[0].error);
    EXPECT_EQ(annDb->fetchRecord({"b1", zone}).type, "Note");
    EXPECT_EQ(server->psql(dbname, "SELECT count(*) FROM records", "bob_" + dbname), "2\n");
}

TEST(SlowPostgresCloudStore, AStoppedServerFailsWith3AndIsReachedAgainAfterItsRestart) {
    std::string why;
    auto* server = PostgresServer::shared(why);
    if (!server) {
        if (PostgresServer::missing()) GTEST_SKIP() << why;
        FAIL() << why;
    }
    MemorySecretStore keychain;
    CloudAccountFile account;
    account.userRecordName = "_00112233445566778899aabbccddeeff";
    const std::string info = server->newDatabase();
    auto store = openPostgresCloudStore(info, account, keychain);
    auto listener = openPostgresCloudStore(info, account, keychain);
    auto db = store->database(CloudScope::privateScope);
    db->modifyZones({{"Kelsap"}}, {});
    db->modifySubscriptions({{"all"}}, {});
    asio::io_context io;
    auto guard = asio::make_work_guard(io);
    std::thread runner([&] { io.run(); });
    std::atomic<int> pushes{0};
    listener->setPushHandler(io.get_executor(), [&] { ++pushes; });
    server->stop();
    int code = 0;
    try {
        db->allZones();
    } catch (const CloudError& e) {
        code = e.code;
    }
    server->start();
    EXPECT_EQ(code, CloudErrorCode::networkUnavailable);
    EXPECT_EQ(db->allZones().size(), 1u);

    // The listening device hears of changes again once it listens anew.
    CloudRecord r;
    r.type = "Note";
    r.id = {"n", {"Kelsap"}};
    for (auto until = std::chrono::steady_clock::now() + 15s;
         pushes.load() == 0 && std::chrono::steady_clock::now() < until;) {
        db->modifyRecords({r}, {}, CloudSavePolicy::allKeys, true);
        std::this_thread::sleep_for(300ms);
    }
    EXPECT_GT(pushes.load(), 0);
    listener->setPushHandler({}, {});
    guard.reset();
    io.stop();
    runner.join();
}

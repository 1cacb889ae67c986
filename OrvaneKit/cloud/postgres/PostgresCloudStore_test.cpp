#include "OrvaneKit/cloud/postgres/PostgresCloudStore.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
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
    if (!server) GTEST_SKIP() << why;
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

#include "OrvaneKit/cloud/sqlite/SqliteCloudStore.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "OrvaneKit/cloud/LazyCloudStore.h"
#include "OrvaneKit/cloud/inotify/InotifyWakeSignal.h"
#include "OrvaneKit/security/testing/MemorySecretStore.h"

using namespace orvane;
namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

unsigned modeOf(const fs::path& p) {
    struct stat st {};
    ::stat(p.c_str(), &st);
    return st.st_mode & 0777;
}

TEST(SqliteCloudStore, KeepsSealedFieldsOutOfTheFilesAndItsFilesPrivate) {
    char tmpl[] = "/tmp/orvane-cloud-XXXXXX";
    const fs::path dir = mkdtemp(tmpl);
    const fs::path file = dir / "cloud" / "records.sqlite";
    MemorySecretStore keychain;
    CloudAccountFile account;
    account.userRecordName = "_0123";
    {
        auto store = openSqliteCloudStore(file, account, keychain, makeInotifyWakeSignal);
        auto db = store->database(CloudScope::privateScope);
        db->modifyZones({{"Kelsap"}}, {});
        CloudRecord r;
        r.type = "Mac";
        r.id = {"M1", {"Kelsap"}};
        r.set("name", std::string("VisibleName"));
        r.setEncrypted("accessCode", std::string("SECRETCODE42"));
        r.setEncrypted("authToken", std::string("TOKENVALUE77"));
        auto res = db->modifyRecords({r}, {}, CloudSavePolicy::allKeys, true);
        ASSERT_FALSE(res.saved[0].error);

        const std::string bytes = slurp(file) + slurp(file.string() + "-wal");
        EXPECT_NE(bytes.find("VisibleName"), std::string::npos) << "the plain field is stored";
        EXPECT_EQ(bytes.find("SECRETCODE42"), std::string::npos);
        EXPECT_EQ(bytes.find("TOKENVALUE77"), std::string::npos);
        EXPECT_EQ(modeOf(file), 0600u);
        EXPECT_EQ(modeOf(file.string() + "-wal"), 0600u);
        EXPECT_EQ(modeOf(file.parent_path()), 0700u);
    }
    // The sealed field opens again with the key the keychain kept, and not with another.
    {
        auto store = openSqliteCloudStore(file, account, keychain, makeInotifyWakeSignal);
        auto rec = store->database(CloudScope::privateScope)->fetchRecord({"M1", {"Kelsap"}});
        EXPECT_EQ(std::get<std::string>(*rec.getEncrypted("accessCode")), "SECRETCODE42");
    }
    {
        MemorySecretStore otherKeychain;
        auto store = openSqliteCloudStore(file, account, otherKeychain, makeInotifyWakeSignal);
        auto rec = store->database(CloudScope::privateScope)->fetchRecord({"M1", {"Kelsap"}});
        EXPECT_EQ(rec.getEncrypted("accessCode"), nullptr);
        EXPECT_EQ(std::get<std::string>(*rec.get("name")), "VisibleName");
        // Nor does it seal anything with a second key; plain fields it still writes.
        rec.setEncrypted("accessCode", std::string("OTHERCODE"));
        auto res = store->database(CloudScope::privateScope)
                       ->modifyRecords({rec}, {}, CloudSavePolicy::allKeys, true);
        ASSERT_TRUE(res.saved[0].error);
        EXPECT_NE(std::string(res.saved[0].error->what()).find("cloud key import"),
                  std::string::npos);
        rec.encrypted.clear();
        rec.set("name", std::string("Renamed"));
        EXPECT_FALSE(store->database(CloudScope::privateScope)
                         ->modifyRecords({rec}, {}, CloudSavePolicy::changedKeys, true)
                         .saved[0]
                         .error);
    }
    fs::remove_all(dir);
}

}  // namespace

namespace {

TEST(SqliteCloudStore, AnAccountFileThatCannotBeReadLeavesAStoreThatSaysWhy) {
    char tmpl[] = "/tmp/orvane-cloud-XXXXXX";
    const fs::path dir = mkdtemp(tmpl);
    MemorySecretStore keychain;
    const fs::path file = dir / "cloud.json";

    // Made on first use, with a user of its own, and the same user read back.
    auto made = CloudAccountFile::loadOrCreate(file);
    EXPECT_EQ(made.backend, "sqlite");
    EXPECT_EQ(made.userRecordName.size(), 33u);
    EXPECT_EQ(CloudAccountFile::loadOrCreate(file).userRecordName, made.userRecordName);
    EXPECT_EQ(modeOf(file), 0600u);

    std::ofstream(file) << "{ not json";
    auto store = openConfiguredCloudStore(keychain, makeInotifyWakeSignal, file);
    try {
        store->database(CloudScope::privateScope)->allZones();
        FAIL();
    } catch (const CloudError& e) {
        EXPECT_NE(std::string(e.what()).find(file.string()), std::string::npos) << e.what();
    }
    EXPECT_THROW(store->accountStatus(), CloudError);
    fs::remove_all(dir);
}

// Only a server out of reach is tried again later; a setting that is wrong stays wrong.
TEST(SqliteCloudStore, OnlyABackendOutOfReachIsOpenedAgainLater) {
    char tmpl[] = "/tmp/orvane-cloud-XXXXXX";
    const fs::path dir = mkdtemp(tmpl);
    MemorySecretStore keychain;
    const fs::path file = dir / "cloud.json";
    struct Case {
        const char* backend;
        int code;  // what the backend's opener throws; 0: it knows no such backend
        bool reopens;
    };
    for (const Case c :
         {Case{"postgres", CloudErrorCode::networkUnavailable, true},
          Case{"postgres", CloudErrorCode::internalError, false}, Case{"elsewhere", 0, false}}) {
        SCOPED_TRACE(std::string(c.backend) + " " + std::to_string(c.code));
        std::ofstream(file) << R"({"backend": ")" << c.backend << R"(", "userRecordName": "_a"})";
        int attempts = 0;
        auto store = openConfiguredCloudStore(
            keychain, makeInotifyWakeSignal, file,
            [&](const CloudAccountFile& a) -> std::shared_ptr<CloudStore> {
                ++attempts;
                EXPECT_EQ(a.userRecordName, "_a");
                if (!c.code) return nullptr;
                throw CloudError(c.code, "The cloud server failed (" + a.backend + ").");
            });
        EXPECT_EQ(dynamic_cast<LazyCloudStore*>(store.get()) != nullptr, c.reopens);
        try {
            store->database(CloudScope::privateScope)->allZones();
            ADD_FAILURE() << "no error";
        } catch (const CloudError& e) {
            const std::string why = c.code ? "The cloud server failed (postgres)."
                                           : "The cloud store \"elsewhere\" named in " +
                                                 file.string() + " is not built in.";
            EXPECT_EQ(e.what(), why);
            if (c.reopens) EXPECT_EQ(e.code, c.code);
        }
        EXPECT_EQ(attempts, 1);
    }
    fs::remove_all(dir);
}

}  // namespace

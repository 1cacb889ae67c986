#include <gtest/gtest.h>
#include <stdlib.h>

#include <asio/io_context.hpp>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "OrvaneKit/cloud/CloudStore.h"
#include "OrvaneKit/cloud/inotify/InotifyWakeSignal.h"
#include "OrvaneKit/cloud/postgres/PostgresCloudStore.h"
#include "OrvaneKit/cloud/sqlite/SqliteCloudStore.h"
#include "OrvaneKit/cloud/testing/FakeCloudStore.h"
#include "OrvaneKit/security/testing/MemorySecretStore.h"
#include "tests/support/PostgresServer.h"

using namespace orvane;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Where the stores under test live: devices of one account, an account without sign-in over
// the same records, and an unrelated store.
class World {
public:
    virtual ~World() = default;
    virtual std::shared_ptr<CloudStore> device(int n) = 0;
    virtual std::shared_ptr<CloudStore> withoutAccount() = 0;
    virtual std::shared_ptr<CloudStore> unrelated() = 0;
    // Somebody else's account on the same server.
    virtual std::shared_ptr<CloudStore> person(const std::string& user) = 0;
};

class FakeWorld final : public World {
public:
    std::shared_ptr<CloudStore> device(int n) override {
        if (!devices_.contains(n)) devices_[n] = n == 0 ? first_ : first_->otherDevice();
        return devices_[n];
    }
    std::shared_ptr<CloudStore> withoutAccount() override {
        auto s = std::make_shared<FakeCloudStore>();
        s->setAccountStatus(CloudAccountStatus::noAccount);
        return s;
    }
    std::shared_ptr<CloudStore> unrelated() override { return std::make_shared<FakeCloudStore>(); }
    std::shared_ptr<CloudStore> person(const std::string& user) override {
        return first_->otherPerson(user);
    }

private:
    std::shared_ptr<FakeCloudStore> first_ = std::make_shared<FakeCloudStore>();
    std::map<int, std::shared_ptr<CloudStore>> devices_;
};

class SqliteWorld final : public World {
public:
    SqliteWorld() {
        char tmpl[] = "/tmp/orvane-cloud-XXXXXX";
        dir_ = mkdtemp(tmpl);
        account_.userRecordName = "_00112233445566778899aabbccddeeff";
    }
    ~SqliteWorld() override {
        devices_.clear();
        fs::remove_all(dir_);
    }
    fs::path file() const { return dir_ / "cloud" / "records.sqlite"; }
    std::shared_ptr<CloudStore> device(int n) override {
        if (!devices_.contains(n))
            devices_[n] = openSqliteCloudStore(file(), account_, keychain_, makeInotifyWakeSignal);
        return devices_[n];
    }
    std::shared_ptr<CloudStore> withoutAccount() override {
        auto none = account_;
        none.account = "none";
        return openSqliteCloudStore(file(), none, keychain_, makeInotifyWakeSignal);
    }
    std::shared_ptr<CloudStore> unrelated() override {
        return openSqliteCloudStore(dir_ / "other" / "records.sqlite", account_, keychain_,
                                    makeInotifyWakeSignal);
    }
    std::shared_ptr<CloudStore> person(const std::string& user) override {
        auto other = account_;
        other.userRecordName = user;
        return openSqliteCloudStore(file(), other, keychain_, makeInotifyWakeSignal);
    }

private:
    fs::path dir_;
    CloudAccountFile account_;
    MemorySecretStore keychain_;
    std::map<int, std::shared_ptr<CloudStore>> devices_;
};

// One database per test on the program's private server.
class PostgresWorld final : public World {
public:
    explicit PostgresWorld(PostgresServer& server)
        : server_(server), conninfo_(server.newDatabase()) {
        account_.userRecordName = "_00112233445566778899aabbccddeeff";
    }
    ~PostgresWorld() override { devices_.clear(); }
    std::shared_ptr<CloudStore> device(int n) override {
        if (!devices_.contains(n))
            devices_[n] = openPostgresCloudStore(conninfo_, account_, keychain_);
        return devices_[n];
    }
    std::shared_ptr<CloudStore> withoutAccount() override {
        auto none = account_;
        none.account = "none";
        return openPostgresCloudStore(conninfo_, none, keychain_);
    }
    std::shared_ptr<CloudStore> unrelated() override {
        return openPostgresCloudStore(server_.newDatabase(), account_, keychain_);
    }
    std::shared_ptr<CloudStore> person(const std::string& user) override {
        auto other = account_;
        other.userRecordName = user;
        return openPostgresCloudStore(conninfo_, other, keychain_);
    }

private:
    PostgresServer& server_;
    std::string conninfo_;
    CloudAccountFile account_;
    MemorySecretStore keychain_;
    std::map<int, std::shared_ptr<CloudStore>> devices_;
};

struct Backend {
    std::string name;
    std::function<std::unique_ptr<World>()> make;
};

std::ostream& operator<<(std::ostream& o, const Backend& b) {
    return o << b.name;
}

const CloudZoneID zone{"Kelsap"};
std::string skipReason;

CloudRecord note(const std::string& name, CloudZoneID z = zone) {
    CloudRecord r;
    r.type = "Note";
    r.id = {name, std::move(z)};
    return r;
}

std::optional<CloudError> saveOne(CloudDatabase& db, const CloudRecord& r,
                                  CloudSavePolicy policy = CloudSavePolicy::ifServerRecordUnchanged,
                                  CloudRecord* saved = nullptr) {
    auto result = db.modifyRecords({r}, {}, policy, true);
    if (saved && result.saved.at(0).record) *saved = *result.saved.at(0).record;
    return result.saved.at(0).error;
}

int codeOf(const std::optional<CloudError>& e) {
    return e ? e->code : 0;
}

template <class F>
int thrownCode(F&& f) {
    try {
        f();
    } catch (const CloudError& e) {
        return e.code;
    }
    return 0;
}

class CloudStoreContract : public testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        world = GetParam().make();
        if (!world) {
            if (PostgresServer::missing()) GTEST_SKIP() << skipReason;
            FAIL() << skipReason;
        }
        db = world->device(0)->database(CloudScope::privateScope);
        db->modifyZones({zone}, {});
    }
    std::unique_ptr<World> world;
    std::shared_ptr<CloudDatabase> db;
};

TEST_P(CloudStoreContract, TheDefaultPolicyNeedsTheCurrentTag) {
    auto r = note("n1");
    r.set("k", std::string("one"));
    CloudRecord saved;
    ASSERT_EQ(codeOf(saveOne(*db, r, CloudSavePolicy::ifServerRecordUnchanged, &saved)), 0);
    ASSERT_TRUE(saved.changeTag);

    EXPECT_EQ(codeOf(saveOne(*db, r)), CloudErrorCode::serverRecordChanged) << "no tag";
    auto stale = saved;
    stale.changeTag = "not-the-tag";
    EXPECT_EQ(codeOf(saveOne(*db, stale)), CloudErrorCode::serverRecordChanged) << "stale tag";

    saved.set("k", std::string("two"));
    CloudRecord again;
    ASSERT_EQ(codeOf(saveOne(*db, saved, CloudSavePolicy::ifServerRecordUnchanged, &again)), 0);
    EXPECT_NE(again.changeTag, saved.changeTag);
    EXPECT_EQ(std::get<std::string>(*db->fetchRecord(r.id).get("k")), "two");

    auto gone = note("never-saved");
    gone.changeTag = "t";
    EXPECT_EQ(codeOf(saveOne(*db, gone)), CloudErrorCode::unknownItem);
}

TEST_P(CloudStoreContract, PoliciesWriteChangedKeysOrAllKeysAndNoValueRemoves) {
    auto r = note("n1");
    r.set("a", std::int64_t{1});
    r.set("b", std::int64_t{1});
    r.set("c", std::int64_t{1});
    ASSERT_EQ(codeOf(saveOne(*db, r)), 0);

    // Another device changes b; this one then changes only a, without a fresh tag.
    auto other = world->device(1)->database(CloudScope::privateScope);
    auto theirs = other->fetchRecord(r.id);
    theirs.set("b", std::int64_t{5});
    ASSERT_EQ(codeOf(saveOne(*other, theirs)), 0);

    auto mine = db->fetchRecord(r.id);
    mine.changeTag.reset();
    mine.plain["b"] = std::int64_t{9};  // held, not changed
    mine.set("a", std::int64_t{2});
    ASSERT_EQ(codeOf(saveOne(*db, mine, CloudSavePolicy::changedKeys)), 0);
    auto now = db->fetchRecord(r.id);
    EXPECT_EQ(std::get<std::int64_t>(*now.get("a")), 2);
    EXPECT_EQ(std::get<std::int64_t>(*now.get("b")), 5) << "an unchanged key is not written";

    // All keys: every key held is written, "no value" removes, keys not held stay.
    CloudRecord all = note("n1");
    all.plain["b"] = std::int64_t{9};
    all.plain["a"] = std::nullopt;
    all.encrypted["a"] = std::nullopt;
    ASSERT_EQ(codeOf(saveOne(*db, all, CloudSavePolicy::allKeys)), 0);
    now = db->fetchRecord(r.id);
    EXPECT_EQ(now.get("a"), nullptr);
    EXPECT_EQ(std::get<std::int64_t>(*now.get("b")), 9);
    EXPECT_EQ(std::get<std::int64_t>(*now.get("c")), 1);
}

TEST_P(CloudStoreContract, AnAtomicFailureUndoesTheRequest) {
    auto kept = note("kept");
    kept.set("v", std::string("old"));
    ASSERT_EQ(codeOf(saveOne(*db, kept)), 0);

    auto fresh = note("fresh");
    fresh.set("v", std::string("new"));
    auto stale = note("kept");
    stale.set("v", std::string("lost"));
    auto res = db->modifyRecords({fresh, stale}, {{"kept", zone}},
                                 CloudSavePolicy::ifServerRecordUnchanged, true);
    EXPECT_EQ(codeOf(res.saved[0].error), CloudErrorCode::batchRequestFailed);
    EXPECT_FALSE(res.saved[0].record);
    EXPECT_EQ(codeOf(res.saved[1].error), CloudErrorCode::serverRecordChanged);
    EXPECT_EQ(codeOf(res.deleted[0].error), CloudErrorCode::batchRequestFailed);
    EXPECT_EQ(thrownCode([&] { db->fetchRecord(fresh.id); }), CloudErrorCode::unknownItem);
    EXPECT_EQ(std::get<std::string>(*db->fetchRecord(kept.id).get("v")), "old");

    // The same request without atomicity keeps what succeeded.
    res = db->modifyRecords({fresh, stale}, {}, CloudSavePolicy::ifServerRecordUnchanged, false);
    EXPECT_EQ(codeOf(res.saved[0].error), 0);
    EXPECT_EQ(codeOf(res.saved[1].error), CloudErrorCode::serverRecordChanged);
    EXPECT_EQ(std::get<std::string>(*db->fetchRecord(fresh.id).get("v")), "new");
}

TEST_P(CloudStoreContract, MissingZonesAndRecords) {
    const CloudZoneID missing{"Nowhere"};
    auto r = note("n1", missing);
    EXPECT_EQ(codeOf(saveOne(*db, r)), CloudErrorCode::zoneNotFound);
    EXPECT_EQ(thrownCode([&] { db->fetchZoneChanges(missing, std::nullopt, 0); }),
              CloudErrorCode::zoneNotFound);
    EXPECT_EQ(thrownCode([&] { db->fetchRecord(r.id); }), CloudErrorCode::zoneNotFound);

    auto here = note("here");
    ASSERT_EQ(codeOf(saveOne(*db, here)), 0);
    auto res = db->modifyRecords({}, {{"a", zone}, here.id, {"b", zone}},
                                 CloudSavePolicy::ifServerRecordUnchanged, false);
    ASSERT_EQ(res.deleted.size(), 3u);
    EXPECT_EQ(codeOf(res.deleted[0].error), CloudErrorCode::unknownItem);
    EXPECT_EQ(codeOf(res.deleted[1].error), 0);
    EXPECT_EQ(codeOf(res.deleted[2].error), CloudErrorCode::unknownItem);
    EXPECT_EQ(thrownCode([&] { db->fetchRecord(here.id); }), CloudErrorCode::unknownItem);

    // Saving an existing zone again keeps its records.
    ASSERT_EQ(codeOf(saveOne(*db, note("stays"))), 0);
    db->modifyZones({zone}, {});
    EXPECT_EQ(db->fetchRecord({"stays", zone}).type, "Note");
}

TEST_P(CloudStoreContract, ChangesComeInPagesAndTokensResumeWithDeletions) {
    for (int i = 0; i < 5; ++i) ASSERT_EQ(codeOf(saveOne(*db, note("r" + std::to_string(i)))), 0);
    std::vector<std::string> seen;
    std::optional<std::string> token;
    int pages = 0;
    for (bool more = true; more; ++pages) {
        auto page = db->fetchZoneChanges(zone, token, 2);
        for (const auto& r : page.changed) seen.push_back(r.id.name);
        EXPECT_LE(page.changed.size(), 2u);
        token = page.token;
        more = page.moreComing;
        ASSERT_LT(pages, 10);
    }
    EXPECT_EQ(pages, 3);
    EXPECT_EQ(seen, (std::vector<std::string>{"r0", "r1", "r2", "r3", "r4"}));

    // Since the last token: one change and one deletion, nothing else.
    auto r1 = db->fetchRecord({"r1", zone});
    r1.set("x", std::string("y"));
    ASSERT_EQ(codeOf(saveOne(*db, r1)), 0);
    db->modifyRecords({}, {{"r3", zone}}, CloudSavePolicy::ifServerRecordUnchanged, true);
    auto delta = db->fetchZoneChanges(zone, token, 0);
    ASSERT_EQ(delta.changed.size(), 1u);
    EXPECT_EQ(delta.changed[0].id.name, "r1");
    ASSERT_EQ(delta.deleted.size(), 1u);
    EXPECT_EQ(delta.deleted[0].name, "r3");
    EXPECT_FALSE(delta.moreComing);
    // A full read leaves deletions out.
    EXPECT_EQ(db->fetchZoneChanges(zone, std::nullopt, 0).changed.size(), 4u);
    EXPECT_TRUE(db->fetchZoneChanges(zone, delta.token, 0).changed.empty());
}

TEST_P(CloudStoreContract, AForeignTokenIsRefusedWith21) {
    const CloudZoneID other{"Other"};
    db->modifyZones({other}, {});
    const auto token = db->fetchZoneChanges(zone, std::nullopt, 0).token;
    auto foreign = world->unrelated()->database(CloudScope::privateScope);
    foreign->modifyZones({zone}, {});
    const auto foreignToken = foreign->fetchZoneChanges(zone, std::nullopt, 0).token;

    EXPECT_EQ(thrownCode([&] { db->fetchZoneChanges(other, token, 0); }),
              CloudErrorCode::changeTokenExpired);
    EXPECT_EQ(thrownCode([&] { db->fetchZoneChanges(zone, foreignToken, 0); }),
              CloudErrorCode::changeTokenExpired);
    EXPECT_EQ(thrownCode([&] { db->fetchZoneChanges(zone, std::string("garbage!"), 0); }),
              CloudErrorCode::changeTokenExpired);
    EXPECT_EQ(thrownCode([&] { db->fetchZoneChanges(zone, token, 0); }), 0);
}

TEST_P(CloudStoreContract, PlainAndEncryptedValuesAreApart) {
    auto r = note("n1");
    r.set("k", std::string("plain"));
    r.setEncrypted("k", std::string("secret"));
    r.setEncrypted("only", std::int64_t{7});
    ASSERT_EQ(codeOf(saveOne(*db, r)), 0);
    auto back = world->device(1)->database(CloudScope::privateScope)->fetchRecord(r.id);
    EXPECT_EQ(std::get<std::string>(*back.get("k")), "plain");
    EXPECT_EQ(std::get<std::string>(*back.getEncrypted("k")), "secret");
    EXPECT_EQ(back.get("only"), nullptr);
    EXPECT_EQ(std::get<std::int64_t>(*back.getEncrypted("only")), 7);

    back.set("k", std::nullopt);
    ASSERT_EQ(codeOf(saveOne(*db, back)), 0);
    back = db->fetchRecord(r.id);
    EXPECT_EQ(back.get("k"), nullptr);
    EXPECT_EQ(std::get<std::string>(*back.getEncrypted("k")), "secret");
}

TEST_P(CloudStoreContract, KnownFieldsOfTheWrongKindFailWith12) {
    struct Case {
        const char* type;
        const char* key;
        CloudValue value;
        bool encrypted;
        int code;
    };
    const Case cases[] = {
        {"Mac", "publicPort", std::string("40001"), false, CloudErrorCode::invalidArguments},
        {"Mac", "lanAddresses", std::string("10.0.0.2"), false, CloudErrorCode::invalidArguments},
        {"Mac", "accessCode", std::string("1234"), false, CloudErrorCode::invalidArguments},
        {"Mac", "name", std::string("Mac"), true, CloudErrorCode::invalidArguments},
        {"Command", "createdAt", std::int64_t{5}, false, CloudErrorCode::invalidArguments},
        {"NATCandidate", "port", std::string("1"), false, CloudErrorCode::invalidArguments},
        {"Mac", "publicPort", std::int64_t{40001}, false, 0},
        {"Mac", "accessCode", std::string("1234"), true, 0},
        {"Mac", "somethingNew", std::int64_t{1}, false, 0},
    };
    int n = 0;
    for (const auto& c : cases) {
        CloudRecord r;
        r.type = c.type;
        r.id = {"s" + std::to_string(n++), zone};
        if (c.encrypted)
            r.setEncrypted(c.key, c.value);
        else
            r.set(c.key, c.value);
        EXPECT_EQ(codeOf(saveOne(*db, r)), c.code) << c.type << "." << c.key;
    }
}

TEST_P(CloudStoreContract, WithoutAnAccountEveryCallFailsWith9) {
    auto none = world->withoutAccount();
    EXPECT_EQ(none->accountStatus(), CloudAccountStatus::noAccount);
    EXPECT_EQ(thrownCode([&] { none->currentUserRecordName(); }), CloudErrorCode::notAuthenticated);
    auto ndb = none->database(CloudScope::privateScope);
    EXPECT_EQ(thrownCode([&] { ndb->modifyZones({zone}, {}); }), CloudErrorCode::notAuthenticated);
    EXPECT_EQ(thrownCode([&] { ndb->modifySubscriptions({{"s"}}, {}); }),
              CloudErrorCode::notAuthenticated);
    EXPECT_EQ(
        thrownCode([&] { ndb->modifyRecords({note("x")}, {}, CloudSavePolicy::allKeys, true); }),
        CloudErrorCode::notAuthenticated);
    EXPECT_EQ(thrownCode([&] { ndb->fetchZoneChanges(zone, std::nullopt, 0); }),
              CloudErrorCode::notAuthenticated);
    EXPECT_EQ(thrownCode([&] { ndb->fetchRecord({"x", zone}); }), CloudErrorCode::notAuthenticated);
    EXPECT_EQ(world->device(0)->accountStatus(), CloudAccountStatus::available);
    EXPECT_FALSE(world->device(0)->currentUserRecordName().empty());
}

TEST_P(CloudStoreContract, ValuesRoundTripWithDatesToTheMillisecond) {
    using namespace std::chrono;
    const CloudDate when = CloudDate(milliseconds(1'765'432'109'876));
    const CloudDate distantPast = CloudDate(milliseconds(-62'135'596'800'000));
    auto r = note("n1");
    r.set("s", std::string("text é"));
    r.set("i", std::int64_t{INT64_MIN});
    r.set("d", 0.1);
    r.set("t", when);
    r.set("past", distantPast);
    r.set("l", std::vector<std::string>{"a", "", "c"});
    r.set("b", Bytes{0, 1, 255});
    r.setEncrypted("et", when);
    ASSERT_EQ(codeOf(saveOne(*db, r)), 0);
    auto back = world->device(1)->database(CloudScope::privateScope)->fetchRecord(r.id);
    for (const char* k : {"s", "i", "d", "t", "past", "l", "b"}) {
        ASSERT_NE(back.get(k), nullptr) << k;
        EXPECT_EQ(*back.get(k), *r.get(k)) << k;
    }
    EXPECT_EQ(std::get<CloudDate>(*back.getEncrypted("et")), when);
}

TEST_P(CloudStoreContract, OtherDevicesGetOnePushPerChangeAndTheWriterNone) {
    asio::io_context io;
    auto guard = asio::make_work_guard(io);
    std::thread runner([&] { io.run(); });
    std::atomic<int> mine{0}, theirs{0};
    auto writer = world->device(0);
    auto listener = world->device(1);
    writer->setPushHandler(io.get_executor(), [&] { ++mine; });
    listener->setPushHandler(io.get_executor(), [&] { ++theirs; });

    // Without a subscription nothing is pushed.
    ASSERT_EQ(codeOf(saveOne(*db, note("quiet"))), 0);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(theirs.load(), 0);

    db->modifySubscriptions({{"kelsap-changes"}}, {});
    ASSERT_EQ(codeOf(saveOne(*db, note("loud"))), 0);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (theirs.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(theirs.load(), 1);
    EXPECT_EQ(mine.load(), 0);

    writer->setPushHandler({}, {});
    listener->setPushHandler({}, {});
    guard.reset();
    io.stop();
    runner.join();
}

// The owner shares the zone; returns the share's URL.
std::string shareZone(CloudDatabase& db) {
    CloudRecord share;
    share.type = cloudShareType;
    share.id = {cloudZoneShareName, zone};
    share.set("title", std::string("Ops"));
    CloudRecord saved;
    EXPECT_EQ(codeOf(saveOne(db, share, CloudSavePolicy::changedKeys, &saved)), 0);
    EXPECT_EQ(std::get<std::string>(*saved.get("publicPermission")), "none");
    EXPECT_EQ(std::get<std::string>(*saved.get("title")), "Ops");
    return std::get<std::string>(*saved.get("url"));
}

TEST_P(CloudStoreContract, ASharedZoneIsReachedOnlyByAnAddedParticipantOnceAccepted) {
    auto owner = world->device(0);
    const std::string ownerName = owner->currentUserRecordName();
    auto member = world->person("_b0000000000000000000000000000001");
    auto stranger = world->person("_c0000000000000000000000000000002");
    ASSERT_EQ(codeOf(saveOne(*db, note("n1"))), 0);
    const std::string url = shareZone(*db);
    EXPECT_EQ(url.rfind("orvane-share://", 0), 0u) << url;
    EXPECT_EQ(shareZone(*db), url) << "saving the share again keeps its URL";

    const CloudZoneID theirs{zone.name, ownerName};
    auto memberShared = member->database(CloudScope::sharedScope);
    EXPECT_TRUE(memberShared->allZones().empty());
    EXPECT_EQ(thrownCode([&] { memberShared->fetchRecord({"n1", theirs}); }), 26);
    EXPECT_EQ(thrownCode([&] { member->acceptShare(url); }), 10);

    owner->addShareParticipant(zone, member->currentUserRecordName());
    EXPECT_EQ(thrownCode([&] { stranger->acceptShare(url); }), 10);
    EXPECT_EQ(thrownCode([&] { member->acceptShare(url + "x"); }), 11);
    EXPECT_EQ(thrownCode([&] { member->acceptShare("orvane-share://elsewhere/abc"); }), 11);
    EXPECT_EQ(member->acceptShare(url), theirs);
    EXPECT_EQ(memberShared->allZones(), std::vector<CloudZoneID>{theirs});
    EXPECT_TRUE(member->database(CloudScope::privateScope)->allZones().empty());
    EXPECT_TRUE(stranger->database(CloudScope::sharedScope)->allZones().empty());
    EXPECT_EQ(thrownCode([&] {
                  stranger->database(CloudScope::sharedScope)->fetchRecord({"n1", theirs});
              }),
              26);

    // Read and written by the participant, seen by the owner.
    EXPECT_EQ(memberShared->fetchRecord({"n1", theirs}).type, "Note");
    auto byMember = note("n2", theirs);
    byMember.setEncrypted("secret", std::string("s3"));
    ASSERT_EQ(codeOf(saveOne(*memberShared, byMember)), 0);
    auto back = db->fetchRecord({"n2", zone});
    EXPECT_EQ(std::get<std::string>(*back.getEncrypted("secret")), "s3");
    auto changes = memberShared->fetchZoneChanges(theirs, std::nullopt, 0);
    EXPECT_EQ(changes.changed.size(), 3u);  // n1, the share, n2

    // The share itself stays the owner's.
    CloudRecord share;
    share.type = cloudShareType;
    share.id = {cloudZoneShareName, theirs};
    share.set("title", std::string("Mine"));
    EXPECT_EQ(codeOf(saveOne(*memberShared, share, CloudSavePolicy::allKeys)), 10);
    EXPECT_EQ(thrownCode([&] { memberShared->modifyZones({}, {theirs}); }), 10);
}

TEST_P(CloudStoreContract, ChangesInASharedZonePushToSubscribedParticipantsAndBack) {
    asio::io_context io;
    auto guard = asio::make_work_guard(io);
    std::thread runner([&] { io.run(); });
    auto owner = world->device(0);
    auto member = world->person("_b0000000000000000000000000000001");
    const std::string url = shareZone(*db);
    owner->addShareParticipant(zone, member->currentUserRecordName());
    const CloudZoneID theirs = member->acceptShare(url);
    auto memberShared = member->database(CloudScope::sharedScope);
    std::atomic<int> toOwner{0}, toMember{0};
    owner->setPushHandler(io.get_executor(), [&] { ++toOwner; });
    member->setPushHandler(io.get_executor(), [&] { ++toMember; });
    db->modifySubscriptions({{"team"}}, {});
    memberShared->modifySubscriptions({{"team"}}, {});

    const auto waitFor = [](std::atomic<int>& n) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (n.load() == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        std::this_thread::sleep_for(200ms);
    };
    ASSERT_EQ(codeOf(saveOne(*db, note("from-owner"))), 0);
    waitFor(toMember);
    EXPECT_EQ(toMember.load(), 1);
    EXPECT_EQ(toOwner.load(), 0);
    ASSERT_EQ(codeOf(saveOne(*memberShared, note("from-member", theirs))), 0);
    waitFor(toOwner);
    EXPECT_EQ(toOwner.load(), 1);
    EXPECT_EQ(toMember.load(), 1);

    owner->setPushHandler({}, {});
    member->setPushHandler({}, {});
    guard.reset();
    io.stop();
    runner.join();
}

INSTANTIATE_TEST_SUITE_P(
    Stores, CloudStoreContract,
    testing::Values(Backend{"fake", [] { return std::make_unique<FakeWorld>(); }},
                    Backend{"sqlite", [] { return std::make_unique<SqliteWorld>(); }}),
    [](const auto& info) { return info.param.name; });

// The server takes a moment to start: the slow label.
INSTANTIATE_TEST_SUITE_P(Slow, CloudStoreContract,
                         testing::Values(Backend{
                             "postgres",
                             []() -> std::unique_ptr<World> {
                                 auto* server = PostgresServer::shared(skipReason);
                                 if (!server) return nullptr;
                                 return std::make_unique<PostgresWorld>(*server);
                             }}),
                         [](const auto& info) { return info.param.name; });

}  // namespace

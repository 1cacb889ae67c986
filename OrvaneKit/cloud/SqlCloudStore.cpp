#include "OrvaneKit/cloud/SqlCloudStore.h"

#include <asio/post.hpp>
#include <nlohmann/json.hpp>
#include <set>
#include <utility>
#include <vector>

#include "OrvaneKit/base/Base64.h"
#include "OrvaneKit/base/Uuid.h"
#include "OrvaneKit/cloud/CloudStoreRules.h"
#include "OrvaneKit/crypto/AesGcm.h"
#include "OrvaneKit/crypto/Hash.h"
#include "OrvaneKit/crypto/Random.h"
#include "OrvaneKit/security/Keychain.h"

namespace orvane {

namespace Rules = CloudStoreRules;
using json = nlohmann::json;

namespace {

// Raised with every change of the tables below.
constexpr const char* schemaVersion = "2";

const char* schemaSql = R"(
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS zones (
  db TEXT NOT NULL, owner TEXT NOT NULL, name TEXT NOT NULL,
  generation TEXT NOT NULL, seq BIGINT NOT NULL,
  PRIMARY KEY (db, owner, name));
CREATE TABLE IF NOT EXISTS records (
  db TEXT NOT NULL, owner TEXT NOT NULL, zone TEXT NOT NULL, name TEXT NOT NULL,
  type TEXT NOT NULL, tag TEXT NOT NULL, seq BIGINT NOT NULL, deleted INTEGER NOT NULL,
  plain TEXT NOT NULL, sealed TEXT NOT NULL,
  PRIMARY KEY (db, owner, zone, name));
CREATE INDEX IF NOT EXISTS records_by_change ON records (db, owner, zone, seq);
CREATE TABLE IF NOT EXISTS subscriptions (
  db TEXT NOT NULL, id TEXT NOT NULL, PRIMARY KEY (db, id));
CREATE TABLE IF NOT EXISTS devices (
  id TEXT PRIMARY KEY, "user" TEXT NOT NULL, pid BIGINT NOT NULL);
CREATE TABLE IF NOT EXISTS pushes (device TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS shares (
  token TEXT PRIMARY KEY, owner TEXT NOT NULL, zone TEXT NOT NULL, UNIQUE (owner, zone));
CREATE TABLE IF NOT EXISTS participants (
  token TEXT NOT NULL, person TEXT NOT NULL, accepted INTEGER NOT NULL,
  PRIMARY KEY (token, person));
)";

json encodeValue(const CloudValue& v) {
    return std::visit(
        [](const auto& x) -> json {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::string>)
                return {{"s", x}};
            else if constexpr (std::is_same_v<T, std::int64_t>)
                return {{"i", x}};
            else if constexpr (std::is_same_v<T, double>)
                return {{"d", x}};
            else if constexpr (std::is_same_v<T, CloudDate>)
                return {{"t", x.time_since_epoch().count()}};
            else if constexpr (std::is_same_v<T, std::vector<std::string>>)
                return {{"l", x}};
            else
                return {{"b", base64Encode(x)}};
        },
        v);
}

std::optional<CloudValue> decodeValue(const json& j) {
    if (!j.is_object() || j.size() != 1) return std::nullopt;
    const auto it = j.begin();
    const std::string k = it.key();
    const json& v = it.value();
    if (k == "s" && v.is_string()) return v.get<std::string>();
    if (k == "i" && v.is_number_integer()) return v.get<std::int64_t>();
    if (k == "d" && v.is_number()) return v.get<double>();
    if (k == "t" && v.is_number_integer())
        return CloudDate(std::chrono::milliseconds(v.get<std::int64_t>()));
    if (k == "l" && v.is_array()) {
        std::vector<std::string> out;
        for (const auto& e : v)
            if (e.is_string()) out.push_back(e.get<std::string>());
        return out;
    }
    if (k == "b" && v.is_string()) {
        if (auto b = base64Decode(v.get<std::string>())) return *b;
    }
    return std::nullopt;
}

std::string dbName(CloudScope scope, const std::string& user) {
    return (scope == CloudScope::privateScope ? "private:" : "shared:") + user;
}

Bytes associatedData(const CloudRecordID& id, const std::string& key) {
    return toBytes(id.zone.name + "|" + id.name + "|" + key);
}

}  // namespace

struct SqlCloudStore::Impl : std::enable_shared_from_this<Impl> {
    std::mutex mutex;
    std::unique_ptr<SqlConnection> sql;
    SqlCloudAccount account;
    Bytes key;
    std::unique_ptr<CloudWakeSignal> wake;
    std::string storeID;
    // The owner's other machines seal with a key this one does not hold.
    bool foreignKey = false;
    const std::string deviceID = Uuid::random().string();
    asio::any_io_executor pushExecutor;
    std::function<void()> pushHandler;

    void checkAccount() {
        if (account.status != CloudAccountStatus::available)
            throw cloudError(CloudErrorCode::notAuthenticated);
    }

    // Runs `body` in one write transaction; any throw undoes it.
    template <class F>
    auto transaction(F&& body) {
        sql->begin();
        try {
            if constexpr (std::is_void_v<decltype(body())>) {
                body();
                sql->commit();
            } else {
                auto out = body();
                sql->commit();
                return out;
            }
        } catch (...) {
            try {
                sql->rollback();
            } catch (...) {
            }
            throw;
        }
    }

    struct ZoneRow {
        std::string generation;
        std::int64_t seq = 0;
    };

    std::optional<ZoneRow> zone(const std::string& db, const CloudZoneID& z) {
        auto st =
            sql->prepare("SELECT generation, seq FROM zones WHERE db=? AND owner=? AND name=?");
        st->bind(1, db);
        st->bind(2, z.owner);
        st->bind(3, z.name);
        if (!st->step()) return std::nullopt;
        return ZoneRow{st->text(0), st->integer(1)};
    }

    std::int64_t nextSeq(const std::string& db, const CloudZoneID& z) {
        auto up = sql->prepare("UPDATE zones SET seq = seq + 1 WHERE db=? AND owner=? AND name=?");
        up->bind(1, db);
        up->bind(2, z.owner);
        up->bind(3, z.name);
        up->step();
        return zone(db, z)->seq;
    }

    struct Row {
        Rules::Stored stored;
        bool deleted = false;
        std::int64_t seq = 0;
    };

    std::optional<Row> loadRow(const std::string& db, const CloudRecordID& id) {
        auto st = sql->prepare(
            "SELECT type, tag, deleted, plain, sealed, seq FROM records "
            "WHERE db=? AND owner=? AND zone=? AND name=?");
        st->bind(1, db);
        st->bind(2, id.zone.owner);
        st->bind(3, id.zone.name);
        st->bind(4, id.name);
        if (!st->step()) return std::nullopt;
        return rowFrom(*st, 0);
    }

    Row rowFrom(SqlStatement& st, int c) {
        Row r;
        r.stored.type = st.text(c);
        r.stored.tag = st.text(c + 1);
        r.deleted = st.integer(c + 2) != 0;
        r.seq = st.integer(c + 5);
        auto plain = json::parse(st.text(c + 3), nullptr, false);
        if (plain.is_object())
            for (const auto& [k, v] : plain.items())
                if (auto value = decodeValue(v)) r.stored.plain[k] = *value;
        auto sealed = json::parse(st.text(c + 4), nullptr, false);
        if (sealed.is_object())
            for (const auto& [k, v] : sealed.items())
                if (v.is_string())
                    if (auto b = base64Decode(v.get<std::string>())) r.stored.encrypted[k] = *b;
        return r;
    }

    void writeRow(const std::string& db, const CloudRecordID& id, const Row& row) {
        json plain = json::object();
        for (const auto& [k, v] : row.stored.plain) plain[k] = encodeValue(v);
        json sealed = json::object();
        for (const auto& [k, v] : row.stored.encrypted)
            if (const auto* b = std::get_if<Bytes>(&v)) sealed[k] = base64Encode(*b);
        auto st = sql->prepare(
            "INSERT INTO records (db, owner, zone, name, type, tag, seq, deleted, plain, sealed) "
            "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (db, owner, zone, name) DO UPDATE "
            "SET type=excluded.type, tag=excluded.tag, seq=excluded.seq, "
            "deleted=excluded.deleted, plain=excluded.plain, sealed=excluded.sealed");
        st->bind(1, db);
        st->bind(2, id.zone.owner);
        st->bind(3, id.zone.name);
        st->bind(4, id.name);
        st->bind(5, row.stored.type);
        st->bind(6, row.stored.tag);
        st->bind(7, row.seq);
        st->bind(8, std::int64_t{row.deleted ? 1 : 0});
        st->bind(9, plain.dump());
        st->bind(10, sealed.dump());
        st->step();
    }

    Bytes seal(const CloudRecordID& id, const std::string& k, const CloudValue& v) {
        const Bytes nonce = randomBytes(12);
        Bytes out = nonce;
        append(out, aesGcmSeal(key, nonce, asBytes(encodeValue(v).dump()), associatedData(id, k)));
        return out;
    }

    std::optional<CloudValue> open(const CloudRecordID& id, const std::string& k,
                                   const CloudValue& v) {
        const auto* b = std::get_if<Bytes>(&v);
        if (!b || b->size() < 12) return std::nullopt;
        auto plain = aesGcmOpen(key, ByteView(b->data(), 12),
                                ByteView(b->data() + 12, b->size() - 12), associatedData(id, k));
        if (!plain) return std::nullopt;
        auto j = json::parse(plain->begin(), plain->end(), nullptr, false);
        return decodeValue(j);
    }

    // The record as callers see it: encrypted values opened. A value sealed under another key
    // reads as absent.
    CloudRecord reveal(const Rules::Stored& stored, const CloudRecordID& id) {
        Rules::Stored open_ = stored;
        open_.encrypted.clear();
        for (const auto& [k, v] : stored.encrypted)
            if (auto value = open(id, k, v)) open_.encrypted[k] = *value;
        return Rules::toRecord(open_, id);
    }

    // After a change to a zone of `owner`: that user's other devices when subscribed, and the
    // devices of every subscribed person who accepted its share. The writer gets none.
    void notePushes(const std::string& owner, const std::string& zoneName) {
        std::vector<std::string> users;
        auto subs = sql->prepare("SELECT 1 FROM subscriptions WHERE db=? LIMIT 1");
        subs->bind(1, dbName(CloudScope::privateScope, owner));
        if (subs->step()) users.push_back(owner);
        auto people = sql->prepare(
            "SELECT p.person FROM shares s JOIN participants p ON p.token = s.token "
            "WHERE s.owner=? AND s.zone=? AND p.accepted=1 AND EXISTS "
            "(SELECT 1 FROM subscriptions b WHERE b.db = 'shared:' || p.person)");
        people->bind(1, owner);
        people->bind(2, zoneName);
        while (people->step()) users.push_back(people->text(0));
        for (const auto& user : users) {
            auto devices = sql->prepare("SELECT id, pid FROM devices WHERE \"user\"=? AND id<>?");
            devices->bind(1, user);
            devices->bind(2, deviceID);
            std::vector<std::string> live, gone;
            while (devices->step())
                (wake->processAlive(devices->integer(1)) ? live : gone).push_back(devices->text(0));
            for (const auto& d : gone) forgetDevice(d);
            for (const auto& d : live) {
                auto ins = sql->prepare("INSERT INTO pushes (device) VALUES (?)");
                ins->bind(1, d);
                ins->step();
            }
        }
    }

    // The share of one of this user's zones, made on its first save.
    std::string shareToken(const std::string& zoneName) {
        auto get = sql->prepare("SELECT token FROM shares WHERE owner=? AND zone=?");
        get->bind(1, account.userRecordName);
        get->bind(2, zoneName);
        if (get->step()) return get->text(0);
        std::string token = Rules::newShareToken();
        auto put = sql->prepare("INSERT INTO shares (token, owner, zone) VALUES (?, ?, ?)");
        put->bind(1, token);
        put->bind(2, account.userRecordName);
        put->bind(3, zoneName);
        put->step();
        return token;
    }

    void dropShare(const std::string& zoneName) {
        for (const char* q : {"DELETE FROM participants WHERE token IN "
                              "(SELECT token FROM shares WHERE owner=? AND zone=?)",
                              "DELETE FROM shares WHERE owner=? AND zone=?"}) {
            auto st = sql->prepare(q);
            st->bind(1, account.userRecordName);
            st->bind(2, zoneName);
            st->step();
        }
    }

    // A device and the pushes waiting for it.
    void forgetDevice(const std::string& id) {
        for (const char* q :
             {"DELETE FROM devices WHERE id=?", "DELETE FROM pushes WHERE device=?"}) {
            auto st = sql->prepare(q);
            st->bind(1, id);
            st->step();
        }
    }

    void signUpDevice() {
        auto ins = sql->prepare("INSERT INTO devices (id, \"user\", pid) VALUES (?, ?, ?)");
        ins->bind(1, deviceID);
        ins->bind(2, account.userRecordName);
        ins->bind(3, wake->processID());
        ins->step();
    }

    bool pushWaiting() {
        auto waiting = sql->prepare("SELECT 1 FROM pushes WHERE device=? LIMIT 1");
        waiting->bind(1, deviceID);
        return waiting->step();
    }

    // On the signal's thread.
    void drainPushes() {
        std::function<void()> handler;
        asio::any_io_executor ex;
        {
            std::lock_guard lock(mutex);
            if (!pushHandler) return;
            std::int64_t n = 0;
            try {
                // A device taken for gone (its server connection was lost) signs up again.
                // The query is done with before any write: a statement still open keeps its
                // read snapshot, and a write from a stale snapshot fails at once as busy, which
                // would lose this wake-up's pushes.
                bool signedUp = false;
                {
                    auto known = sql->prepare("SELECT 1 FROM devices WHERE id=?");
                    known->bind(1, deviceID);
                    signedUp = known->step();
                }
                if (!signedUp) transaction([&] { signUpDevice(); });
                // Every device wakes on every write: look before taking the write lock.
                if (!pushWaiting()) return;
                n = transaction([&] {
                    auto count = sql->prepare("SELECT count(*) FROM pushes WHERE device=?");
                    count->bind(1, deviceID);
                    count->step();
                    const auto c = count->integer(0);
                    auto del = sql->prepare("DELETE FROM pushes WHERE device=?");
                    del->bind(1, deviceID);
                    del->step();
                    return c;
                });
            } catch (const CloudError&) {
                return;  // the next wake reads them
            }
            if (n == 0) return;
            handler = pushHandler;
            ex = pushExecutor;
        }
        asio::post(ex, handler);
    }
};

namespace {

class SqlDatabase final : public CloudDatabase {
public:
    SqlDatabase(std::shared_ptr<SqlCloudStore::Impl> impl, CloudScope scope)
        : s_(std::move(impl)), scope_(scope), db_(dbName(scope, s_->account.userRecordName)) {}

    void modifyZones(const std::vector<CloudZoneID>& save,
                     const std::vector<CloudZoneID>& remove) override {
        std::lock_guard lock(s_->mutex);
        s_->checkAccount();
        if (shared()) throw cloudError(CloudErrorCode::permissionFailure);
        s_->transaction([&] {
            for (const auto& z : save) {
                auto st = s_->sql->prepare(
                    "INSERT INTO zones (db, owner, name, generation, seq) "
                    "VALUES (?, ?, ?, ?, 0) ON CONFLICT DO NOTHING");
                st->bind(1, db_);
                st->bind(2, z.owner);
                st->bind(3, z.name);
                st->bind(4, Uuid::random().string());
                st->step();
            }
            for (const auto& z : remove) {
                for (const char* sql : {"DELETE FROM zones WHERE db=? AND owner=? AND name=?",
                                        "DELETE FROM records WHERE db=? AND owner=? AND zone=?"}) {
                    auto st = s_->sql->prepare(sql);
                    st->bind(1, db_);
                    st->bind(2, z.owner);
                    st->bind(3, z.name);
                    st->step();
                }
                s_->dropShare(z.name);
            }
        });
    }

    std::vector<CloudZoneID> allZones() override {
        std::lock_guard lock(s_->mutex);
        s_->checkAccount();
        auto st =
            shared()
                ? s_->sql->prepare(
                      "SELECT s.owner, s.zone FROM shares s JOIN participants p ON p.token = "
                      "s.token "
                      "JOIN zones z ON z.db = 'private:' || s.owner AND z.owner = ? AND z.name = "
                      "s.zone "
                      "WHERE p.person=? AND p.accepted=1 ORDER BY s.owner, s.zone")
                : s_->sql->prepare("SELECT owner, name FROM zones WHERE db=? ORDER BY owner, name");
        if (shared()) {
            st->bind(1, std::string(cloudDefaultOwner));
            st->bind(2, s_->account.userRecordName);
        } else {
            st->bind(1, db_);
        }
        std::vector<CloudZoneID> out;
        while (st->step()) out.push_back({st->text(1), st->text(0)});
        return out;
    }

    void modifySubscriptions(const std::vector<CloudSubscription>& save,
                             const std::vector<std::string>& remove) override {
        std::lock_guard lock(s_->mutex);
        s_->checkAccount();
        s_->transaction([&] {
            for (const auto& sub : save) {
                auto st = s_->sql->prepare(
                    "INSERT INTO subscriptions (db, id) VALUES (?, ?) ON CONFLICT DO NOTHING");
                st->bind(1, db_);
                st->bind(2, sub.id);
                st->step();
            }
            for (const auto& id : remove) {
                auto st = s_->sql->prepare("DELETE FROM subscriptions WHERE db=? AND id=?");
                st->bind(1, db_);
                st->bind(2, id);
                st->step();
            }
        });
    }

    std::vector<CloudSubscription> allSubscriptions() override {
        std::lock_guard lock(s_->mutex);
        s_->checkAccount();
        auto st = s_->sql->prepare("SELECT id FROM subscriptions WHERE db=? ORDER BY id");
        st->bind(1, db_);
        std::vector<CloudSubscription> out;
        while (st->step()) out.push_back({st->text(0)});
        return out;
    }

    CloudModifyResult modifyRecords(const std::vector<CloudRecord>& save,
                                    const std::vector<CloudRecordID>& remove,
                                    CloudSavePolicy policy, bool atomic) override {
        std::lock_guard lock(s_->mutex);
        s_->checkAccount();
        CloudModifyResult result;
        bool failed = false;
        std::set<std::pair<std::string, std::string>> changed;  // owner, zone
        s_->sql->begin();
        try {
            for (const auto& r : save) {
                CloudSaveResult out{r.id, std::nullopt, std::nullopt};
                const auto where = place(r.id.zone);
                if (!where) {
                    out.error = cloudError(CloudErrorCode::zoneNotFound);
                } else if (shared() && Rules::isZoneShare(r.id)) {
                    out.error = cloudError(CloudErrorCode::permissionFailure);
                } else if (auto bad = Rules::checkSchema(r)) {
                    out.error = *bad;
                } else if (s_->foreignKey && sealsAny(r)) {
                    out.error = CloudError(
                        CloudErrorCode::internalError,
                        "This machine does not hold the key the owner's other machines seal "
                        "fields with: import it with orvane-peer cloud key import.");
                } else {
                    const CloudRecordID at{r.id.name, where->zone};
                    CloudRecord sealed = r;
                    for (auto& [k, v] : sealed.encrypted)
                        if (v) v = s_->seal(r.id, k, *v);
                    auto row = s_->loadRow(where->db, at);
                    const Rules::Stored* server = row && !row->deleted ? &row->stored : nullptr;
                    auto applied = Rules::applySave(server, sealed, policy);
                    if (auto* e = std::get_if<CloudError>(&applied)) {
                        out.error = *e;
                    } else {
                        SqlCloudStore::Impl::Row next;
                        next.stored = std::get<Rules::Stored>(std::move(applied));
                        if (Rules::isZoneShare(r.id))
                            Rules::finishShare(next.stored, s_->storeID,
                                               s_->shareToken(r.id.zone.name));
                        next.stored.tag = toHex(randomBytes(8));
                        next.seq = s_->nextSeq(where->db, where->zone);
                        s_->writeRow(where->db, at, next);
                        out.record = s_->reveal(next.stored, r.id);
                        changed.insert({where->owner, r.id.zone.name});
                    }
                }
                failed |= out.error.has_value();
                result.saved.push_back(std::move(out));
            }
            for (const auto& id : remove) {
                CloudDeleteResult out{id, std::nullopt};
                const auto where = place(id.zone);
                if (!where) {
                    out.error = cloudError(CloudErrorCode::zoneNotFound);
                } else if (shared() && Rules::isZoneShare(id)) {
                    out.error = cloudError(CloudErrorCode::permissionFailure);
                } else {
                    const CloudRecordID at{id.name, where->zone};
                    auto row = s_->loadRow(where->db, at);
                    if (!row || row->deleted) {
                        out.error = cloudError(CloudErrorCode::unknownItem);
                    } else {
                        // The tombstone tells later readers of a token that it is gone.
                        SqlCloudStore::Impl::Row tomb;
                        tomb.stored.type = row->stored.type;
                        tomb.deleted = true;
                        tomb.seq = s_->nextSeq(where->db, where->zone);
                        s_->writeRow(where->db, at, tomb);
                        if (Rules::isZoneShare(id)) s_->dropShare(id.zone.name);
                        changed.insert({where->owner, id.zone.name});
                    }
                }
                failed |= out.error.has_value();
                result.deleted.push_back(std::move(out));
            }
            if (atomic && failed) {
                s_->sql->rollback();
                Rules::failBatch(result);
                return result;
            }
            for (const auto& [owner, zoneName] : changed) s_->notePushes(owner, zoneName);
            s_->sql->commit();
        } catch (...) {
            try {
                s_->sql->rollback();
            } catch (...) {
            }
            throw;
        }
        if (!changed.empty()) s_->wake->notify();
        return result;
    }

    CloudRecord fetchRecord(const CloudRecordID& id) override {
        std::lock_guard lock(s_->mutex);
        s_->checkAccount();
        const auto where = place(id.zone);
        if (!where) throw cloudError(CloudErrorCode::zoneNotFound);
        auto row = s_->loadRow(where->db, {id.name, where->zone});
        if (!row || row->deleted) throw cloudError(CloudErrorCode::unknownItem);
        return s_->reveal(row->stored, id);
    }

    CloudZoneChanges fetchZoneChanges(const CloudZoneID& zoneID,
                                      const std::optional<std::string>& token,
                                      std::size_t limit) override {
        std::lock_guard lock(s_->mutex);
        s_->checkAccount();
        const auto where = place(zoneID);
        if (!where) throw cloudError(CloudErrorCode::zoneNotFound);
        const auto& zone = where->row;
        Rules::Token here{s_->storeID, db_ + "/" + zoneID.owner + "/" + zoneID.name,
                          zone.generation};
        const std::int64_t since = Rules::resumeAfter(token, here);
        const std::int64_t page = limit ? static_cast<std::int64_t>(limit) : 200;
        auto st = s_->sql->prepare(
            "SELECT name, type, tag, deleted, plain, sealed, seq FROM records "
            "WHERE db=? AND owner=? AND zone=? AND seq>? AND (deleted=0 OR ?) "
            "ORDER BY seq LIMIT ?");
        st->bind(1, where->db);
        st->bind(2, where->zone.owner);
        st->bind(3, zoneID.name);
        st->bind(4, since);
        st->bind(5, std::int64_t{token ? 1 : 0});
        st->bind(6, page + 1);
        CloudZoneChanges out;
        std::int64_t last = since;
        std::int64_t n = 0;
        while (st->step()) {
            if (n++ == page) {
                out.moreComing = true;
                break;
            }
            CloudRecordID id{st->text(0), zoneID};
            auto row = s_->rowFrom(*st, 1);
            if (row.deleted)
                out.deleted.push_back(id);
            else
                out.changed.push_back(s_->reveal(row.stored, id));
            last = row.seq;
        }
        if (!out.moreComing) last = std::max(last, zone.seq);
        here.sequence = last;
        out.token = Rules::encodeToken(here);
        return out;
    }

private:
    bool shared() const { return scope_ == CloudScope::sharedScope; }

    static bool sealsAny(const CloudRecord& r) {
        for (const auto& [k, v] : r.encrypted)
            if (v) return true;
        return false;
    }

    // Where a zone this user names lives: an own zone, or a shared one once accepted.
    struct Place {
        std::string db;
        CloudZoneID zone;
        std::string owner;
        SqlCloudStore::Impl::ZoneRow row;
    };
    std::optional<Place> place(const CloudZoneID& z) {
        Place p;
        if (!shared()) {
            p = {db_, z, s_->account.userRecordName, {}};
        } else {
            auto st = s_->sql->prepare(
                "SELECT 1 FROM shares s JOIN participants p ON p.token = s.token "
                "WHERE s.owner=? AND s.zone=? AND p.person=? AND p.accepted=1");
            st->bind(1, z.owner);
            st->bind(2, z.name);
            st->bind(3, s_->account.userRecordName);
            if (!st->step()) return std::nullopt;
            p = {dbName(CloudScope::privateScope, z.owner), CloudZoneID{z.name}, z.owner, {}};
        }
        auto row = s_->zone(p.db, p.zone);
        if (!row) return std::nullopt;
        p.row = *row;
        return p;
    }

    std::shared_ptr<SqlCloudStore::Impl> s_;
    CloudScope scope_;
    std::string db_;
};

}  // namespace

SqlCloudStore::SqlCloudStore(std::unique_ptr<SqlConnection> sql, SqlCloudAccount account,
                             Bytes fieldKey, std::unique_ptr<CloudWakeSignal> wake)
    : impl_(std::make_shared<Impl>()) {
    impl_->sql = std::move(sql);
    impl_->account = std::move(account);
    impl_->key = std::move(fieldKey);
    impl_->wake = std::move(wake);
    if (impl_->key.size() != 32) throw cloudError(CloudErrorCode::internalError);
    // A store made by its administrator already: people may not change its schema.
    try {
        auto get = impl_->sql->prepare(
            "SELECT s.value FROM meta s JOIN meta v ON v.key='schema' AND v.value=? "
            "WHERE s.key='store'");
        get->bind(1, std::string(schemaVersion));
        if (get->step()) impl_->storeID = get->text(0);
    } catch (const CloudError&) {
    }
    if (impl_->storeID.empty())
        impl_->transaction([&] { impl_->storeID = createSchema(*impl_->sql); });
    if (impl_->account.status != CloudAccountStatus::available) return;
    // The first machine of an owner leaves its key's fingerprint, never the key; a machine
    // with another key then writes no sealed field rather than a second key's.
    const auto digest = sha256(impl_->key);
    const std::string fingerprint = toHex(ByteView(digest.data(), 16));
    const std::string name = "fieldKey:" + impl_->account.userRecordName;
    impl_->transaction([&] {
        auto get = impl_->sql->prepare("SELECT value FROM meta WHERE key=?");
        get->bind(1, name);
        if (get->step()) {
            impl_->foreignKey = get->text(0) != fingerprint;
            return;
        }
        auto put = impl_->sql->prepare("INSERT INTO meta (key, value) VALUES (?, ?)");
        put->bind(1, name);
        put->bind(2, fingerprint);
        put->step();
    });
}

std::string SqlCloudStore::createSchema(SqlConnection& sql) {
    sql.execute(schemaSql);
    auto version = sql.prepare(
        "INSERT INTO meta (key, value) VALUES ('schema', ?) "
        "ON CONFLICT (key) DO UPDATE SET value=excluded.value");
    version->bind(1, std::string(schemaVersion));
    version->step();
    auto get = sql.prepare("SELECT value FROM meta WHERE key='store'");
    if (get->step()) return get->text(0);
    const std::string id = Uuid::random().string();
    auto put = sql.prepare("INSERT INTO meta (key, value) VALUES ('store', ?)");
    put->bind(1, id);
    put->step();
    return id;
}

SqlCloudStore::~SqlCloudStore() {
    setPushHandler({}, {});
}

Bytes SqlCloudStore::fieldKey(SecretStore& keychain) {
    auto read = Keychain::readChecked(fieldKeyAccount, keychainService, std::nullopt, keychain);
    if (read.status == KeychainStatus::success) {
        if (auto key = fromHex(read.value); key && key->size() == 32) return *key;
    } else if (read.status != KeychainStatus::notFound) {
        throw CloudError(CloudErrorCode::internalError,
                         "The key for encrypted fields could not be read from the keychain.");
    }
    if (read.status == KeychainStatus::success)
        throw CloudError(CloudErrorCode::internalError,
                         "The key for encrypted fields in the keychain is damaged.");
    Bytes key = randomBytes(32);
    if (!Keychain::set(toHex(key), fieldKeyAccount, keychainService, true, std::nullopt, keychain))
        throw CloudError(CloudErrorCode::internalError,
                         "The key for encrypted fields could not be saved in the keychain.");
    return key;
}

int SqlCloudStore::accountStatus() {
    return impl_->account.status;
}

std::string SqlCloudStore::currentUserRecordName() {
    impl_->checkAccount();
    return impl_->account.userRecordName;
}

std::shared_ptr<CloudDatabase> SqlCloudStore::database(CloudScope scope) {
    return std::make_shared<SqlDatabase>(impl_, scope);
}

void SqlCloudStore::addShareParticipant(const CloudZoneID& zone,
                                        const std::string& userRecordName) {
    std::lock_guard lock(impl_->mutex);
    impl_->checkAccount();
    impl_->transaction([&] {
        auto get = impl_->sql->prepare("SELECT token FROM shares WHERE owner=? AND zone=?");
        get->bind(1, impl_->account.userRecordName);
        get->bind(2, zone.name);
        if (!get->step()) throw CloudError(CloudErrorCode::unknownItem, "The zone is not shared.");
        auto put = impl_->sql->prepare(
            "INSERT INTO participants (token, person, accepted) VALUES (?, ?, 0) "
            "ON CONFLICT DO NOTHING");
        put->bind(1, get->text(0));
        put->bind(2, userRecordName);
        put->step();
    });
}

CloudZoneID SqlCloudStore::acceptShare(const std::string& url) {
    std::lock_guard lock(impl_->mutex);
    impl_->checkAccount();
    const std::string token = Rules::shareToken(url, impl_->storeID);
    return impl_->transaction([&] {
        auto get = impl_->sql->prepare("SELECT owner, zone FROM shares WHERE token=?");
        get->bind(1, token);
        if (!get->step())
            throw CloudError(CloudErrorCode::unknownItem, "There is no such share here.");
        CloudZoneID zone{get->text(1), get->text(0)};
        auto up =
            impl_->sql->prepare("UPDATE participants SET accepted=1 WHERE token=? AND person=?");
        up->bind(1, token);
        up->bind(2, impl_->account.userRecordName);
        up->step();
        auto check = impl_->sql->prepare(
            "SELECT 1 FROM participants WHERE token=? AND person=? AND accepted=1");
        check->bind(1, token);
        check->bind(2, impl_->account.userRecordName);
        if (!check->step())
            throw CloudError(CloudErrorCode::permissionFailure,
                             "This account was not invited to the share.");
        return zone;
    });
}

void SqlCloudStore::setPushHandler(asio::any_io_executor ex, std::function<void()> handler) {
    const bool listen = static_cast<bool>(handler);
    {
        std::lock_guard lock(impl_->mutex);
        const bool was = static_cast<bool>(impl_->pushHandler);
        impl_->pushExecutor = ex;
        impl_->pushHandler = std::move(handler);
        if (was == listen) return;
        try {
            impl_->transaction([&] {
                impl_->forgetDevice(impl_->deviceID);
                if (listen) impl_->signUpDevice();
            });
        } catch (const CloudError&) {
            if (listen) throw;
        }
    }
    if (listen) {
        std::weak_ptr<Impl> weak = impl_;
        impl_->wake->watch([weak] {
            if (auto s = weak.lock()) s->drainPushes();
        });
    } else {
        impl_->wake->watch({});
    }
}

}  // namespace orvane

#include "OrvaneKit/cloud/postgres/PostgresCloudStore.h"

#include <libpq-fe.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "OrvaneKit/security/Keychain.h"

namespace orvane {

namespace {

constexpr const char* channel = "orvane_cloud";
// Taken by every writing transaction, so that writers on the server go one at a time.
constexpr const char* beginWriting = "BEGIN; SELECT pg_advisory_xact_lock(7214301)";

CloudError pgError(PGconn* c, const std::string& what) {
    std::string text = c ? PQerrorMessage(c) : "no connection";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    const bool lost = !c || PQstatus(c) != CONNECTION_OK;
    return CloudError(lost ? CloudErrorCode::networkUnavailable : CloudErrorCode::internalError,
                      "The cloud server failed (" + what + ": " + text + ").");
}

PGconn* connect(const std::string& conninfo) {
    PGconn* c = PQconnectdb(conninfo.c_str());
    if (PQstatus(c) != CONNECTION_OK) {
        CloudError e = pgError(c, "connect");
        PQfinish(c);
        throw e;
    }
    return c;
}

// "?" placeholders become $1, $2, ...; quoted text and names are left alone.
std::string numbered(const std::string& sql) {
    std::string out;
    int n = 0;
    char quote = 0;
    for (char ch : sql) {
        if (quote) {
            if (ch == quote) quote = 0;
            out += ch;
        } else if (ch == '\'' || ch == '"') {
            quote = ch;
            out += ch;
        } else if (ch == '?') {
            out += "$" + std::to_string(++n);
        } else {
            out += ch;
        }
    }
    return out;
}

class PgStatement final : public SqlStatement {
public:
    PgStatement(PGconn* c, std::string sql) : c_(c), sql_(numbered(sql)) {}
    ~PgStatement() override {
        if (res_) PQclear(res_);
    }
    void bind(int i, std::int64_t v) override { at(i) = std::to_string(v); }
    void bind(int i, const std::string& v) override { at(i) = v; }
    void bindNull(int i) override { at(i) = std::nullopt; }
    bool step() override {
        if (!res_) {
            std::vector<const char*> values;
            for (const auto& p : params_) values.push_back(p ? p->c_str() : nullptr);
            res_ = PQexecParams(c_, sql_.c_str(), static_cast<int>(values.size()), nullptr,
                                values.data(), nullptr, nullptr, 0);
            const auto status = PQresultStatus(res_);
            if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) throw pgError(c_, "query");
        }
        return ++row_ < PQntuples(res_);
    }
    bool isNull(int c) override { return PQgetisnull(res_, row_, c); }
    std::int64_t integer(int c) override {
        const char* v = PQgetvalue(res_, row_, c);
        if (v[0] == 't') return 1;
        if (v[0] == 'f') return 0;
        return std::strtoll(v, nullptr, 10);
    }
    std::string text(int c) override {
        return std::string(PQgetvalue(res_, row_, c),
                           static_cast<std::size_t>(PQgetlength(res_, row_, c)));
    }

private:
    std::optional<std::string>& at(int i) {
        if (static_cast<std::size_t>(i) > params_.size()) params_.resize(i);
        return params_[i - 1];
    }
    PGconn* c_;
    std::string sql_;
    std::vector<std::optional<std::string>> params_;
    PGresult* res_ = nullptr;
    int row_ = -1;
};

class PgConnection final : public SqlConnection {
public:
    explicit PgConnection(const std::string& conninfo) : c_(connect(conninfo)) {
        PQsetNoticeProcessor(
            c_, [](void*, const char*) {}, nullptr);
    }
    ~PgConnection() override { PQfinish(c_); }

    void execute(const std::string& sql) override {
        PGresult* r = PQexec(c_, sql.c_str());
        const auto status = PQresultStatus(r);
        PQclear(r);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) throw pgError(c_, "execute");
    }
    std::unique_ptr<SqlStatement> prepare(const std::string& sql) override {
        if (PQstatus(c_) != CONNECTION_OK) PQreset(c_);
        if (PQstatus(c_) != CONNECTION_OK) throw pgError(c_, "connect");
        return std::make_unique<PgStatement>(c_, sql);
    }
    // One writer at a time across every device, as the embedded store has: each zone's change
    // numbers then commit in order, so a token never passes over a change that commits later.
    void begin() override {
        if (PQstatus(c_) != CONNECTION_OK) PQreset(c_);
        execute(beginWriting);
    }
    void commit() override { execute("COMMIT"); }
    void rollback() override { execute("ROLLBACK"); }

    // `v` as SQL text: a quoted name or a string literal.
    std::string quoted(const std::string& v, bool identifier) {
        char* e = identifier ? PQescapeIdentifier(c_, v.data(), v.size())
                             : PQescapeLiteral(c_, v.data(), v.size());
        if (!e) throw pgError(c_, "escape");
        std::string out = e;
        PQfreemem(e);
        return out;
    }

private:
    PGconn* c_;
};

// Wakes by LISTEN/NOTIFY; a device is alive while its listening connection is.
class PgWakeSignal final : public CloudWakeSignal {
public:
    explicit PgWakeSignal(const std::string& conninfo)
        : listen_(connect(conninfo)), talk_(connect(conninfo)), stop_(::eventfd(0, EFD_CLOEXEC)) {
        PQsetNoticeProcessor(
            listen_, [](void*, const char*) {}, nullptr);
        pid_ = PQbackendPID(listen_);
        if (!listen()) throw pgError(listen_, "listen");
    }
    ~PgWakeSignal() override {
        watch({});
        PQfinish(listen_);
        PQfinish(talk_);
        ::close(stop_);
    }

    void notify() override {
        std::lock_guard lock(talkMutex_);
        // Once more on a fresh connection when the server was restarted meanwhile.
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (PQstatus(talk_) != CONNECTION_OK) PQreset(talk_);
            PGresult* r = PQexec(talk_, (std::string("NOTIFY ") + channel).c_str());
            const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
            PQclear(r);
            if (ok) return;
        }
    }

    void watch(std::function<void()> onWake) override {
        if (thread_.joinable()) {
            const std::uint64_t one = 1;
            [[maybe_unused]] auto n = ::write(stop_, &one, sizeof one);
            thread_.join();
            std::uint64_t drain = 0;
            n = ::read(stop_, &drain, sizeof drain);
        }
        if (!onWake) return;
        thread_ = std::thread([this, onWake = std::move(onWake)] { run(onWake); });
    }

    std::int64_t processID() override { return pid_; }

    bool processAlive(std::int64_t pid) override {
        std::lock_guard lock(talkMutex_);
        if (PQstatus(talk_) != CONNECTION_OK) PQreset(talk_);
        const std::string p = std::to_string(pid);
        const char* values[] = {p.c_str()};
        PGresult* r = PQexecParams(talk_, "SELECT 1 FROM pg_stat_activity WHERE pid = $1::int", 1,
                                   nullptr, values, nullptr, nullptr, 0);
        // When the server cannot tell, keep the device.
        const bool alive = PQresultStatus(r) != PGRES_TUPLES_OK || PQntuples(r) > 0;
        PQclear(r);
        return alive;
    }

private:
    void run(const std::function<void()>& onWake) {
        bool listening = true;
        for (;;) {
            if (!listening) {
                // The server went away, or would not take the LISTEN: try again a second apart,
                // as a connection that is up but not listening would never wake anyone.
                pollfd stop = {stop_, POLLIN, 0};
                if (::poll(&stop, 1, 1000) > 0) return;
                PQreset(listen_);
                if (PQstatus(listen_) != CONNECTION_OK) continue;
                pid_ = PQbackendPID(listen_);
                if (!listen()) continue;
                listening = true;
                onWake();  // whatever came meanwhile
                continue;
            }
            pollfd fds[2] = {{PQsocket(listen_), POLLIN, 0}, {stop_, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents) return;
            if (!PQconsumeInput(listen_) || PQstatus(listen_) != CONNECTION_OK) {
                listening = false;
                continue;
            }
            bool woke = false;
            while (PGnotify* n = PQnotifies(listen_)) {
                woke = true;
                PQfreemem(n);
            }
            if (woke) onWake();
        }
    }

    bool listen() {
        PGresult* r = PQexec(listen_, (std::string("LISTEN ") + channel).c_str());
        const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
        PQclear(r);
        return ok;
    }

    PGconn* listen_;
    PGconn* talk_;
    std::mutex talkMutex_;
    int stop_;
    std::atomic<std::int64_t> pid_ = 0;
    std::thread thread_;
};

}  // namespace

std::shared_ptr<CloudStore> openPostgresCloudStore(const std::string& conninfo,
                                                   const CloudAccountFile& account,
                                                   SecretStore& keychain) {
    Bytes key = SqlCloudStore::fieldKey(keychain);
    auto sql = std::make_unique<PgConnection>(conninfo);
    auto wake = std::make_unique<PgWakeSignal>(conninfo);
    return std::make_shared<SqlCloudStore>(
        std::move(sql), SqlCloudAccount{account.userRecordName, account.accountStatus()},
        std::move(key), std::move(wake));
}

namespace {

// Who is asking, by login role; and whether that person reaches a zone: their own, or one whose
// share they accepted. Definer's rights, so the lookups themselves pass no policy.
const char* rulesSql = R"(
CREATE TABLE IF NOT EXISTS people (role_name TEXT PRIMARY KEY, user_record TEXT NOT NULL UNIQUE);
CREATE OR REPLACE FUNCTION orvane_me() RETURNS text LANGUAGE sql STABLE SECURITY DEFINER
  SET search_path = public AS
  $$ SELECT user_record FROM people WHERE role_name = session_user $$;
CREATE OR REPLACE FUNCTION orvane_reaches(zdb text, zname text) RETURNS boolean LANGUAGE sql
  STABLE SECURITY DEFINER SET search_path = public AS $$
  SELECT zdb = 'private:' || orvane_me() OR zdb = 'shared:' || orvane_me() OR EXISTS (
    SELECT 1 FROM shares s JOIN participants p ON p.token = s.token
    WHERE zdb = 'private:' || s.owner AND s.zone = zname AND p.person = orvane_me()
      AND p.accepted = 1) $$;
CREATE OR REPLACE FUNCTION orvane_in_share(t text) RETURNS boolean LANGUAGE sql
  STABLE SECURITY DEFINER SET search_path = public AS $$
  SELECT EXISTS (SELECT 1 FROM shares s WHERE s.token = t AND s.owner = orvane_me())
      OR EXISTS (SELECT 1 FROM participants p WHERE p.token = t AND p.person = orvane_me()) $$;
ALTER TABLE zones ENABLE ROW LEVEL SECURITY;
ALTER TABLE records ENABLE ROW LEVEL SECURITY;
ALTER TABLE shares ENABLE ROW LEVEL SECURITY;
ALTER TABLE participants ENABLE ROW LEVEL SECURITY;
ALTER TABLE subscriptions ENABLE ROW LEVEL SECURITY;
ALTER TABLE devices ENABLE ROW LEVEL SECURITY;
ALTER TABLE pushes ENABLE ROW LEVEL SECURITY;
ALTER TABLE meta ENABLE ROW LEVEL SECURITY;
ALTER TABLE people ENABLE ROW LEVEL SECURITY;
DROP POLICY IF EXISTS zones_read ON zones;
DROP POLICY IF EXISTS zones_count ON zones;
DROP POLICY IF EXISTS zones_make ON zones;
DROP POLICY IF EXISTS zones_drop ON zones;
CREATE POLICY zones_read ON zones FOR SELECT USING (orvane_reaches(db, name));
CREATE POLICY zones_count ON zones FOR UPDATE USING (orvane_reaches(db, name));
CREATE POLICY zones_make ON zones FOR INSERT WITH CHECK (db = 'private:' || orvane_me());
CREATE POLICY zones_drop ON zones FOR DELETE USING (db = 'private:' || orvane_me());
DROP POLICY IF EXISTS records_all ON records;
CREATE POLICY records_all ON records USING (orvane_reaches(db, zone))
  WITH CHECK (orvane_reaches(db, zone));
DROP POLICY IF EXISTS shares_read ON shares;
DROP POLICY IF EXISTS shares_own ON shares;
CREATE POLICY shares_read ON shares FOR SELECT USING (orvane_in_share(token));
CREATE POLICY shares_own ON shares USING (owner = orvane_me()) WITH CHECK (owner = orvane_me());
DROP POLICY IF EXISTS participants_read ON participants;
DROP POLICY IF EXISTS participants_add ON participants;
DROP POLICY IF EXISTS participants_accept ON participants;
DROP POLICY IF EXISTS participants_drop ON participants;
CREATE POLICY participants_read ON participants FOR SELECT USING (orvane_in_share(token));
CREATE POLICY participants_add ON participants FOR INSERT WITH CHECK
  (EXISTS (SELECT 1 FROM shares s WHERE s.token = participants.token AND s.owner = orvane_me()));
CREATE POLICY participants_accept ON participants FOR UPDATE USING (person = orvane_me())
  WITH CHECK (person = orvane_me());
CREATE POLICY participants_drop ON participants FOR DELETE USING
  (EXISTS (SELECT 1 FROM shares s WHERE s.token = participants.token AND s.owner = orvane_me()));
DROP POLICY IF EXISTS subscriptions_read ON subscriptions;
DROP POLICY IF EXISTS subscriptions_own ON subscriptions;
CREATE POLICY subscriptions_read ON subscriptions FOR SELECT USING (true);
CREATE POLICY subscriptions_own ON subscriptions
  USING (db IN ('private:' || orvane_me(), 'shared:' || orvane_me()))
  WITH CHECK (db IN ('private:' || orvane_me(), 'shared:' || orvane_me()));
DROP POLICY IF EXISTS devices_read ON devices;
DROP POLICY IF EXISTS devices_own ON devices;
DROP POLICY IF EXISTS devices_gone ON devices;
CREATE POLICY devices_read ON devices FOR SELECT USING (true);
CREATE POLICY devices_own ON devices FOR INSERT WITH CHECK ("user" = orvane_me());
CREATE POLICY devices_gone ON devices FOR DELETE USING (true);
DROP POLICY IF EXISTS pushes_send ON pushes;
DROP POLICY IF EXISTS pushes_mine ON pushes;
DROP POLICY IF EXISTS pushes_gone ON pushes;
CREATE POLICY pushes_send ON pushes FOR INSERT WITH CHECK (true);
CREATE POLICY pushes_mine ON pushes FOR SELECT
  USING (device IN (SELECT id FROM devices WHERE "user" = orvane_me()));
CREATE POLICY pushes_gone ON pushes FOR DELETE USING (true);
DROP POLICY IF EXISTS meta_read ON meta;
DROP POLICY IF EXISTS meta_key ON meta;
CREATE POLICY meta_read ON meta FOR SELECT USING (true);
CREATE POLICY meta_key ON meta FOR INSERT WITH CHECK (key = 'fieldKey:' || orvane_me());
)";

// Runs `body` in one writing transaction on a connection of its own; any throw undoes it and
// reaches the caller.
template <class F>
void administer(const std::string& conninfo, F&& body) {
    PgConnection sql(conninfo);
    sql.begin();
    try {
        body(sql);
        sql.commit();
    } catch (...) {
        try {
            sql.rollback();
        } catch (...) {
        }
        throw;
    }
}

}  // namespace

void initPostgresServer(const std::string& conninfo) {
    administer(conninfo, [](PgConnection& sql) {
        SqlCloudStore::createSchema(sql);
        sql.execute(rulesSql);
    });
}

void addPostgresUser(const std::string& conninfo, const std::string& role,
                     const std::string& userRecordName, const std::string& password) {
    administer(conninfo, [&](PgConnection& sql) {
        const std::string r = sql.quoted(role, true);
        auto exists = sql.prepare("SELECT 1 FROM pg_roles WHERE rolname = ?::text");
        exists->bind(1, role);
        const bool known = exists->step();
        sql.execute((known ? "ALTER ROLE " : "CREATE ROLE ") + r + " LOGIN PASSWORD " +
                    sql.quoted(password, false));
        sql.execute(
            "GRANT SELECT, INSERT, UPDATE, DELETE ON meta, zones, records, subscriptions, "
            "devices, pushes, shares, participants TO " +
            r);
        auto person = sql.prepare(
            "INSERT INTO people (role_name, user_record) VALUES (?, ?) "
            "ON CONFLICT (role_name) DO UPDATE SET user_record = excluded.user_record");
        person->bind(1, role);
        person->bind(2, userRecordName);
        person->step();
    });
}

std::string postgresConnInfo(const CloudAccountFile& account, const std::string& password) {
    // Values quoted as libpq reads them.
    auto quoted = [](const std::string& v) {
        std::string out = "'";
        for (char c : v) {
            if (c == '\\' || c == '\'') out += '\\';
            out += c;
        }
        return out + "'";
    };
    const bool loopback = account.server == "127.0.0.1" || account.server == "::1" ||
                          account.server == "localhost" || account.server.starts_with("/");
    std::string info = "host=" + quoted(account.server) + " port=" + std::to_string(account.port) +
                       " dbname=" + quoted(account.database) + " user=" + quoted(account.role) +
                       " connect_timeout=10 sslmode=" + (loopback ? "prefer" : "verify-full");
    if (!password.empty()) info += " password=" + quoted(password);
    return info;
}

std::shared_ptr<CloudStore> openPostgresBackend(const CloudAccountFile& account,
                                                SecretStore& keychain) {
    if (account.backend != "postgres") return nullptr;
    if (account.server.empty() || account.database.empty() || account.role.empty())
        throw CloudError(CloudErrorCode::internalError,
                         "The cloud settings name no server, database and role.");
    const auto password = Keychain::read(postgresPasswordAccount, SqlCloudStore::keychainService,
                                         std::nullopt, keychain);
    return openPostgresCloudStore(postgresConnInfo(account, password.value_or("")), account,
                                  keychain);
}

}  // namespace orvane

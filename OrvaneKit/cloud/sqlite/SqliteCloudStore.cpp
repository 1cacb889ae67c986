#include "OrvaneKit/cloud/sqlite/SqliteCloudStore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "OrvaneKit/cloud/LazyCloudStore.h"

namespace orvane {

namespace {

CloudError sqlError(sqlite3* db, const std::string& what) {
    return CloudError(CloudErrorCode::internalError,
                      "The cloud store failed (" + what + ": " + sqlite3_errmsg(db) + ").");
}

class SqliteStatement final : public SqlStatement {
public:
    SqliteStatement(sqlite3* db, sqlite3_stmt* st) : db_(db), st_(st) {}
    ~SqliteStatement() override { sqlite3_finalize(st_); }
    void bind(int i, std::int64_t v) override { check(sqlite3_bind_int64(st_, i, v)); }
    void bind(int i, const std::string& v) override {
        check(sqlite3_bind_text(st_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    }
    void bindNull(int i) override { check(sqlite3_bind_null(st_, i)); }
    bool step() override {
        const int rc = sqlite3_step(st_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw sqlError(db_, "step");
    }
    bool isNull(int c) override { return sqlite3_column_type(st_, c) == SQLITE_NULL; }
    std::int64_t integer(int c) override { return sqlite3_column_int64(st_, c); }
    std::string text(int c) override {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st_, c));
        return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(st_, c))) : "";
    }

private:
    void check(int rc) {
        if (rc != SQLITE_OK) throw sqlError(db_, "bind");
    }
    sqlite3* db_;
    sqlite3_stmt* st_;
};

class SqliteConnection final : public SqlConnection {
public:
    explicit SqliteConnection(const std::filesystem::path& file) {
        if (sqlite3_open_v2(file.c_str(), &db_,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                            nullptr) != SQLITE_OK) {
            CloudError e = sqlError(db_, "open " + file.string());
            sqlite3_close(db_);
            throw e;
        }
        // Other devices hold the write lock only for one request.
        sqlite3_busy_timeout(db_, 10000);
        execute("PRAGMA journal_mode=WAL");
        execute("PRAGMA synchronous=NORMAL");
        execute("PRAGMA foreign_keys=ON");
    }
    ~SqliteConnection() override { sqlite3_close(db_); }

    void execute(const std::string& sql) override {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            std::string text = message ? message : "unknown";
            sqlite3_free(message);
            throw CloudError(CloudErrorCode::internalError,
                             "The cloud store failed (" + text + ").");
        }
    }
    std::unique_ptr<SqlStatement> prepare(const std::string& sql) override {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &st, nullptr) !=
            SQLITE_OK)
            throw sqlError(db_, "prepare");
        return std::make_unique<SqliteStatement>(db_, st);
    }
    void begin() override { execute("BEGIN IMMEDIATE"); }
    void commit() override { execute("COMMIT"); }
    void rollback() override { execute("ROLLBACK"); }

private:
    sqlite3* db_ = nullptr;
};

}  // namespace

std::shared_ptr<CloudStore> openSqliteCloudStore(const std::filesystem::path& file,
                                                 const CloudAccountFile& account,
                                                 SecretStore& keychain,
                                                 const CloudWakeFactory& wakeSignal) {
    const auto dir = file.parent_path();
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec || ::chmod(dir.c_str(), 0700) != 0)
        throw CloudError(CloudErrorCode::internalError,
                         "The cloud store folder " + dir.string() + " cannot be made.");
    // Made 0600 before the library opens it; its log and index files take the same mode.
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        throw CloudError(CloudErrorCode::internalError,
                         "The cloud store " + file.string() +
                             " cannot be opened: " + std::strerror(errno) + ".");
    ::fchmod(fd, 0600);
    ::close(fd);
    Bytes key = SqlCloudStore::fieldKey(keychain);
    auto sql = std::make_unique<SqliteConnection>(file);
    auto wake = wakeSignal(file.string() + ".notify");
    return std::make_shared<SqlCloudStore>(
        std::move(sql), SqlCloudAccount{account.userRecordName, account.accountStatus()},
        std::move(key), std::move(wake));
}

std::shared_ptr<CloudStore> openConfiguredCloudStore(SecretStore& keychain,
                                                     const CloudWakeFactory& wakeSignal,
                                                     const std::filesystem::path& accountFile,
                                                     const CloudBackendOpener& otherBackend) {
    CloudAccountFile account;
    try {
        account = CloudAccountFile::loadOrCreate(accountFile);
    } catch (const std::exception& e) {
        return std::make_shared<UnavailableCloudStore>(e.what());
    }
    LazyCloudStore::Opener open;
    if (account.backend == "sqlite")
        open = [account, &keychain, wakeSignal, file = CloudAccountFile::standardStoreFile()] {
            return openSqliteCloudStore(file, account, keychain, wakeSignal);
        };
    else if (otherBackend)
        open = [account, otherBackend] { return otherBackend(account); };
    try {
        if (auto store = open ? open() : nullptr) return store;
        return std::make_shared<UnavailableCloudStore>("The cloud store \"" + account.backend +
                                                       "\" named in " + accountFile.string() +
                                                       " is not built in.");
    } catch (const CloudError& e) {
        // A server out of reach may be back at any time; a wrong setting stays wrong.
        if (e.code == CloudErrorCode::networkUnavailable)
            return std::make_shared<LazyCloudStore>(std::move(open), e);
        return std::make_shared<UnavailableCloudStore>(e.what());
    } catch (const std::exception& e) {
        return std::make_shared<UnavailableCloudStore>(e.what());
    }
}

}  // namespace orvane

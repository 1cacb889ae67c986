#include "OrvaneKit/cloud/sqlite/SqliteCloudStore.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

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

// A file beside the store that every writer touches after a commit that left pushes; every
// listening device watches it with inotify.
class NotifyFileSignal final : public CloudWakeSignal {
public:
    explicit NotifyFileSignal(std::filesystem::path file) : file_(std::move(file)) {}
    ~NotifyFileSignal() override { watch({}); }

    void notify() override {
        const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd < 0) return;
        // One byte, then truncated, so the file stays empty and every writer is seen.
        [[maybe_unused]] auto n = ::write(fd, "\n", 1);
        [[maybe_unused]] auto t = ::ftruncate(fd, 0);
        ::close(fd);
    }

    void watch(std::function<void()> onWake) override {
        std::lock_guard lock(mutex_);
        if (thread_.joinable()) {
            const std::uint64_t one = 1;
            [[maybe_unused]] auto n = ::write(stop_, &one, sizeof one);
            thread_.join();
            ::close(stop_);
            ::close(inotify_);
            stop_ = inotify_ = -1;
        }
        if (!onWake) return;
        inotify_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        stop_ = eventfd(0, EFD_CLOEXEC);
        if (inotify_ < 0 || stop_ < 0)
            throw CloudError(CloudErrorCode::internalError,
                             std::string("Pushes cannot be watched: ") + std::strerror(errno));
        // The folder, so that a notify file made later is seen too.
        if (inotify_add_watch(inotify_, file_.parent_path().c_str(),
                              IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE) < 0)
            throw CloudError(CloudErrorCode::internalError,
                             std::string("Pushes cannot be watched: ") + std::strerror(errno));
        thread_ = std::thread([this, onWake = std::move(onWake)] { run(onWake); });
        // Pushes noted while nobody watched.
    }

    std::int64_t processID() override { return ::getpid(); }
    bool processAlive(std::int64_t pid) override {
        return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
    }

private:
    void run(const std::function<void()>& onWake) {
        const std::string name = file_.filename().string();
        onWake();
        alignas(inotify_event) char buf[4096];
        for (;;) {
            pollfd fds[2] = {{inotify_, POLLIN, 0}, {stop_, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents) return;
            bool ours = false;
            for (;;) {
                const ssize_t n = ::read(inotify_, buf, sizeof buf);
                if (n <= 0) break;
                for (ssize_t off = 0; off < n;) {
                    const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
                    if (ev->len && name == ev->name) ours = true;
                    off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
                }
            }
            if (ours) onWake();
        }
    }

    std::filesystem::path file_;
    std::mutex mutex_;
    std::thread thread_;
    int inotify_ = -1;
    int stop_ = -1;
};

}  // namespace

std::shared_ptr<CloudStore> openSqliteCloudStore(const std::filesystem::path& file,
                                                 const CloudAccountFile& account,
                                                 SecretStore& keychain) {
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
    auto wake = std::make_unique<NotifyFileSignal>(file.string() + ".notify");
    return std::make_shared<SqlCloudStore>(
        std::move(sql), SqlCloudAccount{account.userRecordName, account.accountStatus()},
        std::move(key), std::move(wake));
}

std::shared_ptr<CloudStore> openConfiguredCloudStore(SecretStore& keychain,
                                                     const std::filesystem::path& accountFile) {
    try {
        auto account = CloudAccountFile::loadOrCreate(accountFile);
        if (account.backend != "sqlite")
            return std::make_shared<UnavailableCloudStore>("The cloud store \"" + account.backend +
                                                           "\" named in " + accountFile.string() +
                                                           " is not built in.");
        return openSqliteCloudStore(CloudAccountFile::standardStoreFile(), account, keychain);
    } catch (const CloudError& e) {
        return std::make_shared<UnavailableCloudStore>(e.what());
    } catch (const std::exception& e) {
        return std::make_shared<UnavailableCloudStore>(e.what());
    }
}

}  // namespace orvane

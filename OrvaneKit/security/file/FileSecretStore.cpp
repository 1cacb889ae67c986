#include "OrvaneKit/security/file/FileSecretStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/base/Paths.h"

namespace orvane {

namespace fs = std::filesystem;

namespace {

const Logger& log() {
    static const Logger logger{"com.nimbrel.kelsap", "keychain"};
    return logger;
}

// The folder holding the file: made 0700 when missing; an existing one is left as it is.
bool ensureFolder(const fs::path& folder, bool create) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    if (!create) return false;
    std::error_code ec;
    if (folder.has_parent_path()) fs::create_directories(folder.parent_path(), ec);
    return ::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace

// Holds the flock of the side file; the data file itself is replaced by rename, so it cannot
// carry the lock.
class FileSecretStore::FileLock {
public:
    FileLock(const fs::path& path, bool exclusive) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0) return;
        int rc;
        do {
            rc = ::flock(fd_, exclusive ? LOCK_EX : LOCK_SH);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~FileLock() {
        if (fd_ >= 0) ::close(fd_);  // releases the flock
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

std::filesystem::path FileSecretStore::standardFile() {
    return Paths::applicationSupport() / "orvane" / "keychain.json";
}

FileSecretStore::FileSecretStore(fs::path file) : file_(std::move(file)) {
    lockFile_ = file_;
    lockFile_ += ".lock";
}

FileSecretStore::Problem FileSecretStore::problem() const {
    std::vector<Item> items;
    return loadChecked(items);
}

FileSecretStore::Problem FileSecretStore::loadChecked(std::vector<Item>& items) const {
    items.clear();
    std::string text;
    const int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return Problem::none;
        log().error("keychain file unreadable: {}", std::strerror(errno));
        return Problem::unreadable;
    }
    char buf[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            log().error("keychain file unreadable: {}", std::strerror(errno));
            ::close(fd);
            return Problem::unreadable;
        }
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    try {
        const nlohmann::json doc = nlohmann::json::parse(text);
        if (!doc.is_object() || doc.value("version", 0) != 1 || !doc.contains("items") ||
            !doc["items"].is_array())
            throw std::runtime_error("unknown layout");
        for (const auto& j : doc["items"]) {
            Item item;
            item.id.service = j.at("service").get<std::string>();
            item.id.account = j.at("account").get<std::string>();
            const auto& group = j.at("group");
            if (!group.is_null()) item.id.group = group.get<std::string>();
            item.synchronizable = j.at("synchronizable").get<bool>();
            item.value = j.at("value").get<std::string>();
            items.push_back(std::move(item));
        }
    } catch (const std::exception& e) {
        log().error("keychain file cannot be parsed, leaving it untouched: {}", e.what());
        items.clear();
        return Problem::unparsable;
    }
    return Problem::none;
}

bool FileSecretStore::save(const std::vector<Item>& items) const {
    std::string text;
    try {
        nlohmann::json list = nlohmann::json::array();
        for (const Item& item : items) {
            list.push_back({{"service", item.id.service},
                            {"account", item.id.account},
                            {"group", item.id.group ? nlohmann::json(*item.id.group)
                                                    : nlohmann::json(nullptr)},
                            {"synchronizable", item.synchronizable},
                            {"value", item.value}});
        }
        text = nlohmann::json{{"version", 1}, {"items", std::move(list)}}.dump();
    } catch (const std::exception& e) {
        log().error("keychain item cannot be written: {}", e.what());
        return false;
    }
    if (!writeFileAtomically(file_, text.data(), text.size(), 0600)) {
        log().error("keychain file could not be written");
        return false;
    }
    return true;
}

SecretStore::ReadResult FileSecretStore::read(const KeychainItemId& id) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!ensureFolder(file_.parent_path(), false)) return {KeychainStatus::notFound, {}};
    FileLock lock(lockFile_, false);
    if (!lock.held()) return {KeychainStatus::ioError, {}};
    std::vector<Item> items;
    if (!load(items)) return {KeychainStatus::ioError, {}};
    for (Item& item : items)
        if (item.id == id) return {KeychainStatus::success, std::move(item.value)};
    return {KeychainStatus::notFound, {}};
}

KeychainStatus FileSecretStore::add(const KeychainItemId& id, const std::string& value,
                                    bool synchronizable) {
    if (synchronizable) return KeychainStatus::refused;
    return editItems(true, KeychainStatus::ioError, [&](std::vector<Item>& items) {
        for (const Item& item : items)
            if (item.id == id && item.synchronizable == synchronizable)
                return KeychainStatus::duplicate;
        items.push_back({id, synchronizable, value});
        return KeychainStatus::success;
    });
}

KeychainStatus FileSecretStore::remove(const KeychainItemId& id) {
    return editItems(false, KeychainStatus::notFound, [&](std::vector<Item>& items) {
        const auto removed = std::erase_if(items, [&](const Item& item) { return item.id == id; });
        return removed == 0 ? KeychainStatus::notFound : KeychainStatus::success;
    });
}

KeychainStatus FileSecretStore::replace(const KeychainItemId& id, const std::string& value,
                                        bool synchronizable) {
    if (synchronizable) return KeychainStatus::refused;
    return editItems(true, KeychainStatus::ioError, [&](std::vector<Item>& items) {
        std::erase_if(items, [&](const Item& item) { return item.id == id; });
        items.push_back({id, synchronizable, value});
        return KeychainStatus::success;
    });
}

KeychainStatus FileSecretStore::editItems(
    bool createFolder, KeychainStatus noFolder,
    const std::function<KeychainStatus(std::vector<Item>&)>& edit) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!ensureFolder(file_.parent_path(), createFolder)) return noFolder;
    FileLock lock(lockFile_, true);
    if (!lock.held()) return KeychainStatus::ioError;
    std::vector<Item> items;
    if (!load(items)) return KeychainStatus::ioError;
    if (auto status = edit(items); status != KeychainStatus::success) return status;
    return save(items) ? KeychainStatus::success : KeychainStatus::ioError;
}

}  // namespace orvane

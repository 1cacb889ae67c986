#include "OrvaneKit/base/SettingsStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "OrvaneKit/base/Base64.h"
#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/base/Paths.h"

namespace orvane {

namespace {
const Logger kLog{"orvane.base", "settings"};

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}
}  // namespace

std::optional<SettingsStore::Value> SettingsStore::object(std::string_view key) const {
    if (auto v = storedValue(key)) return v;
    std::lock_guard lock(registeredMutex_);
    if (auto it = registered_.find(key); it != registered_.end()) return it->second;
    return std::nullopt;
}

void SettingsStore::set(std::string_view key, Value value) {
    store(key, std::move(value));
    changed.emit(std::string(key));
}

void SettingsStore::remove(std::string_view key) {
    store(key, std::nullopt);
    changed.emit(std::string(key));
}

void SettingsStore::registerDefaults(const std::map<std::string, Value>& defaults) {
    std::lock_guard lock(registeredMutex_);
    for (auto& [k, v] : defaults) registered_[k] = v;
}

bool SettingsStore::boolReading(const Value& v) {
    if (v.is_boolean()) return v.get<bool>();
    if (v.is_number_integer() || v.is_number_unsigned()) return v.get<std::int64_t>() != 0;
    if (v.is_number_float()) return v.get<double>() != 0.0;
    if (v.is_string()) {
        auto s = lower(v.get<std::string>());
        return s == "yes" || s == "true" || s == "1";
    }
    return false;
}

bool SettingsStore::boolValue(std::string_view key) const {
    auto v = object(key);
    return v && boolReading(*v);
}

std::int64_t SettingsStore::integer(std::string_view key) const {
    auto v = object(key);
    if (!v) return 0;
    if (v->is_boolean()) return v->get<bool>() ? 1 : 0;
    if (v->is_number_unsigned()) {
        auto u = v->get<std::uint64_t>();
        return u > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(u);
    }
    if (v->is_number_integer()) return v->get<std::int64_t>();
    if (v->is_number_float()) {
        double d = v->get<double>();
        return std::isfinite(d) && std::fabs(d) < 9.2e18 ? static_cast<std::int64_t>(d) : 0;
    }
    if (v->is_string()) {
        try {
            return std::stoll(v->get<std::string>());
        } catch (...) {
            return 0;
        }
    }
    return 0;
}

double SettingsStore::doubleValue(std::string_view key) const {
    auto v = object(key);
    if (!v) return 0;
    if (v->is_boolean()) return v->get<bool>() ? 1 : 0;
    if (v->is_number()) return v->get<double>();
    if (v->is_string()) {
        try {
            return std::stod(v->get<std::string>());
        } catch (...) {
            return 0;
        }
    }
    return 0;
}

std::optional<std::string> SettingsStore::string(std::string_view key) const {
    auto v = object(key);
    if (!v) return std::nullopt;
    if (v->is_string()) return v->get<std::string>();
    if (v->is_number()) return v->dump();
    return std::nullopt;
}

std::optional<Bytes> SettingsStore::data(std::string_view key) const {
    auto v = object(key);
    if (!v || !v->is_string()) return std::nullopt;
    return base64Decode(v->get<std::string>());
}

void SettingsStore::setData(std::string_view key, ByteView v) {
    set(key, base64Encode(v));
}

std::optional<std::vector<std::string>> SettingsStore::stringArray(std::string_view key) const {
    auto v = object(key);
    if (!v || !v->is_array()) return std::nullopt;
    std::vector<std::string> out;
    for (auto& e : *v) {
        if (!e.is_string()) return std::nullopt;
        out.push_back(e.get<std::string>());
    }
    return out;
}

std::optional<SettingsStore::Value> MemorySettingsStore::storedValue(std::string_view key) const {
    std::lock_guard lock(mutex_);
    if (auto it = values_.find(key); it != values_.end()) return it->second;
    return std::nullopt;
}

void MemorySettingsStore::store(std::string_view key, std::optional<Value> value) {
    std::lock_guard lock(mutex_);
    if (value)
        values_[std::string(key)] = std::move(*value);
    else if (auto it = values_.find(key); it != values_.end())
        values_.erase(it);
}

FileSettingsStore::FileSettingsStore(std::filesystem::path path) : path_(std::move(path)) {
    std::lock_guard lock(mutex_);
    reloadIfChangedLocked();
}

std::filesystem::path FileSettingsStore::standardPath() {
    return Paths::config() / "orvane-host" / "defaults.json";
}

void FileSettingsStore::reloadIfChangedLocked() const {
    std::error_code ec;
    auto time = std::filesystem::last_write_time(path_, ec);
    if (ec) return;  // no file yet: keep what we have
    auto size = std::filesystem::file_size(path_, ec);
    // Every write puts a new file in place: a new inode is a change even within one tick.
    struct stat st {};
    const std::uintmax_t inode = ::stat(path_.c_str(), &st) == 0 ? st.st_ino : 0;
    if (ec || (time == loadedTime_ && size == loadedSize_ && inode == loadedInode_)) return;
    std::ifstream in(path_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    auto parsed = Value::parse(text.str(), nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        kLog.error("settings file {} is unreadable; keeping the values in memory", path_.string());
        return;
    }
    values_ = std::move(parsed);
    loadedTime_ = time;
    loadedSize_ = size;
    loadedInode_ = inode;
}

std::optional<SettingsStore::Value> FileSettingsStore::storedValue(std::string_view key) const {
    std::lock_guard lock(mutex_);
    reloadIfChangedLocked();
    if (auto it = values_.find(key); it != values_.end()) return *it;
    return std::nullopt;
}

void FileSettingsStore::store(std::string_view key, std::optional<Value> value) {
    std::lock_guard lock(mutex_);
    // Other processes write the same file: read, change and write it under their common lock,
    // so a key another one wrote meanwhile is kept.
    std::error_code dirError;
    std::filesystem::create_directories(path_.parent_path(), dirError);
    const std::string lockPath = path_.string() + ".lock";
    const int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd >= 0) ::flock(lockFd, LOCK_EX);
    struct Unlock {
        int fd;
        ~Unlock() {
            if (fd >= 0) ::close(fd);
        }
    } unlock{lockFd};
    reloadIfChangedLocked();
    if (value)
        values_[std::string(key)] = std::move(*value);
    else
        values_.erase(std::string(key));
    auto text = values_.dump(-1, ' ', false, Value::error_handler_t::replace);
    if (!writeFileAtomically(path_, text.data(), text.size(), 0600)) {
        kLog.error("could not write settings file {}", path_.string());
        return;
    }
    std::error_code ec;
    loadedTime_ = std::filesystem::last_write_time(path_, ec);
    loadedSize_ = text.size();
    struct stat st {};
    loadedInode_ = ::stat(path_.c_str(), &st) == 0 ? st.st_ino : 0;
}

}  // namespace orvane

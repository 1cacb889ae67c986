#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/base/Signal.h"

namespace orvane {

// The owner's settings: typed values under string keys, with a registration domain of defaults
// that are read through but never written.
class SettingsStore {
public:
    using Value = nlohmann::json;
    virtual ~SettingsStore() = default;

    // The stored value, else the registered default.
    std::optional<Value> object(std::string_view key) const;
    // Whether a value (stored or registered) is present.
    bool contains(std::string_view key) const { return object(key).has_value(); }
    // Whether a value was stored (registered defaults do not count).
    bool hasStoredValue(std::string_view key) const { return storedValue(key).has_value(); }

    void set(std::string_view key, Value value);
    void remove(std::string_view key);
    void registerDefaults(const std::map<std::string, Value>& defaults);

    // Readings of a value as the platform's settings API gives them.
    bool boolValue(std::string_view key) const;  // bool; number != 0; "YES"/"true"/"1" any case
    std::int64_t integer(std::string_view key) const;  // 0 when absent or not a number
    double doubleValue(std::string_view key) const;
    std::optional<std::string> string(std::string_view key) const;
    std::optional<Bytes> data(std::string_view key) const;  // stored as base64 text
    std::optional<std::vector<std::string>> stringArray(std::string_view key) const;

    void setBool(std::string_view key, bool v) { set(key, v); }
    void setInteger(std::string_view key, std::int64_t v) { set(key, v); }
    void setDouble(std::string_view key, double v) { set(key, v); }
    void setString(std::string_view key, std::string v) { set(key, std::move(v)); }
    void setData(std::string_view key, ByteView v);
    void setStringArray(std::string_view key, const std::vector<std::string>& v) { set(key, v); }

    static bool boolReading(const Value& v);

    // Emitted with the key after every set or remove through this instance.
    Signal<const std::string&> changed;

protected:
    virtual std::optional<Value> storedValue(std::string_view key) const = 0;
    virtual void store(std::string_view key, std::optional<Value> value) = 0;

private:
    mutable std::mutex registeredMutex_;
    std::map<std::string, Value, std::less<>> registered_;
};

class MemorySettingsStore final : public SettingsStore {
protected:
    std::optional<Value> storedValue(std::string_view key) const override;
    void store(std::string_view key, std::optional<Value> value) override;

private:
    mutable std::mutex mutex_;
    std::map<std::string, Value, std::less<>> values_;
};

// One JSON object in a file, replaced atomically on every change (mode 0600), under an flock of
// "<file>.lock" so that processes writing different keys lose none. A change made by another
// process is picked up on the next read.
class FileSettingsStore final : public SettingsStore {
public:
    explicit FileSettingsStore(std::filesystem::path path);
    // The standard suite: $XDG_CONFIG_HOME/orvane-host/defaults.json.
    static std::filesystem::path standardPath();
    const std::filesystem::path& path() const { return path_; }

protected:
    std::optional<Value> storedValue(std::string_view key) const override;
    void store(std::string_view key, std::optional<Value> value) override;

private:
    void reloadIfChangedLocked() const;
    std::filesystem::path path_;
    mutable std::mutex mutex_;
    mutable Value values_ = Value::object();
    mutable std::filesystem::file_time_type loadedTime_{};
    mutable std::uintmax_t loadedSize_ = 0;
    mutable std::uintmax_t loadedInode_ = 0;
};

}  // namespace orvane

#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "OrvaneKit/base/Bytes.h"

namespace orvane {

// Keys already derived in this process, by normalised code. Bounded: storing a tenth distinct
// code empties the map first, so a process that cycles through codes never grows it.
class AccessKeyCache final {
public:
    static constexpr std::size_t capacity = 9;

    // The process's cache, created on first use and never released.
    static AccessKeyCache& shared();

    AccessKeyCache() = default;
    AccessKeyCache(const AccessKeyCache&) = delete;
    AccessKeyCache& operator=(const AccessKeyCache&) = delete;

    std::optional<Bytes> cachedKey(const std::string& normalizedCode) const;
    // Replaces an entry for the same code. Takes the lock itself.
    void store(const std::string& normalizedCode, Bytes key);
    std::size_t size() const;

private:
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Bytes> keys_;
};

}  // namespace orvane

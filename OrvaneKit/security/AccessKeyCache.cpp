#include "OrvaneKit/security/AccessKeyCache.h"

namespace orvane {

AccessKeyCache& AccessKeyCache::shared() {
    static AccessKeyCache* instance = new AccessKeyCache;  // outlives every caller
    return *instance;
}

std::optional<Bytes> AccessKeyCache::cachedKey(const std::string& normalizedCode) const {
    std::lock_guard lock(mutex_);
    auto it = keys_.find(normalizedCode);
    if (it == keys_.end()) return std::nullopt;
    return it->second;
}

void AccessKeyCache::store(const std::string& normalizedCode, Bytes key) {
    std::lock_guard lock(mutex_);
    if (keys_.size() >= capacity) keys_.clear();
    keys_[normalizedCode] = std::move(key);
}

std::size_t AccessKeyCache::size() const {
    std::lock_guard lock(mutex_);
    return keys_.size();
}

}  // namespace orvane

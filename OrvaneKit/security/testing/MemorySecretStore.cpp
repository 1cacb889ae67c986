#include "OrvaneKit/security/testing/MemorySecretStore.h"

#include <algorithm>

namespace orvane {

SecretStore::ReadResult MemorySecretStore::read(const KeychainItemId& id) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (readError_) return {KeychainStatus::ioError, {}};
    for (const Item& item : items_)
        if (item.id == id) return {KeychainStatus::success, item.value};
    return {KeychainStatus::notFound, {}};
}

KeychainStatus MemorySecretStore::add(const KeychainItemId& id, const std::string& value,
                                      bool synchronizable) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (addResult_) return *addResult_;
    if (writeError_) return KeychainStatus::ioError;
    if (synchronizable && refuseSync_) return KeychainStatus::refused;
    for (const Item& item : items_)
        if (item.id == id && item.synchronizable == synchronizable)
            return KeychainStatus::duplicate;
    items_.push_back({id, synchronizable, value});
    ++writes_;
    return KeychainStatus::success;
}

KeychainStatus MemorySecretStore::remove(const KeychainItemId& id) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (writeError_) return KeychainStatus::ioError;
    if (std::erase_if(items_, [&](const Item& item) { return item.id == id; }) == 0)
        return KeychainStatus::notFound;
    ++writes_;
    return KeychainStatus::success;
}

KeychainStatus MemorySecretStore::replace(const KeychainItemId& id, const std::string& value,
                                          bool synchronizable) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (writeError_) return KeychainStatus::ioError;
    if (synchronizable && refuseSync_) return KeychainStatus::refused;
    std::erase_if(items_, [&](const Item& item) { return item.id == id; });
    items_.push_back({id, synchronizable, value});
    ++writes_;
    return KeychainStatus::success;
}

void MemorySecretStore::setReadError(bool on) {
    std::lock_guard<std::mutex> guard(mutex_);
    readError_ = on;
}
void MemorySecretStore::setWriteError(bool on) {
    std::lock_guard<std::mutex> guard(mutex_);
    writeError_ = on;
}
void MemorySecretStore::setRefuseSynchronizable(bool on) {
    std::lock_guard<std::mutex> guard(mutex_);
    refuseSync_ = on;
}
void MemorySecretStore::setAddResult(std::optional<KeychainStatus> forced) {
    std::lock_guard<std::mutex> guard(mutex_);
    addResult_ = forced;
}

std::vector<MemorySecretStore::Item> MemorySecretStore::items() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return items_;
}

std::size_t MemorySecretStore::writeCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return writes_;
}

}  // namespace orvane

#pragma once

#include <mutex>
#include <optional>
#include <vector>

#include "OrvaneKit/security/SecretStore.h"

namespace orvane {

// An in-memory secret store whose failures tests can switch on. Synchronizable items are
// accepted unless refuseSynchronizable is set, so both kinds can be exercised.
class MemorySecretStore final : public SecretStore {
public:
    struct Item {
        KeychainItemId id;
        bool synchronizable = false;
        std::string value;
    };

    ReadResult read(const KeychainItemId& id) override;
    KeychainStatus add(const KeychainItemId& id, const std::string& value,
                       bool synchronizable) override;
    KeychainStatus remove(const KeychainItemId& id) override;
    KeychainStatus replace(const KeychainItemId& id, const std::string& value,
                           bool synchronizable) override;

    // Injected results. All of them leave the stored items as they are.
    void setReadError(bool on);
    void setWriteError(bool on);            // add, replace and remove report ioError
    void setRefuseSynchronizable(bool on);  // synchronizable adds and replaces report refused
    void setAddResult(std::optional<KeychainStatus> forced);  // add reports this instead

    std::vector<Item> items() const;
    std::size_t writeCount() const;  // successful changes

private:
    mutable std::mutex mutex_;
    std::vector<Item> items_;
    bool readError_ = false;
    bool writeError_ = false;
    bool refuseSync_ = false;
    std::optional<KeychainStatus> addResult_;
    std::size_t writes_ = 0;
};

}  // namespace orvane

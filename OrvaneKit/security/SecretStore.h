#pragma once

#include <optional>
#include <string>

namespace orvane {

// Outcome of a keychain operation.
enum class KeychainStatus {
    success,
    duplicate,  // add over an existing item of the same keys and kind
    notFound,
    ioError,  // the store could not be read or written; nothing was changed
    refused,  // the store cannot honour the request (a synchronizable item, a value that is not
              // text)
};

// A generic-password item is found by service, account and access group; the group is part
// of its identity.
struct KeychainItemId {
    std::string service;
    std::string account;
    std::optional<std::string> group;
    bool operator==(const KeychainItemId&) const = default;
};

// Where secrets live. Values are UTF-8 texts. An item is either synchronizable or device-only;
// read and remove match both kinds. Accessibility classes have no counterpart here.
class SecretStore {
public:
    struct ReadResult {
        KeychainStatus status = KeychainStatus::notFound;  // success, notFound or ioError
        std::string value;                                 // set on success
    };

    virtual ~SecretStore() = default;

    // Three-way on purpose: "could not read" must never be taken for "absent", or callers
    // would overwrite a secret that still exists.
    virtual ReadResult read(const KeychainItemId& id) = 0;
    virtual KeychainStatus add(const KeychainItemId& id, const std::string& value,
                               bool synchronizable) = 0;
    // notFound when nothing matched.
    virtual KeychainStatus remove(const KeychainItemId& id) = 0;
    // Removes every item of the id and adds the new one in one step: on failure the old value
    // is still there.
    virtual KeychainStatus replace(const KeychainItemId& id, const std::string& value,
                                   bool synchronizable) = 0;
};

}  // namespace orvane

#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "OrvaneKit/security/SecretStore.h"

namespace orvane {

// Thin wrapper over the secret store for the product's generic-password items. Stateless;
// callable from any thread. Every operation takes the store last: the app passes the one it
// made, tests their own.
struct Keychain {
    // The stored text, or nothing when absent, unreadable or not UTF-8.
    static std::optional<std::string> read(const std::string& account, const std::string& service,
                                           const std::optional<std::string>& accessGroup,
                                           SecretStore& store);
    // Tells "absent" from "could not read", for callers that would otherwise overwrite a stored
    // secret after a transient failure. A value that is not UTF-8 reads as absent.
    static SecretStore::ReadResult readChecked(const std::string& account,
                                               const std::string& service,
                                               const std::optional<std::string>& accessGroup,
                                               SecretStore& store);
    // Deletes both kinds of the item ("delete" is a keyword). A missing item is not an error.
    static void remove(const std::string& account, const std::string& service,
                       const std::optional<std::string>& accessGroup, SecretStore& store);
    static KeychainStatus add(const std::string& value, const std::string& account,
                              const std::string& service, bool synchronizable,
                              const std::optional<std::string>& accessGroup, SecretStore& store);
    // Replaces the item (of either kind) in one step; a synchronizable item that the store
    // refuses falls back to a device-only one. False when nothing was written, and then the
    // earlier value is still there.
    static bool set(const std::string& value, const std::string& account,
                    const std::string& service, bool synchronizable,
                    const std::optional<std::string>& accessGroup, SecretStore& store);
};

bool isValidUtf8(std::string_view text);

}  // namespace orvane

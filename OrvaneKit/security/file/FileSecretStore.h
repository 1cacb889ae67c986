#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <vector>

#include "OrvaneKit/security/SecretStore.h"

namespace orvane {

// Secrets in one JSON file that only the user can read:
//   {"version":1,"items":[{"service":…,"account":…,"group":null,"synchronizable":false,"value":…}]}
// The folder is made 0700 and the file 0600. Every change rewrites the whole file atomically
// (temp file, fsync, rename) under a process mutex and an exclusive flock on a side lock file,
// so the host, tools and tests can share it. A file that cannot be parsed is never rewritten:
// every operation then reports ioError, so nothing it holds is lost.
//
// Synchronizable items cannot be honoured on this platform: adding one is refused.
class FileSecretStore final : public SecretStore {
public:
    explicit FileSecretStore(std::filesystem::path file);
    // The machine's keychain: "orvane/keychain.json" under the application-support folder.
    static std::filesystem::path standardFile();

    ReadResult read(const KeychainItemId& id) override;
    KeychainStatus add(const KeychainItemId& id, const std::string& value,
                       bool synchronizable) override;
    KeychainStatus remove(const KeychainItemId& id) override;
    KeychainStatus replace(const KeychainItemId& id, const std::string& value,
                           bool synchronizable) override;

    const std::filesystem::path& file() const { return file_; }

    // Why the file cannot be used, for telling the person what to do about it.
    enum class Problem { none, unreadable, unparsable };
    Problem problem() const;

private:
    struct Item {
        KeychainItemId id;
        bool synchronizable = false;
        std::string value;
    };
    class FileLock;

    bool load(std::vector<Item>& items) const { return loadChecked(items) == Problem::none; }
    Problem loadChecked(std::vector<Item>& items) const;
    bool save(const std::vector<Item>& items) const;
    // Loads the items under both locks, lets `edit` change them, and saves when it reports
    // success. `noFolder` is the answer when the folder is missing and must not be created.
    KeychainStatus editItems(bool createFolder, KeychainStatus noFolder,
                             const std::function<KeychainStatus(std::vector<Item>&)>& edit);

    std::filesystem::path file_;
    std::filesystem::path lockFile_;
    std::mutex mutex_;
};

}  // namespace orvane

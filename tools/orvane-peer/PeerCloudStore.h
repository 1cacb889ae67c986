#pragma once

#include <filesystem>
#include <memory>

#include "OrvaneKit/cloud/inotify/InotifyWakeSignal.h"
#include "OrvaneKit/cloud/postgres/PostgresCloudStore.h"
#include "OrvaneKit/cloud/sqlite/SqliteCloudStore.h"

namespace orvane {

// The store the account file names, with every backend this tool is built with. `keychain`
// must outlive the store.
inline std::shared_ptr<CloudStore> openPeerCloudStore(SecretStore& keychain,
                                                      const std::filesystem::path& accountFile) {
    return openConfiguredCloudStore(
        keychain, makeInotifyWakeSignal, accountFile,
        [&keychain](const CloudAccountFile& a) { return openPostgresBackend(a, keychain); });
}

}  // namespace orvane

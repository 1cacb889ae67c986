#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include "OrvaneKit/cloud/CloudAccountFile.h"
#include "OrvaneKit/cloud/SqlCloudStore.h"

namespace orvane {

class SecretStore;

// How devices sharing the file wake each other, given the notify file beside it; the
// composition root picks it (normally makeInotifyWakeSignal).
using CloudWakeFactory =
    std::function<std::unique_ptr<CloudWakeSignal>(const std::filesystem::path& notifyFile)>;

// The owner's records in one SQLite file shared by every device (process) of this machine:
// folder 0700, file 0600, write-ahead log, one immediate transaction per request. Throws
// CloudError when it cannot open.
std::shared_ptr<CloudStore> openSqliteCloudStore(const std::filesystem::path& file,
                                                 const CloudAccountFile& account,
                                                 SecretStore& keychain,
                                                 const CloudWakeFactory& wakeSignal);

// Opens the store of a backend other than this one that cloud.json names, or returns null
// when it knows no such backend; the composition root gives it.
using CloudBackendOpener =
    std::function<std::shared_ptr<CloudStore>(const CloudAccountFile& account)>;

// What cloud.json names. When its server cannot be reached, a store that opens it once it can
// (see LazyCloudStore); when it cannot open otherwise, a store whose every call fails with the
// reason. `keychain` must outlive the store.
std::shared_ptr<CloudStore> openConfiguredCloudStore(
    SecretStore& keychain, const CloudWakeFactory& wakeSignal,
    const std::filesystem::path& accountFile = CloudAccountFile::standardPath(),
    const CloudBackendOpener& otherBackend = {});

}  // namespace orvane

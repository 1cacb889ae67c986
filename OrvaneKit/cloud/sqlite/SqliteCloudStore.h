#pragma once

#include <filesystem>
#include <memory>

#include "OrvaneKit/cloud/CloudAccountFile.h"
#include "OrvaneKit/cloud/SqlCloudStore.h"

namespace orvane {

class SecretStore;

// The owner's records in one SQLite file shared by every device (process) of this machine:
// folder 0700, file 0600, write-ahead log, one immediate transaction per request. Devices
// wake each other through a notify file beside it. Throws CloudError when it cannot open.
std::shared_ptr<CloudStore> openSqliteCloudStore(const std::filesystem::path& file,
                                                 const CloudAccountFile& account,
                                                 SecretStore& keychain);

// What cloud.json names, or a store whose every call fails with the reason it could not.
std::shared_ptr<CloudStore> openConfiguredCloudStore(
    SecretStore& keychain,
    const std::filesystem::path& accountFile = CloudAccountFile::standardPath());

}  // namespace orvane

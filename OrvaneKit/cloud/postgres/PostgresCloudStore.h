#pragma once

#include <memory>
#include <string>

#include "OrvaneKit/cloud/CloudAccountFile.h"
#include "OrvaneKit/cloud/SqlCloudStore.h"

namespace orvane {

class SecretStore;

// The owner's records on a PostgreSQL server that every machine and person reaches: the same
// store logic as the embedded one, one serialised writer at a time, and pushes by LISTEN/NOTIFY
// on a connection of the device's own. `conninfo` is a libpq connection string. Throws
// CloudError (3) when the server cannot be reached.
std::shared_ptr<CloudStore> openPostgresCloudStore(const std::string& conninfo,
                                                   const CloudAccountFile& account,
                                                   SecretStore& keychain);

}  // namespace orvane

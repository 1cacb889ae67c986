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

// For the server's administrator, as the database's owner. Makes or updates the store's tables
// and the rules that keep each person to their own zones and the zones whose share they
// accepted; safe to repeat.
void initPostgresServer(const std::string& conninfo);
// A login role for one person, mapped to their user record name; repeating it changes the
// password.
void addPostgresUser(const std::string& conninfo, const std::string& role,
                     const std::string& userRecordName, const std::string& password);

// The connection string for the server cloud.json names: off loopback the server's certificate
// must match its name (sslmode verify-full).
std::string postgresConnInfo(const CloudAccountFile& account, const std::string& password);
inline constexpr const char* postgresPasswordAccount = "cloud.postgres";

// The store cloud.json names when its backend is "postgres", else null (a CloudBackendOpener).
std::shared_ptr<CloudStore> openPostgresBackend(const CloudAccountFile& account,
                                                SecretStore& keychain);

}  // namespace orvane

#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/cloud/CloudStore.h"
#include "OrvaneKit/cloud/SqlConnection.h"

namespace orvane {

class SecretStore;

// How the devices sharing one database wake each other: the backend's own signal.
class CloudWakeSignal {
public:
    virtual ~CloudWakeSignal() = default;
    // Tells every watcher that pushes may be waiting.
    virtual void notify() = 0;
    // Calls onWake on a thread of the signal's own for every notify() from anyone; an empty
    // function stops watching.
    virtual void watch(std::function<void()> onWake) = 0;
    // Whether the device registered by this process id still runs.
    virtual std::int64_t processID() = 0;
    virtual bool processAlive(std::int64_t pid) = 0;
};

struct SqlCloudAccount {
    std::string userRecordName;
    int status = 1;  // CloudAccountStatus
};

// The record store over any SQL engine: save policies, atomic requests, change tokens,
// tombstones, the schema of the known types and sealed encrypted fields. Encrypted values are
// sealed here, so no engine ever holds them in the clear. Thread-safe; calls block.
class SqlCloudStore final : public CloudStore {
public:
    // The keychain service of the key for encrypted fields and of the server password.
    static constexpr const char* keychainService = "com.nimbrel.kelsap";
    static constexpr const char* fieldKeyAccount = "cloud.fieldKey";

    // `fieldKey` is 32 bytes; see fieldKey().
    SqlCloudStore(std::unique_ptr<SqlConnection> sql, SqlCloudAccount account, Bytes fieldKey,
                  std::unique_ptr<CloudWakeSignal> wake);
    ~SqlCloudStore() override;

    // The key that seals encrypted fields, from the keychain, made on first use. Throws
    // CloudError when the keychain cannot be read or written.
    static Bytes fieldKey(SecretStore& keychain);
    // Makes the tables when missing, inside the caller's transaction; the store's id.
    static std::string createSchema(SqlConnection& sql);

    int accountStatus() override;
    std::string currentUserRecordName() override;
    std::shared_ptr<CloudDatabase> database(CloudScope scope) override;
    void setPushHandler(asio::any_io_executor ex, std::function<void()> handler) override;
    void addShareParticipant(const CloudZoneID& zone, const std::string& userRecordName) override;
    CloudZoneID acceptShare(const std::string& url) override;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace orvane

#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneKit/cloud/CloudStore.h"
#include "OrvaneKit/cloud/CloudStoreRules.h"

namespace orvane {

// The owner's account in memory, seen from one device; otherDevice() gives another device of
// the same account, otherPerson() somebody else's account on the same server. Settings and counters
// are the account's, shared by its devices.
class FakeCloudStore final : public CloudStore,
                             public std::enable_shared_from_this<FakeCloudStore> {
public:
    FakeCloudStore();
    ~FakeCloudStore() override;
    std::shared_ptr<FakeCloudStore> otherDevice();
    // Another person's account on the same server, where shares reach.
    std::shared_ptr<FakeCloudStore> otherPerson(std::string userRecordName);

    int accountStatus() override;
    std::string currentUserRecordName() override;
    std::shared_ptr<CloudDatabase> database(CloudScope scope) override;
    void setPushHandler(asio::any_io_executor ex, std::function<void()> handler) override;
    void addShareParticipant(const CloudZoneID& zone, const std::string& userRecordName) override;
    CloudZoneID acceptShare(const std::string& url) override;

    // At most this many changes per page, whatever the caller asks.
    void setPageSize(std::size_t n);
    // The next database request fails with this, changing nothing.
    void failNextRequest(CloudError e);
    // Every save or deletion of the record of this name fails with this until cleared.
    void failRecord(const std::string& recordName, std::optional<CloudError> e);
    // CloudAccountStatus; any but `available` makes every database request fail with 9.
    void setAccountStatus(int status);
    void setAccountStatusFails(bool on);
    void setUserLookupFails(bool on);
    void setUserRecordName(std::string name);
    // Database requests made so far, failed ones included.
    std::size_t requestCount() const;
    // Every call by name ("modifyRecords", "accountStatus", ...), account queries included.
    std::vector<std::string> requestLog() const;
    // Runs inside every database request, before it does anything (e.g. to move a fake clock);
    // it must not call the store.
    void setRequestHook(std::function<void(const std::string&)> hook);
    // Pushes delivered to this device.
    std::size_t pushCount() const;

    struct State;

private:
    FakeCloudStore(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

}  // namespace orvane

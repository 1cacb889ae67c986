#pragma once

#include <asio/any_io_executor.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "OrvaneKit/base/Bytes.h"

namespace orvane {

// The owner's record database: zones of typed records, subscriptions and silent pushes. Every
// call blocks; callers run them on a worker strand, never on the main actor.

// Error numbers as the viewer apps know them.
namespace CloudErrorCode {
inline constexpr int internalError = 1;
inline constexpr int networkUnavailable = 3;
inline constexpr int notAuthenticated = 9;
inline constexpr int permissionFailure = 10;
inline constexpr int unknownItem = 11;
inline constexpr int invalidArguments = 12;
inline constexpr int serverRecordChanged = 14;
inline constexpr int changeTokenExpired = 21;
inline constexpr int batchRequestFailed = 22;
inline constexpr int zoneNotFound = 26;
}  // namespace CloudErrorCode

// A failure of the store, of a whole request or of one record in it. what() is the text shown
// to people.
struct CloudError : std::runtime_error {
    int code;
    CloudError(int code_, const std::string& text) : std::runtime_error(text), code(code_) {}
};
// The standard text for a code, for stores that have nothing better to say.
CloudError cloudError(int code);

// Account states, numbered as the apps know them.
namespace CloudAccountStatus {
inline constexpr int couldNotDetermine = 0;
inline constexpr int available = 1;
inline constexpr int restricted = 2;
inline constexpr int noAccount = 3;
inline constexpr int temporarilyUnavailable = 4;
}  // namespace CloudAccountStatus

enum class CloudScope { privateScope, sharedScope };

// A zone-wide share: a record of this type and name in the zone it shares. The store gives it
// "url" and "publicPermission" ("none"); the caller gives it "title".
inline constexpr const char* cloudShareType = "cloudkit.share";
inline constexpr const char* cloudZoneShareName = "cloudkit.zoneshare";

// The owner that stands for the signed-in user.
inline constexpr const char* cloudDefaultOwner = "__defaultOwner__";

struct CloudZoneID {
    std::string name;
    std::string owner = cloudDefaultOwner;
    bool operator==(const CloudZoneID&) const = default;
    auto operator<=>(const CloudZoneID&) const = default;
};

struct CloudRecordID {
    std::string name;
    CloudZoneID zone;
    bool operator==(const CloudRecordID&) const = default;
};

// Dates are kept to the millisecond.
using CloudDate = std::chrono::sys_time<std::chrono::milliseconds>;
using CloudValue =
    std::variant<std::string, std::int64_t, double, CloudDate, std::vector<std::string>, Bytes>;

struct CloudRecord {
    std::string type;
    CloudRecordID id;
    // The server's version; none for a record never saved.
    std::optional<std::string> changeTag;
    // A key set to nullopt has "no value": saving it removes the key.
    std::map<std::string, std::optional<CloudValue>> plain;
    // End-to-end sealed values; a key here is unrelated to the same key in `plain`.
    std::map<std::string, std::optional<CloudValue>> encrypted;
    // Keys set since the record was made or fetched ("e:" prefix for encrypted ones).
    std::set<std::string> changedKeys;

    void set(const std::string& key, std::optional<CloudValue> v) {
        plain[key] = std::move(v);
        changedKeys.insert(key);
    }
    void setEncrypted(const std::string& key, std::optional<CloudValue> v) {
        encrypted[key] = std::move(v);
        changedKeys.insert("e:" + key);
    }
    const CloudValue* get(const std::string& key) const { return find(plain, key); }
    const CloudValue* getEncrypted(const std::string& key) const { return find(encrypted, key); }

private:
    static const CloudValue* find(const std::map<std::string, std::optional<CloudValue>>& m,
                                  const std::string& key) {
        auto it = m.find(key);
        return it == m.end() || !it->second ? nullptr : &*it->second;
    }
};

enum class CloudSavePolicy {
    ifServerRecordUnchanged,  // the default: a stale or missing tag fails with 14
    changedKeys,              // writes the changed keys whatever the tag
    allKeys,                  // writes every key the record holds whatever the tag
};

// A database subscription to every change; its pushes are silent.
struct CloudSubscription {
    std::string id;
    bool operator==(const CloudSubscription&) const = default;
};

struct CloudSaveResult {
    CloudRecordID id;
    std::optional<CloudRecord> record;  // the saved record as the server now has it
    std::optional<CloudError> error;
};
struct CloudDeleteResult {
    CloudRecordID id;
    std::optional<CloudError> error;
};
// Per-record results in request order.
struct CloudModifyResult {
    std::vector<CloudSaveResult> saved;
    std::vector<CloudDeleteResult> deleted;
};

struct CloudZoneChanges {
    std::vector<CloudRecord> changed;    // latest versions, in change order
    std::vector<CloudRecordID> deleted;  // since the token given
    std::string token;                   // opaque; resumes after this page
    bool moreComing = false;
};

class CloudDatabase {
public:
    virtual ~CloudDatabase() = default;

    // Saving a zone that exists succeeds; deleting a zone deletes its records.
    virtual void modifyZones(const std::vector<CloudZoneID>& save,
                             const std::vector<CloudZoneID>& remove) = 0;
    virtual std::vector<CloudZoneID> allZones() = 0;
    // Saving a subscription replaces the one of the same id.
    virtual void modifySubscriptions(const std::vector<CloudSubscription>& save,
                                     const std::vector<std::string>& remove) = 0;
    virtual std::vector<CloudSubscription> allSubscriptions() = 0;
    // Whole-request failures throw; per-record ones come back in the result. With `atomic`,
    // one failure undoes the request: the others fail with 22.
    virtual CloudModifyResult modifyRecords(const std::vector<CloudRecord>& save,
                                            const std::vector<CloudRecordID>& remove,
                                            CloudSavePolicy policy, bool atomic) = 0;
    // 11 when there is no such record, 26 when there is no such zone.
    virtual CloudRecord fetchRecord(const CloudRecordID& id) = 0;
    // The zone's changes since `token` (none: every record), at most `limit` (0: the store's
    // page) per call. 21 for a token of another zone or store, 26 for a missing zone.
    virtual CloudZoneChanges fetchZoneChanges(const CloudZoneID& zone,
                                              const std::optional<std::string>& token,
                                              std::size_t limit) = 0;
};

// One device's view of the owner's account.
class CloudStore {
public:
    virtual ~CloudStore() = default;

    // One of CloudAccountStatus; throws when it cannot be told.
    virtual int accountStatus() = 0;
    virtual std::string currentUserRecordName() = 0;
    virtual std::shared_ptr<CloudDatabase> database(CloudScope scope) = 0;

    // Runs `handler` on `ex` once for each batch of changes that another device makes to a
    // database this user subscribed to. An empty handler stops listening.
    virtual void setPushHandler(asio::any_io_executor ex, std::function<void()> handler) = 0;

    // Lets the person of that user record name accept the share of one of this user's own
    // zones (saved as the record `cloudZoneShareName`). 11 when the zone has no share.
    virtual void addShareParticipant(const CloudZoneID& zone,
                                     const std::string& userRecordName) = 0;
    // Takes part in the share at `url`: its zone then shows in this user's shared database,
    // owned by the sharer. 10 for anyone the owner did not add, 11 for an unknown share.
    virtual CloudZoneID acceptShare(const std::string& url) = 0;
};

}  // namespace orvane

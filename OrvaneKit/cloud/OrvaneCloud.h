#pragma once

#include <memory>
#include <string>
#include <vector>

#include "OrvaneKit/base/Clock.h"
#include "OrvaneKit/cloud/CloudMac.h"
#include "OrvaneKit/cloud/CloudStore.h"

namespace orvane {

// Throws the first failed save, else the first failed deletion, of a request's results.
void firstRecordFailure(const CloudModifyResult& result);

// The operations on the owner's zone of machines and commands, over the store given. Calls
// block and throw the store's CloudError unchanged; run them off the main actor.
class OrvaneCloud {
public:
    static constexpr const char* containerIdentifier = "iCloud.com.nimbrel.kelsap";
    static constexpr const char* zoneName = "Kelsap";
    static constexpr const char* subscriptionID = "kelsap-changes";
    static const CloudZoneID& zoneID();

    explicit OrvaneCloud(std::shared_ptr<CloudStore> store,
                         const Clock& clock = SystemClock::shared());

    CloudStore& store() { return *store_; }

    // "account status 1 (1 = available), user 0123456789ab"; never throws.
    std::string accountStatus();
    void ensureZone();
    // Silent pushes for every change in the owner's database.
    void subscribe();
    // Overwrites the machine's record whatever the server holds.
    void publish(const CloudMac& mac);
    // Leaves a command for a machine; returns it.
    CloudCommand send(CloudAction action, const std::string& macID, const std::string& sender);
    // Deletes the commands' records; per-record failures are ignored, an empty list asks
    // nothing.
    void deleteCommands(const std::vector<CloudCommand>& commands);

    struct Changes {
        std::vector<CloudMac> macs;
        std::vector<CloudCommand> commands;
    };
    // The whole zone, page after page.
    Changes fetchChanges();

private:
    std::shared_ptr<CloudDatabase> database() { return store_->database(CloudScope::privateScope); }
    std::shared_ptr<CloudStore> store_;
    const Clock& clock_;
};

}  // namespace orvane

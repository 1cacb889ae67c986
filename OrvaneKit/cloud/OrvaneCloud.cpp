#include "OrvaneKit/cloud/OrvaneCloud.h"

#include "OrvaneKit/base/Uuid.h"

namespace orvane {

void firstRecordFailure(const CloudModifyResult& result) {
    for (const auto& s : result.saved)
        if (s.error) throw *s.error;
    for (const auto& d : result.deleted)
        if (d.error) throw *d.error;
}

const CloudZoneID& OrvaneCloud::zoneID() {
    static const CloudZoneID id{zoneName, cloudDefaultOwner};
    return id;
}

OrvaneCloud::OrvaneCloud(std::shared_ptr<CloudStore> store, const Clock& clock)
    : store_(std::move(store)), clock_(clock) {}

std::string OrvaneCloud::accountStatus() {
    std::string status = "?";
    try {
        status = std::to_string(store_->accountStatus());
    } catch (const std::exception&) {
    }
    std::string user = "none";
    try {
        const auto name = store_->currentUserRecordName();
        user = name.size() > 12 ? name.substr(name.size() - 12) : name;
    } catch (const std::exception&) {
    }
    return "account status " + status + " (1 = available), user " + user;
}

void OrvaneCloud::ensureZone() {
    database()->modifyZones({zoneID()}, {});
}

void OrvaneCloud::subscribe() {
    database()->modifySubscriptions({{subscriptionID}}, {});
}

void OrvaneCloud::publish(const CloudMac& mac) {
    CloudRecord r;
    r.type = "Mac";
    r.id = {mac.id, zoneID()};
    mac.writeTo(r);
    firstRecordFailure(database()->modifyRecords({r}, {}, CloudSavePolicy::allKeys, true));
}

CloudCommand OrvaneCloud::send(CloudAction action, const std::string& macID,
                               const std::string& sender) {
    CloudCommand c;
    c.id = Uuid::random().string();
    c.macID = macID;
    c.action = action;
    c.sender = sender;
    c.createdAt = Date::fromTimePoint(clock_.wallNow());
    CloudRecord r;
    r.type = "Command";
    r.id = {c.id, zoneID()};
    c.writeTo(r);
    firstRecordFailure(
        database()->modifyRecords({r}, {}, CloudSavePolicy::ifServerRecordUnchanged, true));
    return c;
}

void OrvaneCloud::deleteCommands(const std::vector<CloudCommand>& commands) {
    if (commands.empty()) return;
    std::vector<CloudRecordID> ids;
    for (const auto& c : commands) ids.push_back({c.id, zoneID()});
    database()->modifyRecords({}, ids, CloudSavePolicy::ifServerRecordUnchanged, true);
}

OrvaneCloud::Changes OrvaneCloud::fetchChanges() {
    Changes out;
    auto db = database();
    std::optional<std::string> token;
    for (;;) {
        auto page = db->fetchZoneChanges(zoneID(), token, 0);
        for (const auto& r : page.changed) {
            if (r.type == "Mac") {
                out.macs.push_back(CloudMac::fromRecord(r));
            } else if (r.type == "Command") {
                if (auto c = CloudCommand::fromRecord(r)) out.commands.push_back(std::move(*c));
            }
        }
        if (!page.moreComing) return out;
        token = page.token;
    }
}

}  // namespace orvane

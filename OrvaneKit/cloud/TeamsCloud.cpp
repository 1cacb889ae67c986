#include "OrvaneKit/cloud/TeamsCloud.h"

#include "OrvaneKit/base/Uuid.h"
#include "OrvaneKit/cloud/OrvaneCloud.h"

namespace orvane {

namespace {

const CloudZoneID& ownZone() {
    static const CloudZoneID id{TeamsCloud::zoneName, cloudDefaultOwner};
    return id;
}

}  // namespace

TeamsCloud::TeamsCloud(std::shared_ptr<CloudStore> store, const Clock& clock)
    : store_(std::move(store)), clock_(clock) {}

std::string TeamsCloud::currentUserID() {
    try {
        return store_->currentUserRecordName();
    } catch (const std::exception&) {
        return unknownIdentity;
    }
}

std::vector<CloudZoneID> TeamsCloud::zones(CloudScope scope) {
    return store_->database(scope)->allZones();
}

std::optional<TeamsCloud::Context> TeamsCloud::context() {
    try {
        for (const auto& z : zones(CloudScope::privateScope))
            if (z.name == zoneName)
                return Context{store_->database(CloudScope::privateScope), ownZone(), true};
    } catch (const std::exception&) {
    }
    try {
        for (const auto& z : zones(CloudScope::sharedScope))
            if (z.name == zoneName)
                return Context{store_->database(CloudScope::sharedScope), z, false};
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

TeamsCloud::Created TeamsCloud::createTeam(const std::string& name, const std::string& ownerName) {
    // Without a real identity anyone else whose lookup fails would pass for the owner.
    std::string identity;
    try {
        identity = store_->currentUserRecordName();
    } catch (const std::exception& e) {
        throw CloudError(CloudErrorCode::notAuthenticated,
                         std::string("Who you are cannot be told: ") + e.what());
    }
    auto db = store_->database(CloudScope::privateScope);
    db->modifyZones({ownZone()}, {});
    const Date now = Date::fromTimePoint(clock_.wallNow());
    Team team{Uuid::random().string(), name, ownerName, now};
    CloudRecord share;
    share.type = cloudShareType;
    share.id = {cloudZoneShareName, ownZone()};
    share.set("title", name + " · " + editionLabel);
    TeamMember owner{Uuid::random().string(), team.id, identity, ownerName, TeamRole::owner, now};
    // One request, so a failure leaves no team without its owner.
    auto result = db->modifyRecords(
        {TeamRecords::write(team, ownZone()), share, TeamRecords::write(owner, ownZone())}, {},
        CloudSavePolicy::changedKeys, true);
    firstRecordFailure(result);
    std::optional<std::string> url;
    if (const auto& saved = result.saved.at(1).record)
        if (const auto* u = saved->get("url"))
            if (const auto* s = std::get_if<std::string>(u)) url = *s;
    return {team, url};
}

void TeamsCloud::save(const CloudRecord& r, const Context& c) {
    firstRecordFailure(c.database->modifyRecords({r}, {}, CloudSavePolicy::allKeys, true));
}

void TeamsCloud::remove(const std::vector<CloudRecordID>& ids, const Context& c) {
    // Per-record results are not looked at: a record already gone is no failure.
    c.database->modifyRecords({}, ids, CloudSavePolicy::ifServerRecordUnchanged, true);
}

void TeamsCloud::saveMember(const TeamMember& m, const Context& c) {
    save(TeamRecords::write(m, c.zoneID), c);
}
void TeamsCloud::saveMac(const SharedMac& m, const Context& c) {
    save(TeamRecords::write(m, c.zoneID), c);
}
void TeamsCloud::saveAudit(const AuditEvent& e, const Context& c) {
    save(TeamRecords::write(e, c.zoneID), c);
}
void TeamsCloud::deleteMember(const std::string& id, const Context& c) {
    remove({{id, c.zoneID}}, c);
}
void TeamsCloud::deleteMac(const std::string& id, const Context& c) {
    remove({{id, c.zoneID}}, c);
}
void TeamsCloud::deleteAudit(const std::vector<AuditEvent>& events, const Context& c) {
    if (events.empty()) return;
    std::vector<CloudRecordID> ids;
    for (const auto& e : events) ids.push_back({e.id, c.zoneID});
    remove(ids, c);
}

std::optional<std::string> TeamsCloud::shareURL() {
    try {
        bool found = false;
        for (const auto& z : zones(CloudScope::privateScope)) found |= z.name == zoneName;
        if (!found) return std::nullopt;
        auto r = store_->database(CloudScope::privateScope)
                     ->fetchRecord({cloudZoneShareName, ownZone()});
        if (r.type != cloudShareType) return std::nullopt;
        if (const auto* u = r.get("url"))
            if (const auto* s = std::get_if<std::string>(u)) return *s;
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

std::optional<TeamState> TeamsCloud::load() {
    auto c = context();
    if (!c) return std::nullopt;
    return state(*c);
}

TeamState TeamsCloud::state(const Context& c) {
    TeamState s;
    std::optional<std::string> token;
    for (;;) {
        auto page = c.database->fetchZoneChanges(c.zoneID, token, 0);
        for (const auto& r : page.changed) {
            if (r.type == TeamRecords::teamType) {
                s.team = TeamRecords::readTeam(r);
            } else if (r.type == TeamRecords::memberType) {
                if (auto m = TeamRecords::readMember(r)) s.members.push_back(std::move(*m));
            } else if (r.type == TeamRecords::macType) {
                if (auto m = TeamRecords::readMac(r)) s.macs.push_back(std::move(*m));
            } else if (r.type == TeamRecords::auditType) {
                if (auto e = TeamRecords::readAudit(r)) s.audit.push_back(std::move(*e));
            }
        }
        if (!page.moreComing) break;
        token = page.token;
    }
    s.sort();
    s.amOwner = c.amOwner;
    return s;
}

void TeamsCloud::recordConnect(const std::string& actorName, const std::string& macID,
                               const std::string& macName) {
    try {
        auto c = context();
        if (!c) return;
        auto s = state(*c);
        if (!s.team) return;
        std::string identity = currentUserID();
        if (identity == unknownIdentity) identity.clear();
        AuditEvent e;
        e.id = Uuid::random().string();
        e.teamID = s.team->id;
        e.actorID = identity;
        e.actorName = actorName;
        e.macID = macID;
        e.macName = macName;
        e.at = Date::fromTimePoint(clock_.wallNow());
        saveAudit(e, *c);
    } catch (const std::exception&) {
    }
}

}  // namespace orvane

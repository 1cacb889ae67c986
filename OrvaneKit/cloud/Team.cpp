#include "OrvaneKit/cloud/Team.h"

#include <algorithm>

namespace orvane {

std::string_view rawValue(TeamRole r) {
    switch (r) {
        case TeamRole::member:
            return "member";
        case TeamRole::admin:
            return "admin";
        case TeamRole::owner:
            return "owner";
    }
    return "member";
}

std::optional<TeamRole> teamRoleFromRaw(std::string_view raw) {
    for (auto r : allTeamRoles)
        if (rawValue(r) == raw) return r;
    return std::nullopt;
}

std::string_view title(TeamRole r) {
    switch (r) {
        case TeamRole::member:
            return "Member";
        case TeamRole::admin:
            return "Admin";
        case TeamRole::owner:
            return "Owner";
    }
    return "Member";
}

bool canManage(TeamRole actor, TeamRole other) {
    switch (actor) {
        case TeamRole::member:
            return false;
        case TeamRole::admin:
            return other == TeamRole::member;
        case TeamRole::owner:
            return true;
    }
    return false;
}

bool canGrant(TeamRole actor, TeamRole role) {
    switch (actor) {
        case TeamRole::member:
            return false;
        case TeamRole::admin:
            return role != TeamRole::owner;
        case TeamRole::owner:
            return true;
    }
    return false;
}

bool SharedMac::isVisible(const std::string& identity) const {
    if (access.empty()) return true;
    if (identity.empty() || identity == unknownIdentity) return false;
    return std::find(access.begin(), access.end(), identity) != access.end();
}

std::string description(const AuditEvent& e) {
    return e.actorName + " connected to " + e.macName;
}

TeamRole TeamState::role(const std::string& identity) const {
    // A failed lookup's placeholder is nobody, whatever a record holds.
    if (identity.empty() || identity == unknownIdentity) return TeamRole::member;
    for (const auto& m : members)
        if (m.identity == identity) return m.role;
    return TeamRole::member;
}

std::vector<SharedMac> TeamState::macsVisible(const std::string& identity) const {
    std::vector<SharedMac> out;
    for (const auto& m : macs)
        if (m.isVisible(identity)) out.push_back(m);
    return out;
}

void TeamState::sort() {
    std::stable_sort(members.begin(), members.end(),
                     [](const auto& a, const auto& b) { return a.addedAt < b.addedAt; });
    std::stable_sort(macs.begin(), macs.end(),
                     [](const auto& a, const auto& b) { return a.macName < b.macName; });
    std::stable_sort(audit.begin(), audit.end(),
                     [](const auto& a, const auto& b) { return a.at > b.at; });
}

namespace TeamRecords {

namespace {

std::optional<std::string> text(const CloudRecord& r, const char* key) {
    if (const auto* s = r.get(key) ? std::get_if<std::string>(r.get(key)) : nullptr) return *s;
    return std::nullopt;
}

Date date(const CloudRecord& r, const char* key) {
    if (const auto* d = r.get(key) ? std::get_if<CloudDate>(r.get(key)) : nullptr)
        return fromCloudDate(*d);
    return distantPast();
}

CloudRecord make(const char* type, const std::string& id, const CloudZoneID& zone) {
    CloudRecord r;
    r.type = type;
    r.id = {id, zone};
    return r;
}

}  // namespace

CloudRecord write(const Team& t, const CloudZoneID& zone) {
    auto r = make(teamType, t.id, zone);
    r.set("name", t.name);
    r.set("ownerName", t.ownerName);
    r.set("createdAt", toCloudDate(t.createdAt));
    return r;
}

CloudRecord write(const TeamMember& m, const CloudZoneID& zone) {
    auto r = make(memberType, m.id, zone);
    r.set("teamID", m.teamID);
    r.set("identity", m.identity);
    r.set("displayName", m.displayName);
    r.set("role", std::string(rawValue(m.role)));
    r.set("addedAt", toCloudDate(m.addedAt));
    return r;
}

CloudRecord write(const SharedMac& m, const CloudZoneID& zone) {
    auto r = make(macType, m.id, zone);
    r.set("teamID", m.teamID);
    r.set("macID", m.macID);
    r.set("macName", m.macName);
    if (m.access.empty())
        r.set("access", std::nullopt);
    else
        r.set("access", m.access);
    r.set("addedAt", toCloudDate(m.addedAt));
    return r;
}

CloudRecord write(const AuditEvent& e, const CloudZoneID& zone) {
    auto r = make(auditType, e.id, zone);
    r.set("teamID", e.teamID);
    r.set("actorID", e.actorID);
    r.set("actorName", e.actorName);
    r.set("macID", e.macID);
    r.set("macName", e.macName);
    r.set("kind", std::string(rawValue(e.kind)));
    r.set("at", toCloudDate(e.at));
    return r;
}

std::optional<Team> readTeam(const CloudRecord& r) {
    auto name = text(r, "name");
    if (!name) return std::nullopt;
    return Team{r.id.name, *name, text(r, "ownerName").value_or("Owner"), date(r, "createdAt")};
}

std::optional<TeamMember> readMember(const CloudRecord& r) {
    auto team = text(r, "teamID");
    if (!team) return std::nullopt;
    return TeamMember{r.id.name,
                      *team,
                      text(r, "identity").value_or(""),
                      text(r, "displayName").value_or("Member"),
                      teamRoleFromRaw(text(r, "role").value_or("")).value_or(TeamRole::member),
                      date(r, "addedAt")};
}

std::optional<SharedMac> readMac(const CloudRecord& r) {
    auto team = text(r, "teamID");
    if (!team) return std::nullopt;
    std::vector<std::string> access;
    if (const auto* l =
            r.get("access") ? std::get_if<std::vector<std::string>>(r.get("access")) : nullptr)
        access = *l;
    return SharedMac{r.id.name,
                     *team,
                     text(r, "macID").value_or(""),
                     text(r, "macName").value_or("Mac"),
                     std::move(access),
                     date(r, "addedAt")};
}

std::optional<AuditEvent> readAudit(const CloudRecord& r) {
    auto team = text(r, "teamID");
    if (!team) return std::nullopt;
    AuditEvent e;
    e.id = r.id.name;
    e.teamID = *team;
    e.actorID = text(r, "actorID").value_or("");
    e.actorName = text(r, "actorName").value_or("Someone");
    e.macID = text(r, "macID").value_or("");
    e.macName = text(r, "macName").value_or("a Mac");
    e.kind = AuditEvent::Kind::connect;
    e.at = date(r, "at");
    return e;
}

}  // namespace TeamRecords

}  // namespace orvane

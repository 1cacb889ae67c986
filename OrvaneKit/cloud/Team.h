#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaneKit/base/Date.h"
#include "OrvaneKit/cloud/AuditEvent.h"
#include "OrvaneKit/cloud/CloudMac.h"
#include "OrvaneKit/cloud/CloudStore.h"

namespace orvane {

// Ordered: member < admin < owner.
enum class TeamRole { member, admin, owner };

inline constexpr TeamRole allTeamRoles[] = {TeamRole::member, TeamRole::admin, TeamRole::owner};
std::string_view rawValue(TeamRole r);
std::optional<TeamRole> teamRoleFromRaw(std::string_view raw);
std::string_view title(TeamRole r);
inline bool isAdministrator(TeamRole r) {
    return r >= TeamRole::admin;
}
inline bool isOwner(TeamRole r) {
    return r == TeamRole::owner;
}
// Whether a holder of `actor` may act on a member who holds `other`.
bool canManage(TeamRole actor, TeamRole other);
// Whether a holder of `actor` may give `role` to somebody.
bool canGrant(TeamRole actor, TeamRole role);

struct Team {
    std::string id;
    std::string name;
    std::string ownerName;
    Date createdAt;
    bool operator==(const Team&) const = default;
};

struct TeamMember {
    std::string id;
    std::string teamID;
    std::string identity;
    std::string displayName;
    TeamRole role = TeamRole::member;
    Date addedAt;
    bool operator==(const TeamMember&) const = default;
};

struct SharedMac {
    std::string id;
    std::string teamID;
    std::string macID;
    std::string macName;
    // Identities allowed to see the machine; empty: every member.
    std::vector<std::string> access;
    Date addedAt;
    bool operator==(const SharedMac&) const = default;

    bool isVisible(const std::string& identity) const;
};

// "<actor> connected to <machine>"
std::string description(const AuditEvent& e);

// The text a failed identity lookup shows; never an identity.
inline constexpr const char* unknownIdentity = "unknown";

struct TeamState {
    std::optional<Team> team;
    std::vector<TeamMember> members;  // oldest first
    std::vector<SharedMac> macs;      // by name
    std::vector<AuditEvent> audit;    // newest first
    bool amOwner = false;

    // The first member of that identity's role, else member.
    TeamRole role(const std::string& identity) const;
    std::vector<SharedMac> macsVisible(const std::string& identity) const;
    // Stable sorts by the keys above.
    void sort();
};

// Records in the team zone, named by the value's id. Readers give nothing for a record that
// lacks its required key.
namespace TeamRecords {
inline constexpr const char* teamType = "Team";
inline constexpr const char* memberType = "TeamMember";
inline constexpr const char* macType = "SharedMac";
inline constexpr const char* auditType = "AuditEvent";

CloudRecord write(const Team& t, const CloudZoneID& zone);
CloudRecord write(const TeamMember& m, const CloudZoneID& zone);
CloudRecord write(const SharedMac& m, const CloudZoneID& zone);
CloudRecord write(const AuditEvent& e, const CloudZoneID& zone);
std::optional<Team> readTeam(const CloudRecord& r);
std::optional<TeamMember> readMember(const CloudRecord& r);
std::optional<SharedMac> readMac(const CloudRecord& r);
std::optional<AuditEvent> readAudit(const CloudRecord& r);
}  // namespace TeamRecords

}  // namespace orvane

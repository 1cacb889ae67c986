#include "OrvaneKit/cloud/Team.h"

#include <gtest/gtest.h>

using namespace orvane;

namespace {

const CloudZoneID zone{"OrvaneTeam"};

CloudRecord bare(const char* type, const char* name = "R1") {
    CloudRecord r;
    r.type = type;
    r.id = {name, zone};
    return r;
}

}  // namespace

TEST(TeamRole, OrderTitlesAndTheRuleTable) {
    EXPECT_LT(TeamRole::member, TeamRole::admin);
    EXPECT_LT(TeamRole::admin, TeamRole::owner);
    struct Row {
        TeamRole actor;
        const char* title;
        bool admin, owner;
        bool manage[3];  // member, admin, owner
        bool grant[3];
    };
    const Row rows[] = {
        {TeamRole::member, "Member", false, false, {false, false, false}, {false, false, false}},
        {TeamRole::admin, "Admin", true, false, {true, false, false}, {true, true, false}},
        {TeamRole::owner, "Owner", true, true, {true, true, true}, {true, true, true}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.title);
        EXPECT_EQ(title(row.actor), row.title);
        EXPECT_EQ(teamRoleFromRaw(rawValue(row.actor)), row.actor);
        EXPECT_EQ(isAdministrator(row.actor), row.admin);
        EXPECT_EQ(isOwner(row.actor), row.owner);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(canManage(row.actor, allTeamRoles[i]), row.manage[i]) << i;
            EXPECT_EQ(canGrant(row.actor, allTeamRoles[i]), row.grant[i]) << i;
        }
    }
    EXPECT_FALSE(teamRoleFromRaw("Owner"));
}

TEST(TeamRecords, WrittenValuesReadBackAndTheIdIsTheRecordName) {
    const Date at = Date::fromUnix(1'700'000'000.25);
    Team t{"T1", "Ops", "Ann", at};
    TeamMember m{"M1", "T1", "_ann", "Ann", TeamRole::admin, at};
    SharedMac mac{"S1", "T1", "mac-1", "Studio Mac", {"_ann", "_bob"}, at};
    AuditEvent e{"E1", "T1", "_bob", "Bob", "mac-1", "Studio Mac", AuditEvent::Kind::connect, at};
    EXPECT_EQ(TeamRecords::readTeam(TeamRecords::write(t, zone)), t);
    EXPECT_EQ(TeamRecords::readMember(TeamRecords::write(m, zone)), m);
    EXPECT_EQ(TeamRecords::readMac(TeamRecords::write(mac, zone)), mac);
    EXPECT_EQ(TeamRecords::readAudit(TeamRecords::write(e, zone)), e);

    auto renamed = TeamRecords::write(m, zone);
    renamed.id.name = "Other";
    EXPECT_EQ(TeamRecords::readMember(renamed)->id, "Other");

    // An empty access list clears the key: everyone sees the machine.
    mac.access.clear();
    auto r = TeamRecords::write(mac, zone);
    ASSERT_TRUE(r.plain.contains("access"));
    EXPECT_FALSE(r.plain.at("access"));
    EXPECT_TRUE(TeamRecords::readMac(r)->isVisible("_anyone"));
}

TEST(TeamRecords, MissingKeysReadAsTheirDefaultsAndRequiredOnesAsNothing) {
    EXPECT_FALSE(TeamRecords::readTeam(bare("Team")));
    EXPECT_FALSE(TeamRecords::readMember(bare("TeamMember")));
    EXPECT_FALSE(TeamRecords::readMac(bare("SharedMac")));
    EXPECT_FALSE(TeamRecords::readAudit(bare("AuditEvent")));

    auto team = bare("Team");
    team.set("name", std::string("Ops"));
    team.set("createdAt", std::string("not a date"));
    EXPECT_EQ(*TeamRecords::readTeam(team), (Team{"R1", "Ops", "Owner", distantPast()}));

    for (const char* role : {"", "Admin", "root"}) {
        auto m = bare("TeamMember");
        m.set("teamID", std::string("T1"));
        if (*role) m.set("role", std::string(role));
        EXPECT_EQ(*TeamRecords::readMember(m),
                  (TeamMember{"R1", "T1", "", "Member", TeamRole::member, distantPast()}))
            << role;
    }

    auto mac = bare("SharedMac");
    mac.set("teamID", std::string("T1"));
    EXPECT_EQ(*TeamRecords::readMac(mac), (SharedMac{"R1", "T1", "", "Mac", {}, distantPast()}));

    auto e = bare("AuditEvent");
    e.set("teamID", std::string("T1"));
    e.set("kind", std::string("disconnect"));
    auto event = *TeamRecords::readAudit(e);
    EXPECT_EQ(event.kind, AuditEvent::Kind::connect);
    EXPECT_EQ(event.at, distantPast());
    EXPECT_EQ(event.actorID, "");
    EXPECT_EQ(description(event), "Someone connected to a Mac");
}

TEST(TeamState, RolesVisibilityAndStableSorts) {
    const Date t0 = Date::fromUnix(1000), t1 = Date::fromUnix(2000);
    TeamState s;
    s.members = {{"M3", "T", "_c", "C", TeamRole::member, t1},
                 {"M1", "T", "_a", "A", TeamRole::admin, t0},
                 {"M2", "T", "_a", "A again", TeamRole::owner, t0},
                 {"M4", "T", "unknown", "Lost", TeamRole::owner, t0}};
    s.macs = {{"S1", "T", "m1", "Zed", {}, t0},
              {"S2", "T", "m2", "Alpha", {"_c"}, t0},
              {"S3", "T", "m3", "Alpha", {"_a", "unknown"}, t0}};
    s.audit = {{"E1", "T", "", "", "", "", AuditEvent::Kind::connect, t0},
               {"E2", "T", "", "", "", "", AuditEvent::Kind::connect, t1},
               {"E3", "T", "", "", "", "", AuditEvent::Kind::connect, t0}};
    s.sort();
    auto ids = [](const auto& list) {
        std::string out;
        for (const auto& x : list) out += x.id + " ";
        return out;
    };
    EXPECT_EQ(ids(s.members), "M1 M2 M4 M3 ");
    EXPECT_EQ(ids(s.macs), "S2 S3 S1 ");
    EXPECT_EQ(ids(s.audit), "E2 E1 E3 ");

    EXPECT_EQ(s.role("_a"), TeamRole::admin);  // the first of two
    EXPECT_EQ(s.role("_c"), TeamRole::member);
    EXPECT_EQ(s.role("_nobody"), TeamRole::member);
    // A failed lookup's placeholder is nobody's identity.
    EXPECT_EQ(s.role("unknown"), TeamRole::member);
    EXPECT_EQ(ids(s.macsVisible("_c")), "S2 S1 ");
    EXPECT_EQ(ids(s.macsVisible("_a")), "S3 S1 ");
    EXPECT_EQ(ids(s.macsVisible("unknown")), "S1 ");
}

#include "OrvaneKit/cloud/TeamsCloud.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "OrvaneKit/base/testing/FakeClock.h"
#include "OrvaneKit/cloud/testing/FakeCloudStore.h"

using namespace orvane;

namespace {

const std::string bob = "_b0b00000000000000000000000000000";

class TeamsCloudTest : public testing::Test {
protected:
    std::shared_ptr<FakeCloudStore> owner = std::make_shared<FakeCloudStore>();
    std::shared_ptr<FakeCloudStore> member = owner->otherPerson(bob);
    FakeClock clock;
    TeamsCloud ownerTeams{owner, clock};
    TeamsCloud memberTeams{member, clock};

    // "Ops" with Bob accepted as a member.
    TeamsCloud::Created makeTeam() {
        auto created = ownerTeams.createTeam("Ops", "Ann");
        owner->addShareParticipant({TeamsCloud::zoneName}, bob);
        member->acceptShare(*created.shareURL);
        auto c = *memberTeams.context();
        memberTeams.saveMember({"MB", created.team.id, bob, "Bob", TeamRole::member,
                                Date::fromTimePoint(clock.wallNow())},
                               c);
        return created;
    }
};

}  // namespace

TEST_F(TeamsCloudTest, CreatingATeamSavesTeamShareAndOwnerTogether) {
    auto created = ownerTeams.createTeam("Ops", "Ann");
    ASSERT_TRUE(created.shareURL);
    EXPECT_EQ(created.shareURL->rfind("orvane-share://", 0), 0u);
    EXPECT_EQ(ownerTeams.shareURL(), created.shareURL);
    auto share = owner->database(CloudScope::privateScope)
                     ->fetchRecord({cloudZoneShareName, {TeamsCloud::zoneName}});
    EXPECT_EQ(std::get<std::string>(*share.get("title")), "Ops · Orvane Teams");

    auto s = *ownerTeams.load();
    EXPECT_TRUE(s.amOwner);
    EXPECT_EQ(s.team, created.team);
    ASSERT_EQ(s.members.size(), 1u);
    EXPECT_EQ(s.members[0].role, TeamRole::owner);
    EXPECT_EQ(s.members[0].displayName, "Ann");
    EXPECT_EQ(s.members[0].identity, owner->currentUserRecordName());
    EXPECT_EQ(s.role(owner->currentUserRecordName()), TeamRole::owner);
}

TEST_F(TeamsCloudTest, WithoutAnIdentityOrWithAFailedSaveNoTeamIsLeftBehind) {
    owner->setUserLookupFails(true);
    EXPECT_EQ(ownerTeams.currentUserID(), "unknown");
    try {
        ownerTeams.createTeam("Ops", "Ann");
        ADD_FAILURE() << "made a team without an owner";
    } catch (const CloudError& e) {
        EXPECT_EQ(e.code, CloudErrorCode::notAuthenticated);
    }
    owner->setUserLookupFails(false);

    // A failure of one record undoes the whole team.
    owner->failRecord(cloudZoneShareName, cloudError(CloudErrorCode::networkUnavailable));
    EXPECT_THROW(ownerTeams.createTeam("Ops", "Ann"), CloudError);
    owner->failRecord(cloudZoneShareName, std::nullopt);
    auto s = ownerTeams.load();
    ASSERT_TRUE(s);  // the zone was made
    EXPECT_FALSE(s->team);
    EXPECT_TRUE(s->members.empty());
}

TEST_F(TeamsCloudTest, AMemberReachesTheTeamThroughTheAcceptedShare) {
    EXPECT_FALSE(memberTeams.load());  // no zone anywhere: nothing, no error
    makeTeam();
    auto s = *memberTeams.load();
    EXPECT_FALSE(s.amOwner);
    EXPECT_EQ(s.team->name, "Ops");
    EXPECT_EQ(s.role(bob), TeamRole::member);
    EXPECT_FALSE(memberTeams.shareURL());

    // An owner who also joined somebody else's team works in their own.
    TeamsCloud bobOwn{member, clock};
    bobOwn.createTeam("Bob's", "Bob");
    EXPECT_TRUE(bobOwn.load()->amOwner);
    EXPECT_EQ(bobOwn.load()->team->name, "Bob's");
}

TEST_F(TeamsCloudTest, ConnectionsAreRecordedOnlyWithATeamAndReadInPages) {
    TeamsCloud none{std::make_shared<FakeCloudStore>(), clock};
    none.recordConnect("Ann", "m1", "Studio Mac");  // no zone: nothing, no error

    auto empty = std::make_shared<FakeCloudStore>();
    empty->database(CloudScope::privateScope)->modifyZones({{TeamsCloud::zoneName}}, {});
    const auto before = empty->requestLog().size();
    TeamsCloud{empty, clock}.recordConnect("Ann", "m1", "Studio Mac");
    auto log = empty->requestLog();
    EXPECT_EQ(std::count(log.begin() + before, log.end(), "modifyRecords"), 0);

    makeTeam();
    for (int i = 0; i < 3; ++i) {
        clock.advance(std::chrono::seconds(1));
        memberTeams.recordConnect("Person B", "m1", "Studio Mac");
    }
    owner->setPageSize(2);
    auto s = *ownerTeams.load();  // 7 records over four pages
    ASSERT_EQ(s.audit.size(), 3u);
    EXPECT_EQ(s.members.size(), 2u);
    EXPECT_EQ(description(s.audit[0]), "Person B connected to Studio Mac");
    EXPECT_EQ(s.audit[0].actorID, bob);
    EXPECT_GT(s.audit[0].at, s.audit[2].at);

    // Deleting: none asks nothing, then every event in one request.
    auto c = *ownerTeams.context();
    const auto n = owner->requestCount();
    ownerTeams.deleteAudit({}, c);
    EXPECT_EQ(owner->requestCount(), n);
    ownerTeams.deleteAudit(s.audit, c);
    EXPECT_EQ(owner->requestCount(), n + 1);
    ownerTeams.deleteMember("MB", c);
    ownerTeams.deleteMac("no-such-mac", c);  // per-record failures are not looked at
    s = *ownerTeams.load();
    EXPECT_TRUE(s.audit.empty());
    EXPECT_EQ(s.members.size(), 1u);
}

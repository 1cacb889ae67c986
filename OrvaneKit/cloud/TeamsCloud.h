#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneKit/base/Clock.h"
#include "OrvaneKit/cloud/CloudStore.h"
#include "OrvaneKit/cloud/Team.h"

namespace orvane {

// Operations on a team kept in one zone of the owner's private database, which every member
// who accepted its share reaches through their shared database. Stateless; calls block and
// throw the store's CloudError; none checks the caller's role (callers do).
class TeamsCloud {
public:
    static constexpr const char* zoneName = "OrvaneTeam";
    static constexpr const char* editionLabel = "Orvane Teams";

    struct Context {
        std::shared_ptr<CloudDatabase> database;
        CloudZoneID zoneID;
        bool amOwner = false;
    };
    struct Created {
        Team team;
        std::optional<std::string> shareURL;
    };

    explicit TeamsCloud(std::shared_ptr<CloudStore> store,
                        const Clock& clock = SystemClock::shared());

    // The user's record name, or "unknown" (for display only) when it cannot be told.
    std::string currentUserID();
    // The own team zone, else the first accepted one; none on errors.
    std::optional<Context> context();
    // Fails with 9 when the user cannot be told; the team, its share and the owner's member
    // record are saved in one atomic request.
    Created createTeam(const std::string& name, const std::string& ownerName);
    void saveMember(const TeamMember& m, const Context& c);
    void saveMac(const SharedMac& m, const Context& c);
    void saveAudit(const AuditEvent& e, const Context& c);
    void deleteMember(const std::string& id, const Context& c);
    void deleteMac(const std::string& id, const Context& c);
    // An empty list asks nothing.
    void deleteAudit(const std::vector<AuditEvent>& events, const Context& c);
    // The own share's URL; none on errors.
    std::optional<std::string> shareURL();
    // None without a team zone.
    std::optional<TeamState> load();
    TeamState state(const Context& c);
    // Notes that this user connected to a machine; never fails.
    void recordConnect(const std::string& actorName, const std::string& macID,
                       const std::string& macName);

private:
    std::vector<CloudZoneID> zones(CloudScope scope);
    void save(const CloudRecord& r, const Context& c);
    void remove(const std::vector<CloudRecordID>& ids, const Context& c);
    std::shared_ptr<CloudStore> store_;
    const Clock& clock_;
};

}  // namespace orvane

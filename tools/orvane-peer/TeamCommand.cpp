// orvane-peer team: a team of people sharing some of the owner's machines, as the viewer apps
// keep it. Role rules are checked here before acting, as the apps do.
//
//   orvane-peer team create NAME --name OWNER | load | invite USER | accept URL
//   orvane-peer team add-member IDENTITY NAME [--role ROLE] | set-role MEMBERID ROLE
//   orvane-peer team remove-member MEMBERID | add-mac MACID MACNAME [--access ID,ID...]
//   orvane-peer team remove-mac ID | record-connect MACID MACNAME --name ACTOR | audit-csv
//   (each with [--cloud FILE] [--keychain FILE])

#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "OrvaneKit/base/Clock.h"
#include "OrvaneKit/base/Uuid.h"
#include "OrvaneKit/cloud/TeamsCloud.h"
#include "OrvaneKit/records/SessionLogCSV.h"
#include "OrvaneKit/security/file/FileSecretStore.h"
#include "PeerCloudStore.h"
#include "SubcommandArgs.h"

using namespace orvane;

namespace {

void line(const nlohmann::json& j) {
    std::cout << j.dump() << std::endl;
}

nlohmann::json stateJson(const TeamState& s, const std::string& me) {
    nlohmann::json members = nlohmann::json::array(), macs = nlohmann::json::array(),
                   audit = nlohmann::json::array();
    for (const auto& m : s.members)
        members.push_back({{"id", m.id},
                           {"identity", m.identity},
                           {"displayName", m.displayName},
                           {"role", std::string(rawValue(m.role))},
                           {"addedAt", m.addedAt.iso8601(true)}});
    for (const auto& m : s.macs)
        macs.push_back({{"id", m.id},
                        {"macID", m.macID},
                        {"macName", m.macName},
                        {"access", m.access},
                        {"visible", m.isVisible(me)}});
    for (const auto& e : s.audit)
        audit.push_back({{"id", e.id},
                         {"actorID", e.actorID},
                         {"actorName", e.actorName},
                         {"macName", e.macName},
                         {"at", e.at.iso8601(true)},
                         {"description", description(e)}});
    nlohmann::json team = nullptr;
    if (s.team)
        team = {{"id", s.team->id}, {"name", s.team->name}, {"ownerName", s.team->ownerName}};
    return {{"event", "team"},      {"team", team},
            {"amOwner", s.amOwner}, {"myRole", std::string(rawValue(s.role(me)))},
            {"members", members},   {"macs", macs},
            {"audit", audit}};
}

// The team as the caller sees it, or a CloudError when there is none.
struct Loaded {
    TeamsCloud::Context context;
    TeamState state;
    std::string me;
    TeamRole role = TeamRole::member;
};

Loaded loadTeam(TeamsCloud& teams) {
    auto c = teams.context();
    if (!c) throw CloudError(CloudErrorCode::zoneNotFound, "There is no team.");
    auto s = teams.state(*c);
    if (!s.team) throw CloudError(CloudErrorCode::unknownItem, "The team zone holds no team.");
    Loaded l{*c, s, teams.currentUserID(), TeamRole::member};
    l.role = s.role(l.me);
    return l;
}

void refuse(const std::string& why) {
    throw CloudError(CloudErrorCode::permissionFailure, why);
}

const TeamMember& memberByID(const TeamState& s, const std::string& id) {
    for (const auto& m : s.members)
        if (m.id == id) return m;
    throw CloudError(CloudErrorCode::unknownItem, "There is no member " + id + ".");
}

}  // namespace

// Exit status: 0 done, 1 the store failed or the role forbids it, 64 bad usage.
int runTeamCommand(int argc, char** argv) {
    std::vector<std::string> args(argv + 2, argv + argc);
    const SubcommandArgs parsed(args, {"--cloud", "--keychain", "--name", "--role", "--access"});
    const std::string accountFile =
        parsed.value("--cloud", CloudAccountFile::standardPath().string());
    const std::string keychainFile =
        parsed.value("--keychain", FileSecretStore::standardFile().string());
    const std::string name = parsed.value("--name");
    const std::string roleText = parsed.value("--role", "member");
    const std::string access = parsed.value("--access");
    const auto& words = parsed.words;
    const bool bad = parsed.bad;
    const std::string verb = words.empty() ? "" : words[0];
    const std::size_t n = words.size();
    const bool known =
        !bad && ((n == 1 && (verb == "load" || verb == "audit-csv")) ||
                 (n == 2 && (verb == "create" || verb == "invite" || verb == "accept" ||
                             verb == "remove-member" || verb == "remove-mac")) ||
                 (n == 3 && (verb == "add-member" || verb == "set-role" || verb == "add-mac" ||
                             verb == "record-connect")));
    const auto role = teamRoleFromRaw(verb == "set-role" && n == 3 ? words[2] : roleText);
    if (!known || !role || ((verb == "create" || verb == "record-connect") && name.empty())) {
        std::cerr
            << "usage: orvane-peer team create NAME --name OWNER | load | invite USER | accept "
               "URL\n"
               "       orvane-peer team add-member IDENTITY NAME [--role member|admin|owner]\n"
               "       orvane-peer team set-role MEMBERID ROLE | remove-member MEMBERID\n"
               "       orvane-peer team add-mac MACID MACNAME [--access ID,ID] | remove-mac ID\n"
               "       orvane-peer team record-connect MACID MACNAME --name ACTOR | audit-csv\n"
               "       (each with [--cloud FILE] [--keychain FILE])\n";
        return 64;
    }

    FileSecretStore keychain{std::filesystem::path(keychainFile)};
    auto store = openPeerCloudStore(keychain, accountFile);
    TeamsCloud teams(store);
    const Date now = Date::fromTimePoint(SystemClock::shared().wallNow());
    try {
        if (verb == "create") {
            auto created = teams.createTeam(words[1], name);
            line({{"event", "created"},
                  {"id", created.team.id},
                  {"shareURL", created.shareURL ? nlohmann::json(*created.shareURL)
                                                : nlohmann::json(nullptr)}});
        } else if (verb == "load") {
            auto s = teams.load();
            if (!s)
                line({{"event", "team"}, {"team", nullptr}});
            else
                line(stateJson(*s, teams.currentUserID()));
        } else if (verb == "invite") {
            auto l = loadTeam(teams);
            if (!l.context.amOwner) refuse("Only the team's owner can invite.");
            store->addShareParticipant({TeamsCloud::zoneName}, words[1]);
            const auto url = teams.shareURL();
            line({{"event", "invited"},
                  {"user", words[1]},
                  {"shareURL", url ? nlohmann::json(*url) : nlohmann::json(nullptr)}});
        } else if (verb == "accept") {
            auto zone = store->acceptShare(words[1]);
            line({{"event", "accepted"}, {"zone", zone.name}, {"owner", zone.owner}});
        } else if (verb == "add-member") {
            auto l = loadTeam(teams);
            if (!canGrant(l.role, *role))
                refuse("A " + std::string(rawValue(l.role)) + " cannot give the role " +
                       std::string(rawValue(*role)) + ".");
            TeamMember m{Uuid::random().string(), l.state.team->id, words[1], words[2], *role, now};
            teams.saveMember(m, l.context);
            line({{"event", "member-added"}, {"id", m.id}});
        } else if (verb == "set-role") {
            auto l = loadTeam(teams);
            auto m = memberByID(l.state, words[1]);
            if (!canManage(l.role, m.role) || !canGrant(l.role, *role))
                refuse("A " + std::string(rawValue(l.role)) + " cannot make a " +
                       std::string(rawValue(m.role)) + " a " + std::string(rawValue(*role)) + ".");
            m.role = *role;
            teams.saveMember(m, l.context);
            line({{"event", "role-set"}, {"id", m.id}, {"role", words[2]}});
        } else if (verb == "remove-member") {
            auto l = loadTeam(teams);
            const auto& m = memberByID(l.state, words[1]);
            if (!canManage(l.role, m.role))
                refuse("A " + std::string(rawValue(l.role)) + " cannot remove a " +
                       std::string(rawValue(m.role)) + ".");
            teams.deleteMember(m.id, l.context);
            line({{"event", "member-removed"}, {"id", m.id}});
        } else if (verb == "add-mac" || verb == "remove-mac") {
            auto l = loadTeam(teams);
            if (!isAdministrator(l.role)) refuse("Only admins and the owner manage machines.");
            if (verb == "remove-mac") {
                teams.deleteMac(words[1], l.context);
                line({{"event", "mac-removed"}, {"id", words[1]}});
            } else {
                SharedMac m{Uuid::random().string(), l.state.team->id, words[1], words[2], {}, now};
                std::stringstream list(access);
                for (std::string id; std::getline(list, id, ',');)
                    if (!id.empty()) m.access.push_back(id);
                teams.saveMac(m, l.context);
                line({{"event", "mac-added"}, {"id", m.id}});
            }
        } else if (verb == "record-connect") {
            teams.recordConnect(name, words[1], words[2]);
            line({{"event", "recorded"}});
        } else {
            auto s = teams.load();
            std::cout << SessionLogCSV::audit(s ? s->audit : std::vector<AuditEvent>{});
        }
    } catch (const CloudError& e) {
        line({{"event", "error"}, {"code", e.code}, {"message", e.what()}});
        std::cerr << "orvane-peer: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}

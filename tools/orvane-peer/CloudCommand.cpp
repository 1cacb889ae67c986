// orvane-peer cloud: the owner's other device, reading machines and leaving commands.
//
//   orvane-peer cloud status|whoami|macs|commands|watch [--cloud FILE] [--keychain FILE]
//   orvane-peer cloud send ACTION MACID [--name N] [--cloud FILE] [--keychain FILE]
//
// `--cloud` names the account file (default $XDG_CONFIG_HOME/orvane/cloud.json); the keychain
// holding the key of encrypted fields is the owner's ($XDG_DATA_HOME/orvane/keychain.json)
// unless `--keychain` names another. One JSON object a line; `watch` prints "watching" once it
// listens, then "push" for every change another device makes, until it is stopped.

#include <asio/io_context.hpp>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "OrvaneKit/base/Clock.h"
#include "OrvaneKit/cloud/OrvaneCloud.h"
#include "OrvaneKit/security/file/FileSecretStore.h"
#include "PeerCloudStore.h"
#include "SubcommandArgs.h"

using namespace orvane;

namespace {

void line(const nlohmann::json& j) {
    std::cout << j.dump() << std::endl;
}

template <class T>
nlohmann::json orNull(const std::optional<T>& v) {
    return v ? nlohmann::json(*v) : nlohmann::json(nullptr);
}

nlohmann::json macJson(const CloudMac& m, Date now) {
    return {{"id", m.id},
            {"name", m.name},
            {"model", m.model},
            {"lastSeen", m.lastSeen.iso8601(true)},
            {"online", m.isOnline(now)},
            {"lanAddresses", m.lanAddresses},
            {"publicAddress", orNull(m.publicAddress)},
            {"publicPort", orNull(m.publicPort)},
            {"ipv6Addresses", m.ipv6Addresses},
            {"accessCode", orNull(m.accessCode)},
            {"identity", orNull(m.identity)},
            {"authToken", orNull(m.authToken)},
            {"natHost", orNull(m.natHost)},
            {"natPort", orNull(m.natPort)},
            {"endpoints", m.endpoints()}};
}

}  // namespace

// Exit status: 0 done, 1 the store failed, 64 bad usage.
int runCloudCommand(int argc, char** argv) {
    std::vector<std::string> args(argv + 2, argv + argc);
    const SubcommandArgs parsed(args, {"--cloud", "--keychain", "--name"});
    const std::string accountFile =
        parsed.value("--cloud", CloudAccountFile::standardPath().string());
    const std::string keychainFile =
        parsed.value("--keychain", FileSecretStore::standardFile().string());
    const std::string name = parsed.value("--name", "orvane-peer");
    const auto& words = parsed.words;
    const std::string verb = words.empty() ? "" : words[0];
    const bool known =
        !parsed.bad &&
        ((words.size() == 1 && (verb == "status" || verb == "whoami" || verb == "macs" ||
                                verb == "commands" || verb == "watch")) ||
         (words.size() == 3 && verb == "send"));
    if (!known) {
        std::cerr << "usage: orvane-peer cloud status|whoami|macs|commands|watch [--cloud FILE] "
                     "[--keychain FILE]\n"
                     "       orvane-peer cloud send ACTION MACID [--name N] [--cloud FILE] "
                     "[--keychain FILE]\n"
                     "ACTION: playSound lockScreen sleepDisplay disconnectAll newCode\n";
        return 64;
    }
    std::optional<CloudAction> action;
    if (verb == "send" && !(action = cloudActionFromRaw(words[1]))) {
        std::cerr << "orvane-peer: unknown action " << words[1] << "\n";
        return 64;
    }

    FileSecretStore keychain{std::filesystem::path(keychainFile)};
    OrvaneCloud cloud(openPeerCloudStore(keychain, accountFile));
    const Date now = Date::fromTimePoint(SystemClock::shared().wallNow());
    try {
        if (verb == "status") {
            line({{"event", "status"}, {"text", cloud.accountStatus()}});
        } else if (verb == "whoami") {
            line({{"event", "whoami"}, {"user", cloud.store().currentUserRecordName()}});
        } else if (verb == "macs") {
            for (const auto& m : cloud.fetchChanges().macs) line(macJson(m, now));
        } else if (verb == "commands") {
            for (const auto& c : cloud.fetchChanges().commands)
                line({{"id", c.id},
                      {"macID", c.macID},
                      {"action", std::string(rawValue(c.action))},
                      {"sender", c.sender},
                      {"createdAt", c.createdAt.iso8601(true)}});
        } else if (verb == "send") {
            auto c = cloud.send(*action, words[2], name);
            line({{"event", "sent"}, {"id", c.id}, {"action", words[1]}, {"macID", c.macID}});
        } else {
            // A device listens only where a subscription asks for pushes.
            cloud.ensureZone();
            cloud.subscribe();
            asio::io_context io;
            auto guard = asio::make_work_guard(io);
            cloud.store().setPushHandler(io.get_executor(), [] { line({{"event", "push"}}); });
            line({{"event", "watching"}});
            io.run();
        }
    } catch (const CloudError& e) {
        line({{"event", "error"}, {"code", e.code}, {"message", e.what()}});
        std::cerr << "orvane-peer: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}

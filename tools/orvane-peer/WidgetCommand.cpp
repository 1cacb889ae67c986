// orvane-peer widget|broadcast: what the viewer apps hand their extensions, in the app group's
// suite and keychain.
//
//   orvane-peer widget save [ID NAME SUBTITLE]... | save --from-cloud | load | link ID
//   orvane-peer broadcast save MACNAME PORT CODE DEVICENAME DEVICEID [--address A]
//                         [--bonjour B] [--interface I] | load | clear
//   (each with [--suite FILE] [--keychain FILE] [--cloud FILE])

#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "OrvaneKit/base/Clock.h"
#include "OrvaneKit/base/SettingsStore.h"
#include "OrvaneKit/cloud/OrvaneCloud.h"
#include "OrvaneKit/cloud/WidgetData.h"
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

}  // namespace

// Exit status: 0 done, 1 nothing stored or the store failed, 64 bad usage.
int runWidgetCommand(int argc, char** argv) {
    const std::string what = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    const SubcommandArgs parsed(
        args, {"--suite", "--keychain", "--cloud", "--address", "--bonjour", "--interface"},
        {"--from-cloud"});
    const std::string suiteFile = parsed.value("--suite", appGroupSuitePath().string());
    const std::string keychainFile =
        parsed.value("--keychain", FileSecretStore::standardFile().string());
    const std::string accountFile =
        parsed.value("--cloud", CloudAccountFile::standardPath().string());
    auto optionalValue = [&](const std::string& o) {
        return parsed.has(o) ? std::optional(parsed.value(o)) : std::nullopt;
    };
    const std::optional<std::string> address = optionalValue("--address"),
                                     bonjour = optionalValue("--bonjour"),
                                     interface = optionalValue("--interface");
    const bool fromCloud = parsed.flags.contains("--from-cloud");
    const bool bad = parsed.bad;
    const auto& words = parsed.words;
    const std::string verb = words.empty() ? "" : words[0];
    const std::size_t n = words.size();
    int port = -1;
    if (what == "broadcast" && verb == "save" && n == 6) {
        try {
            port = std::stoi(words[2]);
        } catch (const std::exception&) {
        }
    }
    const bool known =
        !bad && (what == "widget" ? (verb == "load" && n == 1) || (verb == "link" && n == 2) ||
                                        (verb == "save" && (fromCloud ? n == 1 : (n - 1) % 3 == 0))
                                  : ((verb == "load" || verb == "clear") && n == 1) ||
                                        (verb == "save" && port >= 0 && port <= 65535));
    if (!known) {
        std::cerr << "usage: orvane-peer widget save [ID NAME SUBTITLE]... | save --from-cloud | "
                     "load | link ID\n"
                     "       orvane-peer broadcast save MACNAME PORT CODE DEVICENAME DEVICEID "
                     "[--address A] [--bonjour B] [--interface I] | load | clear\n"
                     "       (each with [--suite FILE] [--keychain FILE] [--cloud FILE])\n";
        return 64;
    }
    FileSettingsStore suite{std::filesystem::path(suiteFile)};
    FileSecretStore keychain{std::filesystem::path(keychainFile)};
    if (what == "widget") {
        if (verb == "link") {
            line({{"event", "link"}, {"url", WidgetMac{words[1], "", ""}.url()}});
        } else if (verb == "load") {
            for (const auto& m : WidgetMac::load(suite))
                line({{"id", m.id}, {"name", m.name}, {"subtitle", m.subtitle}, {"url", m.url()}});
        } else {
            std::vector<WidgetMac> macs;
            if (fromCloud) {
                try {
                    OrvaneCloud cloud(openPeerCloudStore(keychain, accountFile));
                    const Date now = Date::fromTimePoint(SystemClock::shared().wallNow());
                    for (const auto& m : cloud.fetchChanges().macs)
                        macs.push_back({m.id, m.name, m.isOnline(now) ? "Online" : "Offline"});
                } catch (const CloudError& e) {
                    line({{"event", "error"}, {"code", e.code}, {"message", e.what()}});
                    return 1;
                }
            } else {
                for (std::size_t i = 1; i + 2 < n; i += 3)
                    macs.push_back({words[i], words[i + 1], words[i + 2]});
            }
            WidgetMac::save(macs, suite);
            line({{"event", "saved"}, {"count", macs.size()}});
        }
        return 0;
    }
    if (verb == "save") {
        BroadcastTarget t{words[1], bonjour,  address,  static_cast<std::uint16_t>(port),
                          words[3], words[4], words[5], interface};
        t.save(suite, keychain);
        line({{"event", "saved"}});
    } else if (verb == "clear") {
        BroadcastTarget::clear(suite, keychain);
        line({{"event", "cleared"}});
    } else {
        auto t = BroadcastTarget::load(suite, keychain);
        if (!t) {
            line({{"event", "none"}});
            return 1;
        }
        line({{"macName", t->macName},
              {"bonjourName", orNull(t->bonjourName)},
              {"address", orNull(t->address)},
              {"port", t->port},
              {"accessCode", t->accessCode},
              {"deviceName", t->deviceName},
              {"deviceID", t->deviceID},
              {"interfaceName", orNull(t->interfaceName)}});
    }
    return 0;
}

#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/base/MainActor.h"
#include "OrvaneKit/base/SettingsStore.h"
#include "OrvaneKit/base/Signal.h"
#include "Orvane_Host/system/AlertPresenter.h"
#include "Orvane_Host/system/Workspace.h"
#include "Orvane_Host/update/HttpClient.h"

namespace orvane {

// Finds out whether a newer build is published by reading a small JSON feed on the product's
// web server, and offers its download page. Runs on the main actor; only the transfer runs on
// the HTTP client's own thread.
class UpdateChecker : public std::enable_shared_from_this<UpdateChecker> {
public:
    struct Status {
        enum class Kind { available, failed, idle, checking, upToDate };
        Kind kind = Kind::idle;
        std::string text;  // available: the offered version; failed: the reason

        static Status available(std::string version) { return {Kind::available, version}; }
        static Status failed(std::string why) { return {Kind::failed, why}; }
        static Status checking() { return {Kind::checking, {}}; }
        static Status upToDate() { return {Kind::upToDate, {}}; }
        bool operator==(const Status&) const = default;
    };

    // The feed document; other keys are ignored.
    struct Release {
        std::string shortVersion;
        std::int64_t build = 0;
        std::string url;
        std::optional<std::string> notes;
        std::optional<std::string> minimumSystemVersion;

        // Throws std::invalid_argument saying what is wrong.
        static Release decode(std::string_view body);
        bool operator==(const Release&) const = default;
    };

    // Where the feed lives. The server can be moved (settings key, then the environment), so
    // tests and offline machines never reach the real one.
    struct Feed {
        std::string server = defaultServer;  // scheme and host, maybe a port and a path
        std::string caFile;                  // empty: the system's authorities
        std::chrono::milliseconds timeout = std::chrono::seconds(15);

        static Feed fromSettings(const SettingsStore& settings,
                                 const std::function<const char*(const char*)>& environment);
        std::string manifestURL() const { return server + "/appcast.json"; }
        std::string downloadPage() const { return server + "/download/"; }
        // The download page as the failure alert writes it: without the scheme.
        std::string downloadPageText() const;
    };

    // The running application's numbers as the build gave them, possibly missing.
    struct Bundle {
        std::optional<std::string> shortVersion;
        std::optional<std::string> build;
    };

    struct Environment {
        MainActor& mainActor;
        HttpClient& http;
        AlertPresenter& alerts;
        Workspace& workspace;
        SettingsStore& settings;
    };

    static constexpr const char* defaultServer = "https://orvane.app";
    static constexpr std::string_view dismissedKey = "update.dismissedBuild";
    static constexpr std::string_view serverKey = "update.server";
    static constexpr std::string_view caFileKey = "update.caFile";
    static constexpr const char* serverVariable = "ORVANE_UPDATE_SERVER";
    static constexpr const char* caFileVariable = "ORVANE_UPDATE_CA_FILE";
    // A feed address ending in this (any case) is the package itself, offered for download.
    static constexpr std::string_view packageSuffix = ".deb";

    static std::shared_ptr<UpdateChecker> make(Environment env, Feed feed, Bundle bundle);

    const Status& status() const { return status_.get(); }
    // Told of every change of the status, on the main actor.
    Signal<const Status&>& statusChanged() { return status_.changed; }

    // The bundle's build as a decimal integer (an optional sign, then digits only); 0 when it
    // is missing, does not parse or overflows.
    std::int64_t currentBuild() const { return parseBuild(bundle_.build.value_or("0")); }
    // The bundle's version, or an en dash when it is missing.
    std::string currentVersion() const { return bundle_.shortVersion.value_or("\u2013"); }
    static std::int64_t parseBuild(std::string_view text);
    // Only absolute http and https addresses, with a host and nothing a browser would reject.
    static bool isWebAddress(std::string_view url);

    // Checks once. A check at launch stays silent unless the offered build is above the one the
    // person skipped; one the person asked for always ends in an alert. Where no person can
    // answer alerts, what they would ask is only logged. `done` runs when the check is over,
    // its alert answered included. Overlapping checks each run to their end; the last to
    // finish sets the status.
    void check(bool userInitiated, std::function<void()> done = {});

    const Feed& feed() const { return feed_; }

private:
    UpdateChecker(Environment env, Feed feed, Bundle bundle);

    void finish(HttpResult result, bool userInitiated, std::function<void()> done);
    void fail(const std::string& why, bool userInitiated, std::function<void()> done);
    void presentUpdateAlert(const Release& release, std::function<void()> done);
    void presentUpToDateAlert(std::function<void()> done);
    void presentFailureAlert(std::function<void()> done);
    void show(AlertSpec spec, std::string unansweredNote, std::function<void(int)> answered,
              std::function<void()> done);
    void openWebPage(const std::string& url);

    Environment env_;
    Feed feed_;
    Bundle bundle_;
    Observable<Status> status_;
    const Logger log_{"com.nimbrel.kelsap.host", "update"};
};

}  // namespace orvane

#include "Orvane_Host/session/CloudCommands.h"

#include "OrvaneKit/base/BoundedText.h"
#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/AuthToken.h"
#include "OrvaneKit/security/Keychain.h"

namespace orvane {

namespace {

constexpr const char* keychainService = "com.nimbrel.kelsap";
constexpr const char* accessCodeAccount = "host.accessCode";
constexpr const char* iCloudTokenAccount = "host.iCloudToken";

}  // namespace

CloudCommands::CloudCommands(const SessionServices& services, std::weak_ptr<void> core, Host& host)
    : SessionPart(services, std::move(core)), host_(host) {}

void CloudCommands::perform(CloudAction action, const std::string& sender) {
    onMainActor();
    const std::string from = boundedText(sender);
    log_.notice("cloud command {} from {}", rawValue(action), from);
    switch (action) {
        case CloudAction::playSound:
            // Separate main-actor jobs, so the notification below comes before the first.
            for (int i = 0; i < 3; ++i)
                s_.timers.after(soundInterval * i, s_.mainActor.executor(),
                                whileAlive([this] { playAlertSound(); }));
            break;
        case CloudAction::lockScreen:
            // Through the session's lock, not a keyboard shortcut that would reach whatever
            // application has the focus.
            s_.actions.performPowerCommand(HostAction::lockScreen);
            break;
        case CloudAction::sleepDisplay:
            s_.actions.performPowerCommand(HostAction::sleepDisplay);
            break;
        case CloudAction::disconnectAll: {
            const std::string reason = "Disconnected from " + from + ".";
            auto all = host_.clients();
            for (const auto& c : all) host_.endSession(c, reason);
            break;
        }
        case CloudAction::newCode:
            newAccessCode();
            break;
    }
    s_.notifier.post(std::string(title(action)), "Requested from " + from + ".");
}

void CloudCommands::newAccessCode() {
    onMainActor();
    RandomSource& random = host_.randomSource();
    SecretStore* secrets = host_.secretStore();

    std::string code = AccessCode::generate(random);
    host_.setAccessCode(code);
    bool codeSaved = secrets && Keychain::set(code, accessCodeAccount, keychainService, true,
                                              std::nullopt, *secrets);
    std::string token = AuthToken::generate(random);
    host_.setICloudAuthToken(token);
    bool tokenSaved = secrets && Keychain::set(token, iCloudTokenAccount, keychainService, false,
                                               std::nullopt, *secrets);
    // The new values stay in use either way; what is lost is only the next start's.
    if (!codeSaved || !tokenSaved) {
        log_.error("the new {} could not be written to the keychain",
                   !codeSaved ? "access code" : "pairing token");
        host_.setLastError(!codeSaved ? codeNotSavedError : tokenNotSavedError);
    }

    auto all = host_.clients();
    for (const auto& c : all) host_.endSession(c, accessCodeChangedReason);
    host_.restartListener();
    if (host_.browserAccess()) s_.browser.start(code);
    if (IAnywhereAccess* anywhere = config_.anywhere)
        spawnDetached([anywhere]() -> asio::awaitable<void> { co_await anywhere->publish(); });
}

void CloudCommands::playAlertSound() {
    onMainActor();
    if (config_.sound) config_.sound->playAlert();
}

}  // namespace orvane

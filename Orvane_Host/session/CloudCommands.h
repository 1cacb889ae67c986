#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/cloud/CloudAction.h"
#include "OrvaneKit/crypto/Random.h"
#include "OrvaneKit/security/SecretStore.h"
#include "Orvane_Host/session/IAnywhereAccess.h"
#include "Orvane_Host/session/RemoteClient.h"
#include "Orvane_Host/session/SessionServices.h"
#include "Orvane_Host/system/SoundPlayer.h"

namespace orvane {

struct CloudConfig {
    SoundPlayer* sound = nullptr;         // none: the alert plays nothing
    IAnywhereAccess* anywhere = nullptr;  // none: nothing is published
};

// What the owner's other devices ask through the cloud (a sound, a lock, the display off,
// everyone out, a new code), and changing the access code. Owns nothing but its services;
// main actor only.
class CloudCommands : SessionPart {
public:
    using Clients = std::vector<std::shared_ptr<RemoteClient>>;

    static constexpr const char* accessCodeChangedReason = "The access code was changed.";
    static constexpr const char* codeNotSavedError =
        "The new access code could not be saved in the keychain, so the old one will be back "
        "when the host restarts.";
    static constexpr const char* tokenNotSavedError =
        "The new pairing token could not be saved in the keychain, so the old one will be back "
        "when the host restarts.";
    // The alert plays three times, this far apart.
    static constexpr auto soundInterval = std::chrono::milliseconds(800);

    // What the cloud commands need of the rest of the host.
    class Host {
    public:
        virtual const std::string& accessCode() const = 0;
        virtual void setAccessCode(std::string v) = 0;
        virtual void setICloudAuthToken(std::string v) = 0;
        virtual const Clients& clients() const = 0;
        virtual void endSession(const std::shared_ptr<RemoteClient>& client,
                                const std::string& reason) = 0;
        virtual bool browserAccess() const = 0;
        virtual void setLastError(std::optional<std::string> v) = 0;
        // The listener takes the current code.
        virtual void restartListener() = 0;
        // The keychain the host started with; none before start.
        virtual SecretStore* secretStore() = 0;
        virtual RandomSource& randomSource() = 0;

    protected:
        ~Host() = default;
    };

    CloudCommands(const SessionServices& services, std::weak_ptr<void> core, Host& host);

    // Install before the first command.
    void configure(CloudConfig config) { config_ = config; }
    IAnywhereAccess* anywhere() const { return config_.anywhere; }

    // Carries out one command from `sender` (a device's name) and tells the person at the
    // machine with a notification, whatever the command did.
    void perform(CloudAction action, const std::string& sender);
    // A new code and token, saved in the keychain; every session ends, the listener and the
    // browser server take the new code, and the cloud record is written again afterwards.
    void newAccessCode();
    void playAlertSound();

    static const char* title(CloudAction action);

private:
    Host& host_;
    CloudConfig config_;
    const Logger log_{"com.nimbrel.kelsap.host", "cloud"};
};

}  // namespace orvane

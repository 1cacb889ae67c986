#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/base/Uuid.h"
#include "Orvane_Host/session/RemoteClient.h"
#include "Orvane_Host/session/SessionServices.h"
#include "Orvane_Host/session/TrustedDevice.h"

namespace orvane {

// Who gets in: the Hello rules, the approval alerts and the Hello timeout. Owns the alerts still
// up for each client; main actor only.
class Admission : SessionPart {
public:
    using Clients = std::vector<std::shared_ptr<RemoteClient>>;
    using StoppedPeers = std::map<std::string, MonoTime>;

    static constexpr const char* stoppedReason = "The session was stopped at the Mac.";
    static constexpr const char* declinedReason = "The Mac's owner declined the connection.";
    // A peer the host ended is turned away for this long.
    static constexpr std::chrono::seconds recentlyStoppedWindow{120};

    // What admission needs of the rest of the host.
    class Host {
    public:
        virtual const Clients& clients() const = 0;
        virtual void publishClients() = 0;
        virtual const std::optional<std::string>& supportCode() const = 0;
        virtual const StoppedPeers& recentlyStopped() const = 0;
        virtual bool askBeforeConnecting() const = 0;
        virtual bool unattendedAccess() const = 0;
        virtual void setUnattendedAccess(bool v) = 0;
        virtual const std::string& iCloudAuthToken() const = 0;
        virtual const std::vector<TrustedDevice>& trustedDevices() const = 0;
        virtual void trust(TrustedDevice device) = 0;
        virtual void setApprovingClientID(std::optional<Uuid> id) = 0;
        virtual void endSession(const std::shared_ptr<RemoteClient>& client,
                                const std::string& reason) = 0;
        virtual void removeClient(const std::shared_ptr<RemoteClient>& client,
                                  std::optional<bool> wasSession) = 0;
        // An authorised viewer: its watchdog and its stream start.
        virtual void viewerAdmitted(const std::shared_ptr<RemoteClient>& client) = 0;
        virtual void showSharedScreen(const std::shared_ptr<RemoteClient>& client,
                                      bool withoutAsking) = 0;

    protected:
        ~Host() = default;
    };

    Admission(const SessionServices& services, std::weak_ptr<void> core, Host& host);

    // The first message of a peer; every later Hello is ignored.
    void helloReceived(ByteView body, const std::shared_ptr<RemoteClient>& client);
    void admit(const std::shared_ptr<RemoteClient>& client, bool withoutAsking);
    void askApproval(const std::shared_ptr<RemoteClient>& client);
    // Ends the connection of a listed client that sends no Hello in time.
    void watchHello(const std::shared_ptr<RemoteClient>& client);
    // Alerts still up for a client.
    std::size_t openAlerts(const Uuid& client) const;
    // A client left: every alert still up for it ends unanswered.
    void abortAlerts(const Uuid& client);

    static AlertSpec confirmationSpec(const std::string& deviceName);
    static constexpr const char* unattendedConfirmButton = "Let It In Without Asking";

private:
    bool isListed(const std::shared_ptr<RemoteClient>& client) const;
    std::uint64_t showAlert(const std::shared_ptr<RemoteClient>& client, AlertSpec spec,
                            std::function<void(int)> done);
    void noteAlertsChanged();

    Host& host_;
    std::map<Uuid, std::map<std::uint64_t, AlertHandle>> alerts_;
    std::uint64_t nextAlert_ = 0;
};

}  // namespace orvane

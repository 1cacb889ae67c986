#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneKit/base/Uuid.h"
#include "Orvane_Host/session/IScreenShareWindow.h"
#include "Orvane_Host/session/RemoteClient.h"
#include "Orvane_Host/session/SessionServices.h"

namespace orvane {

// How sessions end: the host's bye, removing a client with everything that hangs on it, in
// order, and stopping everything from the machine. Holds no state of its own but whether memory
// is about to be handed back; main actor only.
class SessionEnder : SessionPart {
public:
    using Clients = std::vector<std::shared_ptr<RemoteClient>>;
    using StoppedPeers = std::map<std::string, MonoTime>;
    using ShareWindows = std::map<Uuid, std::shared_ptr<IScreenShareWindow>>;

    static constexpr const char* stoppedAtMachineReason =
        "The person at the Mac stopped the session.";

    // What ending needs of the rest of the host.
    class Host {
    public:
        virtual const Clients& clients() const = 0;
        virtual void setClients(Clients v) = 0;
        virtual const StoppedPeers& recentlyStopped() const = 0;
        virtual void setRecentlyStopped(StoppedPeers v) = 0;
        virtual const ShareWindows& shareWindows() const = 0;
        virtual void setShareWindows(ShareWindows v) = 0;
        virtual bool lockWhenSessionEnds() const = 0;
        virtual const std::optional<std::string>& supportCode() const = 0;
        virtual void setSupportCode(std::optional<std::string> v) = 0;
        // What the other parts keep per client: alerts, the job queue.
        virtual void forgetClient(const Uuid& client) = 0;
        // The list of clients changed in who watches or controls: curtain, indicator, codec.
        virtual void viewersChanged() = 0;
        virtual void lastViewerLeft() = 0;
        // The last support client left: the listener goes back to the access code.
        virtual void supportEnded() = 0;

    protected:
        ~Host() = default;
    };

    SessionEnder(const SessionServices& services, std::weak_ptr<void> core, Host& host);

    void endSession(const std::shared_ptr<RemoteClient>& client, const std::string& reason);
    void removeClient(const std::shared_ptr<RemoteClient>& client,
                      std::optional<bool> wasSession = std::nullopt);
    // Held-open connections: closes the connection a little after the peer's bye.
    void closeAfterPeerBye(const std::shared_ptr<RemoteClient>& client);
    void stopFromMac();

    // endSession closes every connection this long after its bye at the latest.
    static constexpr auto latestCancel = std::chrono::seconds(1);

    // Memory is handed back to the system this long after a client went, once for all that go
    // meanwhile: by then their connections are closed and freed.
    static constexpr auto memoryReturnDelay = std::chrono::seconds(2);

private:
    Host& host_;
    std::shared_ptr<std::atomic<bool>> memoryReturnPending_ = std::make_shared<std::atomic<bool>>();
};

}  // namespace orvane

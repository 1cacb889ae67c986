#pragma once

#include <asio/strand.hpp>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/base/Uuid.h"
#include "OrvaneKit/protocol/Messages.h"
#include "Orvane_Host/session/IScreenShareWindow.h"
#include "Orvane_Host/session/RemoteClient.h"
#include "Orvane_Host/session/SessionServices.h"

namespace orvane {

// What each received message does, and for whom: served on the connection's queue when it must
// not wait for the main actor, else handed to the main actor. Owns one serial queue per client
// for slow requests, on the shared background pool.
class MessageRouter : SessionPart {
public:
    // What the router needs of the rest of the host.
    class Host {
    public:
        virtual void helloReceived(ByteView body, const std::shared_ptr<RemoteClient>& client) = 0;
        virtual bool shareClipboard() const = 0;
        // The pasteboard's count after a viewer's text was put there, so the clipboard watch
        // does not send it back.
        virtual void notePasteboardWrite(std::int64_t changeCount) = 0;
        virtual const std::vector<DisplayInfo>& displays() const = 0;
        // A viewer chose another display; its stream follows.
        virtual void displaySelected(std::uint32_t displayID) = 0;
        virtual void peerSaidBye(const std::shared_ptr<RemoteClient>& client) = 0;
        virtual void chatReceived(ChatMessage message) = 0;
        virtual const std::map<Uuid, std::shared_ptr<IScreenShareWindow>>& shareWindows() const = 0;

    protected:
        ~Host() = default;
    };

    // The connection tier: runs on the client's connection queue and touches only the client's
    // locked fields and thread-safe services; everything else goes on to handle().
    struct ConnectionTier {
        InputInjector& injector;
        IFileMessages& files;
        MainActor& mainActor;
        std::weak_ptr<void> core;
        MessageRouter* router;
    };

    MessageRouter(const SessionServices& services, std::weak_ptr<void> core, Host& host);

    static void receive(MessageType type, Bytes body, const std::shared_ptr<RemoteClient>& client,
                        const ConnectionTier& tier);
    ConnectionTier connectionTier();
    // The main-actor tier.
    void handle(MessageType type, Bytes body, const std::shared_ptr<RemoteClient>& client);
    // A client left: its queue goes (work already on it still runs).
    void forget(const Uuid& client);

private:
    using JobQueue = asio::strand<asio::any_io_executor>;
    JobQueue& jobsOf(const std::shared_ptr<RemoteClient>& client);

    Host& host_;
    std::map<Uuid, JobQueue> jobs_;
};

}  // namespace orvane

#pragma once

#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneKit/base/Uuid.h"
#include "OrvaneKit/media/VideoCodec.h"
#include "OrvaneKit/protocol/Messages.h"
#include "Orvane_Host/session/IScreenShareWindow.h"
#include "Orvane_Host/session/RemoteClient.h"
#include "Orvane_Host/session/SessionServices.h"
#include "Orvane_Host/session/StreamQuality.h"

namespace orvane {

// From admission to the first frame and on: the viewer's welcome, codec choice, the privacy
// curtain, stream updates, shared screens, control changes and the host status tick. Owns the
// status timer; main actor only.
class StreamCoordinator : SessionPart {
public:
    using Clients = std::vector<std::shared_ptr<RemoteClient>>;
    using ShareWindows = std::map<Uuid, std::shared_ptr<IScreenShareWindow>>;

    // What streaming needs of the rest of the host.
    class Host {
    public:
        virtual const Clients& clients() const = 0;
        virtual Clients viewers() const = 0;
        virtual void publishClients() = 0;
        virtual bool blankScreen() const = 0;
        virtual StreamQuality quality() const = 0;
        virtual bool highFrameRate() const = 0;
        virtual bool shareSound() const = 0;
        virtual bool preferHEVC() const = 0;
        virtual bool preferHDR() const = 0;
        virtual const VideoCodec& activeCodec() const = 0;
        virtual void setActiveCodec(VideoCodec v) = 0;
        virtual const bool& activeHDR() const = 0;
        virtual void setActiveHDR(bool v) = 0;
        virtual const bool& isStreaming() const = 0;
        virtual void setIsStreaming(bool v) = 0;
        virtual void setLastError(std::optional<std::string> v) = 0;
        virtual const std::vector<DisplayInfo>& displays() const = 0;
        virtual void setDisplays(std::vector<DisplayInfo> v) = 0;
        virtual void setScreenRecordingGranted(bool v) = 0;
        virtual const ShareWindows& shareWindows() const = 0;
        virtual void setShareWindows(ShareWindows v) = 0;
        // The name viewers show for this machine.
        virtual std::string machineName() const = 0;
        virtual void endSession(const std::shared_ptr<RemoteClient>& client,
                                const std::string& reason) = 0;
        virtual void stopFromMac() = 0;

    protected:
        ~Host() = default;
    };

    StreamCoordinator(const SessionServices& services, std::weak_ptr<void> core, Host& host);

    void applyCurtain();
    void chooseCodec();
    // The streams' bitrate and frame rate from the quality settings.
    void applyStreamRate();
    // Starts the streams for the viewers' displays. One start runs at a time: a request made
    // while one runs gets a start of its own after it, and requests made meanwhile share it.
    asio::awaitable<void> updateStreams(bool restart);
    // Starts an update nobody awaits.
    void spawnUpdate(bool restart);
    asio::awaitable<void> startStreaming(std::shared_ptr<RemoteClient> client);
    asio::awaitable<void> stopStreaming();
    // The same as tasks nobody awaits.
    void spawnStart(std::shared_ptr<RemoteClient> client);
    void spawnStop();
    void displaySelected(std::uint32_t displayID);
    void refreshDisplays();
    // The displays changed (a burst of changes reports once): viewers of a display that went
    // away move to the main one, everyone hears the new list, and the streams restart.
    asio::awaitable<void> applyDisplayChange();
    void spawnDisplayChange();
    void showSharedScreen(const std::shared_ptr<RemoteClient>& client, bool withoutAsking);
    void setCanControl(bool canControl, const std::shared_ptr<RemoteClient>& client);
    // Sends the current audio format to each authorised client of the list; nothing without one.
    void sendAudioFormat(const Clients& to);

    // The 5 s host status to every viewer.
    void startStatusTimer();
    void stopStatusTimer();
    void statusTick();
    // Builds one record off the main actor and sends it to each client.
    void sendHostStatus(Clients to);

private:
    void sharedScreenClosed(const std::weak_ptr<RemoteClient>& client);

    Host& host_;
    TimerHandle statusTimer_;
    bool updating_ = false;
    bool restartWanted_ = false;
    std::uint64_t requested_ = 0;  // update requests so far
    std::uint64_t covered_ = 0;    // requests a start has begun after
    std::vector<std::weak_ptr<asio::steady_timer>> waiting_;
    std::unique_ptr<AwakeInhibitor::Activity> awake_;
};

}  // namespace orvane

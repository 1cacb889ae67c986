#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/strand.hpp>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "OrvaneKit/base/Clock.h"
#include "OrvaneKit/base/Date.h"
#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/base/MainActor.h"
#include "OrvaneKit/base/SettingsStore.h"
#include "OrvaneKit/base/Signal.h"
#include "OrvaneKit/base/TimerService.h"
#include "OrvaneKit/base/Uuid.h"
#include "OrvaneKit/media/VideoCodec.h"
#include "OrvaneKit/net/ServiceAdvertiser.h"
#include "OrvaneKit/protocol/Hello.h"
#include "OrvaneKit/protocol/Messages.h"
#include "OrvaneKit/protocol/OrvaneConnection.h"
#include "OrvaneKit/security/BruteForceGuard.h"
#include "OrvaneKit/security/SecretStore.h"
#include "Orvane_Host/input/InputInjector.h"
#include "Orvane_Host/session/HostStatusBuilder.h"
#include "Orvane_Host/session/IBrowserServer.h"
#include "Orvane_Host/session/IDisplayStreams.h"
#include "Orvane_Host/session/IFileMessages.h"
#include "Orvane_Host/session/ILocalAddresses.h"
#include "Orvane_Host/session/IMacActions.h"
#include "Orvane_Host/session/IScreenOverlays.h"
#include "Orvane_Host/session/RemoteClient.h"
#include "Orvane_Host/session/ScreenShareWindow.h"
#include "Orvane_Host/session/SessionHistory.h"
#include "Orvane_Host/session/SessionListener.h"
#include "Orvane_Host/session/StreamQuality.h"
#include "Orvane_Host/session/TrustedDevice.h"
#include "Orvane_Host/system/AlertPresenter.h"
#include "Orvane_Host/system/Notifier.h"
#include "Orvane_Host/system/Pasteboard.h"
#include "Orvane_Host/system/PowerActions.h"
#include "Orvane_Host/system/ScreenInfo.h"

namespace orvane {

// The host's one controller: settings, clients and everything the person at the machine sees,
// all on the main actor. Collaborators are passed in, so tests build as many as they like; the
// app installs one as shared().
class HostController : public std::enable_shared_from_this<HostController> {
public:
    struct Services {
        MainActor& mainActor;
        const Clock& clock;
        TimerService& timers;
        SettingsStore& settings;
        Notifier& notifier;
        AlertPresenter& alerts;
        ScreenInfo& screens;
        IDisplayStreams& streams;
        IBrowserServer& browser;
        IScreenOverlays& overlays;
        ILocalAddresses& addresses;
        SessionHistory& history;
        InputInjector& injector;
        PowerActions& power;
        Pasteboard& pasteboard;
        IMacActions& actions;
        IFileMessages& files;
        IScreenShareWindows& shareWindowMaker;
        HostStatusBuilder& status;
        // A small pool for slow work off the main actor: status records, viewers' requests.
        asio::any_io_executor background;
    };

    // The observable fields, for coarse subscription through `changed`.
    enum class Field {
        accessCode,
        iCloudAuthToken,
        listenerState,
        clients,
        displays,
        screenRecordingGranted,
        accessibilityGranted,
        launchAtLogin,
        isStreaming,
        lastError,
        idleTimeoutMinutes,
        lockWhenSessionEnds,
        blankScreen,
        askBeforeConnecting,
        unattendedAccess,
        browserAccess,
        quality,
        preferHEVC,
        preferHDR,
        activeCodec,
        activeHDR,
        highFrameRate,
        shareClipboard,
        shareSound,
        receivedFiles,
        trustedDevices,
        chat,
        unreadChat,
        sendingFiles,
        supportCode,
        shareWindows,
        approvingClientID,
        isShuttingDown,
        recentlyStopped,
    };

    struct ReceivedFile {
        Uuid id;
        std::filesystem::path url;
        std::string from;
        Date date;
    };

    using Clients = std::vector<std::shared_ptr<RemoteClient>>;

    static constexpr const char* unattendedConfirmButton = "Let It In Without Asking";
    static constexpr const char* noLongerTrustedReason = "This device is no longer trusted.";

    // Reads the settings and the trusted list; starts nothing.
    static std::shared_ptr<HostController> make(Services services);
    static void setShared(std::shared_ptr<HostController> controller);
    static HostController& shared();

    ~HostController();
    HostController(const HostController&) = delete;
    HostController& operator=(const HostController&) = delete;

    // Told after a field's value changed (clients and receivedFiles: after every assignment).
    Signal<Field> changed;

#define ORVANE_PLAIN_FIELD(Type, name, Setter)     \
    const Type& name() const {                     \
        return name##_;                            \
    }                                              \
    void Setter(Type v) {                          \
        store(name##_, std::move(v), Field::name); \
    }

    ORVANE_PLAIN_FIELD(std::string, accessCode, setAccessCode)
    ORVANE_PLAIN_FIELD(std::string, iCloudAuthToken, setICloudAuthToken)
    ORVANE_PLAIN_FIELD(std::string, listenerState, setListenerState)
    ORVANE_PLAIN_FIELD(std::vector<DisplayInfo>, displays, setDisplays)
    ORVANE_PLAIN_FIELD(bool, screenRecordingGranted, setScreenRecordingGranted)
    ORVANE_PLAIN_FIELD(bool, accessibilityGranted, setAccessibilityGranted)
    ORVANE_PLAIN_FIELD(bool, launchAtLogin, setLaunchAtLoginField)
    ORVANE_PLAIN_FIELD(bool, isStreaming, setIsStreaming)
    ORVANE_PLAIN_FIELD(std::optional<std::string>, lastError, setLastError)
    ORVANE_PLAIN_FIELD(VideoCodec, activeCodec, setActiveCodec)
    ORVANE_PLAIN_FIELD(bool, activeHDR, setActiveHDR)
    ORVANE_PLAIN_FIELD(std::vector<TrustedDevice>, trustedDevices, setTrustedDevices)
    ORVANE_PLAIN_FIELD(std::vector<ChatMessage>, chat, setChat)
    ORVANE_PLAIN_FIELD(std::int64_t, unreadChat, setUnreadChat)
    ORVANE_PLAIN_FIELD(std::vector<std::string>, sendingFiles, setSendingFiles)
    ORVANE_PLAIN_FIELD(std::optional<std::string>, supportCode, setSupportCode)
    ORVANE_PLAIN_FIELD(std::optional<Uuid>, approvingClientID, setApprovingClientID)
    ORVANE_PLAIN_FIELD(bool, isShuttingDown, setIsShuttingDown)
    // Monotonic: only ever used for the 120 s window of admission.
    using StoppedPeers = std::map<std::string, MonoTime>;
    ORVANE_PLAIN_FIELD(StoppedPeers, recentlyStopped, setRecentlyStopped)
#undef ORVANE_PLAIN_FIELD

    // ---- Settings: each setter writes its key and runs its effects on every assignment ----
    std::int64_t idleTimeoutMinutes() const {
        return idleTimeoutMinutes_;
    }
    void setIdleTimeoutMinutes(std::int64_t v);
    bool lockWhenSessionEnds() const {
        return lockWhenSessionEnds_;
    }
    void setLockWhenSessionEnds(bool v);
    bool blankScreen() const {
        return blankScreen_;
    }
    void setBlankScreen(bool v);
    bool askBeforeConnecting() const {
        return askBeforeConnecting_;
    }
    void setAskBeforeConnecting(bool v);
    bool unattendedAccess() const {
        return unattendedAccess_;
    }
    void setUnattendedAccess(bool v);
    bool browserAccess() const {
        return browserAccess_;
    }
    void setBrowserAccess(bool v);
    StreamQuality quality() const {
        return quality_;
    }
    void setQuality(StreamQuality v);
    bool preferHEVC() const {
        return preferHEVC_;
    }
    void setPreferHEVC(bool v);
    bool preferHDR() const {
        return preferHDR_;
    }
    void setPreferHDR(bool v);
    bool highFrameRate() const {
        return highFrameRate_;
    }
    void setHighFrameRate(bool v);
    bool shareClipboard() const {
        return shareClipboard_;
    }
    void setShareClipboard(bool v);
    bool shareSound() const {
        return shareSound_;
    }
    void setShareSound(bool v);

    // ---- Clients: every change goes through setClients or publishClients ----
    const Clients& clients() const {
        return clients_;
    }
    void setClients(Clients v);
    // After an in-place change of a client that decides its targets (display, authorisation).
    void publishClients();

    const std::vector<ReceivedFile>& receivedFiles() const {
        return receivedFiles_;
    }
    void setReceivedFiles(std::vector<ReceivedFile> v);
    const std::map<Uuid, std::shared_ptr<ScreenShareWindow>>& shareWindows() const {
        return shareWindows_;
    }
    void setShareWindows(std::map<Uuid, std::shared_ptr<ScreenShareWindow>> v);

    // Not observed.
    std::int64_t pasteboardChangeCount = 0;
    TimerHandle statusTimer;
    TimerHandle idleWatch;

    // "http(s)://<first IPv4>:5896" while browser access is on and the machine has an IPv4.
    std::optional<std::string> browserURL() const;
    // Sends the current audio format to each authorised client of the list; nothing without one.
    void sendAudioFormat(const Clients& to);

    // ---- Trusted devices ----
    std::vector<TrustedDevice> loadTrustedDevices();
    void saveTrustedDevices();
    // Adds the device, replacing an entry with its id, at the end of the list; saves.
    void trust(TrustedDevice device);
    // Ends the sessions of authorised clients whose peer proved one of these identities.
    void revoke(const std::unordered_set<std::string>& ids);
    void forgetDevice(const std::string& id);
    void forgetAllDevices();
    // Asks whether the device may come in without asking from now on; `done` gets true only
    // for "Let It In Without Asking". Aborting the handle answers false.
    AlertHandle confirmUnattendedAccess(const std::string& deviceName,
                                        std::function<void(bool)> done);
    static AlertSpec confirmationSpec(const std::string& deviceName);

    // ---- Streams and curtain ----
    void applyCurtain();
    void chooseCodec();
    asio::awaitable<void> updateStreams(bool restart);
    asio::awaitable<void> restartStreams() {
        return updateStreams(true);
    }

    // ---- Admission (HostAdmission.cpp) ----
    static constexpr const char* stoppedReason = "The session was stopped at the Mac.";
    static constexpr const char* declinedReason = "The Mac's owner declined the connection.";
    // A peer the host ended is turned away for this long.
    static constexpr std::chrono::seconds recentlyStoppedWindow{120};
    // The first message of a peer; every later Hello is ignored.
    void helloReceived(ByteView body, const std::shared_ptr<RemoteClient>& client);
    void admit(const std::shared_ptr<RemoteClient>& client, bool withoutAsking);
    void askApproval(const std::shared_ptr<RemoteClient>& client);
    // Alerts still up for a client, aborted when it leaves.
    std::size_t openAlerts(const Uuid& client) const;

    // ---- Message router (HostRouter.cpp) ----
    // The connection tier: runs on the client's connection queue and touches only the client's
    // locked fields and thread-safe services; everything else goes on to handle().
    struct ConnectionTier {
        InputInjector& injector;
        IFileMessages& files;
        MainActor& mainActor;
        std::weak_ptr<HostController> controller;
    };
    static void receive(MessageType type, Bytes body, const std::shared_ptr<RemoteClient>& client,
                        const ConnectionTier& tier);
    ConnectionTier connectionTier();
    // The main-actor tier.
    void handle(MessageType type, Bytes body, const std::shared_ptr<RemoteClient>& client);

    // ---- Streaming start, displays and shared screens (HostStreaming.cpp) ----
    asio::awaitable<void> startStreaming(std::shared_ptr<RemoteClient> client);
    void refreshDisplays();
    void showSharedScreen(const std::shared_ptr<RemoteClient>& client, bool withoutAsking);
    void setCanControl(bool canControl, const std::shared_ptr<RemoteClient>& client);
    asio::awaitable<void> stopStreaming();
    // ---- Host status ----
    void statusTick();
    // Builds one record off the main actor and sends it to each client.
    void sendHostStatus(Clients to);
    void sendHostStatusToClient(const std::shared_ptr<RemoteClient>& client) {
        sendHostStatus({client});
    }

    // ---- Idle watchdog (HostIdleWatch.cpp) ----
    static constexpr const char* silentReason = "No response for 20 seconds";
    void startIdleWatch();

    // ---- Ending (HostEnding.cpp) ----
    void endSession(const std::shared_ptr<RemoteClient>& client, const std::string& reason);
    void removeClient(const std::shared_ptr<RemoteClient>& client,
                      std::optional<bool> wasSession = std::nullopt);
    void stopFromMac();

    // ---- Front door: listener, accept, wrong codes (HostListener.cpp) ----
    static constexpr std::uint16_t sessionPort = 5895;
    struct FrontDoor {
        SessionListenerFactory& listeners;
        ServiceAdvertiser& advertiser;
        ConnectionEnvironment connections;  // identity and randomness of accepted connections
        std::function<std::string()> machineName;
        std::uint16_t port = sessionPort;  // tests listen on 0
    };
    // Install before startListener().
    void setFrontDoor(FrontDoor door);

    void startListener();
    void listenerStateChanged(const ConnState& state);
    void accept(std::shared_ptr<Transport> connection);
    // A state report of a client's connection, on the main actor. `wrongCode` is set on the
    // first report that shows the peer holds another code, and never again for that connection.
    void clientStateChanged(const ConnState& state, const std::weak_ptr<RemoteClient>& client,
                            const std::string& address, bool wrongCode);
    // Held-open connections: closes the connection a little after the peer's bye.
    void closeAfterPeerBye(const std::shared_ptr<RemoteClient>& client);
    void noteWrongCode(const std::string& address);
    void restartListenerAfterFailure();
    void onStreamsStopped(std::optional<std::string> error);
    void postUserNotification(const std::string& title, const std::string& body);

    // ---- Start-up and shutdown (HostStartup.cpp) ----
    static constexpr const char* keychainService = "com.nimbrel.kelsap";
    static constexpr const char* accessCodeAccount = "host.accessCode";
    static constexpr const char* iCloudTokenAccount = "host.iCloudToken";
    static constexpr const char* quitReason = "Orvane Host quit.";
    // Everything after make(): the keychain items, the listener and the browser server. A
    // keychain that cannot be read leaves its items alone and shows why in lastError.
    void start(SecretStore& secrets, RandomSource& random = systemRandom());
    // Runs once: every client hears its bye and is closed before this returns.
    asio::awaitable<void> shutdown();
    const BruteForceGuard& bruteForce() const {
        return bruteForce_;
    }
    const std::shared_ptr<SessionListener>& listener() const {
        return listener_;
    }

    const Logger log{"com.nimbrel.kelsap.host", "net"};

private:
    explicit HostController(Services services);
    void onMainActor() const {
        ORVANE_ASSERT_MAIN_ACTOR(s_.mainActor);
    }
    void loadSettings();
    template <class T>
    void store(T& slot, T value, Field field) {
        onMainActor();
        bool differs = !(slot == value);
        slot = std::move(value);
        if (differs) changed(field);
    }
    void setStreamRate();
    // Starts a main-actor task that nobody awaits. It holds the controller weakly until it runs,
    // so a queued task never keeps a controller alive that everyone else let go.
    template <class Body>
    void spawnDetached(Body body) {
        asio::co_spawn(
            s_.mainActor.executor(),
            [weak = weak_from_this(), body = std::move(body)]() mutable -> asio::awaitable<void> {
                if (auto self = weak.lock()) co_await body(*self);
            },
            asio::detached);
    }
    void spawnUpdate(bool restart);
    Clients viewers() const;

    Services s_;
    std::string accessCode_;
    std::string iCloudAuthToken_;
    std::string listenerState_ = "Starting\u2026";
    Clients clients_;
    std::vector<DisplayInfo> displays_;
    bool screenRecordingGranted_ = false;
    bool accessibilityGranted_ = false;
    bool launchAtLogin_ = false;
    bool isStreaming_ = false;
    std::optional<std::string> lastError_;
    std::int64_t idleTimeoutMinutes_ = 0;
    bool lockWhenSessionEnds_ = false;
    bool blankScreen_ = false;
    bool askBeforeConnecting_ = true;
    bool unattendedAccess_ = false;
    bool browserAccess_ = false;
    StreamQuality quality_ = StreamQuality::balanced;
    bool preferHEVC_ = true;
    bool preferHDR_ = false;
    VideoCodec activeCodec_ = VideoCodec::h264;
    bool activeHDR_ = false;
    bool highFrameRate_ = false;
    bool shareClipboard_ = true;
    bool shareSound_ = true;
    std::vector<ReceivedFile> receivedFiles_;
    std::vector<TrustedDevice> trustedDevices_;
    std::vector<ChatMessage> chat_;
    std::int64_t unreadChat_ = 0;
    std::vector<std::string> sendingFiles_;
    std::optional<std::string> supportCode_;
    std::map<Uuid, std::shared_ptr<ScreenShareWindow>> shareWindows_;
    std::optional<Uuid> approvingClientID_;
    bool isShuttingDown_ = false;
    std::map<std::string, MonoTime> recentlyStopped_;
    // Front door.
    std::optional<FrontDoor> door_;
    std::shared_ptr<SessionListener> listener_;
    bool listenerReady_ = false;  // the current listener's last report was ready
    TimerHandle listenerRestart_;
    BruteForceGuard bruteForce_ = BruteForceGuard::forHost();
    double guardNow() const;
    void watchHello(const std::shared_ptr<RemoteClient>& client);
    bool isListed(const std::shared_ptr<RemoteClient>& client) const;
    // Admission.
    std::map<Uuid, std::map<std::uint64_t, AlertHandle>> alerts_;
    std::uint64_t nextAlert_ = 0;
    std::uint64_t showAlert(const std::shared_ptr<RemoteClient>& client, AlertSpec spec,
                            std::function<void(int)> done);
    void noteAlertsChanged();
    // Idle watchdog: a tick of an older watchdog must not end a newer one.
    std::uint64_t idleGeneration_ = 0;
    void idleTick(std::uint64_t generation);
    // One serial queue per client for slow requests, on the shared background pool.
    using JobQueue = asio::strand<asio::any_io_executor>;
    std::map<Uuid, JobQueue> jobs_;
    JobQueue& jobsOf(const std::shared_ptr<RemoteClient>& client);
    void sharedScreenClosed(const std::weak_ptr<RemoteClient>& client);
};

}  // namespace orvane

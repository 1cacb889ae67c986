#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "OrvaneKit/base/Date.h"
#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/base/Signal.h"
#include "OrvaneKit/base/Uuid.h"
#include "OrvaneKit/media/VideoCodec.h"
#include "OrvaneKit/protocol/Hello.h"
#include "OrvaneKit/protocol/Messages.h"
#include "OrvaneKit/reach/Pairing.h"
#include "OrvaneKit/security/SecretStore.h"
#include "Orvane_Host/session/Admission.h"
#include "Orvane_Host/session/BrowserGate.h"
#include "Orvane_Host/session/CloudCommands.h"
#include "Orvane_Host/session/Exchange.h"
#include "Orvane_Host/session/FrontDoor.h"
#include "Orvane_Host/session/IOutsideRoutes.h"
#include "Orvane_Host/session/IdleWatch.h"
#include "Orvane_Host/session/MessageRouter.h"
#include "Orvane_Host/session/RemoteClient.h"
#include "Orvane_Host/session/SessionEnder.h"
#include "Orvane_Host/session/SessionServices.h"
#include "Orvane_Host/session/StreamCoordinator.h"
#include "Orvane_Host/session/StreamQuality.h"
#include "Orvane_Host/session/TrustedDevice.h"

namespace orvane {

// The host's observable front: settings, clients and everything the person at the machine sees,
// all on the main actor. The work is done by its parts (front door, admission, router, ender,
// idle watch, streams), which own their own state and reach the rest of the host only through
// the small interfaces the controller implements. Services are passed in, so tests build as
// many as they like; the app installs one as shared().
class HostController : public std::enable_shared_from_this<HostController>,
                       private FrontDoor::Host,
                       private Admission::Host,
                       private MessageRouter::Host,
                       private SessionEnder::Host,
                       private IdleWatch::Host,
                       private StreamCoordinator::Host,
                       private Exchange::Host,
                       private CloudCommands::Host,
                       private BrowserGate::Host {
public:
    using Services = SessionServices;

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

    using ReceivedFile = Exchange::ReceivedFile;

    using Clients = std::vector<std::shared_ptr<RemoteClient>>;

    static constexpr const char* unattendedConfirmButton = Admission::unattendedConfirmButton;
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

    IScreenOverlays& overlays() {
        return s_.overlays;
    }
    // The overlays put the curtain up anew by themselves (the screens changed): the captures
    // must learn the new windows to leave out.
    void curtainRebuilt();

    // ---- Clients: every change goes through setClients or publishClients ----
    const Clients& clients() const {
        return clients_;
    }
    void setClients(Clients v);
    // After an in-place change of a client that decides its targets (display, authorisation).
    void publishClients();

    const std::vector<ReceivedFile>& receivedFiles() const override {
        return receivedFiles_;
    }
    void setReceivedFiles(std::vector<ReceivedFile> v) override;
    const std::map<Uuid, std::shared_ptr<IScreenShareWindow>>& shareWindows() const {
        return shareWindows_;
    }
    void setShareWindows(std::map<Uuid, std::shared_ptr<IScreenShareWindow>> v);

    // Not observed.
    std::int64_t pasteboardChangeCount = 0;

    // "http(s)://<first IPv4>:5896" while browser access is on and the machine has an IPv4.
    std::optional<std::string> browserURL() const;
    // Authorised clients that watch this machine (not those sharing their own screen).
    Clients viewers() const override;

    // ---- Trusted devices ----
    std::vector<TrustedDevice> loadTrustedDevices();
    void saveTrustedDevices();
    // Adds the device, replacing an entry with its id, at the end of the list; saves.
    void trust(TrustedDevice device) override;
    // Ends the sessions of authorised clients whose peer proved one of these identities.
    void revoke(const std::unordered_set<std::string>& ids);
    void forgetDevice(const std::string& id);
    void forgetAllDevices();
    // Asks whether the device may come in without asking from now on; `done` gets true only
    // for "Let It In Without Asking". Aborting the handle answers false.
    AlertHandle confirmUnattendedAccess(const std::string& deviceName,
                                        std::function<void(bool)> done);
    static AlertSpec confirmationSpec(const std::string& deviceName) {
        return Admission::confirmationSpec(deviceName);
    }

    // ---- What the person at the machine does to sessions ----
    static constexpr const char* stoppedReason = Admission::stoppedReason;
    static constexpr const char* declinedReason = Admission::declinedReason;
    static constexpr auto recentlyStoppedWindow = Admission::recentlyStoppedWindow;
    static constexpr const char* silentReason = IdleWatch::silentReason;
    void endSession(const std::shared_ptr<RemoteClient>& client,
                    const std::string& reason) override;
    void stopFromMac() override;
    void setCanControl(bool canControl, const std::shared_ptr<RemoteClient>& client);
    // The streams stopped by themselves (the platform ended capture); from any thread.
    void onStreamsStopped(std::optional<std::string> error);

    // ---- Front door ----
    static constexpr std::uint16_t sessionPort = FrontDoorConfig::sessionPort;
    // Install before start().
    void setFrontDoor(FrontDoorConfig config);
    const BruteForceGuard& bruteForce() const {
        return frontDoor_->bruteForce();
    }
    const std::shared_ptr<ISessionListener>& listener() const {
        return frontDoor_->listener();
    }

    // ---- Clipboard, chat and files ----
    void sendChat(const std::string& text) {
        exchange_->sendChat(text);
    }
    void chooseFilesToSend() {
        exchange_->chooseFilesToSend();
    }
    void sendFiles(std::vector<std::filesystem::path> files,
                   const std::shared_ptr<RemoteClient>& client) {
        exchange_->sendFiles(std::move(files), client);
    }
    void printDocument(const std::filesystem::path& pdf) {
        exchange_->printDocument(pdf);
    }
    void setLaunchAtLogin(bool on) {
        exchange_->setLaunchAtLogin(on);
    }
    void requestAccessibility() {
        exchange_->requestAccessibility();
    }
    std::string displayName(std::uint32_t displayID) const {
        return exchange_->displayName(displayID);
    }

    // ---- Start-up and shutdown ----
    static constexpr const char* keychainService = "com.nimbrel.kelsap";
    static constexpr const char* accessCodeAccount = "host.accessCode";
    static constexpr const char* iCloudTokenAccount = "host.iCloudToken";
    static constexpr const char* quitReason = "Orvane Host quit.";
    // Everything after make(): the keychain items, the listener and the browser server. A
    // keychain that cannot be read leaves its items alone and shows why in lastError.
    void start(SecretStore& secrets, RandomSource& random = systemRandom());
    // Runs once: every client hears its bye and is closed before this returns.
    asio::awaitable<void> shutdown();

    // ---- Cloud commands and the access code ----
    // Install before the first command.
    void setCloud(CloudConfig config);
    void perform(CloudAction action, const std::string& sender);
    void newAccessCode();
    void playAlertSound();
    // A connection that came in over the NAT hole punch, unstarted: taken like the listener's,
    // wrong-code guard first. Main actor.
    void accept(std::shared_ptr<Transport> connection);
    // The key of the code viewers must hold now (support code while set), for the punch
    // listener to read at each handshake. Any thread.
    std::function<Bytes()> currentKeySource() const;

    // ---- Pairing ----
    // Where the router mapping and the hole-punch address come from; none: neither is known.
    void setOutsideRoutes(IOutsideRoutes* outside) {
        outside_ = outside;
    }
    // The pairing link's content for `code`: this machine's name, first IPv4 address, the port
    // listened on, global IPv6 addresses and whatever is known from outside. Cannot fail.
    PairingInfo makePairingInfo(const std::string& code) const;

    // ---- The parts, for tests and for the interface's finer controls ----
    FrontDoor& frontDoor() {
        return *frontDoor_;
    }
    Admission& admission() {
        return *admission_;
    }
    MessageRouter& router() {
        return *router_;
    }
    SessionEnder& ender() {
        return *ender_;
    }
    IdleWatch& idleWatch() {
        return *idleWatch_;
    }
    StreamCoordinator& streaming() {
        return *streaming_;
    }
    Exchange& exchange() {
        return *exchange_;
    }
    CloudCommands& cloud() {
        return *cloud_;
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
    // The parts need the controller's own weak handle, which exists only after make().
    void makeParts();

    // ---- What the parts need of the host ----
    std::string currentCode() const override;
    void clientAccepted(const std::shared_ptr<RemoteClient>& client) override;
    void removeClient(const std::shared_ptr<RemoteClient>& client,
                      std::optional<bool> wasSession) override;
    Receiver messageReceiver() override;
    void helloReceived(ByteView body, const std::shared_ptr<RemoteClient>& client) override;
    void notePasteboardWrite(std::int64_t changeCount) override;
    void displaySelected(std::uint32_t displayID) override;
    void peerSaidBye(const std::shared_ptr<RemoteClient>& client) override;
    void chatReceived(ChatMessage message) override;
    void forgetClient(const Uuid& client) override;
    void viewersChanged() override;
    void lastViewerLeft() override;
    void supportEnded() override;
    void viewerAdmitted(const std::shared_ptr<RemoteClient>& client) override;
    void showSharedScreen(const std::shared_ptr<RemoteClient>& client, bool withoutAsking) override;
    std::string machineName() const override;
    std::int64_t pasteboardCount() const override {
        return pasteboardChangeCount;
    }
    void setPasteboardCount(std::int64_t count) override {
        pasteboardChangeCount = count;
    }
    void restartListener() override;
    SecretStore* secretStore() override;
    RandomSource& randomSource() override;
    bool browserAddressBlocked(const std::string& address) const override;
    void browserWrongCode(const std::string& address) override;

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
    std::map<Uuid, std::shared_ptr<IScreenShareWindow>> shareWindows_;
    std::optional<Uuid> approvingClientID_;
    bool isShuttingDown_ = false;
    std::map<std::string, MonoTime> recentlyStopped_;
    std::unique_ptr<FrontDoor> frontDoor_;
    std::unique_ptr<Admission> admission_;
    std::unique_ptr<MessageRouter> router_;
    std::unique_ptr<SessionEnder> ender_;
    std::unique_ptr<IdleWatch> idleWatch_;
    std::unique_ptr<StreamCoordinator> streaming_;
    std::unique_ptr<Exchange> exchange_;
    std::unique_ptr<CloudCommands> cloud_;
    // What start() was given, kept for writing a new code.
    SecretStore* secrets_ = nullptr;
    RandomSource* random_ = nullptr;
    std::unique_ptr<BrowserGate> browserGate_;
    IOutsideRoutes* outside_ = nullptr;
};

}  // namespace orvane

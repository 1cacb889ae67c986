#include "Orvane_Host/session/HostController.h"

#include <algorithm>

namespace orvane {

namespace {

std::shared_ptr<HostController>& sharedSlot() {
    static std::shared_ptr<HostController> slot;
    return slot;
}

}  // namespace

std::shared_ptr<HostController> HostController::make(Services services) {
    auto controller = std::shared_ptr<HostController>(new HostController(services));
    controller->makeParts();
    return controller;
}

void HostController::setShared(std::shared_ptr<HostController> controller) {
    sharedSlot() = std::move(controller);
}

HostController& HostController::shared() {
    return *sharedSlot();
}

HostController::HostController(Services services) : s_(services) {
    pasteboardChangeCount = s_.pasteboard.changeCount();
    loadSettings();
}

HostController::~HostController() = default;

void HostController::makeParts() {
    std::weak_ptr<void> core = weak_from_this();
    frontDoor_ = std::make_unique<FrontDoor>(s_, core, static_cast<FrontDoor::Host&>(*this));
    admission_ = std::make_unique<Admission>(s_, core, static_cast<Admission::Host&>(*this));
    router_ = std::make_unique<MessageRouter>(s_, core, static_cast<MessageRouter::Host&>(*this));
    ender_ = std::make_unique<SessionEnder>(s_, core, static_cast<SessionEnder::Host&>(*this));
    idleWatch_ = std::make_unique<IdleWatch>(s_, core, static_cast<IdleWatch::Host&>(*this));
    streaming_ =
        std::make_unique<StreamCoordinator>(s_, core, static_cast<StreamCoordinator::Host&>(*this));
    exchange_ = std::make_unique<Exchange>(s_, core, static_cast<Exchange::Host&>(*this));
    cloud_ = std::make_unique<CloudCommands>(s_, core, static_cast<CloudCommands::Host&>(*this));
    browserGate_ = std::make_unique<BrowserGate>(s_, core, static_cast<BrowserGate::Host&>(*this));
    // Held weakly by the server; the handle shares the controller's lifetime.
    s_.browser.setGuard(
        std::shared_ptr<IBrowserServer::Guard>(shared_from_this(), browserGate_.get()));
}

void HostController::loadSettings() {
    auto& st = s_.settings;
    idleTimeoutMinutes_ = st.integer("idleTimeoutMinutes");
    lockWhenSessionEnds_ = st.boolValue("lockWhenSessionEnds");
    blankScreen_ = st.boolValue("blankScreen");
    trustedDevices_ = loadTrustedDevices();
    st.registerDefaults({{"askBeforeConnecting", true},
                         {"quality", rawValue(StreamQuality::balanced)},
                         {"shareClipboard", true},
                         {"shareSound", true},
                         {"preferHEVC", true},
                         {"preferHDR", false}});
    askBeforeConnecting_ = st.boolValue("askBeforeConnecting");
    // First run: a machine that already trusts devices keeps letting them in.
    if (!st.hasStoredValue("unattendedAccess"))
        st.setBool("unattendedAccess", !trustedDevices_.empty());
    unattendedAccess_ = st.boolValue("unattendedAccess");
    browserAccess_ = st.boolValue("browserAccess");
    quality_ = streamQualityFromStored(st.string("quality").value_or(""));
    preferHEVC_ = st.boolValue("preferHEVC");
    preferHDR_ = st.boolValue("preferHDR");
    highFrameRate_ = st.boolValue("highFrameRate");
    shareClipboard_ = st.boolValue("shareClipboard");
    shareSound_ = st.boolValue("shareSound");
}

// ---- Settings ----

void HostController::setIdleTimeoutMinutes(std::int64_t v) {
    onMainActor();
    store(idleTimeoutMinutes_, v, Field::idleTimeoutMinutes);
    s_.settings.setInteger("idleTimeoutMinutes", v);
}

void HostController::setLockWhenSessionEnds(bool v) {
    onMainActor();
    store(lockWhenSessionEnds_, v, Field::lockWhenSessionEnds);
    s_.settings.setBool("lockWhenSessionEnds", v);
}

void HostController::setBlankScreen(bool v) {
    onMainActor();
    store(blankScreen_, v, Field::blankScreen);
    s_.settings.setBool("blankScreen", v);
    streaming_->applyCurtain();
}

void HostController::curtainRebuilt() {
    onMainActor();
    if (isStreaming_) streaming_->spawnUpdate(true);
}

void HostController::setAskBeforeConnecting(bool v) {
    onMainActor();
    store(askBeforeConnecting_, v, Field::askBeforeConnecting);
    s_.settings.setBool("askBeforeConnecting", v);
}

void HostController::setUnattendedAccess(bool v) {
    onMainActor();
    store(unattendedAccess_, v, Field::unattendedAccess);
    s_.settings.setBool("unattendedAccess", v);
}

void HostController::setBrowserAccess(bool v) {
    onMainActor();
    store(browserAccess_, v, Field::browserAccess);
    s_.settings.setBool("browserAccess", v);
    if (v)
        s_.browser.start(accessCode_);
    else
        s_.browser.stop();
}

void HostController::setQuality(StreamQuality v) {
    onMainActor();
    store(quality_, v, Field::quality);
    s_.settings.setString("quality", std::string(rawValue(v)));
    streaming_->applyStreamRate();
    if (isStreaming_) streaming_->spawnUpdate(true);
}

void HostController::setPreferHEVC(bool v) {
    onMainActor();
    store(preferHEVC_, v, Field::preferHEVC);
    s_.settings.setBool("preferHEVC", v);
    streaming_->chooseCodec();
}

void HostController::setPreferHDR(bool v) {
    onMainActor();
    store(preferHDR_, v, Field::preferHDR);
    s_.settings.setBool("preferHDR", v);
    streaming_->chooseCodec();
}

void HostController::setHighFrameRate(bool v) {
    onMainActor();
    store(highFrameRate_, v, Field::highFrameRate);
    s_.settings.setBool("highFrameRate", v);
    streaming_->applyStreamRate();
    if (isStreaming_) streaming_->spawnUpdate(true);
}

void HostController::setShareClipboard(bool v) {
    onMainActor();
    store(shareClipboard_, v, Field::shareClipboard);
    s_.settings.setBool("shareClipboard", v);
}

void HostController::setShareSound(bool v) {
    onMainActor();
    store(shareSound_, v, Field::shareSound);
    s_.settings.setBool("shareSound", v);
    if (v) streaming_->sendAudioFormat(clients_);
    if (isStreaming_) streaming_->spawnUpdate(true);
}

// ---- Clients and other lists ----

void HostController::setClients(Clients v) {
    onMainActor();
    clients_ = std::move(v);
    changed(Field::clients);
    s_.streams.assignTargets(videoTargets(clients_));
}

void HostController::publishClients() {
    onMainActor();
    changed(Field::clients);
    s_.streams.assignTargets(videoTargets(clients_));
}

void HostController::setReceivedFiles(std::vector<ReceivedFile> v) {
    onMainActor();
    receivedFiles_ = std::move(v);
    changed(Field::receivedFiles);
}

void HostController::setShareWindows(std::map<Uuid, std::shared_ptr<IScreenShareWindow>> v) {
    onMainActor();
    store(shareWindows_, std::move(v), Field::shareWindows);
}

bool HostController::browserAddressBlocked(const std::string& address) const {
    onMainActor();
    return frontDoor_->isBlocked(address);
}

void HostController::browserWrongCode(const std::string& address) {
    onMainActor();
    frontDoor_->noteWrongCode(address);
}

std::optional<std::string> HostController::browserURL() const {
    if (!browserAccess_) return std::nullopt;
    auto lists = s_.addresses.localAddresses();
    if (lists.ipv4.empty()) return std::nullopt;
    std::string scheme = s_.browser.usesTLS() ? "https" : "http";
    return scheme + "://" + lists.ipv4.front() + ":" + std::to_string(s_.browser.port());
}

// ---- Trusted devices ----

std::vector<TrustedDevice> HostController::loadTrustedDevices() {
    return TrustedDevice::load(s_.settings);
}

void HostController::saveTrustedDevices() {
    TrustedDevice::save(s_.settings, trustedDevices_);
}

void HostController::trust(TrustedDevice device) {
    onMainActor();
    auto list = trustedDevices_;
    std::erase_if(list, [&](const TrustedDevice& d) { return d.id == device.id; });
    list.push_back(std::move(device));
    setTrustedDevices(std::move(list));
    saveTrustedDevices();
}

void HostController::revoke(const std::unordered_set<std::string>& ids) {
    onMainActor();
    if (ids.empty()) return;
    Clients authorised;
    for (const auto& c : clients_)
        if (c->authorized()) authorised.push_back(c);
    for (const auto& c : authorised) {
        auto fp = c->connection->peerFingerprint();
        if (fp && ids.contains(*fp)) ender_->endSession(c, noLongerTrustedReason);
    }
}

void HostController::forgetDevice(const std::string& id) {
    onMainActor();
    auto list = trustedDevices_;
    std::erase_if(list, [&](const TrustedDevice& d) { return d.id == id; });
    setTrustedDevices(std::move(list));
    saveTrustedDevices();
    revoke({id});
}

void HostController::forgetAllDevices() {
    onMainActor();
    std::unordered_set<std::string> ids;
    for (const auto& d : trustedDevices_) ids.insert(d.id);
    setTrustedDevices({});
    saveTrustedDevices();
    revoke(ids);
}

AlertHandle HostController::confirmUnattendedAccess(const std::string& deviceName,
                                                    std::function<void(bool)> done) {
    onMainActor();
    return s_.alerts.show(confirmationSpec(deviceName), [done = std::move(done)](int response) {
        done(response == AlertResponse::firstButton);
    });
}

// ---- Sessions ----

HostController::Clients HostController::viewers() const {
    Clients out;
    for (const auto& c : clients_)
        if (c->authorized() && !c->isScreenSharer()) out.push_back(c);
    return out;
}

void HostController::endSession(const std::shared_ptr<RemoteClient>& client,
                                const std::string& reason) {
    ender_->endSession(client, reason);
}

void HostController::removeClient(const std::shared_ptr<RemoteClient>& client,
                                  std::optional<bool> wasSession) {
    ender_->removeClient(client, wasSession);
}

void HostController::stopFromMac() {
    ender_->stopFromMac();
}

void HostController::setCanControl(bool canControl, const std::shared_ptr<RemoteClient>& client) {
    streaming_->setCanControl(canControl, client);
}

void HostController::onStreamsStopped(std::optional<std::string> error) {
    s_.mainActor.postTo(weak_from_this(), [error = std::move(error)](HostController& self) {
        self.setIsStreaming(false);
        self.setLastError(error);
    });
}

void HostController::accept(std::shared_ptr<Transport> connection) {
    frontDoor_->accept(std::move(connection), true);
}

std::function<Bytes()> HostController::currentKeySource() const {
    return frontDoor_->currentKeySource();
}

void HostController::setFrontDoor(FrontDoorConfig config) {
    frontDoor_->configure(std::move(config));
}

// ---- What the parts need of the host ----

std::string HostController::currentCode() const {
    return supportCode_ ? *supportCode_ : accessCode_;
}

std::string HostController::machineName() const {
    return frontDoor_->machineName();
}

void HostController::clientAccepted(const std::shared_ptr<RemoteClient>& client) {
    auto list = clients_;
    list.push_back(client);
    setClients(std::move(list));
    admission_->watchHello(client);
}

FrontDoor::Host::Receiver HostController::messageReceiver() {
    return [tier = router_->connectionTier()](MessageType type, Bytes body,
                                              const std::shared_ptr<RemoteClient>& client) {
        MessageRouter::receive(type, std::move(body), client, tier);
    };
}

void HostController::helloReceived(ByteView body, const std::shared_ptr<RemoteClient>& client) {
    admission_->helloReceived(body, client);
}

void HostController::notePasteboardWrite(std::int64_t changeCount) {
    pasteboardChangeCount = changeCount;
}

void HostController::displaySelected(std::uint32_t displayID) {
    streaming_->displaySelected(displayID);
}

void HostController::peerSaidBye(const std::shared_ptr<RemoteClient>& client) {
    ender_->closeAfterPeerBye(client);
    ender_->removeClient(client);
}

void HostController::chatReceived(ChatMessage message) {
    auto list = chat_;
    list.push_back(std::move(message));
    setChat(std::move(list));
    setUnreadChat(unreadChat_ + 1);
}

void HostController::forgetClient(const Uuid& client) {
    admission_->abortAlerts(client);
    router_->forget(client);
}

void HostController::viewersChanged() {
    streaming_->applyCurtain();
    streaming_->chooseCodec();
}

void HostController::lastViewerLeft() {
    s_.overlays.clearAnnotations();
    streaming_->spawnStop();
}

void HostController::supportEnded() {
    frontDoor_->start();
}

void HostController::viewerAdmitted(const std::shared_ptr<RemoteClient>& client) {
    idleWatch_->start();
    publishClients();
    streaming_->spawnStart(client);
}

void HostController::restartListener() {
    frontDoor_->start();
}

SecretStore* HostController::secretStore() {
    return secrets_;
}

RandomSource& HostController::randomSource() {
    return random_ ? *random_ : systemRandom();
}

// ---- Cloud commands and the access code ----

void HostController::setCloud(CloudConfig config) {
    cloud_->configure(config);
}

void HostController::perform(CloudAction action, const std::string& sender) {
    cloud_->perform(action, sender);
}

PairingInfo HostController::makePairingInfo(const std::string& code) const {
    auto lists = s_.addresses.localAddresses();
    PairingInfo info;
    info.name = frontDoor_->machineName();
    if (!lists.ipv4.empty()) info.host = lists.ipv4.front();
    // A host told to listen elsewhere (or on any free port) gives the port it has.
    if (const auto& l = frontDoor_->listener(); l && l->port() != 0) info.port = l->port();
    info.code = code;
    info.ipv6 = std::move(lists.ipv6);
    if (outside_) {
        if (auto m = outside_->routerMapping()) {
            info.externalHost = m->address;
            info.externalPort = m->port;
        }
        if (auto r = outside_->holePunchAddress()) {
            info.natHost = r->host;
            info.natPort = r->port;
        }
    }
    return info;
}

void HostController::newAccessCode() {
    cloud_->newAccessCode();
}

void HostController::playAlertSound() {
    cloud_->playAlertSound();
}

void HostController::showSharedScreen(const std::shared_ptr<RemoteClient>& client,
                                      bool withoutAsking) {
    streaming_->showSharedScreen(client, withoutAsking);
}

}  // namespace orvane

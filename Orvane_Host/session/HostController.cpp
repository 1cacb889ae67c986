#include "Orvane_Host/session/HostController.h"

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <set>

namespace orvane {

namespace {

std::shared_ptr<HostController>& sharedSlot() {
    static std::shared_ptr<HostController> slot;
    return slot;
}

}  // namespace

std::shared_ptr<HostController> HostController::make(Services services) {
    return std::shared_ptr<HostController>(new HostController(services));
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
    applyCurtain();
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
    setStreamRate();
    if (isStreaming_) spawnUpdate(true);
}

void HostController::setPreferHEVC(bool v) {
    onMainActor();
    store(preferHEVC_, v, Field::preferHEVC);
    s_.settings.setBool("preferHEVC", v);
    chooseCodec();
}

void HostController::setPreferHDR(bool v) {
    onMainActor();
    store(preferHDR_, v, Field::preferHDR);
    s_.settings.setBool("preferHDR", v);
    chooseCodec();
}

void HostController::setHighFrameRate(bool v) {
    onMainActor();
    store(highFrameRate_, v, Field::highFrameRate);
    s_.settings.setBool("highFrameRate", v);
    setStreamRate();
    if (isStreaming_) spawnUpdate(true);
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
    if (v) sendAudioFormat(clients_);
    if (isStreaming_) spawnUpdate(true);
}

void HostController::setStreamRate() {
    s_.streams.setBitrate(bitrate(quality_), highFrameRate_ ? 120 : 60);
}

// ---- Clients and other lists ----

void HostController::setClients(Clients v) {
    onMainActor();
    clients_ = std::move(v);
    changed(Field::clients);
    s_.streams.assignTargets(clients_);
}

void HostController::publishClients() {
    onMainActor();
    changed(Field::clients);
    s_.streams.assignTargets(clients_);
}

void HostController::setReceivedFiles(std::vector<ReceivedFile> v) {
    onMainActor();
    receivedFiles_ = std::move(v);
    changed(Field::receivedFiles);
}

void HostController::setShareWindows(std::map<Uuid, std::shared_ptr<ScreenShareWindow>> v) {
    onMainActor();
    store(shareWindows_, std::move(v), Field::shareWindows);
}

std::optional<std::string> HostController::browserURL() const {
    if (!browserAccess_) return std::nullopt;
    auto lists = s_.addresses.localAddresses();
    if (lists.ipv4.empty()) return std::nullopt;
    std::string scheme = s_.browser.usesTLS() ? "https" : "http";
    return scheme + "://" + lists.ipv4.front() + ":" + std::to_string(IBrowserServer::port);
}

void HostController::sendAudioFormat(const Clients& to) {
    onMainActor();
    Clients targets;
    for (const auto& c : to)
        if (c->authorized()) targets.push_back(c);
    auto format = s_.streams.audioFormat();
    if (!format) return;
    auto body = json::encode(*format);
    if (!body) return;
    for (const auto& c : targets) c->connection->send(MessageType::audioFormat, *body);
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
        if (fp && ids.contains(*fp)) endSession(c, noLongerTrustedReason);
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

AlertSpec HostController::confirmationSpec(const std::string& deviceName) {
    return {"Let " + deviceName + " in without asking?",
            "From now on, this device can connect to this Mac whenever the Mac is on, without "
            "anyone clicking Allow. It still needs the access code and its own security key. You "
            "will get a notification each time, and every session is listed in Session History. "
            "You can turn this off, or forget the device, in Settings under Security.",
            {unattendedConfirmButton, "Just This Time"}};
}

AlertHandle HostController::confirmUnattendedAccess(const std::string& deviceName,
                                                    std::function<void(bool)> done) {
    onMainActor();
    return s_.alerts.show(confirmationSpec(deviceName), [done = std::move(done)](int response) {
        done(response == AlertResponse::firstButton);
    });
}

// ---- Streams and curtain ----

HostController::Clients HostController::viewers() const {
    Clients out;
    for (const auto& c : clients_)
        if (c->authorized() && !c->isScreenSharer()) out.push_back(c);
    return out;
}

void HostController::applyCurtain() {
    onMainActor();
    Clients controllers;
    for (const auto& c : viewers())
        if (c->canControl()) controllers.push_back(c);
    std::weak_ptr<HostController> weak = weak_from_this();
    auto stop = [weak] {
        if (auto self = weak.lock()) self->stopFromMac();
    };
    bool changedCurtain = s_.overlays.setCurtain(blankScreen_ && !controllers.empty(), stop);
    if (changedCurtain && isStreaming_) spawnUpdate(true);
    if (controllers.empty()) {
        s_.overlays.hideSessionIndicator();
        return;
    }
    std::vector<std::string> names;
    bool support = false;
    for (const auto& c : controllers) {
        names.push_back(c->displayName());
        support = support || c->isSupport;
    }
    s_.overlays.showSessionIndicator(controllers.front()->displayID(), std::move(names), support,
                                     stop);
}

void HostController::chooseCodec() {
    onMainActor();
    auto list = viewers();
    std::vector<bool> hevc;
    bool allHDR = true;
    for (const auto& c : list) {
        auto h = c->hello();
        hevc.push_back(h && h->supportsHEVC.value_or(false));
        allHDR = allHDR && h && h->supportsHDR.value_or(false);
    }
    VideoCodec codec = useHEVC(preferHEVC_, hevc) ? VideoCodec::hevc : VideoCodec::h264;
    bool hdr =
        preferHDR_ && codec == VideoCodec::hevc && s_.screens.anyScreenSupportsEDR() && allHDR;
    if (codec == activeCodec_ && hdr == activeHDR_) return;
    bool hdrChanged = hdr != activeHDR_;
    setActiveCodec(codec);
    setActiveHDR(hdr);
    if (hdrChanged) {
        s_.streams.storeCodec(codec, hdr);
        if (isStreaming_) spawnUpdate(true);
    } else {
        s_.streams.setCodec(codec, hdr);
    }
}

asio::awaitable<void> HostController::updateStreams(bool restart) {
    onMainActor();
    auto self = shared_from_this();
    std::set<std::uint32_t> displays;
    for (const auto& c : viewers()) displays.insert(c->displayID());
    try {
        co_await s_.streams.start(displays, clients_, maxCaptureWidth(quality_), shareSound_,
                                  restart);
        setIsStreaming(s_.streams.hasPipelines());
        setLastError(std::nullopt);
    } catch (const std::exception& e) {
        setLastError(std::string(e.what()));
        setIsStreaming(s_.streams.hasPipelines());
    }
}

void HostController::spawnUpdate(bool restart) {
    spawnDetached([restart](HostController& self) { return self.updateStreams(restart); });
}

}  // namespace orvane

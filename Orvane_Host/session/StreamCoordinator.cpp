#include "Orvane_Host/session/StreamCoordinator.h"

#include <algorithm>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <set>

#include "OrvaneKit/protocol/Json.h"

namespace orvane {

namespace {

template <class T>
void sendRecord(const std::shared_ptr<RemoteClient>& client, MessageType type, const T& record) {
    if (auto body = json::encode(record)) client->connection->send(type, std::move(*body));
}

}  // namespace

StreamCoordinator::StreamCoordinator(const SessionServices& services, std::weak_ptr<void> core,
                                     Host& host)
    : SessionPart(services, std::move(core)), host_(host) {}

void StreamCoordinator::applyStreamRate() {
    s_.streams.setBitrate(bitrate(host_.quality()), host_.highFrameRate() ? 120 : 60);
}

void StreamCoordinator::sendAudioFormat(const Clients& to) {
    onMainActor();
    Clients targets;
    for (const auto& c : to)
        if (c->authorized()) targets.push_back(c);
    auto format = s_.streams.audioFormat();
    if (!format) return;
    auto body = json::encode(*format);
    if (!body) return;
    for (const auto& c : targets) c->sendAudioFormat(*body);
}

void StreamCoordinator::applyCurtain() {
    onMainActor();
    Clients controllers;
    for (const auto& c : host_.viewers())
        if (c->canControl()) controllers.push_back(c);
    std::function<void()> stop = whileAlive([this] { host_.stopFromMac(); });
    bool changedCurtain = s_.overlays.setCurtain(host_.blankScreen() && !controllers.empty(), stop);
    if (auto refused = s_.overlays.takeCurtainError()) host_.setLastError(std::move(refused));
    if (changedCurtain && host_.isStreaming()) spawnUpdate(true);
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

void StreamCoordinator::chooseCodec() {
    onMainActor();
    auto list = host_.viewers();
    std::vector<bool> hevc;
    bool allHDR = true;
    for (const auto& c : list) {
        auto h = c->hello();
        hevc.push_back(h && h->supportsHEVC.value_or(false));
        allHDR = allHDR && h && h->supportsHDR.value_or(false);
    }
    VideoCodec codec = useHEVC(host_.preferHEVC(), hevc) ? VideoCodec::hevc : VideoCodec::h264;
    bool hdr = host_.preferHDR() && codec == VideoCodec::hevc &&
               s_.screens.anyScreenSupportsEDR() && allHDR;
    if (codec == host_.activeCodec() && hdr == host_.activeHDR()) return;
    bool hdrChanged = hdr != host_.activeHDR();
    host_.setActiveCodec(codec);
    host_.setActiveHDR(hdr);
    if (hdrChanged) {
        s_.streams.storeCodec(codec, hdr);
        if (host_.isStreaming()) spawnUpdate(true);
    } else {
        s_.streams.setCodec(codec, hdr);
    }
}

asio::awaitable<void> StreamCoordinator::updateStreams(bool restart) {
    onMainActor();
    auto keep = keepCore();
    restartWanted_ = restartWanted_ || restart;
    const std::uint64_t mine = ++requested_;
    while (updating_) {
        auto turn = std::make_shared<asio::steady_timer>(co_await asio::this_coro::executor,
                                                         asio::steady_timer::time_point::max());
        waiting_.push_back(turn);
        std::error_code woken;
        co_await turn->async_wait(asio::redirect_error(asio::use_awaitable, woken));
    }
    // A start that began after this request has already done what it asked.
    if (covered_ >= mine) co_return;
    updating_ = true;
    covered_ = requested_;
    const bool restartNow = std::exchange(restartWanted_, false);
    std::set<std::uint32_t> displays;
    for (const auto& c : host_.viewers()) displays.insert(c->displayID());
    try {
        co_await s_.streams.start(displays, videoTargets(host_.clients()),
                                  maxCaptureWidth(host_.quality()), host_.shareSound(), restartNow);
        host_.setIsStreaming(s_.streams.hasPipelines());
        // The pictures stream without sound when it cannot be captured; the person should know.
        auto soundProblem = host_.shareSound() ? s_.streams.soundProblem() : std::nullopt;
        host_.setLastError(soundProblem);
    } catch (const std::exception& e) {
        host_.setLastError(std::string(e.what()));
        host_.setIsStreaming(s_.streams.hasPipelines());
    }
    if (!host_.isStreaming())
        awake_.reset();
    else if (!awake_ && s_.awake)
        awake_ = s_.awake->begin("Orvane remote session");
    updating_ = false;
    for (auto& w : std::exchange(waiting_, {}))
        if (auto turn = w.lock()) turn->cancel();
}

void StreamCoordinator::spawnUpdate(bool restart) {
    spawnDetached([this, restart] { return updateStreams(restart); });
}

void StreamCoordinator::spawnStart(std::shared_ptr<RemoteClient> client) {
    spawnDetached([this, client = std::move(client)] { return startStreaming(client); });
}

void StreamCoordinator::spawnStop() {
    spawnDetached([this] { return stopStreaming(); });
}

void StreamCoordinator::displaySelected(std::uint32_t displayID) {
    spawnDetached([this, displayID]() -> asio::awaitable<void> {
        co_await updateStreams(false);
        s_.streams.requestKeyframe(displayID);
        s_.streams.sendKeyframeNow(displayID);
    });
}

void StreamCoordinator::refreshDisplays() {
    onMainActor();
    auto list = s_.screens.shareableDisplays();
    if (!list) {
        host_.setLastError(std::string("Screen Recording permission is needed."));
        host_.setScreenRecordingGranted(false);
        return;
    }
    host_.setDisplays(std::move(*list));
    host_.setScreenRecordingGranted(true);
}

void StreamCoordinator::spawnDisplayChange() {
    spawnDetached([this] { return applyDisplayChange(); });
}

asio::awaitable<void> StreamCoordinator::applyDisplayChange() {
    onMainActor();
    auto keep = keepCore();
    // Taken before the read: a viewer that leaves meanwhile is still told, and its send fails
    // quietly.
    auto viewers = host_.viewers();
    auto before = host_.displays();
    refreshDisplays();
    const auto& now = host_.displays();
    if (viewers.empty() || now == before || now.empty()) co_return;
    auto listed = [&](std::uint32_t id) {
        return std::any_of(now.begin(), now.end(),
                           [&](const DisplayInfo& d) { return d.id == id; });
    };
    std::uint32_t fallback =
        listed(s_.screens.mainDisplayID()) ? s_.screens.mainDisplayID() : now.front().id;
    for (const auto& c : viewers) {
        if (!listed(c->displayID())) c->setDisplayID(fallback);
        sendRecord(c, MessageType::displays, DisplayList{now, c->displayID()});
    }
    co_await updateStreams(true);
    std::set<std::uint32_t> watched;
    for (const auto& c : viewers) watched.insert(c->displayID());
    for (auto id : watched)
        if (s_.streams.hasPipeline(id)) s_.streams.requestKeyframe(id);
}

asio::awaitable<void> StreamCoordinator::startStreaming(std::shared_ptr<RemoteClient> client) {
    onMainActor();
    auto keep = keepCore();
    refreshDisplays();
    const auto& displays = host_.displays();
    if (auto hello = client->hello(); hello && hello->preferredDisplayID) {
        std::uint32_t wanted = *hello->preferredDisplayID;
        if (std::any_of(displays.begin(), displays.end(),
                        [&](const DisplayInfo& d) { return d.id == wanted; }))
            client->setDisplayID(wanted);
    }
    sendRecord(client, MessageType::helloAck,
               HelloAck{host_.machineName(), displays, client->displayID()});
    if (host_.shareSound()) sendAudioFormat({client});
    sendRecord(client, MessageType::permissions,
               SessionPermissions{client->canControl(), client->isSupport});
    chooseCodec();
    sendHostStatus({client});
    applyCurtain();

    bool hadAudio = s_.streams.audioFormat().has_value();
    // A viewer whose display has no pipeline yet would otherwise get another display's video.
    if (!host_.isStreaming() || !s_.streams.hasPipeline(client->displayID())) {
        co_await updateStreams(false);
        // The first viewer's format exists only now that the pipelines run.
        if (host_.shareSound() && !hadAudio) sendAudioFormat({client});
    }
    s_.streams.sendKeyframeNow(client->displayID());
}

void StreamCoordinator::showSharedScreen(const std::shared_ptr<RemoteClient>& client,
                                         bool withoutAsking) {
    onMainActor();
    std::weak_ptr<ISessionConnection> weakConnection = client->connection;
    std::weak_ptr<RemoteClient> weakClient = client;
    std::string name = client->displayName();
    auto opened = s_.shareWindowMaker.open(
        name + "'s Screen",
        [weakConnection] {
            if (auto c = weakConnection.lock()) c->send(MessageType::keyframeRequest, {});
        },
        whileAlive([this, weakClient] { sharedScreenClosed(weakClient); }));
    // Set before the client is authorised: the connection's queue reads it only after that.
    client->screenReceiver = opened.receiver;
    auto windows = host_.shareWindows();
    windows[client->id] = opened.window;
    host_.setShareWindows(std::move(windows));
    client->setAuthorized(true);
    s_.history.recordConnected(*client, withoutAsking);
    host_.publishClients();
    sendRecord(client, MessageType::helloAck, HelloAck{host_.machineName(), {}, 0});
    s_.notifier.post(name + " is sharing their screen", "Close the window to stop.");
}

void StreamCoordinator::sharedScreenClosed(const std::weak_ptr<RemoteClient>& weakClient) {
    auto client = weakClient.lock();
    if (!client) return;
    auto windows = host_.shareWindows();
    windows.erase(client->id);
    host_.setShareWindows(std::move(windows));
    host_.endSession(client, "The Mac closed the shared screen.");
}

void StreamCoordinator::setCanControl(bool canControl,
                                      const std::shared_ptr<RemoteClient>& client) {
    onMainActor();
    client->setCanControl(canControl);
    if (!canControl) s_.injector.releaseAll();
    sendRecord(client, MessageType::permissions,
               SessionPermissions{client->canControl(), client->isSupport});
    host_.publishClients();
    applyCurtain();
}

asio::awaitable<void> StreamCoordinator::stopStreaming() {
    onMainActor();
    auto keep = keepCore();
    auto stopped = s_.streams.stop();
    co_await std::move(stopped);
    host_.setIsStreaming(false);
    awake_.reset();
}

void StreamCoordinator::startStatusTimer() {
    statusTimer_ = s_.timers.every(std::chrono::seconds(5), s_.mainActor.executor(),
                                   whileAlive([this] { statusTick(); }));
}

void StreamCoordinator::stopStatusTimer() {
    statusTimer_.cancel();
    statusTimer_ = {};
}

void StreamCoordinator::statusTick() {
    onMainActor();
    auto list = host_.viewers();
    if (list.empty()) return;
    sendHostStatus(std::move(list));
}

void StreamCoordinator::sendHostStatus(Clients to) {
    HostStatusBuilder& builder = s_.status;
    asio::post(s_.background, [&builder, to = std::move(to)] {
        auto body = json::encode(builder.makeHostStatus());
        if (!body) return;
        for (const auto& c : to) c->connection->send(MessageType::hostStatus, *body);
    });
}

}  // namespace orvane

#include "Orvane_Host/session/RemoteClient.h"

#include "OrvaneKit/base/BoundedText.h"
#include "OrvaneKit/base/Paths.h"
#include "OrvaneKit/files/FileReceiver.h"
#include "OrvaneKit/media/VideoPacket.h"

namespace orvane {

std::shared_ptr<RemoteClient> RemoteClient::make(std::shared_ptr<ISessionConnection> connection,
                                                 const Clock& clock, std::uint32_t mainDisplayID) {
    return std::shared_ptr<RemoteClient>(
        new RemoteClient(std::move(connection), clock, mainDisplayID));
}

RemoteClient::RemoteClient(std::shared_ptr<ISessionConnection> conn, const Clock& clock,
                           std::uint32_t mainDisplayID)
    : id(Uuid::random()),
      connection(std::move(conn)),
      connectedAt(Date::fromTimePoint(clock.wallNow())),
      clock_(clock),
      lastActivity_(clock.monoNow()),
      lastHeard_(lastActivity_),
      displayID_(mainDisplayID) {}

std::filesystem::path RemoteClient::filesFolder() {
    return Paths::downloads() / "Orvane";
}

std::shared_ptr<FileReceiver> RemoteClient::files(const std::filesystem::path& folder) {
    std::lock_guard g(lock_);
    // Making one touches no file and takes no lock.
    if (!files_) files_ = std::make_shared<FileReceiver>(folder);
    return files_;
}

std::optional<Hello> RemoteClient::hello() const {
    std::lock_guard g(lock_);
    return hello_;
}

void RemoteClient::setHello(Hello h) {
    std::lock_guard g(lock_);
    hello_ = std::move(h);
}

bool RemoteClient::authorized() const {
    std::lock_guard g(lock_);
    return authorized_;
}

void RemoteClient::setAuthorized(bool authorized) {
    auto now = clock_.monoNow();
    std::lock_guard g(lock_);
    authorized_ = authorized;
    needsKeyframe_ = true;
    lastHeard_ = now;
}

bool RemoteClient::canControl() const {
    std::lock_guard g(lock_);
    return canControl_;
}

void RemoteClient::setCanControl(bool canControl) {
    std::lock_guard g(lock_);
    canControl_ = canControl;
}

int RemoteClient::inFlight() const {
    std::lock_guard g(lock_);
    return inFlight_;
}

bool RemoteClient::needsKeyframe() const {
    std::lock_guard g(lock_);
    return authorized_ && !isScreenSharerLocked() && needsKeyframe_;
}

MonoTime RemoteClient::lastActivity() const {
    std::lock_guard g(lock_);
    return lastActivity_;
}

void RemoteClient::noteActivity() {
    auto now = clock_.monoNow();
    std::lock_guard g(lock_);
    lastActivity_ = now;
}

MonoTime RemoteClient::lastHeard() const {
    std::lock_guard g(lock_);
    return lastHeard_;
}

void RemoteClient::noteHeard() {
    auto now = clock_.monoNow();
    std::lock_guard g(lock_);
    lastHeard_ = now;
}

std::uint32_t RemoteClient::displayID() const {
    std::lock_guard g(lock_);
    return displayID_;
}

void RemoteClient::setDisplayID(std::uint32_t id) {
    std::lock_guard g(lock_);
    displayID_ = id;
}

bool RemoteClient::isScreenSharerLocked() const {
    return hello_ && hello_->role == ClientRole::screenSharer;
}

bool RemoteClient::isScreenSharer() const {
    std::lock_guard g(lock_);
    return isScreenSharerLocked();
}

std::string RemoteClient::displayName() const {
    std::lock_guard g(lock_);
    // The peer chose it; it reaches the history file, the trusted list, alerts and the log.
    return hello_ ? boundedText(hello_->deviceName) : std::string("Unknown device");
}

std::string RemoteClient::symbolName() const {
    std::lock_guard g(lock_);
    if (!hello_) return "display";
    switch (hello_->platform) {
        case ClientPlatform::mac:
            return "laptopcomputer";
        case ClientPlatform::iPhone:
            return "iphone";
        case ClientPlatform::iPad:
            return "ipad";
        case ClientPlatform::vision:
            return "vision.pro";
        case ClientPlatform::watch:
            return "applewatch";
        case ClientPlatform::unknown:
            break;
    }
    return "display";
}

bool RemoteClient::isBacklogged() const {
    std::lock_guard g(lock_);
    return authorized_ && !isScreenSharerLocked() && inFlight_ > videoWindow - 1;
}

bool RemoteClient::sendVideo(const VideoPacket& packet, const Bytes& serialized) {
    return sendVideo(packet.isKeyframe, serialized);
}

void RemoteClient::sendAudio(const Bytes& packet) {
    {
        std::lock_guard g(lock_);
        if (!authorized_ || !sentAudioFormat_ || isScreenSharerLocked()) return;
    }
    connection->send(MessageType::audio, packet);
}

void RemoteClient::sendAudioFormat(const Bytes& body) {
    connection->send(MessageType::audioFormat, body);
    // Only now: a packet queued before the format would reach the viewer first.
    std::lock_guard g(lock_);
    sentAudioFormat_ = true;
}

bool RemoteClient::sendVideo(bool isKeyframe, Bytes serialized) {
    {
        std::lock_guard g(lock_);
        if (!authorized_ || isScreenSharerLocked()) return true;
        if (needsKeyframe_ && !isKeyframe) return false;
        if (inFlight_ >= videoWindow) {
            // The viewer fell behind: what follows must start from a keyframe.
            needsKeyframe_ = true;
            return false;
        }
        needsKeyframe_ = false;
        ++inFlight_;
    }
    std::weak_ptr<RemoteClient> weak = weak_from_this();
    connection->send(MessageType::video, std::move(serialized), [weak](std::optional<NetError>) {
        if (auto self = weak.lock()) self->frameCompleted();
    });
    return true;
}

std::vector<std::shared_ptr<VideoTarget>> videoTargets(
    const std::vector<std::shared_ptr<RemoteClient>>& clients) {
    return {clients.begin(), clients.end()};
}

void RemoteClient::frameCompleted() {
    std::lock_guard g(lock_);
    if (inFlight_ > 0) --inFlight_;
}

}  // namespace orvane

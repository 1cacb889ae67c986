#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/base/Clock.h"
#include "OrvaneKit/base/Date.h"
#include "OrvaneKit/base/Uuid.h"
#include "OrvaneKit/protocol/Hello.h"
#include "Orvane_Host/capture/VideoTarget.h"
#include "Orvane_Host/session/ISessionConnection.h"

namespace orvane {

struct VideoPacket;
class IScreenReceiver;
class FileReceiver;

// The host's record of one connected peer. Shared by the main actor, the connection's queue and
// the capture queue of the pipeline that streams to it; the fields those share are guarded by
// one lock, held only for the field access or the one decision that needs several of them.
class RemoteClient : public VideoTarget, public std::enable_shared_from_this<RemoteClient> {
public:
    // At most this many video frames wait for their send completion per peer.
    static constexpr int videoWindow = 3;

    static std::shared_ptr<RemoteClient> make(std::shared_ptr<ISessionConnection> connection,
                                              const Clock& clock, std::uint32_t mainDisplayID);

    RemoteClient(const RemoteClient&) = delete;
    RemoteClient& operator=(const RemoteClient&) = delete;

    // Fixed for the record's life.
    const Uuid id;
    const std::shared_ptr<ISessionConnection> connection;
    const Date connectedAt;

    // Main actor only.
    bool isSupport = false;
    std::string address;
    std::optional<std::string> endReason;
    std::shared_ptr<IScreenReceiver> screenReceiver;

    // Where this peer's files go: the Downloads folder's "Orvane".
    static std::filesystem::path filesFolder();
    // This peer's file receiver, made under the lock on first use, for `folder` (the first
    // call's folder holds). The receiver itself is used on the connection queue only.
    std::shared_ptr<FileReceiver> files(const std::filesystem::path& folder);

    // ---- Locked fields ----
    std::optional<Hello> hello() const;
    void setHello(Hello h);
    bool authorized() const;
    // Also arms the keyframe gate and counts as hearing from the peer.
    void setAuthorized(bool authorized);
    bool canControl() const;
    void setCanControl(bool canControl);
    int inFlight() const;
    // While it takes video: just admitted, or it refused a frame.
    bool needsKeyframe() const override;
    // Monotonic: these only ever feed idle and silence durations.
    MonoTime lastActivity() const;
    void noteActivity();
    MonoTime lastHeard() const;
    void noteHeard();
    std::uint32_t displayID() const override;
    void setDisplayID(std::uint32_t id);

    bool isScreenSharer() const;
    // The Hello's device name, else "Unknown device".
    std::string displayName() const;
    std::string symbolName() const;
    // Whether this viewer's window of frames is full.
    bool isBacklogged() const override;
    // Offers one encoded frame; false when it was dropped for this peer (the pipeline then asks
    // for a keyframe), true when it was sent or the peer takes no video.
    bool sendVideo(const VideoPacket& packet, const Bytes& serialized) override;
    bool sendVideo(bool isKeyframe, Bytes serialized);
    // Sound goes only to an authorised viewer that was sent its format, without waiting for
    // the send: packets before the format could not be decoded.
    void sendAudio(const Bytes& packet) override;
    void sendAudioFormat(const Bytes& body);

private:
    RemoteClient(std::shared_ptr<ISessionConnection> connection, const Clock& clock,
                 std::uint32_t mainDisplayID);
    bool isScreenSharerLocked() const;
    void frameCompleted();

    const Clock& clock_;
    mutable std::mutex lock_;
    std::optional<Hello> hello_;
    bool authorized_ = false;
    int inFlight_ = 0;
    bool needsKeyframe_ = true;
    bool canControl_ = true;
    bool sentAudioFormat_ = false;
    MonoTime lastActivity_;
    MonoTime lastHeard_;
    std::uint32_t displayID_;
    std::shared_ptr<FileReceiver> files_;
};

// The clients as the streams see them, in the same order.
std::vector<std::shared_ptr<VideoTarget>> videoTargets(
    const std::vector<std::shared_ptr<RemoteClient>>& clients);

}  // namespace orvane

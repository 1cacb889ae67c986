#pragma once

#include <atomic>
#include <concepts>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/base/NetContext.h"
#include "OrvaneKit/crypto/Random.h"
#include "OrvaneKit/net/ConnState.h"
#include "OrvaneKit/net/SessionParams.h"
#include "OrvaneKit/net/Transport.h"
#include "OrvaneKit/protocol/FrameDecoder.h"
#include "OrvaneKit/protocol/Json.h"
#include "OrvaneKit/protocol/MessageType.h"
#include "OrvaneKit/reach/ConnectionRoute.h"
#include "OrvaneKit/reach/LinkKind.h"
#include "OrvaneKit/security/SecureChannelError.h"
#include "OrvaneKit/security/SecureHandshake.h"
#include "OrvaneKit/security/SecureIdentity.h"
#include "OrvaneKit/security/SecureMessageChannel.h"

namespace orvane {

// What a connection takes from the process: the machine's identity (always), randomness
// (systemRandom() when absent) and, for dialling, the network context.
struct ConnectionEnvironment {
    SecureIdentity* identity = nullptr;
    RandomSource* random = nullptr;
    NetContext* net = nullptr;
};

// One framed, end-to-end sealed message connection over one transport, in the server role (an
// accepted connection) or the client role (a dialled one, optionally pinning the peer's
// identity).
//
// When TLS is up the client sends the secure client hello; the handshake runs unsealed; from
// then on every message is sealed. The owner sees `ready` only once the sealed channel is in
// place; every other transport state passes straight through. A security failure is kept in
// securityFailure(), reported as failed(Err::auth) and followed by a cancel, so `cancelled`
// follows.
//
// Every callback runs on strand(), one at a time: messages arrive in wire order. Sends are
// allowed from any thread; sealing and handing the record to the transport happen under
// sendLock(), so record numbers follow wire order.
//
// Dropping the last reference cancels the transport.
class OrvaneConnection : public std::enable_shared_from_this<OrvaneConnection> {
public:
    using Role = SecureHandshake::Role;
    using MessageHandler = std::function<void(MessageType, Bytes)>;
    using StateHandler = std::function<void(const ConnState&)>;
    using ViabilityHandler = std::function<void(bool)>;
    using SendCompletion = Transport::WriteCompletion;

    using Environment = ConnectionEnvironment;

    // Server role, over an accepted transport that has not started. `accessCode` is the code
    // the listener's TLS key was made from. `holePunched`: it came in over a punched UDP path.
    static std::shared_ptr<OrvaneConnection> makeServer(std::shared_ptr<Transport> connection,
                                                        std::string_view accessCode,
                                                        Environment env = {},
                                                        bool holePunched = false);

    // Client role, dialling `endpoint`. Without `parameters` the session parameters come from
    // the code (cellular allowed only for endpoints that are not local); given parameters are
    // used as they are and mark the path as hole-punched. Throws PlatformError when the TLS
    // settings cannot be applied.
    static std::shared_ptr<OrvaneConnection> makeClient(
        HostPort endpoint, std::string_view accessCode,
        std::optional<std::string> interface = std::nullopt,
        std::optional<SessionParams> parameters = std::nullopt, Environment env = {});

    // Client role over a transport made elsewhere (hole-punched paths, tests).
    static std::shared_ptr<OrvaneConnection> makeClient(std::shared_ptr<Transport> connection,
                                                        std::string_view accessCode,
                                                        std::optional<NetworkEndpoint> endpoint,
                                                        bool holePunched, Environment env = {});

    ~OrvaneConnection();
    OrvaneConnection(const OrvaneConnection&) = delete;
    OrvaneConnection& operator=(const OrvaneConnection&) = delete;

    // Replaceable at any time; they run on strand(). The host installs them before start().
    void setOnMessage(MessageHandler handler);
    void setOnStateChange(StateHandler handler);
    // Linux reports no viability changes; kept for owners that install it anyway.
    void setOnViabilityChange(ViabilityHandler handler);
    // Client role: the identity fingerprint the peer must show. Set before start().
    void setExpectedPeerFingerprint(std::optional<std::string> fingerprint);
    std::optional<std::string> expectedPeerFingerprint() const;

    // Called once.
    void start();
    // Cancels the transport; no message is delivered afterwards. Any thread.
    void cancel();

    // Seals and writes one message. Without a channel (before ready, or after a failed seal) the
    // completion gets Err::notConnected at once on the caller's thread, after the send lock is
    // released, and nothing is written. A body too large for one frame gets Err::invalid.
    // Otherwise the completion runs on strand() once the record is handed to the network.
    void send(MessageType type, Bytes data, SendCompletion done = {});

    // Encodes the body with the shared JSON codec and sends it; a body that cannot be encoded
    // gets Err::invalid at once on the caller's thread, without taking the send lock.
    template <class T>
    requires(!std::same_as<std::remove_cvref_t<T>, Bytes> &&
             !std::same_as<std::remove_cvref_t<T>, ByteView>) void send(MessageType type,
                                                                        const T& body,
                                                                        SendCompletion done = {}) {
        auto bytes = json::encode(body);
        if (!bytes) {
            if (done) done(posixError(Err::invalid, "body cannot be encoded"));
            return;
        }
        send(type, std::move(*bytes), std::move(done));
    }

    // Writes one frame with the bytes unchanged: no sealing, no lock. For the handshake, and for
    // callers that seal themselves: they hold sendLock() from seal to sendRaw, read channel()
    // under it, and send nothing when it is absent or sealing fails.
    void sendRaw(MessageType type, Bytes data, SendCompletion done = {});
    std::mutex& sendLock() { return sendLock_; }
    // Read with sendLock() held.
    const std::shared_ptr<SecureMessageChannel>& channel() const { return channel_; }

    bool isSecure() const { return secure_.load(); }
    std::optional<std::string> peerFingerprint() const;
    std::optional<SecureChannelError> securityFailure() const;

    Role role() const { return role_; }
    bool holePunched() const { return holePunched_; }
    const std::shared_ptr<Transport>& connection() const { return transport_; }
    NetContext::Strand strand() const { return transport_->strand(); }

    // The class of the peer's address: the transport's remote address, else the dialled
    // endpoint.
    ConnectionRoute route() const;
    // The peer's address text without port, IPv4-mapped IPv6 as IPv4; nothing before known.
    std::optional<std::string> remoteHost() const;
    LinkKind linkKind() const;

    // True for a Bonjour service, a ".local" name, "localhost" (exactly), the private, loopback
    // and link-local IPv4 ranges, and fc00::/7, fe80::/10 and ::1.
    static bool isLocalEndpoint(const NetworkEndpoint& endpoint);
    // Waiting or failed with a TLS error: the peer holds another access code.
    static bool isTLSFailure(const ConnState& state) { return isTlsFailure(state); }

private:
    OrvaneConnection(Role role, std::shared_ptr<Transport> transport, std::string_view accessCode,
                     std::optional<NetworkEndpoint> endpoint, bool holePunched, Environment env);

    void onTransportState(const ConnState& state);
    void armRead();
    void onRead(const ReadResult& result);
    void handleFrame(Frame frame);
    void handshakeStep(MessageType type, const Bytes& payload);
    void installChannel(std::shared_ptr<SecureMessageChannel> channel);
    void fail(const SecureChannelError& error);
    void report(const ConnState& state);

    const Role role_;
    const std::shared_ptr<Transport> transport_;
    const std::optional<NetworkEndpoint> endpoint_;
    const bool holePunched_;

    mutable std::mutex mutex_;  // guards the fields up to `sendLock_`
    MessageHandler onMessage_;
    StateHandler onStateChange_;
    ViabilityHandler onViabilityChange_;
    std::optional<std::string> expectedPeerFingerprint_;
    std::optional<std::string> peerFingerprint_;
    std::optional<SecureChannelError> securityFailure_;

    std::mutex sendLock_;
    std::shared_ptr<SecureMessageChannel> channel_;  // written on the strand under sendLock_
    std::atomic<bool> secure_{false};
    std::atomic<bool> started_{false};
    std::atomic<bool> cancelRequested_{false};

    // strand-only
    std::unique_ptr<SecureHandshake> handshake_;
    FrameDecoder decoder_;
    bool stopped_ = false;
};

// The body decoded with the shared JSON codec, or nothing; failures are not reported.
template <class T>
std::optional<T> decodeJSON(ByteView bytes) {
    return json::decode<T>(bytes);
}

}  // namespace orvane

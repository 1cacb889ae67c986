#include "OrvaneKit/protocol/OrvaneConnection.h"

#include <arpa/inet.h>

#include <array>
#include <asio/post.hpp>
#include <stdexcept>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/net/TlsPskDialler.h"
#include "OrvaneKit/reach/NetworkInterface.h"
#include "OrvaneKit/security/AccessCode.h"

namespace orvane {

namespace {

const Logger& log() {
    static const Logger logger{"com.nimbrel.kelsap", "net"};
    return logger;
}

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// A record is the body plus its tag; it must fit one frame the peer accepts.
bool recordFits(std::size_t bodySize) {
    return bodySize <= maxPayloadAfterChannel - SecureMessageChannel::tagSize;
}

}  // namespace

// ---- construction

OrvaneConnection::OrvaneConnection(Role role, std::shared_ptr<Transport> transport,
                                   std::string_view accessCode,
                                   std::optional<NetworkEndpoint> endpoint, bool holePunched,
                                   Environment env)
    : role_(role),
      transport_(std::move(transport)),
      endpoint_(std::move(endpoint)),
      holePunched_(holePunched) {
    if (!env.identity) throw std::invalid_argument("a connection needs the machine's identity");
    SecureIdentity& identity = *env.identity;
    RandomSource& random = env.random ? *env.random : systemRandom();
    handshake_ =
        std::make_unique<SecureHandshake>(role, AccessCode::pskKey(accessCode), identity, random);
}

std::shared_ptr<OrvaneConnection> OrvaneConnection::makeServer(
    std::shared_ptr<Transport> connection, std::string_view accessCode, Environment env,
    bool holePunched) {
    return std::shared_ptr<OrvaneConnection>(new OrvaneConnection(
        Role::server, std::move(connection), accessCode, std::nullopt, holePunched, env));
}

std::shared_ptr<OrvaneConnection> OrvaneConnection::makeClient(
    HostPort endpoint, std::string_view accessCode, std::optional<std::string> interface,
    std::optional<SessionParams> parameters, Environment env) {
    const bool holePunched = parameters.has_value();
    SessionParams params =
        parameters
            ? std::move(*parameters)
            : AccessCode::pskParameters(accessCode, !isLocalEndpoint(NetworkEndpoint{endpoint}));
    if (interface) params.requiredInterface = std::move(interface);
    if (!env.net) throw std::invalid_argument("dialling needs a network context");
    NetContext& net = *env.net;
    auto transport = TlsPskDialler::dial(net, endpoint, params);
    return std::shared_ptr<OrvaneConnection>(
        new OrvaneConnection(Role::client, std::move(transport), accessCode,
                             NetworkEndpoint{std::move(endpoint)}, holePunched, env));
}

std::shared_ptr<OrvaneConnection> OrvaneConnection::makeClient(
    std::shared_ptr<Transport> connection, std::string_view accessCode,
    std::optional<NetworkEndpoint> endpoint, bool holePunched, Environment env) {
    return std::shared_ptr<OrvaneConnection>(new OrvaneConnection(
        Role::client, std::move(connection), accessCode, std::move(endpoint), holePunched, env));
}

OrvaneConnection::~OrvaneConnection() {
    // An owner that drops us without cancelling must not leave the socket open. The transport
    // cancels on its strand; the second post keeps it alive until that has run.
    transport_->cancel();
    asio::post(transport_->strand(), [keep = transport_] {});
}

// ---- owner's settings

void OrvaneConnection::setOnMessage(MessageHandler handler) {
    std::lock_guard lock(mutex_);
    onMessage_ = std::move(handler);
}

void OrvaneConnection::setOnStateChange(StateHandler handler) {
    std::lock_guard lock(mutex_);
    onStateChange_ = std::move(handler);
}

void OrvaneConnection::setOnViabilityChange(ViabilityHandler handler) {
    std::lock_guard lock(mutex_);
    onViabilityChange_ = std::move(handler);
}

void OrvaneConnection::setExpectedPeerFingerprint(std::optional<std::string> fingerprint) {
    std::lock_guard lock(mutex_);
    expectedPeerFingerprint_ = std::move(fingerprint);
}

std::optional<std::string> OrvaneConnection::expectedPeerFingerprint() const {
    std::lock_guard lock(mutex_);
    return expectedPeerFingerprint_;
}

std::optional<std::string> OrvaneConnection::peerFingerprint() const {
    std::lock_guard lock(mutex_);
    return peerFingerprint_;
}

std::optional<SecureChannelError> OrvaneConnection::securityFailure() const {
    std::lock_guard lock(mutex_);
    return securityFailure_;
}

// ---- running

void OrvaneConnection::start() {
    if (started_.exchange(true)) return;
    transport_->setStateHandler([weak = weak_from_this()](const ConnState& state) {
        if (auto self = weak.lock()) self->onTransportState(state);
    });
    transport_->start();
}

void OrvaneConnection::cancel() {
    cancelRequested_ = true;
    transport_->cancel();
}

void OrvaneConnection::report(const ConnState& state) {
    StateHandler handler;
    {
        std::lock_guard lock(mutex_);
        handler = onStateChange_;
    }
    if (handler) handler(state);
}

void OrvaneConnection::onTransportState(const ConnState& state) {
    if (!std::holds_alternative<conn::Ready>(state)) {
        if (std::holds_alternative<conn::Cancelled>(state)) stopped_ = true;
        return report(state);
    }
    // TLS is up; the owner hears of readiness only once the channel is installed.
    armRead();
    if (role_ != Role::client || stopped_) return;
    try {
        sendRaw(MessageType::secureClientHello, handshake_->makeClientHello());
    } catch (const SecureChannelError& e) {
        fail(e);
    } catch (const std::exception&) {
        fail(SecureChannelError::malformed());
    }
}

void OrvaneConnection::armRead() {
    transport_->read([weak = weak_from_this()](const ReadResult& result) {
        if (auto self = weak.lock()) self->onRead(result);
    });
}

void OrvaneConnection::onRead(const ReadResult& result) {
    if (stopped_) return;
    // A read error ends the loop; the transport reports the failure itself.
    if (result.error) return;
    if (result.eof) {
        stopped_ = true;
        transport_->cancel();
        return;
    }
    decoder_.append(result.data);
    while (!stopped_ && !cancelRequested_) {
        auto frame = decoder_.next();
        if (!frame) break;
        handleFrame(std::move(*frame));
    }
    if (stopped_ || cancelRequested_) return;
    if (decoder_.failed()) {
        log().notice("frame of {} bytes refused", *decoder_.rejectedLength());
        return fail(SecureChannelError::malformed());
    }
    armRead();
}

void OrvaneConnection::handleFrame(Frame frame) {
    if (isHandshake(frame.type)) {
        if (channel_) return fail(SecureChannelError::outOfOrder());
        return handshakeStep(frame.type, frame.payload);
    }
    // Nothing but the handshake counts before the channel exists.
    if (!channel_) return;
    // Opened even when nobody listens: the receive counter must advance with every record.
    Bytes& record = frame.payload;
    try {
        std::size_t n = channel_->openInto(record, record);
        record.resize(n);
    } catch (const std::exception&) {
        return fail(SecureChannelError::tampered());
    }
    MessageHandler handler;
    {
        std::lock_guard lock(mutex_);
        handler = onMessage_;
    }
    if (handler) handler(frame.type, std::move(record));
}

void OrvaneConnection::handshakeStep(MessageType type, const Bytes& payload) {
    try {
        if (role_ == Role::server) {
            if (type == MessageType::secureClientHello)
                return sendRaw(MessageType::secureServerHello,
                               handshake_->respondToClientHello(payload));
            if (type == MessageType::secureFinish)
                return installChannel(handshake_->acceptFinish(payload));
            return fail(SecureChannelError::outOfOrder());
        }
        if (type != MessageType::secureServerHello) return fail(SecureChannelError::outOfOrder());
        auto result = handshake_->handleServerHello(payload);
        const auto& peer = handshake_->peerIdentity();
        std::string got = SecureIdentity::fingerprint(peer ? ByteView(*peer) : ByteView());
        if (auto expected = expectedPeerFingerprint(); expected && *expected != got)
            return fail(SecureChannelError::identityChanged(*expected, got));
        // The finish goes on the wire before any sealed message can be sent.
        sendRaw(MessageType::secureFinish, std::move(result.finish));
        installChannel(std::move(result.channel));
    } catch (const SecureChannelError& e) {
        fail(e);
    } catch (const std::exception&) {
        fail(SecureChannelError::malformed());
    }
}

void OrvaneConnection::installChannel(std::shared_ptr<SecureMessageChannel> channel) {
    {
        const auto& peer = handshake_->peerIdentity();
        std::lock_guard lock(mutex_);
        peerFingerprint_ =
            peer ? std::optional<std::string>(SecureIdentity::fingerprint(*peer)) : std::nullopt;
    }
    {
        std::lock_guard lock(sendLock_);
        channel_ = std::move(channel);
    }
    secure_ = true;
    decoder_.setChannelEstablished(true);
    report(conn::Ready{});
}

void OrvaneConnection::fail(const SecureChannelError& error) {
    if (stopped_) return;
    stopped_ = true;
    {
        std::lock_guard lock(mutex_);
        securityFailure_ = error;
    }
    log().notice("secure channel failed ({}): {}", SecureChannelError::kindName(error.kind()),
                 error.description());
    report(conn::Failed{posixError(Err::auth, error.description())});
    transport_->cancel();
}

// ---- sending

void OrvaneConnection::send(MessageType type, Bytes data, SendCompletion done) {
    if (!recordFits(data.size())) {
        if (done) done(posixError(Err::invalid, "message too large"));
        return;
    }
    bool sent = false;
    {
        std::lock_guard lock(sendLock_);
        if (channel_) {
            try {
                const std::size_t bodySize = data.size();
                data.resize(bodySize + SecureMessageChannel::tagSize);
                std::size_t n = channel_->sealInto(ByteView(data.data(), bodySize), data);
                data.resize(n);
                sendRaw(type, std::move(data), std::move(done));
                sent = true;
            } catch (const std::exception&) {
                // The record number is used up either way; nothing more can be sent.
            }
        }
    }
    // Outside the lock, so a completion may send again on this connection.
    if (!sent && done) done(posixError(Err::notConnected, "no secure channel"));
}

void OrvaneConnection::sendRaw(MessageType type, Bytes data, SendCompletion done) {
    if (!payloadFitsFrame(data.size())) {
        if (done) done(posixError(Err::invalid, "message too large"));
        return;
    }
    auto header = encodeHeader(type, static_cast<std::uint32_t>(data.size()));
    std::vector<Bytes> buffers;
    buffers.reserve(2);
    buffers.emplace_back(header.begin(), header.end());
    buffers.push_back(std::move(data));
    transport_->write(std::move(buffers), std::move(done));
}

// ---- where the peer is

std::optional<std::string> OrvaneConnection::remoteHost() const {
    if (auto remote = transport_->remoteEndpoint()) return normalizedHostText(remote->host);
    return std::nullopt;
}

ConnectionRoute OrvaneConnection::route() const {
    std::optional<std::string> host = remoteHost();
    if (!host && endpoint_) host = normalizedHostText(routeHostString(*endpoint_));
    return classifyRoute(host, holePunched_);
}

LinkKind OrvaneConnection::linkKind() const {
    return linkKindOf(transport_->localInterfaceName());
}

bool OrvaneConnection::isLocalEndpoint(const NetworkEndpoint& endpoint) {
    const auto* hp = std::get_if<HostPort>(&endpoint);
    if (!hp) return true;
    const std::string& host = hp->host;
    std::array<std::uint8_t, 16> b{};
    if (inet_pton(AF_INET, host.c_str(), b.data()) == 1) {
        return b[0] == 10 || b[0] == 127 || (b[0] == 169 && b[1] == 254) ||
               (b[0] == 172 && (b[1] & 0xF0) == 16) || (b[0] == 192 && b[1] == 168);
    }
    std::string bare = host.substr(0, host.find('%'));
    if (inet_pton(AF_INET6, bare.c_str(), b.data()) == 1) {
        if ((b[0] & 0xFE) == 0xFC) return true;                  // fc00::/7
        if (b[0] == 0xFE && (b[1] & 0xC0) == 0x80) return true;  // fe80::/10
        std::array<std::uint8_t, 16> loopback{};
        loopback[15] = 1;
        return b == loopback;
    }
    return endsWith(host, ".local") || host == "localhost";
}

}  // namespace orvane

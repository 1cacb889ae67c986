#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/base/Errors.h"
#include "OrvaneKit/base/SettingsStore.h"
#include "OrvaneKit/net/Transport.h"
#include "OrvaneKit/reach/Connector.h"
#include "OrvaneKit/reach/STUN.h"

namespace orvane {

// Meeting a machine when both ends sit behind NATs that no router mapping opened: each end
// learns its public UDP address by STUN, the viewer leaves its own in the owner's cloud store,
// the machine punches its NAT towards it from its QUIC port, and the viewer dials QUIC from the
// port its STUN exchange used. Off unless the user turns "natHolePunch" on.
namespace NATHolePunch {
inline constexpr const char* defaultsKey = "natHolePunch";
// "host:port" of the STUN server to ask instead of the public one.
inline constexpr const char* stunServerKey = "natStunServer";
inline constexpr const char* alpn = "kelsap-hp";
inline constexpr const char* identity = "kelsap";
inline constexpr const char* logSubsystem = "com.nimbrel.kelsap";
inline constexpr const char* logCategory = "nat";
inline constexpr double stunTimeoutSeconds = 4.0;
// The machine punches only towards a viewer address younger than this.
inline constexpr double candidateMaxAgeSeconds = 120.0;

bool isEnabled(const SettingsStore& settings);
// The server under "natStunServer" when it reads as "host:port" (or "[v6]:port") with a port
// of 1 to 65535, else the public one.
HostPort stunServer(const SettingsStore& settings);
// Parses "host:port" / "[v6]:port"; none for anything else.
std::optional<HostPort> parseHostPort(const std::string& text);
}  // namespace NATHolePunch

// What both ends of a punched path agree on: QUIC v1 under ALPN "kelsap-hp", TLS 1.3 with the
// access code's pre-shared key (identity "kelsap", suite TLS_AES_128_GCM_SHA256), carrying the
// session's framed messages; a viewer also leaves from the port its STUN exchange used.
struct HolePunchParameters {
    Bytes key;  // AccessCode::pskKey of the code: 32 bytes
    std::optional<std::uint16_t> localPort;
    QuicPath path() const { return {localPort}; }
};
HolePunchParameters holePunchParameters(const std::string& accessCode,
                                        std::optional<std::uint16_t> localPort = std::nullopt);

// The key a listener uses for its next handshake; read at each one, so code changes apply.
using PunchKeySource = std::function<Bytes()>;

// The machine's QUIC listener for punched paths. New connections are handed over unstarted, at
// their first packet, before any TLS; `sendRaw` leaves from the listener's own socket (a second
// socket on the same port would capture the viewer's packets).
class HolePunchListener {
public:
    using ConnectionHandler = std::function<void(std::shared_ptr<Transport>)>;
    virtual ~HolePunchListener() = default;
    // Install before start().
    virtual void setConnectionHandler(ConnectionHandler handler) = 0;
    // Binds the port (which may have just served a STUN exchange) and listens; the error when
    // it cannot.
    virtual std::optional<NetError> start() = 0;
    virtual void cancel() = 0;
    // Any thread; `destination` is a numeric address.
    virtual void sendRaw(HostPort destination, Bytes datagram) = 0;
    virtual std::uint16_t port() const = 0;
};

// Makes an idle listener for `port` on the keys `key` gives.
using HolePunchListenerFactory =
    std::function<std::shared_ptr<HolePunchListener>(std::uint16_t port, PunchKeySource key)>;

// One STUN exchange: STUNClient::discover in production, scripted in tests.
using STUNDiscover =
    std::function<void(asio::any_io_executor executor, HostPort server,
                       std::chrono::duration<double> timeout, STUNClient::Done done)>;

}  // namespace orvane

#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/base/NetContext.h"
#include "OrvaneKit/net/Transport.h"

namespace orvane {

// Session connections over QUIC v1, for paths that only UDP crosses (a punched NAT). Each
// connection carries the session's byte stream on one client-opened bidirectional stream and is
// authenticated by TLS 1.3 over the access code's pre-shared key (identity "kelsap", suite
// TLS_AES_128_GCM_SHA256, ALPN "kelsap-hp"); a key mismatch fails both ends with a TLS error.
struct QuicSettings {
    static constexpr const char* identity = "kelsap";
    static constexpr const char* alpn = "kelsap-hp";

    // Keeps NAT bindings open on a quiet session; well under the idle time-out.
    std::chrono::milliseconds keepAlive{10'000};
    std::chrono::milliseconds idleTimeout{30'000};
    std::chrono::milliseconds handshakeTimeout{10'000};
    // Video runs on one stream: windows of several MiB, extended as the reader takes bytes.
    std::uint64_t streamWindow = 8u << 20;
    std::uint64_t connectionWindow = 16u << 20;
};

// The key for the next handshake (32 bytes), read when a viewer's first flight arrives, so a
// code changed in between is the one used. Empty: no code, every handshake fails.
using QuicKeySource = std::function<Bytes()>;

// Dials `remote` (a numeric address: punched paths come from STUN) from its own UDP socket, bound
// to `localPort` when given (a punched path must leave from the port the NAT mapping was made for).
// The transport is idle until start(). Before the handshake completes, no answer within the
// handshake time-out reports waiting(ETIMEDOUT): unanswered packets and ICMP errors are normal
// while a far NAT is still closed. With `interface` the socket uses only that interface; when it
// cannot, the transport fails at start with the reason.
std::shared_ptr<Transport> dialQuic(NetContext& net, HostPort remote, Bytes key,
                                    std::optional<std::uint16_t> localPort = std::nullopt,
                                    QuicSettings settings = {},
                                    std::optional<std::string> interface = std::nullopt);

// Accepts QUIC connections on one UDP socket, many per port, routed by connection ID; anything
// that is not QUIC (such as punch datagrams) is dropped. A new connection is handed over,
// unstarted, at its first Initial packet: no TLS has run and nothing has been sent, so the owner
// may still refuse the address by cancelling it (the peer then gets no answer at all). Its
// packets wait until start().
//
// After a local handshake failure a connection keeps answering the peer's retransmissions with
// its close for a short closing period, so a lost close never turns a wrong code into a
// time-out at the viewer.
class QuicServerEndpoint : public std::enable_shared_from_this<QuicServerEndpoint> {
public:
    static constexpr std::size_t maxUnstarted = 128;

    struct Options {
        std::uint16_t port = 0;
        std::optional<std::string> bindAddress;  // default 0.0.0.0
        QuicKeySource key;
        QuicSettings settings;
    };
    using ConnectionHandler = std::function<void(std::shared_ptr<Transport>)>;

    static std::shared_ptr<QuicServerEndpoint> make(NetContext& net, Options options);
    ~QuicServerEndpoint();

    // Install before start(); runs on strand().
    void setConnectionHandler(ConnectionHandler handler);
    // Binds the socket (with SO_REUSEADDR) and starts receiving; the error when it cannot bind.
    std::optional<NetError> start();
    void cancel();

    // Sends one datagram from the endpoint's own socket (a second socket on the same port
    // would capture the peer's packets). Callable from any thread.
    void sendRaw(HostPort destination, Bytes datagram);

    // The bound port once started (the chosen one when asked for 0), else 0. Any thread.
    std::uint16_t port() const;
    NetContext::Strand strand() const;

private:
    struct Impl;
    explicit QuicServerEndpoint(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

}  // namespace orvane

#pragma once

#include <asio/ip/tcp.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "OrvaneKit/base/NetContext.h"
#include "OrvaneKit/net/ConnState.h"
#include "OrvaneKit/net/SessionParams.h"
#include "OrvaneKit/net/Transport.h"

namespace orvane {

class TlsPskContext;

// Listens for session connections: TCP on a dual-stack [::] socket (IPv4 only where the system
// has no IPv6), TLS with the key of `params.tls`. Each accepted socket is handed over as a
// transport that has not started: no TLS byte has been read or written yet, so the owner may
// still refuse the address by cancelling it.
//
// States: ready once listening, failed(e) when the port cannot be bound or accepting breaks
// (the socket is then closed), cancelled exactly once after cancel().
class TlsPskListener : public std::enable_shared_from_this<TlsPskListener> {
public:
    static constexpr std::uint16_t defaultPort = 5895;

    struct Options {
        std::uint16_t port = defaultPort;
        std::optional<std::string> bindAddress;  // default: every interface
        SessionParams params;
    };
    using StateHandler = std::function<void(const ConnState&)>;
    using ConnectionHandler = std::function<void(std::shared_ptr<Transport>)>;

    // Throws PlatformError when the TLS settings cannot be applied.
    static std::shared_ptr<TlsPskListener> make(NetContext& net, Options options);
    ~TlsPskListener();

    // Install both before start(); they run on the listener's strand.
    void setStateHandler(StateHandler handler);
    void setNewConnectionHandler(ConnectionHandler handler);
    void start();
    void cancel();
    // Connections accepted from now on use `params`; the listening socket stays open, so nothing
    // waiting in the accept backlog is dropped and the port is never closed. Throws
    // PlatformError when the TLS settings cannot be applied, and then changes nothing.
    void rekey(const SessionParams& params);

    // The bound port once ready (the chosen one when asked for port 0), else 0. Any thread.
    std::uint16_t port() const;
    NetContext::Strand strand() const { return strand_; }

private:
    TlsPskListener(NetContext& net, Options options);
    void doStart();
    void acceptNext();
    void report(const ConnState& state);
    void fail(NetError error);

    NetContext& net_;
    Options options_;
    NetContext::Strand strand_;
    std::shared_ptr<TlsPskContext> tls_;
    asio::ip::tcp::acceptor acceptor_;
    std::optional<asio::ip::tcp::socket> incoming_;

    mutable std::mutex mutex_;
    StateHandler stateHandler_;
    ConnectionHandler connectionHandler_;
    std::uint16_t boundPort_ = 0;

    // strand-only
    bool started_ = false;
    bool closed_ = false;
    bool cancelled_ = false;
};

}  // namespace orvane

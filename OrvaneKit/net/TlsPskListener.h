#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
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
// Connections whose TLS handshake has not finished hold a socket on nothing but the peer's word.
// Beyond a number of them from one address, or in all, a new connection is closed as soon as it
// is accepted, before any TLS byte, and never handed over; a slot frees once TLS is up or the
// connection ends.
//
// States: ready once listening, failed(e) when the port cannot be bound or accepting breaks
// (the socket is then closed), cancelled exactly once after cancel().
class TlsPskListener : public std::enable_shared_from_this<TlsPskListener> {
public:
    static constexpr std::uint16_t defaultPort = 5895;
    // A few devices behind one address dial at once; a scanner or a flood of silent sockets from
    // one address is held to this many.
    static constexpr std::size_t maxUnfinishedPerAddress = 16;
    // Keeps sockets for every admitted viewer and the process's own files well under the usual
    // limit of 1024 descriptors, whatever number of addresses a flood comes from.
    static constexpr std::size_t maxUnfinishedTotal = 128;

    struct Options {
        std::uint16_t port = defaultPort;
        std::optional<std::string> bindAddress;  // default: every interface
        SessionParams params;
        std::size_t unfinishedPerAddress = maxUnfinishedPerAddress;
        std::size_t unfinishedTotal = maxUnfinishedTotal;
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

    // Connections refused so far for too many unfinished handshakes. Any thread.
    std::size_t refusedCount() const;

private:
    struct Unfinished;

    TlsPskListener(NetContext& net, Options options);
    void refuse(asio::ip::tcp::socket& socket, const std::string& address);
    void pauseAccepting(const NetError& error);
    void doStart();
    void acceptNext();
    void report(const ConnState& state);
    void fail(NetError error);

    NetContext& net_;
    Options options_;
    NetContext::Strand strand_;
    std::shared_ptr<TlsPskContext> tls_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer retryTimer_;
    std::optional<asio::ip::tcp::socket> incoming_;

    const std::shared_ptr<Unfinished> unfinished_;

    mutable std::mutex mutex_;
    StateHandler stateHandler_;
    ConnectionHandler connectionHandler_;
    std::uint16_t boundPort_ = 0;
    std::size_t refused_ = 0;
    std::size_t refusedUnlogged_ = 0;
    std::chrono::steady_clock::time_point lastRefusalLog_{};

    // strand-only
    bool started_ = false;
    bool closed_ = false;
    bool cancelled_ = false;
    bool acceptPaused_ = false;
};

}  // namespace orvane

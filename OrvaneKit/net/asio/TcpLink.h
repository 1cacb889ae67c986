#pragma once

#include <array>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <deque>
#include <memory>

#include "OrvaneKit/net/ByteLink.h"
#include "OrvaneKit/net/SessionParams.h"

namespace orvane {

// A ByteLink over a TCP socket, all of its work on the owner's strand.
class TcpLink final : public ByteLink, public std::enable_shared_from_this<TcpLink> {
public:
    using Strand = NetContext::Strand;

    // An accepted socket; the session's socket options are applied at once, before any byte.
    // Returns the errno of an option the system refused through `error`.
    static std::shared_ptr<TcpLink> adopt(Strand strand, asio::ip::tcp::socket socket,
                                          const SessionParams& params,
                                          std::optional<NetError>& error);
    // A socket yet to be connected to `target` (resolved when it is a name) by open().
    static std::shared_ptr<TcpLink> dial(Strand strand, HostPort target, SessionParams params);

    void open(OpenHandler done) override;
    void readSome(ReadHandler handler) override;
    void write(Bytes data, WriteHandler done) override;
    void close(bool linger) override;
    std::optional<HostPort> remoteEndpoint() const override { return remote_; }
    std::string localInterfaceName() const override { return interface_; }

    int nativeHandle() { return socket_.native_handle(); }

private:
    TcpLink(Strand strand, SessionParams params);
    void connectNext(std::shared_ptr<std::vector<asio::ip::tcp::endpoint>> endpoints,
                     std::size_t index, std::optional<NetError> lastError, OpenHandler done);
    std::optional<NetError> prepareConnected();
    void writeNext();
    void finishClose();

    Strand strand_;
    SessionParams params_;
    asio::ip::tcp::socket socket_;
    asio::ip::tcp::resolver resolver_;
    asio::steady_timer lingerTimer_;
    std::optional<HostPort> target_;
    std::optional<HostPort> remote_;
    std::string interface_;
    std::array<std::uint8_t, 64 * 1024> readBuffer_;
    struct Out {
        Bytes data;
        WriteHandler done;
    };
    std::deque<Out> writes_;
    bool writing_ = false;
    bool closed_ = false;     // no more callbacks
    bool lingering_ = false;  // closed, but queued writes still go out
};

// The textual form of an address as peers and guards see it: IPv4-mapped IPv6 becomes a.b.c.d.
std::string addressText(const asio::ip::address& address);
// The name of the local interface that holds `address`, or "".
std::string interfaceNameFor(const asio::ip::address& address);
NetError netErrorFrom(const std::error_code& ec);

}  // namespace orvane

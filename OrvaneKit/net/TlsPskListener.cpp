#include "OrvaneKit/net/TlsPskListener.h"

#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <cerrno>

#include "OrvaneKit/net/TlsPskTransport.h"
#include "OrvaneKit/net/asio/TcpLink.h"
#include "OrvaneKit/net/openssl/TlsPskContext.h"

namespace orvane {

std::shared_ptr<TlsPskListener> TlsPskListener::make(NetContext& net, Options options) {
    return std::shared_ptr<TlsPskListener>(new TlsPskListener(net, std::move(options)));
}

TlsPskListener::TlsPskListener(NetContext& net, Options options)
    : net_(net),
      options_(std::move(options)),
      strand_(net.makeStrand("orvane.listener")),
      tls_(TlsPskContext::make(TlsPskContext::Role::server, options_.params.tls)),
      acceptor_(strand_) {}

TlsPskListener::~TlsPskListener() {
    // Only reached once no handler holds us, so nothing else touches the acceptor.
    std::error_code ec;
    acceptor_.close(ec);
}

void TlsPskListener::setStateHandler(StateHandler handler) {
    std::lock_guard lock(mutex_);
    stateHandler_ = std::move(handler);
}

void TlsPskListener::setNewConnectionHandler(ConnectionHandler handler) {
    std::lock_guard lock(mutex_);
    connectionHandler_ = std::move(handler);
}

std::uint16_t TlsPskListener::port() const {
    std::lock_guard lock(mutex_);
    return boundPort_;
}

void TlsPskListener::report(const ConnState& state) {
    StateHandler handler;
    {
        std::lock_guard lock(mutex_);
        handler = stateHandler_;
    }
    if (handler) handler(state);
}

void TlsPskListener::rekey(const SessionParams& params) {
    auto tls = TlsPskContext::make(TlsPskContext::Role::server, params.tls);
    asio::post(strand_, [self = shared_from_this(), tls = std::move(tls), params] {
        self->tls_ = tls;
        self->options_.params = params;
    });
}

void TlsPskListener::start() {
    asio::post(strand_, [self = shared_from_this()] { self->doStart(); });
}

void TlsPskListener::doStart() {
    if (started_ || closed_) return;
    started_ = true;
    using asio::ip::tcp;
    std::error_code ec;
    tcp::endpoint endpoint;
    if (options_.bindAddress) {
        auto address = asio::ip::make_address(*options_.bindAddress, ec);
        if (ec) return fail(posixError(EINVAL, "invalid listen address " + *options_.bindAddress));
        endpoint = tcp::endpoint(address, options_.port);
        acceptor_.open(endpoint.protocol(), ec);
    } else {
        // Dual stack where IPv6 exists; IPv4 alone otherwise.
        endpoint = tcp::endpoint(tcp::v6(), options_.port);
        acceptor_.open(tcp::v6(), ec);
        if (!ec) acceptor_.set_option(asio::ip::v6_only(false), ec);
        if (ec) {
            std::error_code ignored;
            acceptor_.close(ignored);
            endpoint = tcp::endpoint(tcp::v4(), options_.port);
            ec.clear();
            acceptor_.open(tcp::v4(), ec);
        }
    }
    if (!ec && options_.params.allowLocalEndpointReuse)
        acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor_.bind(endpoint, ec);
    if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) return fail(netErrorFrom(ec));
    {
        std::lock_guard lock(mutex_);
        boundPort_ = acceptor_.local_endpoint(ec).port();
    }
    report(conn::Ready{});
    acceptNext();
}

void TlsPskListener::acceptNext() {
    if (closed_) return;
    auto connectionStrand = net_.makeStrand("orvane.connection");
    incoming_.emplace(connectionStrand);
    acceptor_.async_accept(
        *incoming_, [self = shared_from_this(), connectionStrand](std::error_code ec) {
            if (self->closed_) return;
            if (ec) {
                // Failures of one half-open connection leave the listener as it is.
                if (ec == asio::error::connection_aborted || ec == asio::error::connection_reset ||
                    ec.value() == EPROTO || ec == asio::error::try_again ||
                    ec == asio::error::interrupted)
                    return self->acceptNext();
                return self->fail(netErrorFrom(ec));
            }
            std::optional<NetError> error;
            auto link = TcpLink::adopt(connectionStrand, std::move(*self->incoming_),
                                       self->options_.params, error);
            self->incoming_.reset();
            if (error) {
                link->close(false);
                return self->acceptNext();
            }
            auto transport = TlsPskTransport::make(
                connectionStrand, link, std::make_unique<TlsPskSession>(self->tls_), false);
            ConnectionHandler handler;
            {
                std::lock_guard lock(self->mutex_);
                handler = self->connectionHandler_;
            }
            if (handler)
                handler(std::move(transport));
            else
                transport->cancel();
            self->acceptNext();
        });
}

void TlsPskListener::fail(NetError error) {
    if (closed_) return;
    closed_ = true;
    std::error_code ec;
    acceptor_.close(ec);
    report(conn::Failed{std::move(error)});
}

void TlsPskListener::cancel() {
    asio::post(strand_, [self = shared_from_this()] {
        if (self->cancelled_) return;
        self->cancelled_ = true;
        self->closed_ = true;
        std::error_code ec;
        self->acceptor_.close(ec);
        self->report(conn::Cancelled{});
    });
}

}  // namespace orvane

#include "OrvaneKit/net/TlsPskListener.h"

#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <cerrno>
#include <map>
#include <utility>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/net/TlsPskTransport.h"
#include "OrvaneKit/net/asio/TcpLink.h"
#include "OrvaneKit/net/openssl/TlsPskContext.h"

namespace orvane {

namespace {
const Logger& log() {
    static const Logger logger{"com.nimbrel.kelsap", "net"};
    return logger;
}
// Refusals are summed up in the log at most this often, so a flood cannot fill it.
constexpr auto refusalLogInterval = std::chrono::seconds(10);
// How long accepting pauses when the process has no descriptor left for a new socket.
constexpr auto acceptRetryDelay = std::chrono::milliseconds(100);
}  // namespace

// Counts of connections accepted whose TLS is not up yet, per address and in all. Outlives the
// listener while any of its connections holds a slot.
struct TlsPskListener::Unfinished : std::enable_shared_from_this<Unfinished> {
    std::mutex mutex;
    std::map<std::string, std::size_t> perAddress;
    std::size_t total = 0;

    // A slot released when the token goes, or nothing when a limit is reached.
    std::shared_ptr<void> enter(const std::string& address, std::size_t addressLimit,
                                std::size_t totalLimit) {
        {
            std::lock_guard lock(mutex);
            std::size_t& mine = perAddress[address];
            if (mine >= addressLimit || total >= totalLimit) {
                if (mine == 0) perAddress.erase(address);
                return nullptr;
            }
            ++mine;
            ++total;
        }
        return std::make_shared<Slot>(shared_from_this(), address);
    }

    struct Slot {
        std::shared_ptr<Unfinished> owner;
        std::string address;
        Slot(std::shared_ptr<Unfinished> o, std::string a)
            : owner(std::move(o)), address(std::move(a)) {}
        ~Slot() {
            std::lock_guard lock(owner->mutex);
            auto it = owner->perAddress.find(address);
            if (it != owner->perAddress.end() && --it->second == 0) owner->perAddress.erase(it);
            --owner->total;
        }
    };
};

std::shared_ptr<TlsPskListener> TlsPskListener::make(NetContext& net, Options options) {
    return std::shared_ptr<TlsPskListener>(new TlsPskListener(net, std::move(options)));
}

TlsPskListener::TlsPskListener(NetContext& net, Options options)
    : net_(net),
      options_(std::move(options)),
      strand_(net.makeStrand("orvane.listener")),
      tls_(TlsPskContext::make(TlsPskContext::Role::server, options_.params.tls)),
      acceptor_(strand_),
      retryTimer_(strand_),
      unfinished_(std::make_shared<Unfinished>()) {}

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
                // Out of descriptors or memory for now: the connection stays in the backlog and
                // the port open; accepting resumes shortly.
                if (ec.value() == EMFILE || ec.value() == ENFILE || ec.value() == ENOBUFS ||
                    ec.value() == ENOMEM)
                    return self->pauseAccepting(netErrorFrom(ec));
                return self->fail(netErrorFrom(ec));
            }
            self->acceptPaused_ = false;
            std::error_code peerError;
            auto peer = self->incoming_->remote_endpoint(peerError);
            if (peerError) {
                // Reset before it was accepted (a port scan, mostly): nothing is left to serve,
                // and sharing one slot count under no address it would crowd out real peers.
                std::error_code ignored;
                self->incoming_->close(ignored);
                self->incoming_.reset();
                return self->acceptNext();
            }
            const std::string address = addressText(peer.address());
            auto slot = self->unfinished_->enter(address, self->options_.unfinishedPerAddress,
                                                 self->options_.unfinishedTotal);
            if (!slot) {
                self->refuse(*self->incoming_, address);
                self->incoming_.reset();
                return self->acceptNext();
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
            transport->holdUntilEstablished(std::move(slot));
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

void TlsPskListener::pauseAccepting(const NetError& error) {
    incoming_.reset();
    if (!acceptPaused_)
        log().error("cannot accept connections for now: {}; trying until it works",
                    describe(error));
    acceptPaused_ = true;
    retryTimer_.expires_after(acceptRetryDelay);
    retryTimer_.async_wait([self = shared_from_this()](std::error_code ec) {
        if (!ec) self->acceptNext();
    });
}

std::size_t TlsPskListener::refusedCount() const {
    std::lock_guard lock(mutex_);
    return refused_;
}

void TlsPskListener::refuse(asio::ip::tcp::socket& socket, const std::string& address) {
    const auto now = std::chrono::steady_clock::now();
    std::size_t count = 0;
    {
        std::lock_guard lock(mutex_);
        ++refused_;
        ++refusedUnlogged_;
        if (now - lastRefusalLog_ >= refusalLogInterval) {
            lastRefusalLog_ = now;
            count = std::exchange(refusedUnlogged_, 0);
        }
    }
    // Closed at once with a reset: no TLS byte, and no time in TIME_WAIT on our side.
    std::error_code ec;
    socket.set_option(asio::socket_base::linger(true, 0), ec);
    socket.close(ec);
    if (count == 0) return;
    log().notice(
        "refused {} connection(s) before TLS, the latest from {}: too many unfinished "
        "handshakes",
        count, priv(address));
}

void TlsPskListener::fail(NetError error) {
    if (closed_) return;
    closed_ = true;
    std::error_code ec;
    acceptor_.close(ec);
    retryTimer_.cancel();
    report(conn::Failed{std::move(error)});
}

void TlsPskListener::cancel() {
    asio::post(strand_, [self = shared_from_this()] {
        if (self->cancelled_) return;
        self->cancelled_ = true;
        self->closed_ = true;
        std::error_code ec;
        self->acceptor_.close(ec);
        self->retryTimer_.cancel();
        self->report(conn::Cancelled{});
    });
}

}  // namespace orvane

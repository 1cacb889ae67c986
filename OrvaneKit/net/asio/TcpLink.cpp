#include "OrvaneKit/net/asio/TcpLink.h"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <asio/bind_executor.hpp>
#include <asio/connect.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>
#include <cerrno>
#include <cstring>

#include "OrvaneKit/reach/NetworkInterface.h"

namespace orvane {

namespace {
// How long a closing socket may keep flushing its last bytes (a TLS alert or close_notify).
constexpr auto lingerLimit = std::chrono::seconds(2);
}  // namespace

std::string addressText(const asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
    return address.to_string();
}

std::string interfaceNameFor(const asio::ip::address& raw) {
    asio::ip::address address = raw;
    if (raw.is_v6() && raw.to_v6().is_v4_mapped())
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, raw.to_v6());
    // Compared without the IPv6 scope, as the table gives it.
    if (address.is_v6()) address = asio::ip::address_v6(address.to_v6().to_bytes());
    for (const auto& a : interfaceAddresses())
        if (a.address == address) return a.name;
    return {};
}

NetError netErrorFrom(const std::error_code& ec) {
    if (ec.category() == asio::error::get_netdb_category() ||
        ec.category() == asio::error::get_addrinfo_category())
        return NetError{NetError::Kind::dns, ec.value(), ec.message()};
    if (ec == asio::error::eof) return posixError(ECONNRESET, "connection closed by peer");
    if (ec.category() == asio::system_category() || ec.category() == std::generic_category())
        return posixError(ec.value(), ec.message());
    return posixError(EIO, ec.message());
}

TcpLink::TcpLink(Strand strand, SessionParams params)
    : strand_(strand),
      params_(std::move(params)),
      socket_(strand),
      resolver_(strand),
      lingerTimer_(strand) {}

std::shared_ptr<TcpLink> TcpLink::adopt(Strand strand, asio::ip::tcp::socket socket,
                                        const SessionParams& params,
                                        std::optional<NetError>& error) {
    std::shared_ptr<TcpLink> link(new TcpLink(strand, params));
    link->socket_ = std::move(socket);
    error = link->prepareConnected();
    return link;
}

std::shared_ptr<TcpLink> TcpLink::dial(Strand strand, HostPort target, SessionParams params) {
    std::shared_ptr<TcpLink> link(new TcpLink(strand, std::move(params)));
    link->target_ = std::move(target);
    return link;
}

std::optional<NetError> TcpLink::prepareConnected() {
    if (auto e = applySocketOptions(socket_.native_handle(), params_)) return posixError(*e);
    std::error_code ec;
    auto peer = socket_.remote_endpoint(ec);
    if (!ec) remote_ = HostPort{addressText(peer.address()), peer.port()};
    auto local = socket_.local_endpoint(ec);
    if (!ec) interface_ = interfaceNameFor(local.address());
    return std::nullopt;
}

void TcpLink::open(OpenHandler done) {
    if (!target_) {
        asio::post(strand_, [done = std::move(done)] { done(std::nullopt); });
        return;
    }
    auto self = shared_from_this();
    resolver_.async_resolve(
        target_->host, std::to_string(target_->port),
        [self, done = std::move(done)](std::error_code ec,
                                       asio::ip::tcp::resolver::results_type results) mutable {
            if (self->closed_) return;
            if (ec) return done(netErrorFrom(ec));
            auto endpoints = std::make_shared<std::vector<asio::ip::tcp::endpoint>>();
            for (const auto& r : results) endpoints->push_back(r.endpoint());
            self->connectNext(endpoints, 0, std::nullopt, std::move(done));
        });
}

void TcpLink::connectNext(std::shared_ptr<std::vector<asio::ip::tcp::endpoint>> endpoints,
                          std::size_t index, std::optional<NetError> lastError, OpenHandler done) {
    if (index >= endpoints->size())
        return done(lastError ? *lastError : posixError(EHOSTUNREACH, "no address for the host"));
    const auto& endpoint = (*endpoints)[index];
    std::error_code ec;
    socket_.close(ec);
    socket_.open(endpoint.protocol(), ec);
    if (ec) return connectNext(endpoints, index + 1, netErrorFrom(ec), std::move(done));
    // Every address would meet the same refusal: the dial fails with the interface's reason.
    if (params_.requiredInterface)
        if (auto why = bindSocketToInterface(socket_.native_handle(), *params_.requiredInterface))
            return done(*why);
    socket_.async_connect(endpoint, [self = shared_from_this(), endpoints, index,
                                     done = std::move(done)](std::error_code ec) mutable {
        if (self->closed_) return;
        if (ec) return self->connectNext(endpoints, index + 1, netErrorFrom(ec), std::move(done));
        done(self->prepareConnected());
    });
}

void TcpLink::readSome(ReadHandler handler) {
    socket_.async_read_some(
        asio::buffer(readBuffer_), [self = shared_from_this(), handler = std::move(handler)](
                                       std::error_code ec, std::size_t n) {
            if (self->closed_) return;
            if (ec == asio::error::eof) return handler(ReadResult{{}, true, std::nullopt});
            if (ec) return handler(ReadResult{{}, false, netErrorFrom(ec)});
            handler(ReadResult{ByteView(self->readBuffer_.data(), n), false, std::nullopt});
        });
}

void TcpLink::write(Bytes data, WriteHandler done) {
    if (closed_ && !lingering_) return;
    writes_.push_back({std::move(data), std::move(done)});
    writeNext();
}

void TcpLink::writeNext() {
    if (writing_ || writes_.empty()) return;
    writing_ = true;
    asio::async_write(
        socket_, asio::buffer(writes_.front().data),
        [self = shared_from_this()](std::error_code ec, std::size_t) {
            self->writing_ = false;
            if (self->writes_.empty()) return;  // closed meanwhile
            Out out = std::move(self->writes_.front());
            self->writes_.pop_front();
            if (self->lingering_) {
                if (ec || self->writes_.empty()) return self->finishClose();
                return self->writeNext();
            }
            if (self->closed_) return;
            if (out.done) out.done(ec ? std::optional<NetError>(netErrorFrom(ec)) : std::nullopt);
            if (!ec) self->writeNext();
        });
}

void TcpLink::close(bool linger) {
    if (closed_) return;
    closed_ = true;
    std::error_code ec;
    resolver_.cancel();
    if (linger && socket_.is_open() && (writing_ || !writes_.empty())) {
        lingering_ = true;
        for (auto& w : writes_) w.done = nullptr;
        socket_.shutdown(asio::socket_base::shutdown_receive, ec);
        lingerTimer_.expires_after(lingerLimit);
        lingerTimer_.async_wait([self = shared_from_this()](std::error_code ec) {
            if (!ec) self->finishClose();
        });
        writeNext();
        return;
    }
    finishClose();
}

void TcpLink::finishClose() {
    lingering_ = false;
    lingerTimer_.cancel();
    std::error_code ec;
    if (socket_.is_open()) {
        socket_.shutdown(asio::socket_base::shutdown_both, ec);
        socket_.close(ec);
    }
    writes_.clear();
}

}  // namespace orvane

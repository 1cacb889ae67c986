#include "OrvaneKit/reach/STUN.h"

#include <arpa/inet.h>

#include <array>
#include <asio/dispatch.hpp>
#include <asio/ip/udp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <memory>

#include "OrvaneKit/crypto/Random.h"

namespace orvane {

namespace {

constexpr std::uint8_t cookieBytes[4] = {0x21, 0x12, 0xA4, 0x42};
constexpr std::uint16_t mappedAddress = 0x0001;
constexpr std::uint16_t xorMappedAddress = 0x0020;
constexpr std::size_t headerSize = 20;

std::uint16_t be16(ByteView b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
}

}  // namespace

Bytes STUN::transactionID() {
    return randomBytes(transactionIDSize);
}

Bytes STUN::bindingRequest(ByteView transactionID) {
    Bytes out = {0x00,           0x01,           0x00,           0x00,
                 cookieBytes[0], cookieBytes[1], cookieBytes[2], cookieBytes[3]};
    Bytes id(transactionID.begin(),
             transactionID.begin() + std::min(transactionID.size(), transactionIDSize));
    id.resize(transactionIDSize, 0);
    out.insert(out.end(), id.begin(), id.end());
    return out;
}

std::optional<STUNReflexive> STUN::decodeAddress(ByteView value, bool xorCoded,
                                                 ByteView transactionID) {
    if (value.size() < 4) return std::nullopt;
    std::uint8_t family = value[1];
    std::uint16_t port = be16(value, 2);
    if (xorCoded) port ^= 0x2112;
    if (family == 0x02) {
        if (value.size() < 20) return std::nullopt;
        std::array<std::uint8_t, 16> a;
        std::copy(value.begin() + 4, value.begin() + 20, a.begin());
        if (xorCoded) {
            if (transactionID.size() != transactionIDSize) return std::nullopt;
            for (int i = 0; i < 4; ++i) a[i] ^= cookieBytes[i];
            for (int i = 0; i < 12; ++i) a[4 + i] ^= transactionID[i];
        }
        char text[INET6_ADDRSTRLEN] = {};
        if (!inet_ntop(AF_INET6, a.data(), text, sizeof text)) return std::nullopt;
        return STUNReflexive{text, port};
    }
    if (family == 0x01) {
        if (value.size() < 8) return std::nullopt;
        std::string text;
        for (int i = 0; i < 4; ++i) {
            std::uint8_t b = value[4 + i];
            if (xorCoded) b ^= cookieBytes[i];
            text += (i ? "." : "") + std::to_string(b);
        }
        return STUNReflexive{text, port};
    }
    return std::nullopt;
}

std::optional<STUNReflexive> STUN::parseResponse(ByteView bytes, ByteView transactionID) {
    if (bytes.size() < headerSize ||
        !std::equal(std::begin(cookieBytes), std::end(cookieBytes), bytes.begin() + 4))
        return std::nullopt;
    // Sizes stay within std::size_t: at most 20 + 65535 added to an offset below the buffer's.
    const std::size_t end = std::min(bytes.size(), headerSize + be16(bytes, 2));
    std::optional<STUNReflexive> mapped;
    std::size_t offset = headerSize;
    while (offset + 4 <= end) {
        std::uint16_t type = be16(bytes, offset);
        std::size_t length = be16(bytes, offset + 2);
        std::size_t valueStart = offset + 4;
        if (length > bytes.size() - valueStart) break;
        ByteView value = bytes.subspan(valueStart, length);
        if (type == xorMappedAddress) {
            if (auto a = decodeAddress(value, true, transactionID)) return a;
        } else if (type == mappedAddress && !mapped) {
            mapped = decodeAddress(value, false, transactionID);
        }
        offset = valueStart + length + (4 - length % 4) % 4;
    }
    return mapped;
}

HostPort NATHolePunch::stunServer() {
    return {"stun.l.google.com", stunPort};
}

namespace {

struct Exchange : std::enable_shared_from_this<Exchange> {
    asio::strand<asio::any_io_executor> strand;
    asio::ip::udp::resolver resolver;
    asio::ip::udp::socket socket;
    asio::steady_timer deadline;
    NATOnce once;
    Bytes transactionID = STUN::transactionID();
    Bytes request;
    std::array<std::uint8_t, 1500> buffer{};
    STUNClient::Done done;

    Exchange(asio::any_io_executor ex, STUNClient::Done d)
        : strand(asio::make_strand(ex)),
          resolver(strand),
          socket(strand),
          deadline(strand),
          done(std::move(d)) {}

    // Exactly one path gets here: it closes everything and delivers.
    void finish(std::optional<STUNDiscovery> result) {
        if (!once.claim()) return;
        std::error_code ignored;
        deadline.cancel();
        resolver.cancel();
        socket.close(ignored);
        auto d = std::move(done);
        d(std::move(result));
    }

    void start(const HostPort& server, std::chrono::steady_clock::duration timeout) {
        auto self = shared_from_this();
        deadline.expires_after(timeout);
        deadline.async_wait([self](const std::error_code& ec) {
            if (!ec) self->finish(std::nullopt);
        });
        resolver.async_resolve(asio::ip::udp::v4(), server.host, std::to_string(server.port),
                               [self](const std::error_code& ec, auto results) {
                                   if (ec || results.empty()) return self->finish(std::nullopt);
                                   self->exchange(results.begin()->endpoint());
                               });
    }

    void exchange(const asio::ip::udp::endpoint& server) {
        std::error_code ec;
        socket.open(asio::ip::udp::v4(), ec);
        // Let the hole punch's QUIC endpoint bind this port again afterwards.
        if (!ec) socket.set_option(asio::socket_base::reuse_address(true), ec);
        if (!ec) socket.bind({asio::ip::address_v4::any(), 0}, ec);
        // Connected, so only the server's datagrams are read: the answer's transaction
        // identifier is not compared.
        if (!ec) socket.connect(server, ec);
        if (ec) return finish(std::nullopt);
        request = STUN::bindingRequest(transactionID);
        auto self = shared_from_this();
        socket.async_send(asio::buffer(request), [](const std::error_code&, std::size_t) {});
        socket.async_receive(asio::buffer(buffer), [self](const std::error_code& e, std::size_t n) {
            if (e || n == 0) return self->finish(std::nullopt);
            auto address =
                STUN::parseResponse(ByteView(self->buffer.data(), n), self->transactionID);
            if (!address) return self->finish(std::nullopt);
            std::error_code portError;
            auto local = self->socket.local_endpoint(portError);
            self->finish(STUNDiscovery{*address, portError ? std::uint16_t(0) : local.port()});
        });
    }
};

}  // namespace

void STUNClient::discover(asio::any_io_executor executor, HostPort server,
                          std::chrono::duration<double> timeout, Done done) {
    auto exchange = std::make_shared<Exchange>(executor, std::move(done));
    asio::dispatch(exchange->strand, [exchange, server = std::move(server), timeout] {
        exchange->start(server,
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(timeout));
    });
}

}  // namespace orvane

#include "OrvaneKit/reach/testing/FakeSTUNServer.h"

namespace orvane {

FakeSTUNServer::FakeSTUNServer(Answer answer)
    : socket_(io_, {asio::ip::make_address("127.0.0.1"), 0}), answer_(std::move(answer)) {
    thread_ = std::thread([this] { serve(); });
}

FakeSTUNServer::~FakeSTUNServer() {
    std::error_code ignored;
    // Wakes the receive; the socket closes once its reader is gone.
    socket_.shutdown(asio::socket_base::shutdown_both, ignored);
    thread_.join();
}

asio::ip::udp::endpoint FakeSTUNServer::lastPeer() const {
    std::lock_guard lock(mutex_);
    return lastPeer_;
}

FakeSTUNServer::Answer FakeSTUNServer::reflecting() {
    return [](const Bytes& request, const asio::ip::udp::endpoint& peer) -> std::optional<Bytes> {
        if (request.size() < 20 || !peer.address().is_v4()) return std::nullopt;
        Bytes reply = {0x01, 0x01, 0, 12};
        reply.insert(reply.end(), request.begin() + 4, request.begin() + 20);
        const auto a = peer.address().to_v4().to_bytes();
        const std::uint16_t port = peer.port() ^ 0x2112;
        Bytes value = {0,
                       0x20,
                       0,
                       8,
                       0,
                       1,
                       std::uint8_t(port >> 8),
                       std::uint8_t(port),
                       std::uint8_t(a[0] ^ 0x21),
                       std::uint8_t(a[1] ^ 0x12),
                       std::uint8_t(a[2] ^ 0xA4),
                       std::uint8_t(a[3] ^ 0x42)};
        reply.insert(reply.end(), value.begin(), value.end());
        return reply;
    };
}

void FakeSTUNServer::serve() {
    std::array<std::uint8_t, 1500> b;
    for (;;) {
        asio::ip::udp::endpoint peer;
        std::error_code ec;
        auto n = socket_.receive_from(asio::buffer(b), peer, 0, ec);
        if (ec || n == 0) return;  // shut down
        {
            std::lock_guard lock(mutex_);
            lastPeer_ = peer;
        }
        ++requests;
        if (auto reply = answer_(Bytes(b.begin(), b.begin() + n), peer))
            socket_.send_to(asio::buffer(*reply), peer, 0, ec);
    }
}

}  // namespace orvane

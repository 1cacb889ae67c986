#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "OrvaneKit/base/Bytes.h"

namespace orvane {

// A STUN server on 127.0.0.1 whose answer the test writes.
class FakeSTUNServer {
public:
    using Answer = std::function<std::optional<Bytes>(const Bytes& request,
                                                      const asio::ip::udp::endpoint& peer)>;
    explicit FakeSTUNServer(Answer answer);
    ~FakeSTUNServer();

    // Answers every request with the asker's own address and port, as a server in front of
    // every NAT would.
    static Answer reflecting();

    std::uint16_t port() const { return socket_.local_endpoint().port(); }
    std::atomic<int> requests{0};
    asio::ip::udp::endpoint lastPeer() const;

private:
    void serve();
    asio::io_context io_;
    asio::ip::udp::socket socket_;
    Answer answer_;
    mutable std::mutex mutex_;
    asio::ip::udp::endpoint lastPeer_;
    std::thread thread_;
};

}  // namespace orvane

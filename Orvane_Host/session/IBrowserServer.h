#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace orvane {

// The browser viewer's server on port 5896.
class IBrowserServer {
public:
    static constexpr std::uint16_t defaultPort = 5896;

    // What the server asks of the host about addresses that try access codes, so wrong codes
    // entered in a browser count in the same guard as the session listener's. Callable from any
    // thread.
    class Guard {
    public:
        virtual ~Guard() = default;
        // Calls `done` once, on any thread, with whether `address` is blocked now.
        virtual void checkAddress(const std::string& address, std::function<void(bool)> done) = 0;
        // One wrong or missing code from `address`.
        virtual void noteWrongCode(const std::string& address) = 0;
    };

    virtual ~IBrowserServer() = default;
    // (Re)starts listening with the access code; browsers already connected stay.
    virtual void start(const std::string& accessCode) = 0;
    virtual void stop() = 0;
    // Whether it serves HTTPS; read under the server's own lock.
    virtual bool usesTLS() const = 0;
    // Browser viewers connected now.
    virtual std::size_t viewerCount() const = 0;
    // The port browsers reach it on.
    virtual std::uint16_t port() const = 0;
    // Held weakly; install before start().
    virtual void setGuard(std::weak_ptr<Guard> guard) = 0;
};

}  // namespace orvane

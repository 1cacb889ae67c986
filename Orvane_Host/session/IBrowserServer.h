#pragma once

#include <string>

namespace orvane {

// The browser viewer's server on port 5896.
class IBrowserServer {
public:
    static constexpr int port = 5896;
    virtual ~IBrowserServer() = default;
    // (Re)starts listening with the access code; browsers already connected stay.
    virtual void start(const std::string& accessCode) = 0;
    virtual void stop() = 0;
    // Whether it serves HTTPS; read under the server's own lock.
    virtual bool usesTLS() const = 0;
};

}  // namespace orvane

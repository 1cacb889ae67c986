#pragma once

#include <memory>

#include "OrvaneKit/net/TlsPskConfig.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace orvane {

// An OpenSSL context for one role and one key: TLS 1.2 only, the single PSK suite, no
// certificate, no identity hint, no tickets, no session cache. A listener keeps one for its
// key; every session made from it shares it.
class TlsPskContext {
public:
    enum class Role { client, server };

    // Throws PlatformError when OpenSSL refuses the configuration (for example an unknown suite).
    static std::shared_ptr<TlsPskContext> make(Role role, TlsPskConfig config);
    ~TlsPskContext();
    TlsPskContext(const TlsPskContext&) = delete;
    TlsPskContext& operator=(const TlsPskContext&) = delete;

    Role role() const { return role_; }
    const TlsPskConfig& config() const { return config_; }
    SSL_CTX* native() const { return ctx_; }

private:
    TlsPskContext(Role role, TlsPskConfig config);
    Role role_;
    TlsPskConfig config_;
    SSL_CTX* ctx_ = nullptr;
};

}  // namespace orvane

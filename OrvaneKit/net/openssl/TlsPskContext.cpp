#include "OrvaneKit/net/openssl/TlsPskContext.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstring>

#include "OrvaneKit/base/Errors.h"

namespace orvane {

namespace {

const TlsPskContext* contextOf(SSL* ssl) {
    return static_cast<const TlsPskContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
}

unsigned int copyKey(const TlsPskConfig& config, unsigned char* psk, unsigned int maxLen) {
    if (config.key.empty() || config.key.size() > maxLen) return 0;
    std::memcpy(psk, config.key.data(), config.key.size());
    return static_cast<unsigned int>(config.key.size());
}

// Any other identity gets no key, which makes OpenSSL answer unknown_psk_identity.
unsigned int serverPsk(SSL* ssl, const char* identity, unsigned char* psk, unsigned int maxLen) {
    const TlsPskContext* self = contextOf(ssl);
    if (!self || !identity || self->config().identity != identity) return 0;
    return copyKey(self->config(), psk, maxLen);
}

// A hint from the server, if any, is ignored: there is only one key.
unsigned int clientPsk(SSL* ssl, const char*, char* identity, unsigned int maxIdentityLen,
                       unsigned char* psk, unsigned int maxLen) {
    const TlsPskContext* self = contextOf(ssl);
    if (!self) return 0;
    const std::string& id = self->config().identity;
    if (id.size() + 1 > maxIdentityLen) return 0;
    std::memcpy(identity, id.c_str(), id.size() + 1);
    return copyKey(self->config(), psk, maxLen);
}

std::string lastOpenSslError() {
    unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0) return "unknown error";
    const char* reason = ERR_reason_error_string(e);
    return reason ? reason : "unknown error";
}

}  // namespace

std::shared_ptr<TlsPskContext> TlsPskContext::make(Role role, TlsPskConfig config) {
    return std::shared_ptr<TlsPskContext>(new TlsPskContext(role, std::move(config)));
}

TlsPskContext::TlsPskContext(Role role, TlsPskConfig config)
    : role_(role), config_(std::move(config)) {
    if (config_.cipherSuite != TlsPskConfig::pskAes128GcmSha256)
        throw PlatformError("tls", 0, "unsupported cipher suite");
    ERR_clear_error();
    ctx_ = SSL_CTX_new(role == Role::server ? TLS_server_method() : TLS_client_method());
    if (!ctx_) throw PlatformError("tls", 0, "SSL_CTX_new: " + lastOpenSslError());
    SSL_CTX_set_app_data(ctx_, this);
    // Pinning the maximum too keeps OpenSSL from reusing the 1.2 PSK callbacks for TLS 1.3.
    bool ok = SSL_CTX_set_min_proto_version(ctx_, config_.minVersion) == 1 &&
              SSL_CTX_set_max_proto_version(ctx_, config_.maxVersion) == 1 &&
              SSL_CTX_set_cipher_list(ctx_, "PSK-AES128-GCM-SHA256") == 1;
    if (!ok) {
        std::string why = lastOpenSslError();
        SSL_CTX_free(ctx_);
        throw PlatformError("tls", 0, "TLS configuration refused: " + why);
    }
    long options = SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION;
    if (!config_.sessionTickets) options |= SSL_OP_NO_TICKET;
    SSL_CTX_set_options(ctx_, options);
    if (!config_.resumption) SSL_CTX_set_session_cache_mode(ctx_, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(ctx_, 0);
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
    if (role == Role::server)
        SSL_CTX_set_psk_server_callback(ctx_, serverPsk);
    else
        SSL_CTX_set_psk_client_callback(ctx_, clientPsk);
}

TlsPskContext::~TlsPskContext() {
    if (ctx_) SSL_CTX_free(ctx_);
    if (!config_.key.empty()) OPENSSL_cleanse(config_.key.data(), config_.key.size());
}

}  // namespace orvane

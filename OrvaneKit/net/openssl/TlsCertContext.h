#pragma once

#include <memory>
#include <string>

#include "OrvaneKit/base/Bytes.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace orvane {

// An OpenSSL server context that proves itself with a certificate and its private key (the
// browser server's HTTPS): TLS 1.2 at least, no tickets, no session cache. Sessions made from it
// run through the same memory-BIO session as the pre-shared-key ones (TlsPskSession).
class TlsCertContext {
public:
    // From a PKCS#12 file's bytes; null when they do not import with `passphrase` or hold no
    // certificate with a matching key.
    static std::shared_ptr<TlsCertContext> fromPkcs12(ByteView pkcs12,
                                                      const std::string& passphrase);
    ~TlsCertContext();
    TlsCertContext(const TlsCertContext&) = delete;
    TlsCertContext& operator=(const TlsCertContext&) = delete;

    SSL_CTX* native() const { return ctx_; }
    // The certificate subject's common name, as UTF-8.
    std::string commonName() const { return commonName_; }

private:
    TlsCertContext() = default;
    SSL_CTX* ctx_ = nullptr;
    std::string commonName_;
};

}  // namespace orvane

#include "OrvaneKit/net/openssl/TlsCertContext.h"

#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <climits>

namespace orvane {

namespace {

std::string commonNameOf(X509* cert) {
    X509_NAME* name = X509_get_subject_name(cert);
    int at = name ? X509_NAME_get_index_by_NID(name, NID_commonName, -1) : -1;
    if (at < 0) return {};
    ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, at));
    unsigned char* utf8 = nullptr;
    int n = ASN1_STRING_to_UTF8(&utf8, data);
    if (n < 0) return {};
    std::string out(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(n));
    OPENSSL_free(utf8);
    return out;
}

}  // namespace

std::shared_ptr<TlsCertContext> TlsCertContext::fromPkcs12(ByteView pkcs12,
                                                           const std::string& passphrase) {
    if (pkcs12.empty() || pkcs12.size() > INT_MAX) return nullptr;
    ERR_clear_error();
    const unsigned char* p = pkcs12.data();
    PKCS12* p12 = d2i_PKCS12(nullptr, &p, static_cast<long>(pkcs12.size()));
    if (!p12) {
        ERR_clear_error();
        return nullptr;
    }
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    STACK_OF(X509)* chain = nullptr;
    bool parsed = PKCS12_parse(p12, passphrase.c_str(), &key, &cert, &chain) == 1;
    PKCS12_free(p12);
    std::shared_ptr<TlsCertContext> out;
    if (parsed && key && cert) {
        std::shared_ptr<TlsCertContext> ctx(new TlsCertContext());
        ctx->ctx_ = SSL_CTX_new(TLS_server_method());
        if (ctx->ctx_ && SSL_CTX_set_min_proto_version(ctx->ctx_, TLS1_2_VERSION) == 1 &&
            SSL_CTX_use_certificate(ctx->ctx_, cert) == 1 &&
            SSL_CTX_use_PrivateKey(ctx->ctx_, key) == 1 &&
            SSL_CTX_check_private_key(ctx->ctx_) == 1) {
            SSL_CTX_set_options(ctx->ctx_,
                                SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION | SSL_OP_NO_TICKET);
            SSL_CTX_set_session_cache_mode(ctx->ctx_, SSL_SESS_CACHE_OFF);
            SSL_CTX_set_num_tickets(ctx->ctx_, 0);
            SSL_CTX_set_verify(ctx->ctx_, SSL_VERIFY_NONE, nullptr);
            ctx->commonName_ = commonNameOf(cert);
            out = std::move(ctx);
        }
    }
    EVP_PKEY_free(key);
    X509_free(cert);
    sk_X509_pop_free(chain, X509_free);
    ERR_clear_error();
    return out;
}

TlsCertContext::~TlsCertContext() {
    if (ctx_) SSL_CTX_free(ctx_);
}

}  // namespace orvane

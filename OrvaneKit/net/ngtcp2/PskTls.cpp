#include "OrvaneKit/net/ngtcp2/PskTls.h"

#include <gnutls/crypto.h>

#include <cstring>

namespace orvane {

namespace {

constexpr const char* priority =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:-CIPHER-ALL:+AES-128-GCM:-KX-ALL:+ECDHE-PSK:+PSK:"
    "%DISABLE_TLS13_COMPAT_MODE";

int serverKey(gnutls_session_t s, const char* identity, gnutls_datum_t* out) {
    auto* ref = static_cast<PskTlsRef*>(gnutls_session_get_ptr(s));
    Bytes k = ref && ref->key ? ref->key() : Bytes{};
    if (std::strcmp(identity, QuicSettings::identity) != 0 || k.empty()) {
        k.assign(32, 0);
        gnutls_rnd(GNUTLS_RND_RANDOM, k.data(), k.size());
    }
    out->data = static_cast<unsigned char*>(gnutls_malloc(k.size()));
    if (!out->data) return -1;
    std::memcpy(out->data, k.data(), k.size());
    out->size = static_cast<unsigned>(k.size());
    return 0;
}

}  // namespace

PskTls::~PskTls() {
    if (session_) gnutls_deinit(session_);
    if (clientCred_) gnutls_psk_free_client_credentials(clientCred_);
    if (serverCred_) gnutls_psk_free_server_credentials(serverCred_);
}

bool PskTls::init(bool server, PskTlsRef& ref, const Bytes& clientKey) {
    unsigned flags = (server ? GNUTLS_SERVER : GNUTLS_CLIENT) | GNUTLS_NO_END_OF_EARLY_DATA;
    if (gnutls_init(&session_, flags) != 0) return false;
    if (gnutls_priority_set_direct(session_, priority, nullptr) != 0) return false;
    if (server) {
        if (gnutls_psk_allocate_server_credentials(&serverCred_) != 0) return false;
        gnutls_psk_set_server_credentials_function(serverCred_, serverKey);
        if (gnutls_credentials_set(session_, GNUTLS_CRD_PSK, serverCred_) != 0) return false;
    } else {
        if (gnutls_psk_allocate_client_credentials(&clientCred_) != 0) return false;
        gnutls_datum_t k{const_cast<unsigned char*>(clientKey.data()),
                         static_cast<unsigned>(clientKey.size())};
        if (gnutls_psk_set_client_credentials(clientCred_, QuicSettings::identity, &k,
                                              GNUTLS_PSK_KEY_RAW) != 0)
            return false;
        if (gnutls_credentials_set(session_, GNUTLS_CRD_PSK, clientCred_) != 0) return false;
    }
    gnutls_session_set_ptr(session_, &ref);
    gnutls_datum_t alpn{reinterpret_cast<unsigned char*>(const_cast<char*>(QuicSettings::alpn)),
                        static_cast<unsigned>(std::strlen(QuicSettings::alpn))};
    return gnutls_alpn_set_protocols(session_, &alpn, 1, GNUTLS_ALPN_MANDATORY) == 0;
}

}  // namespace orvane

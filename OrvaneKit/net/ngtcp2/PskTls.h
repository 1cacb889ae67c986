#pragma once

#include <gnutls/gnutls.h>
#include <ngtcp2/ngtcp2_crypto.h>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/net/ngtcp2/QuicEndpoint.h"

namespace orvane {

// What a session's pointer refers to. The QUIC crypto layer reads the first member; the
// server's key callback reads `key`.
struct PskTlsRef {
    ngtcp2_crypto_conn_ref conn{};
    QuicKeySource key;
};

// The TLS half of a QUIC connection, usable over any carrier: TLS 1.3 only, suite
// TLS_AES_128_GCM_SHA256, PSK with or without ECDHE under the identity "kelsap", ALPN
// "kelsap-hp" required. The server reads its key from `ref.key` at each handshake; an unknown
// identity or an empty key gets a random key, so it fails exactly like a wrong one.
class PskTls {
public:
    PskTls() = default;
    PskTls(const PskTls&) = delete;
    PskTls& operator=(const PskTls&) = delete;
    ~PskTls();

    // Makes the session; `ref` must outlive it. False when GnuTLS refuses a step.
    bool init(bool server, PskTlsRef& ref, const Bytes& clientKey);
    gnutls_session_t session() const { return session_; }

private:
    gnutls_session_t session_ = nullptr;
    gnutls_psk_client_credentials_t clientCred_ = nullptr;
    gnutls_psk_server_credentials_t serverCred_ = nullptr;
};

}  // namespace orvane

#pragma once

#include <memory>
#include <optional>
#include <string>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/base/Errors.h"
#include "OrvaneKit/net/openssl/TlsCertContext.h"
#include "OrvaneKit/net/openssl/TlsPskContext.h"

typedef struct ssl_st SSL;
typedef struct bio_st BIO;

namespace orvane {

// One TLS connection driven through memory BIOs: the owner moves ciphertext between it and
// whatever carries the bytes (a socket, an in-memory pipe). Not thread-safe; its owner serialises.
//
// Failures are classified for the wrong-code guard: an OpenSSL protocol error after the peer has
// sent at least one TLS handshake or alert message is `tls`; anything before that (a plain-text
// probe, a port scan) is `posix`.
class TlsPskSession {
public:
    explicit TlsPskSession(std::shared_ptr<TlsPskContext> context);
    // A server session that proves itself with a certificate instead (the browser server): the
    // same memory-BIO path, so there is one way TLS runs.
    explicit TlsPskSession(std::shared_ptr<TlsCertContext> context);
    ~TlsPskSession();
    TlsPskSession(const TlsPskSession&) = delete;
    TlsPskSession& operator=(const TlsPskSession&) = delete;

    // Begins the handshake; a client's ClientHello is then waiting in takeOutput().
    void start();
    // Ciphertext from the peer: advances the handshake and decrypts what it can.
    void feed(ByteView ciphertext);
    // Encrypts application bytes, only once established and not failed, and appends the records
    // (with anything else pending) to `out`. Large writes go through in slices, so the session's
    // own buffers stay small whatever the size.
    void write(ByteView plain, Bytes& out);
    // Queues close_notify.
    void close();

    // Appends the ciphertext for the peer (handshake, records, alerts) to `out`.
    void takeOutput(Bytes& out);
    bool hasOutput() const;
    // Decrypted application bytes, appended to `out`.
    void takePlaintext(Bytes& out);
    std::size_t plaintextSize() const { return plain_.size(); }
    // Bytes of memory the session holds for ciphertext and plaintext in either direction.
    std::size_t bufferCapacity() const;

    // The most ciphertext or plaintext handed to or taken from OpenSSL in one step.
    static constexpr std::size_t sliceSize = 256 * 1024;

    bool established() const { return established_; }
    bool peerClosed() const { return peerClosed_; }
    const std::optional<NetError>& error() const { return error_; }
    bool peerSpokeTls() const { return peerSpokeTls_; }

    // Negotiated protocol ("TLSv1.2") and suite name, for checks and logs.
    std::string protocolName() const;
    std::string cipherName() const;
    bool sessionReused() const;

private:
    void init(SSL_CTX* ctx, bool server);
    void advance();
    void fail(int sslError);
    static void onMessage(int writeP, int version, int contentType, const void* buf, size_t len,
                          SSL* ssl, void* arg);

    std::shared_ptr<const void> context_;  // keeps the SSL_CTX alive
    SSL* ssl_ = nullptr;
    BIO* in_ = nullptr;   // ciphertext from the peer (owned by ssl_)
    BIO* out_ = nullptr;  // ciphertext for the peer (owned by ssl_)
    Bytes plain_;
    bool established_ = false;
    bool peerClosed_ = false;
    bool peerSpokeTls_ = false;
    std::optional<NetError> error_;
};

}  // namespace orvane

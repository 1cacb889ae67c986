#include "OrvaneKit/net/openssl/TlsPskSession.h"

#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <climits>

#include "OrvaneKit/net/ConnState.h"

namespace orvane {

TlsPskSession::TlsPskSession(std::shared_ptr<TlsPskContext> context) {
    init(context->native(), context->role() == TlsPskContext::Role::server);
    context_ = std::move(context);
}

TlsPskSession::TlsPskSession(std::shared_ptr<TlsCertContext> context) {
    init(context->native(), true);
    context_ = std::move(context);
}

void TlsPskSession::init(SSL_CTX* ctx, bool server) {
    ERR_clear_error();
    ssl_ = SSL_new(ctx);
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    if (!ssl_ || !in_ || !out_) {
        if (ssl_) SSL_free(ssl_);
        if (in_) BIO_free(in_);
        if (out_) BIO_free(out_);
        throw PlatformError("tls", 0, "cannot create a TLS session");
    }
    // An empty input BIO means "wait for more", not end of stream.
    BIO_set_mem_eof_return(in_, -1);
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_msg_callback(ssl_, &TlsPskSession::onMessage);
    SSL_set_msg_callback_arg(ssl_, this);
    if (server)
        SSL_set_accept_state(ssl_);
    else
        SSL_set_connect_state(ssl_);
}

TlsPskSession::~TlsPskSession() {
    SSL_free(ssl_);
}

void TlsPskSession::onMessage(int writeP, int, int contentType, const void*, size_t, SSL*,
                              void* arg) {
    if (writeP == 0 && (contentType == SSL3_RT_HANDSHAKE || contentType == SSL3_RT_ALERT))
        static_cast<TlsPskSession*>(arg)->peerSpokeTls_ = true;
}

void TlsPskSession::start() {
    advance();
}

void TlsPskSession::feed(ByteView ciphertext) {
    // Slice by slice, each decrypted before the next goes in: the input buffer never holds more
    // than one slice, and never keeps the size of a large burst.
    std::size_t done = 0;
    while (done < ciphertext.size() && !error_) {
        int chunk = static_cast<int>(std::min(ciphertext.size() - done, sliceSize));
        int n = BIO_write(in_, ciphertext.data() + done, chunk);
        if (n <= 0) {
            error_ = posixError(ENOMEM);
            return;
        }
        done += static_cast<std::size_t>(n);
        advance();
    }
}

void TlsPskSession::advance() {
    if (error_ || peerClosed_) return;
    ERR_clear_error();
    if (!established_) {
        int r = SSL_do_handshake(ssl_);
        if (r != 1) {
            int e = SSL_get_error(ssl_, r);
            if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) fail(e);
            return;
        }
        established_ = true;
    }
    std::uint8_t buf[16384];
    for (;;) {
        int r = SSL_read(ssl_, buf, sizeof buf);
        if (r > 0) {
            plain_.insert(plain_.end(), buf, buf + r);
            continue;
        }
        int e = SSL_get_error(ssl_, r);
        if (e == SSL_ERROR_ZERO_RETURN)
            peerClosed_ = true;
        else if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE)
            fail(e);
        return;
    }
}

void TlsPskSession::fail(int sslError) {
    unsigned long e = ERR_peek_error();
    const char* reason = e ? ERR_reason_error_string(e) : nullptr;
    std::string text = reason ? reason : "TLS error";
    ERR_clear_error();
    if (sslError == SSL_ERROR_SSL && peerSpokeTls_) {
        error_ = tlsError(static_cast<int>(ERR_GET_REASON(e)), text);
    } else if (sslError == SSL_ERROR_SSL) {
        error_ = posixError(EPROTO, "not a TLS peer: " + text);
    } else {
        error_ = posixError(ECONNRESET);
    }
}

void TlsPskSession::write(ByteView plain, Bytes& out) {
    if (error_ || !established_) return;
    std::size_t done = 0;
    ERR_clear_error();
    while (done < plain.size()) {
        // The records of one slice leave the output buffer before the next slice is sealed.
        int chunk = static_cast<int>(std::min(plain.size() - done, sliceSize));
        int r = SSL_write(ssl_, plain.data() + done, chunk);
        if (r <= 0) {
            fail(SSL_get_error(ssl_, r));
            break;
        }
        done += static_cast<std::size_t>(r);
        takeOutput(out);
    }
    takeOutput(out);
}

void TlsPskSession::close() {
    if (error_ || !established_) return;
    ERR_clear_error();
    SSL_shutdown(ssl_);
    ERR_clear_error();
}

bool TlsPskSession::hasOutput() const {
    return BIO_ctrl_pending(out_) > 0;
}

void TlsPskSession::takeOutput(Bytes& out) {
    const std::size_t pending = BIO_ctrl_pending(out_);
    if (pending == 0) return;
    const std::size_t before = out.size();
    out.resize(before + pending);
    int n = BIO_read(out_, out.data() + before, static_cast<int>(pending));
    out.resize(before + (n > 0 ? static_cast<std::size_t>(n) : 0));
}

std::size_t TlsPskSession::bufferCapacity() const {
    std::size_t total = plain_.capacity();
    for (BIO* bio : {in_, out_}) {
        BUF_MEM* mem = nullptr;
        BIO_get_mem_ptr(bio, &mem);
        if (mem) total += mem->max;
    }
    return total;
}

void TlsPskSession::takePlaintext(Bytes& out) {
    if (out.empty())
        out.swap(plain_);
    else
        out.insert(out.end(), plain_.begin(), plain_.end());
    plain_.clear();
}

std::string TlsPskSession::protocolName() const {
    return SSL_get_version(ssl_);
}

std::string TlsPskSession::cipherName() const {
    const SSL_CIPHER* c = SSL_get_current_cipher(ssl_);
    return c ? SSL_CIPHER_get_name(c) : "";
}

bool TlsPskSession::sessionReused() const {
    return SSL_session_reused(ssl_) == 1;
}

}  // namespace orvane

#include "OrvaneKit/crypto/X25519.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include "OrvaneKit/crypto/CryptoError.h"

namespace orvane {

namespace {

using PKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using PKeyCtx = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;

}  // namespace

X25519PrivateKey::X25519PrivateKey(ByteView raw) {
    if (raw.size() != 32) throw CryptoError("X25519: private key must be 32 bytes");
    key_.reset(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, raw.data(), raw.size()),
               EVP_PKEY_free);
    if (!key_) throw CryptoError("X25519: invalid private key");
    publicKey_.resize(32);
    std::size_t len = publicKey_.size();
    if (EVP_PKEY_get_raw_public_key(key_.get(), publicKey_.data(), &len) != 1 || len != 32)
        throw CryptoError("X25519: public key failed");
}

std::optional<SecureBytes> X25519PrivateKey::sharedSecret(ByteView peer) const {
    if (peer.size() != 32) throw CryptoError("X25519: public key must be 32 bytes");
    PKey peerKey(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peer.data(), peer.size()),
                 EVP_PKEY_free);
    if (!peerKey) throw CryptoError("X25519: invalid public key");
    PKeyCtx ctx(EVP_PKEY_CTX_new(key_.get(), nullptr), EVP_PKEY_CTX_free);
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1)
        throw CryptoError("X25519: derive setup failed");
    if (EVP_PKEY_derive_set_peer(ctx.get(), peerKey.get()) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    SecureBytes secret(32);
    std::size_t len = secret.size();
    if (EVP_PKEY_derive(ctx.get(), secret.data(), &len) != 1 || len != 32) {
        // OpenSSL refuses an all-zero result (a low-order peer point).
        ERR_clear_error();
        return std::nullopt;
    }
    return secret;
}

Bytes x25519PublicKey(ByteView raw) {
    return X25519PrivateKey(raw).publicKey();
}

std::optional<SecureBytes> x25519SharedSecret(ByteView raw, ByteView peer) {
    return X25519PrivateKey(raw).sharedSecret(peer);
}

}  // namespace orvane

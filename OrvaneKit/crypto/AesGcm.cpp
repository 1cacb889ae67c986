#include "OrvaneKit/crypto/AesGcm.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <climits>
#include <memory>

#include "OrvaneKit/crypto/CryptoError.h"

namespace orvane {

namespace {

constexpr std::size_t kTagSize = 16;

struct CtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

const EVP_CIPHER* gcmCipher() {
    // Fetched once: the implicit fetch inside every init would cost a lookup per record.
    static EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    return cipher ? cipher : EVP_aes_256_gcm();
}

// One context per thread, re-initialised per call; contexts are not shareable across threads.
EVP_CIPHER_CTX* threadContext() {
    thread_local std::unique_ptr<EVP_CIPHER_CTX, CtxFree> ctx(EVP_CIPHER_CTX_new());
    if (!ctx) throw CryptoError("AES-GCM: no context");
    return ctx.get();
}

void checkSizes(ByteView key, ByteView nonce, std::size_t len) {
    if (key.size() != 32) throw CryptoError("AES-GCM: key must be 32 bytes");
    if (nonce.size() != 12) throw CryptoError("AES-GCM: nonce must be 12 bytes");
    if (len > static_cast<std::size_t>(INT_MAX) - kTagSize)
        throw CryptoError("AES-GCM: input too long");
}

}  // namespace

Bytes aesGcmSeal(ByteView key, ByteView nonce, ByteView plaintext, ByteView aad) {
    checkSizes(key, nonce, plaintext.size());
    EVP_CIPHER_CTX* ctx = threadContext();
    Bytes out(plaintext.size() + kTagSize);
    int len = 0;
    bool ok = EVP_EncryptInit_ex(ctx, gcmCipher(), nullptr, key.data(), nonce.data()) == 1;
    if (ok && !aad.empty())
        ok = EVP_EncryptUpdate(ctx, nullptr, &len, aad.data(), static_cast<int>(aad.size())) == 1;
    len = 0;
    if (ok && !plaintext.empty())
        ok = EVP_EncryptUpdate(ctx, out.data(), &len, plaintext.data(),
                               static_cast<int>(plaintext.size())) == 1;
    int tail = 0;
    ok = ok && EVP_EncryptFinal_ex(ctx, out.data() + len, &tail) == 1;
    ok = ok && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, kTagSize,
                                   out.data() + plaintext.size()) == 1;
    if (!ok) throw CryptoError("AES-GCM seal failed");
    return out;
}

std::optional<Bytes> aesGcmOpen(ByteView key, ByteView nonce, ByteView sealed, ByteView aad) {
    checkSizes(key, nonce, sealed.size());
    if (sealed.size() < kTagSize) return std::nullopt;
    const std::size_t n = sealed.size() - kTagSize;
    EVP_CIPHER_CTX* ctx = threadContext();
    Bytes out(n);
    int len = 0;
    if (EVP_DecryptInit_ex(ctx, gcmCipher(), nullptr, key.data(), nonce.data()) != 1)
        throw CryptoError("AES-GCM init failed");
    if (!aad.empty() &&
        EVP_DecryptUpdate(ctx, nullptr, &len, aad.data(), static_cast<int>(aad.size())) != 1)
        return std::nullopt;
    len = 0;
    if (n > 0 && EVP_DecryptUpdate(ctx, out.data(), &len, sealed.data(), static_cast<int>(n)) != 1)
        return std::nullopt;
    if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, kTagSize,
                            const_cast<std::uint8_t*>(sealed.data() + n)) != 1)
        throw CryptoError("AES-GCM tag setup failed");
    int tail = 0;
    if (EVP_DecryptFinal_ex(ctx, out.data() + len, &tail) != 1) {
        // Unauthenticated plaintext never leaves this function.
        OPENSSL_cleanse(out.data(), out.size());
        return std::nullopt;
    }
    return out;
}

}  // namespace orvane

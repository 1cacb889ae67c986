#include "OrvaneKit/security/SecureMessageChannel.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <limits>
#include <memory>

#include "OrvaneKit/crypto/CryptoError.h"
#include "OrvaneKit/security/SecureChannelError.h"

namespace orvane {

namespace {

constexpr std::uint64_t kLastNumber = std::numeric_limits<std::uint64_t>::max();

const EVP_CIPHER* gcmCipher() {
    static EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    return cipher ? cipher : EVP_aes_256_gcm();
}

struct CtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using CtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;

EVP_CIPHER_CTX* keyedContext(const std::uint8_t* key, bool encrypt) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx) return nullptr;
    const int ok = encrypt ? EVP_EncryptInit_ex(ctx, gcmCipher(), nullptr, key, nullptr)
                           : EVP_DecryptInit_ex(ctx, gcmCipher(), nullptr, key, nullptr);
    if (ok != 1) {
        EVP_CIPHER_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

// EVP lengths are int; records never come near that, but stay correct if one does.
bool update(EVP_CIPHER_CTX* ctx, bool encrypt, std::uint8_t* out, const std::uint8_t* in,
            std::size_t n) {
    constexpr std::size_t kChunk = std::size_t{1} << 30;
    while (n > 0) {
        const int len = static_cast<int>(n < kChunk ? n : kChunk);
        int written = 0;
        const int ok = encrypt ? EVP_EncryptUpdate(ctx, out, &written, in, len)
                               : EVP_DecryptUpdate(ctx, out, &written, in, len);
        if (ok != 1 || written != len) return false;
        in += len;
        out += len;
        n -= static_cast<std::size_t>(len);
    }
    return true;
}

bool sealWith(EVP_CIPHER_CTX* ctx, const std::uint8_t* iv, ByteView body, std::uint8_t* out) {
    int tail = 0;
    return EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, iv) == 1 &&
           update(ctx, true, out, body.data(), body.size()) &&
           EVP_EncryptFinal_ex(ctx, out + body.size(), &tail) == 1 &&
           EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, SecureMessageChannel::tagSize,
                               out + body.size()) == 1;
}

bool openWith(EVP_CIPHER_CTX* ctx, const std::uint8_t* iv, ByteView record, std::uint8_t* out) {
    const std::size_t n = record.size() - SecureMessageChannel::tagSize;
    // OpenSSL copies the tag; it only lacks the const.
    auto* tag = const_cast<std::uint8_t*>(record.data() + n);
    int tail = 0;
    return EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, iv) == 1 &&
           update(ctx, false, out, record.data(), n) &&
           EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, SecureMessageChannel::tagSize, tag) ==
               1 &&
           EVP_DecryptFinal_ex(ctx, out + n, &tail) == 1;
}

}  // namespace

SecureMessageChannel::SecureMessageChannel(ByteView sendKey, ByteView receiveKey,
                                           std::uint64_t firstSendNumber,
                                           std::uint64_t firstReceiveNumber) {
    if (sendKey.size() != keySize || receiveKey.size() != keySize)
        throw CryptoError("record keys must be 32 bytes");
    std::copy(sendKey.begin(), sendKey.end(), send_.key.begin());
    std::copy(receiveKey.begin(), receiveKey.end(), receive_.key.begin());
    send_.counter = firstSendNumber;
    receive_.counter = firstReceiveNumber;
    send_.ctx = keyedContext(send_.key.data(), true);
    receive_.ctx = keyedContext(receive_.key.data(), false);
    if (!send_.ctx || !receive_.ctx) {
        EVP_CIPHER_CTX_free(send_.ctx);
        EVP_CIPHER_CTX_free(receive_.ctx);
        OPENSSL_cleanse(send_.key.data(), keySize);
        OPENSSL_cleanse(receive_.key.data(), keySize);
        throw CryptoError("AES-GCM: no context");
    }
}

SecureMessageChannel::~SecureMessageChannel() {
    EVP_CIPHER_CTX_free(send_.ctx);  // wipes the key schedule
    EVP_CIPHER_CTX_free(receive_.ctx);
    OPENSSL_cleanse(send_.key.data(), keySize);
    OPENSSL_cleanse(receive_.key.data(), keySize);
}

SecureMessageChannel::Nonce SecureMessageChannel::nonce(std::uint64_t number) {
    Nonce n{};
    for (int i = 0; i < 8; ++i) n[4 + i] = static_cast<std::uint8_t>(number >> (56 - 8 * i));
    return n;
}

std::uint64_t SecureMessageChannel::take(Direction& d, bool& exhausted) {
    std::lock_guard<std::mutex> guard(lock_);
    // The last value is never used, so no counter ever wraps back onto a used nonce.
    if (d.counter == kLastNumber) {
        exhausted = true;
        return 0;
    }
    exhausted = false;
    return d.counter++;
}

std::size_t SecureMessageChannel::sealInto(ByteView body, std::span<std::uint8_t> out) {
    if (out.size() < body.size() + tagSize) throw CryptoError("record buffer too small");
    bool exhausted = false;
    const std::uint64_t number = take(send_, exhausted);
    if (exhausted) throw CryptoError("record numbers used up");
    const Nonce iv = nonce(number);
    bool ok = false;
    {
        std::unique_lock<std::mutex> cipher(send_.cipherMutex, std::try_to_lock);
        if (cipher.owns_lock()) {
            ok = sealWith(send_.ctx, iv.data(), body, out.data());
        } else {
            CtxPtr own(keyedContext(send_.key.data(), true));
            ok = own && sealWith(own.get(), iv.data(), body, out.data());
        }
    }
    if (!ok) throw CryptoError("AES-GCM seal failed");
    return body.size() + tagSize;
}

Bytes SecureMessageChannel::seal(ByteView body) {
    Bytes record(body.size() + tagSize);
    sealInto(body, record);
    return record;
}

std::size_t SecureMessageChannel::openInto(ByteView record, std::span<std::uint8_t> out) {
    if (record.size() < tagSize) throw SecureChannelError::tampered();
    const std::size_t n = record.size() - tagSize;
    if (out.size() < n) throw CryptoError("body buffer too small");
    bool exhausted = false;
    const std::uint64_t number = take(receive_, exhausted);
    if (exhausted) throw SecureChannelError::tampered();
    const Nonce iv = nonce(number);
    bool ok = false;
    {
        std::unique_lock<std::mutex> cipher(receive_.cipherMutex, std::try_to_lock);
        if (cipher.owns_lock()) {
            ok = openWith(receive_.ctx, iv.data(), record, out.data());
        } else {
            CtxPtr own(keyedContext(receive_.key.data(), false));
            ok = own && openWith(own.get(), iv.data(), record, out.data());
        }
    }
    if (!ok) {
        // Unauthenticated plaintext never leaves here.
        if (n > 0) OPENSSL_cleanse(out.data(), n);
        throw SecureChannelError::tampered();
    }
    return n;
}

Bytes SecureMessageChannel::open(ByteView record) {
    if (record.size() < tagSize) throw SecureChannelError::tampered();
    Bytes body(record.size() - tagSize);
    openInto(record, body);
    return body;
}

}  // namespace orvane

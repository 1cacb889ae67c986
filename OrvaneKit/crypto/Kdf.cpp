#include "OrvaneKit/crypto/Kdf.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <climits>
#include <memory>

#include "OrvaneKit/crypto/CryptoError.h"

namespace orvane {

namespace {
// An empty buffer still needs a valid pointer for OpenSSL's parameter handling.
void* mutablePtr(ByteView b) {
    static std::uint8_t empty = 0;
    return b.empty() ? &empty : const_cast<std::uint8_t*>(b.data());
}

EVP_KDF* hkdfAlgorithm() {
    static EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    return kdf;
}
}  // namespace

Bytes hkdfSha512(ByteView ikm, ByteView salt, ByteView info, std::size_t length) {
    if (length == 0 || length > 255 * 64) throw CryptoError("HKDF: invalid output length");
    EVP_KDF* kdf = hkdfAlgorithm();
    if (!kdf) throw CryptoError("HKDF unavailable");
    std::unique_ptr<EVP_KDF_CTX, decltype(&EVP_KDF_CTX_free)> ctx(EVP_KDF_CTX_new(kdf),
                                                                  EVP_KDF_CTX_free);
    if (!ctx) throw CryptoError("HKDF: no context");

    char digestName[] = "SHA512";
    OSSL_PARAM params[5];
    std::size_t n = 0;
    params[n++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digestName, 0);
    params[n++] =
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, mutablePtr(ikm), ikm.size());
    params[n++] =
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, mutablePtr(salt), salt.size());
    params[n++] =
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, mutablePtr(info), info.size());
    params[n] = OSSL_PARAM_construct_end();

    Bytes out(length);
    if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1)
        throw CryptoError("HKDF failed");
    return out;
}

Bytes pbkdf2HmacSha256(ByteView password, ByteView salt, std::uint32_t iterations,
                       std::size_t length) {
    if (iterations == 0 || iterations > static_cast<std::uint32_t>(INT_MAX) || length == 0 ||
        length > static_cast<std::size_t>(INT_MAX) ||
        password.size() > static_cast<std::size_t>(INT_MAX) ||
        salt.size() > static_cast<std::size_t>(INT_MAX))
        throw CryptoError("PBKDF2: invalid parameters");
    static const char emptyChar = 0;
    static const unsigned char emptyByte = 0;
    Bytes out(length);
    const char* pw = password.empty() ? &emptyChar : reinterpret_cast<const char*>(password.data());
    if (PKCS5_PBKDF2_HMAC(pw, static_cast<int>(password.size()),
                          salt.empty() ? &emptyByte : salt.data(), static_cast<int>(salt.size()),
                          static_cast<int>(iterations), EVP_sha256(), static_cast<int>(length),
                          out.data()) != 1)
        throw CryptoError("PBKDF2 failed");
    return out;
}

}  // namespace orvane

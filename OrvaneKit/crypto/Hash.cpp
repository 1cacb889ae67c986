#include "OrvaneKit/crypto/Hash.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "OrvaneKit/crypto/CryptoError.h"

namespace orvane {

namespace {
template <std::size_t N>
std::array<std::uint8_t, N> digest(const EVP_MD* md, ByteView data) {
    std::array<std::uint8_t, N> out{};
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), out.data(), &len, md, nullptr) != 1 || len != N)
        throw CryptoError("digest failed");
    return out;
}
}  // namespace

std::array<std::uint8_t, 32> sha256(ByteView data) {
    return digest<32>(EVP_sha256(), data);
}
std::array<std::uint8_t, 64> sha512(ByteView data) {
    return digest<64>(EVP_sha512(), data);
}
std::array<std::uint8_t, 20> sha1(ByteView data) {
    return digest<20>(EVP_sha1(), data);
}

Bytes hmacSha256(ByteView key, ByteView data) {
    static const std::uint8_t empty = 0;
    Bytes out(32);
    unsigned int len = 0;
    // HMAC treats a null key as "reuse the previous key", so an empty key needs a real pointer.
    if (!HMAC(EVP_sha256(), key.empty() ? &empty : key.data(), static_cast<int>(key.size()),
              data.empty() ? &empty : data.data(), data.size(), out.data(), &len) ||
        len != 32)
        throw CryptoError("HMAC-SHA256 failed");
    return out;
}

}  // namespace orvane

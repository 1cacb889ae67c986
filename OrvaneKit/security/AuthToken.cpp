#include "OrvaneKit/security/AuthToken.h"

#include <openssl/crypto.h>

#include <array>

#include "OrvaneKit/base/Base64.h"

namespace orvane {

std::string AuthToken::generate(RandomSource& random) {
    std::array<std::uint8_t, 32> bytes{};
    random.fill(bytes.data(), bytes.size());
    std::string token = base64Encode(bytes);
    OPENSSL_cleanse(bytes.data(), bytes.size());
    return token;
}

bool AuthToken::constantTimeEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    volatile unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff = static_cast<unsigned char>(
            diff | (static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i])));
    return diff == 0;
}

}  // namespace orvane

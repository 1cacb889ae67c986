#pragma once

#include <string>
#include <string_view>

#include "OrvaneKit/crypto/Random.h"

namespace orvane {

// Random admission tokens, and their comparison.
struct AuthToken {
    // 32 random bytes as standard base64: 44 characters ending in "=". The random source
    // fills every byte or does not return, so a broken source never yields a guessable token.
    static std::string generate(RandomSource& random = systemRandom());
    // Equal UTF-8 bytes. Texts of different lengths differ at once (the length is not secret);
    // otherwise every byte is looked at whatever the contents.
    static bool constantTimeEquals(std::string_view a, std::string_view b);
};

}  // namespace orvane

#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/crypto/Random.h"
#include "OrvaneKit/net/SessionParams.h"
#include "OrvaneKit/net/TlsPskConfig.h"
#include "OrvaneKit/security/AccessKeyCache.h"

namespace orvane {

// Access codes: making them, their canonical and display forms, and the pre-shared key both
// ends derive from them. Nothing here validates a code; callers that need 12 alphabet
// characters check that themselves.
struct AccessCode {
    static constexpr std::size_t length = 12;
    // No I, O, 0 or 1: nothing a person could misread.
    static constexpr std::string_view alphabet = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    static constexpr std::uint32_t pbkdfRounds = 600'000;
    static constexpr std::string_view pbkdfSalt = "tamblo.key.r7";
    static constexpr std::string_view pskIdentity = "kelsap";

    using KeyDerivation = std::function<Bytes(ByteView password)>;

    // A new random code in display form ("XXX-XXX-XXX-XXX").
    static std::string generate(RandomSource& random = systemRandom());
    // Drops white space and "-" (per user-perceived character) and upper-cases with the full,
    // locale-independent case mapping.
    static std::string normalize(std::string_view code);
    // The normalised code in groups of three joined by "-".
    static std::string format(std::string_view code);

    // The 32-byte key of the code, through the process's cache.
    static Bytes pskKey(std::string_view code);
    // The same with a given cache and derivation (tests count derivations with it).
    static Bytes pskKey(std::string_view code, AccessKeyCache& cache, const KeyDerivation& derive);
    // PBKDF2-HMAC-SHA256 with a 32-byte output.
    static Bytes derivePBKDF2(ByteView password, ByteView salt, std::uint32_t rounds);

    static TlsPskConfig pskTLSOptions(std::string_view code);
    // Parameters of a session connection or listener; cellular is recorded, not enforced.
    static SessionParams pskParameters(std::string_view code, bool allowCellular);
};

}  // namespace orvane

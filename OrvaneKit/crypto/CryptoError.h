#pragma once

#include <stdexcept>
#include <string>

namespace orvane {

// A key, ciphertext or primitive that cannot be used (bad length, bad encoding, a library refusal).
// The secure handshake maps it to `malformed`.
class CryptoError : public std::runtime_error {
public:
    explicit CryptoError(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace orvane

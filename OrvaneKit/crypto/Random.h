#pragma once

#include <cstddef>
#include <cstdint>

#include "OrvaneKit/base/Bytes.h"

namespace orvane {

class RandomSource {
public:
    virtual ~RandomSource() = default;
    // Fills all n bytes or does not return.
    virtual void fill(std::uint8_t* out, std::size_t n) = 0;
};

// The operating system's CSPRNG (via OpenSSL). A failure is fatal: the process aborts rather
// than continue with predictable bytes.
RandomSource& systemRandom();

Bytes randomBytes(std::size_t n, RandomSource& src = systemRandom());

}  // namespace orvane

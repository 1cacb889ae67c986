#pragma once

#include <mutex>

#include "OrvaneKit/crypto/Keccak.h"
#include "OrvaneKit/crypto/Random.h"

namespace orvane {

// A reproducible random source for tests: the SHAKE-128 output stream of a seed.
class DeterministicRandom final : public RandomSource {
public:
    explicit DeterministicRandom(ByteView seed = {});
    void fill(std::uint8_t* out, std::size_t n) override;

private:
    std::mutex mutex_;
    Keccak stream_;
};

}  // namespace orvane

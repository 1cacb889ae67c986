#include "OrvaneKit/crypto/testing/DeterministicRandom.h"

namespace orvane {

DeterministicRandom::DeterministicRandom(ByteView seed) : stream_(Keccak::Kind::shake128) {
    stream_.absorb(seed);
}

void DeterministicRandom::fill(std::uint8_t* out, std::size_t n) {
    std::lock_guard lock(mutex_);
    stream_.squeeze(out, n);
}

}  // namespace orvane

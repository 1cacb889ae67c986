#pragma once

// Shared pieces of the fuzz targets: fixed identities and a random source that starts over for
// every input, so a crash found once replays the same way.

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/crypto/Random.h"
#include "OrvaneKit/crypto/testing/DeterministicRandom.h"
#include "OrvaneKit/security/SecureIdentity.h"

namespace orvane::fuzz {

// A DeterministicRandom that reset() puts back to its first byte.
class ReplayRandom final : public RandomSource {
public:
    explicit ReplayRandom(Bytes seed) : seed_(std::move(seed)) { reset(); }
    void reset() { inner_ = std::make_unique<DeterministicRandom>(seed_); }
    void fill(std::uint8_t* out, std::size_t n) override { inner_->fill(out, n); }

private:
    Bytes seed_;
    std::unique_ptr<DeterministicRandom> inner_;
};

// The random source behind the identities' signatures; reset it at the start of every input.
ReplayRandom& identityRandom();
// Two fixed device identities, made once per process.
SecureIdentity& clientIdentity();
SecureIdentity& serverIdentity();
// The 32-byte access key both ends share.
ByteView accessKey();

// Stops the run with a message when a property the code promises does not hold.
[[noreturn]] inline void violated(const char* what) {
    std::fprintf(stderr, "fuzz property violated: %s\n", what);
    std::abort();
}
#define FUZZ_CHECK(cond)                              \
    do {                                              \
        if (!(cond)) ::orvane::fuzz::violated(#cond); \
    } while (0)

}  // namespace orvane::fuzz

namespace orvane::fuzz {

// Writes an input that FuzzedDataProvider reads back as the given sequence of calls: byte
// strings from the front, integers from the back. For hand-made seeds.
class Script {
public:
    Script& bytes(ByteView b) {
        append(front_, b);
        return *this;
    }
    // The value ConsumeIntegralInRange(min, max) will return.
    Script& integer(std::uint64_t value, std::uint64_t min, std::uint64_t max) {
        const std::uint64_t range = max - min, v = value - min;
        std::size_t n = 0;
        while (n < 8 && (range >> (8 * n)) > 0) ++n;
        for (std::size_t i = 0; i < n; ++i)  // most significant first, read from the end
            back_.push_back(static_cast<std::uint8_t>(v >> (8 * (n - 1 - i))));
        return *this;
    }
    Script& flag(bool b) { return integer(b ? 1 : 0, 0, 255); }
    Bytes finish() const {
        Bytes out = front_;
        out.insert(out.end(), back_.rbegin(), back_.rend());
        return out;
    }

private:
    Bytes front_, back_;
};

}  // namespace orvane::fuzz

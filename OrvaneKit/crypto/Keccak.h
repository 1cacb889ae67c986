#pragma once

#include <cstddef>
#include <cstdint>

#include "OrvaneKit/base/Bytes.h"

namespace orvane {

// Keccak-f[1600] sponge for SHA3-256/512 and SHAKE128/256. Unlike OpenSSL 3.0's XOF,
// output can be squeezed incrementally, which ML-KEM and ML-DSA rejection sampling needs.
class Keccak {
public:
    enum class Kind { sha3_256, sha3_512, shake128, shake256 };

    explicit Keccak(Kind kind);
    ~Keccak();
    Keccak(const Keccak&) = default;
    Keccak& operator=(const Keccak&) = default;

    // Only before the first squeeze.
    void absorb(ByteView data);
    // Incremental: any number of calls continue the same output stream.
    void squeeze(std::uint8_t* out, std::size_t n);
    Bytes squeeze(std::size_t n);
    void reset();

    std::size_t rate() const { return rate_; }

private:
    void finish();

    std::uint64_t state_[25];
    std::size_t rate_;
    std::size_t pos_ = 0;  // byte offset within the current block
    std::uint8_t pad_;
    bool squeezing_ = false;
};

// The permutation itself, exposed for the sponge users that batch blocks.
void keccakF1600(std::uint64_t state[25]);

// Four independent states side by side (lane i of state s at lanes[i][s]), so that four sponges
// of the same shape, such as the rows of a lattice matrix, run in one vector pass.
struct KeccakX4 {
    alignas(32) std::uint64_t lanes[25][4];

    // Starts afresh with one message per state (all of length len, under one block) padded.
    void absorbOnce(std::size_t rate, std::uint8_t pad, const std::uint8_t* const msgs[4],
                    std::size_t len);
    // Starts afresh with one message and padding byte per state; the lengths may differ but
    // must hold the same number of whole blocks.
    void absorb(std::size_t rate, const std::uint8_t pads[4], const std::uint8_t* const msgs[4],
                const std::size_t lens[4]);
    // Permutes, then writes one block (rate bytes) of each state's output to out[s].
    void squeezeBlock(std::size_t rate, std::uint8_t* const out[4]);
};
void keccakF1600x4(KeccakX4& st);

// Vector code paths are taken when the CPU has AVX2; tests turn them off to cover the portable
// ones (turning them on again is clamped to what the CPU offers).
bool simdEnabled();
void setSimdEnabled(bool on);

Bytes sha3_256(ByteView data);  // 32 bytes
Bytes sha3_512(ByteView data);  // 64 bytes
Bytes shake128(ByteView data, std::size_t outLen);
Bytes shake256(ByteView data, std::size_t outLen);

}  // namespace orvane

#pragma once

// Polynomial arithmetic, sampling and packing for ML-DSA-87. Internal to MlDsa87.cpp and its
// tests; nothing here validates lengths.

#include <cstddef>
#include <cstdint>

namespace orvane::mldsa87 {

inline constexpr int N = 256;
inline constexpr std::int32_t Q = 8380417;
inline constexpr int D = 13;
inline constexpr int K = 8;
inline constexpr int L = 7;
inline constexpr int ETA = 2;
inline constexpr int TAU = 60;
inline constexpr int BETA = TAU * ETA;
inline constexpr int OMEGA = 75;
inline constexpr std::int32_t GAMMA1 = 1 << 19;
inline constexpr std::int32_t GAMMA2 = (Q - 1) / 32;

inline constexpr std::size_t SEED_BYTES = 32;
inline constexpr std::size_t RHO_PRIME_BYTES = 64;
inline constexpr std::size_t TR_BYTES = 64;
inline constexpr std::size_t MU_BYTES = 64;
inline constexpr std::size_t CTILDE_BYTES = 64;

inline constexpr std::size_t T1_POLY_BYTES = N * 10 / 8;  // 320
inline constexpr std::size_t T0_POLY_BYTES = N * 13 / 8;  // 416
inline constexpr std::size_t ETA_POLY_BYTES = N * 3 / 8;  // 96
inline constexpr std::size_t Z_POLY_BYTES = N * 20 / 8;   // 640
inline constexpr std::size_t W1_POLY_BYTES = N * 4 / 8;   // 128

inline constexpr std::size_t PUBLIC_KEY_BYTES = SEED_BYTES + K * T1_POLY_BYTES;
inline constexpr std::size_t SECRET_KEY_BYTES =
    2 * SEED_BYTES + TR_BYTES + (L + K) * ETA_POLY_BYTES + K * T0_POLY_BYTES;
inline constexpr std::size_t SIGNATURE_BYTES = CTILDE_BYTES + L * Z_POLY_BYTES + OMEGA + K;

struct Poly {
    std::int32_t c[N];
};

// --- Modular reduction -------------------------------------------------------------------

inline constexpr std::uint32_t Q_INV = 58728449;  // q^-1 mod 2^32
static_assert(static_cast<std::uint32_t>(Q) * Q_INV == 1u);

// a·2^-32 mod q, in (-q, q), for |a| < q·2^31.
inline std::int32_t montgomeryReduce(std::int64_t a) {
    const auto t = static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * Q_INV);
    return static_cast<std::int32_t>((a - static_cast<std::int64_t>(t) * Q) >> 32);
}

// A representative in about (-0.75q, 0.75q) for a ≤ 2^31 - 2^22.
inline std::int32_t reduce32(std::int32_t a) {
    const std::int32_t t = (a + (1 << 22)) >> 23;
    return a - t * Q;
}

// The representative in [0, q) for |a| < 2^31 - 2^22.
inline std::int32_t freeze(std::int32_t a) {
    a = reduce32(a);
    return a + ((a >> 31) & Q);
}

// The representative in [-(q-1)/2, (q-1)/2].
inline std::int32_t centered(std::int32_t a) {
    a = freeze(a);
    return a - ((((Q - 1) / 2) - a) >> 31 & Q);
}

// --- NTT -------------------------------------------------------------------------------

// In place; coefficients |a| < q in, |â| < 9q out.
void ntt(Poly& a);
// Inverse of ntt() applied to a product of pointwiseMontgomery() terms: undoes both the
// transform and the 2^-32 factor of the products. Any int32 input below 2^31 - 2^22 in
// magnitude; output in (-q, q).
void invNttFromMontgomery(Poly& a);
// r = a∘b·2^-32 (r may alias either input).
void pointwiseMontgomery(Poly& r, const Poly& a, const Poly& b);
// r += a∘b·2^-32.
void pointwiseAccumulate(Poly& r, const Poly& a, const Poly& b);

// --- Rounding (inputs in [0, q)) ---------------------------------------------------------

// Returns r1 and sets r0 so that r = r1·2^13 + r0 with r0 in (-2^12, 2^12].
inline std::int32_t power2Round(std::int32_t r, std::int32_t& r0) {
    const std::int32_t r1 = (r + (1 << (D - 1)) - 1) >> D;
    r0 = r - (r1 << D);
    return r1;
}

// Returns r1 in [0, 15] and sets r0 in (-γ2, γ2] (or r - q when r is near q).
inline std::int32_t decompose(std::int32_t r, std::int32_t& r0) {
    // r1 = ⌊(r + γ2 - 1) / 2γ2⌋ with 2γ2 = 2^9·1023; the top value 16 wraps to 0, and the
    // centring below then turns r0 into r - q as required.
    const auto x = static_cast<std::uint32_t>(r + GAMMA2 - 1) >> 9;
    const std::int32_t r1 = static_cast<std::int32_t>((x * 32801u) >> 25) & 15;
    r0 = r - r1 * 2 * GAMMA2;
    r0 -= (((Q - 1) / 2 - r0) >> 31) & Q;
    return r1;
}

inline std::int32_t highBits(std::int32_t r) {
    std::int32_t r0;
    return decompose(r, r0);
}

std::int32_t useHint(bool hint, std::int32_t r);

// --- Sampling ----------------------------------------------------------------------------

// Â[row][col], uniform in [0, q), already in the NTT domain.
void sampleUniform(Poly& a, const std::uint8_t rho[SEED_BYTES], int row, int col);
// Coefficients in [-η, η] from SHAKE256(ρ' ‖ nonce).
void sampleEta(Poly& a, const std::uint8_t rhoPrime[RHO_PRIME_BYTES], std::uint16_t nonce);
// Coefficients in (-γ1, γ1] from SHAKE256(ρ'' ‖ nonce).
void sampleMask(Poly& a, const std::uint8_t rhoPrime[RHO_PRIME_BYTES], std::uint16_t nonce);
// τ coefficients ±1, the rest 0. Positions are written without secret-indexed accesses.
void sampleInBall(Poly& c, const std::uint8_t ctilde[CTILDE_BYTES]);

// --- Packing (coefficients as signed representatives) -------------------------------------

void packT1(std::uint8_t* out, const Poly& a);  // [0, 2^10)
void unpackT1(Poly& a, const std::uint8_t* in);
void packT0(std::uint8_t* out, const Poly& a);  // (-2^12, 2^12]
void unpackT0(Poly& a, const std::uint8_t* in);
void packEta(std::uint8_t* out, const Poly& a);   // [-η, η]
void unpackEta(Poly& a, const std::uint8_t* in);  // any 3-bit value: [-5, 2]
void packZ(std::uint8_t* out, const Poly& a);     // (-γ1, γ1]
void unpackZ(Poly& a, const std::uint8_t* in);
void packW1(std::uint8_t* out, const Poly& a);  // [0, 16)

// --- Helpers -----------------------------------------------------------------------------

// Whether any coefficient has |a_i| ≥ bound; examines every coefficient.
bool exceedsNorm(const Poly& a, std::int32_t bound);
void wipe(void* p, std::size_t n);

}  // namespace orvane::mldsa87

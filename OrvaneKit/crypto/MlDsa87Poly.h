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

inline constexpr std::size_t T1_POLY_BYTES = N * 10 / 8;   // 320
inline constexpr std::size_t T0_POLY_BYTES = N * 13 / 8;   // 416
inline constexpr std::size_t ETA_POLY_BYTES = N * 3 / 8;   // 96
inline constexpr std::size_t Z_POLY_BYTES = N * 20 / 8;    // 640
inline constexpr std::size_t W1_POLY_BYTES = N * 4 / 8;    // 128

inline constexpr std::size_t PUBLIC_KEY_BYTES = SEED_BYTES + K * T1_POLY_BYTES;
inline constexpr std::size_t SECRET_KEY_BYTES =
    2 * SEED_BYTES + TR_BYTES + (L + K) * ETA_POLY_BYTES + K * T0_POLY_BYTES;
inline constexpr std::size_t SIGNATURE_BYTES = CTILDE_BYTES + L * Z_POLY_BYTES + OMEGA + K;

struct Poly {
    std::int32_t c[N];
};

// --- Modular reduction -------------------------------------------------------------------

// a·2^-32 mod q, in (-q, q), for |a| < q·2^31.
std::int32_t montgomeryReduce(std::int64_t a);
// A representative in about (-0.75q, 0.75q) for a ≤ 2^31 - 2^22.
std::int32_t reduce32(std::int32_t a);
// The representative in [0, q) for |a| < 2^31 - 2^22.
std::int32_t freeze(std::int32_t a);
// The representative in [-(q-1)/2, (q-1)/2].
std::int32_t centered(std::int32_t a);

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
std::int32_t power2Round(std::int32_t r, std::int32_t& r0);
// Returns r1 in [0, 15] and sets r0 in (-γ2, γ2] (or r - q when r is near q).
std::int32_t decompose(std::int32_t r, std::int32_t& r0);
std::int32_t highBits(std::int32_t r);
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

void packT1(std::uint8_t* out, const Poly& a);          // [0, 2^10)
void unpackT1(Poly& a, const std::uint8_t* in);
void packT0(std::uint8_t* out, const Poly& a);          // (-2^12, 2^12]
void unpackT0(Poly& a, const std::uint8_t* in);
void packEta(std::uint8_t* out, const Poly& a);         // [-η, η]
void unpackEta(Poly& a, const std::uint8_t* in);        // any 3-bit value: [-5, 2]
void packZ(std::uint8_t* out, const Poly& a);           // (-γ1, γ1]
void unpackZ(Poly& a, const std::uint8_t* in);
void packW1(std::uint8_t* out, const Poly& a);          // [0, 16)

// --- Helpers -----------------------------------------------------------------------------

// Whether any coefficient has |a_i| ≥ bound; examines every coefficient.
bool exceedsNorm(const Poly& a, std::int32_t bound);
void wipe(void* p, std::size_t n);

}  // namespace orvane::mldsa87

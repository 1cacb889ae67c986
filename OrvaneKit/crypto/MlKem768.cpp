#include "OrvaneKit/crypto/MlKem768.h"

#include <openssl/crypto.h>

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#define ORVANE_MLKEM_AVX2 1
#endif
#include <memory>
#include <string>

#include "OrvaneKit/crypto/CryptoError.h"
#include "OrvaneKit/crypto/Keccak.h"

namespace orvane {

namespace {

constexpr int kN = 256;
constexpr int kK = 3;
constexpr std::int16_t kQ = 3329;
constexpr int kDu = 10;
constexpr int kDv = 4;
constexpr std::size_t kPolyBytes = 384;  // 256 coefficients of 12 bits
constexpr std::size_t kPolyVecBytes = kK * kPolyBytes;
constexpr std::size_t kUBytes = kK * kN * kDu / 8;  // 960
constexpr std::size_t kVBytes = kN * kDv / 8;       // 128

static_assert(kPolyVecBytes + 32 == MlKem768::encapsulationKeySize);
static_assert(kUBytes + kVBytes == MlKem768::ciphertextSize);
static_assert(2 * kPolyVecBytes + 96 == MlKem768::decapsulationKeySize);

// ---------- modular arithmetic (Montgomery factor R = 2^16) ----------

constexpr std::int16_t kQInv = -3327;  // q^-1 mod 2^16, signed

// a * R^-1 mod q, in (-q, q) for |a| < q * 2^15.
inline std::int16_t montgomeryReduce(std::int32_t a) {
    const auto t = static_cast<std::int16_t>(static_cast<std::int16_t>(a) * kQInv);
    return static_cast<std::int16_t>((a - static_cast<std::int32_t>(t) * kQ) >> 16);
}

inline std::int16_t fqmul(std::int16_t a, std::int16_t b) {
    return montgomeryReduce(static_cast<std::int32_t>(a) * b);
}

// Centred representative in [-(q-1)/2, (q-1)/2].
inline std::int16_t barrettReduce(std::int16_t a) {
    constexpr std::int32_t v = ((1 << 26) + kQ / 2) / kQ;
    const auto t = static_cast<std::int16_t>((v * a + (1 << 25)) >> 26);
    return static_cast<std::int16_t>(a - t * kQ);
}

// Canonical representative in [0, q), without branches.
inline std::int16_t canonical(std::int16_t a) {
    a = barrettReduce(a);
    return static_cast<std::int16_t>(a + ((a >> 15) & kQ));
}

constexpr std::int32_t powMod(std::int32_t base, std::int32_t e) {
    std::int64_t r = 1, b = base % kQ;
    while (e > 0) {
        if (e & 1) r = r * b % kQ;
        b = b * b % kQ;
        e >>= 1;
    }
    return static_cast<std::int32_t>(r);
}

constexpr int bitRev7(int i) {
    int r = 0;
    for (int b = 0; b < 7; ++b) r |= ((i >> b) & 1) << (6 - b);
    return r;
}

// x * R mod q, centred, so that fqmul by it multiplies by x.
constexpr std::int16_t toMontgomery(std::int32_t x) {
    std::int64_t m = (static_cast<std::int64_t>(x) << 16) % kQ;
    if (m > kQ / 2) m -= kQ;
    return static_cast<std::int16_t>(m);
}

struct Tables {
    std::int16_t zetas[128];   // 17^BitRev7(i)
    std::int16_t gammas[128];  // 17^(2 BitRev7(i) + 1)
};

constexpr Tables makeTables() {
    Tables t{};
    for (int i = 0; i < 128; ++i) {
        t.zetas[i] = toMontgomery(powMod(17, bitRev7(i)));
        t.gammas[i] = toMontgomery(powMod(17, 2 * bitRev7(i) + 1));
    }
    return t;
}

constexpr Tables kTables = makeTables();
constexpr std::int16_t kMontR2 =
    static_cast<std::int16_t>((std::int64_t{1} << 32) % kQ);  // tomont factor
constexpr std::int16_t kInvNttScale = 1441;                   // R^2 / 128 mod q
static_assert((std::int64_t{kInvNttScale} * 128) % kQ == (std::int64_t{1} << 32) % kQ);

// ---------- polynomials ----------

struct Poly {
    std::int16_t c[kN];
};
using PolyVec = std::array<Poly, kK>;

// One butterfly layer; a compile-time length lets the compiler vectorise the inner loop.
template <int Len>
inline void nttLayer(std::int16_t* f, int& k) {
    for (int start = 0; start < kN; start += 2 * Len) {
        const std::int16_t zeta = kTables.zetas[k++];
        for (int j = start; j < start + Len; ++j) {
            const std::int16_t t = fqmul(zeta, f[j + Len]);
            f[j + Len] = static_cast<std::int16_t>(f[j] - t);
            f[j] = static_cast<std::int16_t>(f[j] + t);
        }
    }
}

template <int Len>
inline void invNttLayer(std::int16_t* f, int& k) {
    for (int start = 0; start < kN; start += 2 * Len) {
        const std::int16_t zeta = kTables.zetas[k--];
        for (int j = start; j < start + Len; ++j) {
            const std::int16_t t = f[j];
            f[j] = barrettReduce(static_cast<std::int16_t>(t + f[j + Len]));
            f[j + Len] = fqmul(zeta, static_cast<std::int16_t>(f[j + Len] - t));
        }
    }
}

// Input |x| < q; output below 8q before the final reduction.
void nttPortable(Poly& p) {
    int k = 1;
    nttLayer<128>(p.c, k);
    nttLayer<64>(p.c, k);
    nttLayer<32>(p.c, k);
    nttLayer<16>(p.c, k);
    nttLayer<8>(p.c, k);
    nttLayer<4>(p.c, k);
    nttLayer<2>(p.c, k);
    for (auto& x : p.c) x = barrettReduce(x);
}

// Inverse NTT; the result is multiplied by R, cancelling the R^-1 of a preceding basemul.
void invNttPortable(Poly& p) {
    int k = 127;
    invNttLayer<2>(p.c, k);
    invNttLayer<4>(p.c, k);
    invNttLayer<8>(p.c, k);
    invNttLayer<16>(p.c, k);
    invNttLayer<32>(p.c, k);
    invNttLayer<64>(p.c, k);
    invNttLayer<128>(p.c, k);
    for (auto& x : p.c) x = fqmul(x, kInvNttScale);
}

// r = sum_j a[j] * b[j] in the NTT domain, times R^-1.
void multiplyAccumulatePortable(Poly& r, const PolyVec& a, const PolyVec& b) {
    for (int i = 0; i < kN / 2; ++i) {
        const std::int16_t gamma = kTables.gammas[i];
        std::int32_t c0 = 0, c1 = 0;
        for (int j = 0; j < kK; ++j) {
            const std::int32_t a0 = a[j].c[2 * i], a1 = a[j].c[2 * i + 1];
            const std::int32_t b0 = b[j].c[2 * i], b1 = b[j].c[2 * i + 1];
            // Each product is below 4096 q; six of them stay below q 2^15, so one
            // Montgomery reduction at the end suffices.
            c0 += a0 * b0 + std::int32_t{fqmul(static_cast<std::int16_t>(a1),
                                               static_cast<std::int16_t>(b1))} *
                                gamma;
            c1 += a0 * b1 + a1 * b0;
        }
        r.c[2 * i] = montgomeryReduce(c0);
        r.c[2 * i + 1] = montgomeryReduce(c1);
    }
}

#if defined(ORVANE_MLKEM_AVX2)
// ---------- AVX2 versions of the NTT, its inverse and the base multiplication ----------
// Each computes exactly the same 16-bit values as the scalar code, sixteen coefficients at a
// time. The three innermost layers pair coefficients within one vector, so two vectors are
// regrouped so that each butterfly's operands sit in matching positions of X and Y; the zetas
// for those positions come from tables, indexed only by position.

// Layouts: 0 pairs 128-bit halves (len 8), 1 pairs 64-bit quarters (len 4), 2 pairs 32-bit
// words (len 2). For vector pair p (coefficients 32p..32p+31), element e of X belongs to block:
constexpr int regroupedBlock(int layout, int p, int e) {
    constexpr int quarters[4] = {0, 2, 1, 3};
    constexpr int words[8] = {0, 4, 1, 5, 2, 6, 3, 7};
    if (layout == 0) return 2 * p + e / 8;
    if (layout == 1) return 4 * p + quarters[e / 4];
    return 8 * p + words[e / 2];
}

struct VectorZetas {
    alignas(32) std::int16_t ntt[3][8][16];
    alignas(32) std::int16_t inv[3][8][16];
    alignas(32) std::int16_t gammas[16][16];  // gamma of pair i at odd position 2i+1
};

constexpr VectorZetas makeVectorZetas() {
    VectorZetas z{};
    for (int layout = 0; layout < 3; ++layout) {
        const int len = 8 >> layout;
        for (int p = 0; p < 8; ++p)
            for (int e = 0; e < 16; ++e) {
                const int b = regroupedBlock(layout, p, e);
                z.ntt[layout][p][e] = kTables.zetas[128 / len + b];
                z.inv[layout][p][e] = kTables.zetas[256 / len - 1 - b];
            }
    }
    for (int i = 0; i < kN / 2; ++i) z.gammas[i / 8][2 * (i % 8) + 1] = kTables.gammas[i];
    return z;
}

constexpr VectorZetas kVectorZetas = makeVectorZetas();

#define ORVANE_AVX2 __attribute__((target("avx2")))

ORVANE_AVX2 inline __m256i loadv(const std::int16_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
ORVANE_AVX2 inline void storev(std::int16_t* p, __m256i v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

ORVANE_AVX2 inline __m256i fqmulv(__m256i a, __m256i b) {
    const __m256i lo = _mm256_mullo_epi16(a, b);
    const __m256i hi = _mm256_mulhi_epi16(a, b);
    const __m256i t = _mm256_mullo_epi16(lo, _mm256_set1_epi16(kQInv));
    return _mm256_sub_epi16(hi, _mm256_mulhi_epi16(t, _mm256_set1_epi16(kQ)));
}

// ((a v) >> 16 + 2^9) >> 10 equals (a v + 2^25) >> 26.
ORVANE_AVX2 inline __m256i barrettv(__m256i a) {
    constexpr std::int16_t v = ((1 << 26) + kQ / 2) / kQ;
    const __m256i t =
        _mm256_mulhrs_epi16(_mm256_mulhi_epi16(a, _mm256_set1_epi16(v)), _mm256_set1_epi16(1 << 5));
    return _mm256_sub_epi16(a, _mm256_mullo_epi16(t, _mm256_set1_epi16(kQ)));
}

ORVANE_AVX2 inline void butterfly(__m256i& x, __m256i& y, __m256i zeta) {
    const __m256i t = fqmulv(zeta, y);
    y = _mm256_sub_epi16(x, t);
    x = _mm256_add_epi16(x, t);
}

ORVANE_AVX2 inline void invButterfly(__m256i& x, __m256i& y, __m256i zeta) {
    const __m256i t = x;
    x = barrettv(_mm256_add_epi16(t, y));
    y = fqmulv(zeta, _mm256_sub_epi16(y, t));
}

// Splits the vector pair (v0, v1) into butterfly operands for a layout. Each split is its own
// inverse, so the same call joins the operands back.
template <int Layout>
ORVANE_AVX2 inline void regroup(__m256i v0, __m256i v1, __m256i& x, __m256i& y) {
    if constexpr (Layout == 0) {
        x = _mm256_permute2x128_si256(v0, v1, 0x20);
        y = _mm256_permute2x128_si256(v0, v1, 0x31);
    } else if constexpr (Layout == 1) {
        x = _mm256_unpacklo_epi64(v0, v1);
        y = _mm256_unpackhi_epi64(v0, v1);
    } else {
        x = _mm256_blend_epi32(v0, _mm256_slli_epi64(v1, 32), 0xaa);
        y = _mm256_blend_epi32(_mm256_srli_epi64(v0, 32), v1, 0xaa);
    }
}

template <int Layout, bool Inverse>
ORVANE_AVX2 inline void innerLayer(std::int16_t* f) {
    for (int p = 0; p < 8; ++p) {
        __m256i x, y;
        regroup<Layout>(loadv(f + 32 * p), loadv(f + 32 * p + 16), x, y);
        if constexpr (Inverse)
            invButterfly(x, y, loadv(kVectorZetas.inv[Layout][p]));
        else
            butterfly(x, y, loadv(kVectorZetas.ntt[Layout][p]));
        __m256i v0, v1;
        regroup<Layout>(x, y, v0, v1);
        storev(f + 32 * p, v0);
        storev(f + 32 * p + 16, v1);
    }
}

template <int Len>
ORVANE_AVX2 inline void outerNttLayer(std::int16_t* f, int& k) {
    for (int start = 0; start < kN; start += 2 * Len) {
        const __m256i zeta = _mm256_set1_epi16(kTables.zetas[k++]);
        for (int j = start; j < start + Len; j += 16) {
            __m256i x = loadv(f + j), y = loadv(f + j + Len);
            butterfly(x, y, zeta);
            storev(f + j, x);
            storev(f + j + Len, y);
        }
    }
}

template <int Len>
ORVANE_AVX2 inline void outerInvNttLayer(std::int16_t* f, int& k) {
    for (int start = 0; start < kN; start += 2 * Len) {
        const __m256i zeta = _mm256_set1_epi16(kTables.zetas[k--]);
        for (int j = start; j < start + Len; j += 16) {
            __m256i x = loadv(f + j), y = loadv(f + j + Len);
            invButterfly(x, y, zeta);
            storev(f + j, x);
            storev(f + j + Len, y);
        }
    }
}

ORVANE_AVX2 void nttAvx2(Poly& p) {
    int k = 1;
    outerNttLayer<128>(p.c, k);
    outerNttLayer<64>(p.c, k);
    outerNttLayer<32>(p.c, k);
    outerNttLayer<16>(p.c, k);
    innerLayer<0, false>(p.c);
    innerLayer<1, false>(p.c);
    innerLayer<2, false>(p.c);
    for (int i = 0; i < kN; i += 16) storev(p.c + i, barrettv(loadv(p.c + i)));
}

ORVANE_AVX2 void invNttAvx2(Poly& p) {
    innerLayer<2, true>(p.c);
    innerLayer<1, true>(p.c);
    innerLayer<0, true>(p.c);
    int k = 15;
    outerInvNttLayer<16>(p.c, k);
    outerInvNttLayer<32>(p.c, k);
    outerInvNttLayer<64>(p.c, k);
    outerInvNttLayer<128>(p.c, k);
    const __m256i scale = _mm256_set1_epi16(kInvNttScale);
    for (int i = 0; i < kN; i += 16) storev(p.c + i, fqmulv(loadv(p.c + i), scale));
}

// 32-bit Montgomery reduction of each lane, result sign-extended in the lane.
ORVANE_AVX2 inline __m256i montgomeryReduce32(__m256i c) {
    __m256i t = _mm256_mullo_epi32(c, _mm256_set1_epi32(kQInv));
    t = _mm256_srai_epi32(_mm256_slli_epi32(t, 16), 16);
    return _mm256_srai_epi32(_mm256_sub_epi32(c, _mm256_mullo_epi32(t, _mm256_set1_epi32(kQ))), 16);
}

ORVANE_AVX2 void multiplyAccumulateAvx2(Poly& r, const PolyVec& a, const PolyVec& b) {
    for (int i = 0; i < kN; i += 16) {
        const __m256i gamma = loadv(kVectorZetas.gammas[i / 16]);
        __m256i c0 = _mm256_setzero_si256(), c1 = _mm256_setzero_si256();
        for (int j = 0; j < kK; ++j) {
            const __m256i av = loadv(a[j].c + i), bv = loadv(b[j].c + i);
            // Odd positions: fqmul(a1, b1); madd with (b0, gamma) gives a0 b0 + that * gamma.
            const __m256i f = fqmulv(av, bv);
            c0 = _mm256_add_epi32(c0, _mm256_madd_epi16(_mm256_blend_epi16(av, f, 0xaa),
                                                        _mm256_blend_epi16(bv, gamma, 0xaa)));
            const __m256i bSwapped = _mm256_shufflelo_epi16(_mm256_shufflehi_epi16(bv, 0xb1),
                                                            0xb1);  // (b1, b0) in each pair
            c1 = _mm256_add_epi32(c1, _mm256_madd_epi16(av, bSwapped));
        }
        const __m256i r0 = montgomeryReduce32(c0), r1 = montgomeryReduce32(c1);
        storev(r.c + i, _mm256_blend_epi16(r0, _mm256_slli_epi32(r1, 16), 0xaa));
    }
}

#undef ORVANE_AVX2
#endif

void ntt(Poly& p) {
#if defined(ORVANE_MLKEM_AVX2)
    if (simdEnabled()) return nttAvx2(p);
#endif
    nttPortable(p);
}

void invNtt(Poly& p) {
#if defined(ORVANE_MLKEM_AVX2)
    if (simdEnabled()) return invNttAvx2(p);
#endif
    invNttPortable(p);
}

void multiplyAccumulate(Poly& r, const PolyVec& a, const PolyVec& b) {
#if defined(ORVANE_MLKEM_AVX2)
    if (simdEnabled()) return multiplyAccumulateAvx2(r, a, b);
#endif
    multiplyAccumulatePortable(r, a, b);
}

void polyAdd(Poly& r, const Poly& a) {
    for (int i = 0; i < kN; ++i) r.c[i] = static_cast<std::int16_t>(r.c[i] + a.c[i]);
}

// ---------- sampling ----------

// Appends the accepted 12-bit candidates of buf to p, from coefficient count on; returns the new
// count. len is a multiple of 3, so groups never straddle a refill.
int parseUniformPortable(Poly& p, int count, const std::uint8_t* buf, std::size_t len) {
    for (std::size_t pos = 0; pos + 3 <= len && count < kN; pos += 3) {
        const int d1 = buf[pos] | ((buf[pos + 1] & 0x0f) << 8);
        const int d2 = (buf[pos + 1] >> 4) | (buf[pos + 2] << 4);
        if (d1 < kQ) p.c[count++] = static_cast<std::int16_t>(d1);
        if (d2 < kQ && count < kN) p.c[count++] = static_cast<std::int16_t>(d2);
    }
    return count;
}

#if defined(ORVANE_MLKEM_AVX2)
#define ORVANE_AVX2 __attribute__((target("avx2")))

// For each 8-bit acceptance mask, the byte shuffle that packs the accepted 16-bit candidates.
struct PackTable {
    alignas(16) std::uint8_t idx[256][16];
};

constexpr PackTable makePackTable() {
    PackTable t{};
    for (int m = 0; m < 256; ++m) {
        int k = 0;
        for (int j = 0; j < 8; ++j)
            if ((m >> j) & 1) {
                t.idx[m][2 * k] = static_cast<std::uint8_t>(2 * j);
                t.idx[m][2 * k + 1] = static_cast<std::uint8_t>(2 * j + 1);
                ++k;
            }
        for (; k < 8; ++k) t.idx[m][2 * k] = t.idx[m][2 * k + 1] = 0x80;
    }
    return t;
}

constexpr PackTable kPackTable = makePackTable();

// Sixteen candidates from 24 bytes at a time while there is room to store them whole; the
// matrix seed is public, so branching and indexing on what is accepted leaks nothing.
ORVANE_AVX2 int parseUniformAvx2(Poly& p, int count, const std::uint8_t* buf, std::size_t len) {
    // Lane 0 reads bytes 0-15 and lane 1 bytes 8-23; each 16-bit word takes the two bytes
    // holding one candidate.
    const __m256i gather = _mm256_setr_epi8(0, 1, 1, 2, 3, 4, 4, 5, 6, 7, 7, 8, 9, 10, 10, 11,  //
                                            4, 5, 5, 6, 7, 8, 8, 9, 10, 11, 11, 12, 13, 14, 14, 15);
    const __m256i q = _mm256_set1_epi16(kQ);
    const __m256i low12 = _mm256_set1_epi16(0x0fff);
    std::size_t pos = 0;
    for (; pos + 32 <= len && count <= kN - 16; pos += 24) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buf + pos));
        v = _mm256_shuffle_epi8(_mm256_permute4x64_epi64(v, 0x94), gather);
        v = _mm256_blend_epi16(_mm256_and_si256(v, low12), _mm256_srli_epi16(v, 4), 0xaa);
        const __m256i good = _mm256_cmpgt_epi16(q, v);
        const auto mask = static_cast<unsigned>(
            _mm256_movemask_epi8(_mm256_packs_epi16(good, _mm256_setzero_si256())));
        const unsigned m0 = mask & 0xff, m1 = (mask >> 16) & 0xff;
        const __m128i lo =
            _mm_shuffle_epi8(_mm256_castsi256_si128(v),
                             _mm_load_si128(reinterpret_cast<const __m128i*>(kPackTable.idx[m0])));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p.c + count), lo);
        count += __builtin_popcount(m0);
        const __m128i hi =
            _mm_shuffle_epi8(_mm256_extracti128_si256(v, 1),
                             _mm_load_si128(reinterpret_cast<const __m128i*>(kPackTable.idx[m1])));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p.c + count), hi);
        count += __builtin_popcount(m1);
    }
    return parseUniformPortable(p, count, buf + pos, len - pos);
}

// CBD with eta = 2, sixteen bytes (32 coefficients) at a time; no branch or index depends on
// the (secret) bytes.
ORVANE_AVX2 void cbd2Avx2(Poly& p, const std::uint8_t buf[128]) {
    const __m128i m55 = _mm_set1_epi8(0x55), m03 = _mm_set1_epi8(0x03);
    for (int i = 0; i < 128; i += 16) {
        const __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + i));
        const __m128i d =
            _mm_add_epi8(_mm_and_si128(t, m55), _mm_and_si128(_mm_srli_epi16(t, 1), m55));
        // Low nibble of each byte gives the even coefficient, the high nibble the odd one.
        const __m128i even =
            _mm_sub_epi8(_mm_and_si128(d, m03), _mm_and_si128(_mm_srli_epi16(d, 2), m03));
        const __m128i odd = _mm_sub_epi8(_mm_and_si128(_mm_srli_epi16(d, 4), m03),
                                         _mm_and_si128(_mm_srli_epi16(d, 6), m03));
        storev(p.c + 2 * i, _mm256_cvtepi8_epi16(_mm_unpacklo_epi8(even, odd)));
        storev(p.c + 2 * i + 16, _mm256_cvtepi8_epi16(_mm_unpackhi_epi8(even, odd)));
    }
}

#undef ORVANE_AVX2
#endif

int parseUniform(Poly& p, int count, const std::uint8_t* buf, std::size_t len) {
#if defined(ORVANE_MLKEM_AVX2)
    if (simdEnabled()) return parseUniformAvx2(p, count, buf, len);
#endif
    return parseUniformPortable(p, count, buf, len);
}

constexpr std::size_t kShake128Rate = 168;
constexpr std::size_t kShake256Rate = 136;

// Rejection sampling of a uniform NTT-domain polynomial from SHAKE128(rho || j || i).
void sampleNtt(Poly& p, const std::uint8_t rho[32], std::uint8_t j, std::uint8_t i) {
    Keccak xof(Keccak::Kind::shake128);
    std::uint8_t seed[34];
    std::memcpy(seed, rho, 32);
    seed[32] = j;
    seed[33] = i;
    xof.absorb(ByteView(seed, sizeof(seed)));
    std::uint8_t buf[3 * kShake128Rate];
    xof.squeeze(buf, sizeof(buf));
    int count = parseUniform(p, 0, buf, sizeof(buf));
    while (count < kN) {
        xof.squeeze(buf, kShake128Rate);
        count = parseUniform(p, count, buf, kShake128Rate);
    }
}

// Four polynomials at once; idx[s] holds the two index bytes appended to rho.
void sampleNttX4(Poly* const out[4], const std::uint8_t rho[32], const std::uint8_t idx[4][2]) {
    std::uint8_t seeds[4][34];
    const std::uint8_t* seedPtr[4];
    for (int s = 0; s < 4; ++s) {
        std::memcpy(seeds[s], rho, 32);
        seeds[s][32] = idx[s][0];
        seeds[s][33] = idx[s][1];
        seedPtr[s] = seeds[s];
    }
    KeccakX4 xof;
    xof.absorbOnce(kShake128Rate, 0x1f, seedPtr, 34);
    std::uint8_t buf[4][3 * kShake128Rate];
    for (std::size_t b = 0; b < 3; ++b) {
        std::uint8_t* const dst[4] = {buf[0] + b * kShake128Rate, buf[1] + b * kShake128Rate,
                                      buf[2] + b * kShake128Rate, buf[3] + b * kShake128Rate};
        xof.squeezeBlock(kShake128Rate, dst);
    }
    int count[4];
    for (int s = 0; s < 4; ++s) count[s] = parseUniform(*out[s], 0, buf[s], sizeof(buf[s]));
    while (count[0] < kN || count[1] < kN || count[2] < kN || count[3] < kN) {
        std::uint8_t* const dst[4] = {buf[0], buf[1], buf[2], buf[3]};
        xof.squeezeBlock(kShake128Rate, dst);
        for (int s = 0; s < 4; ++s)
            count[s] = parseUniform(*out[s], count[s], buf[s], kShake128Rate);
    }
}

// A[i][j] = SampleNTT(rho || j || i); the transpose swaps the two index bytes.
void expandMatrix(std::array<PolyVec, kK>& a, const std::uint8_t rho[32], bool transposed) {
    Poly* out[kK * kK];
    std::uint8_t idx[kK * kK][2];
    for (int i = 0; i < kK; ++i)
        for (int j = 0; j < kK; ++j) {
            const auto bi = static_cast<std::uint8_t>(i), bj = static_cast<std::uint8_t>(j);
            out[i * kK + j] = &a[i][j];
            idx[i * kK + j][0] = transposed ? bi : bj;
            idx[i * kK + j][1] = transposed ? bj : bi;
        }
    int n = 0;
    for (; n + 4 <= kK * kK; n += 4) sampleNttX4(out + n, rho, idx + n);
    for (; n < kK * kK; ++n) sampleNtt(*out[n], rho, idx[n][0], idx[n][1]);
}

// CBD with eta = 2 from 128 bytes of PRF output.
void cbd2Portable(Poly& p, const std::uint8_t buf[128]) {
    for (int i = 0; i < kN / 8; ++i) {
        const std::uint32_t t = std::uint32_t{buf[4 * i]} | (std::uint32_t{buf[4 * i + 1]} << 8) |
                                (std::uint32_t{buf[4 * i + 2]} << 16) |
                                (std::uint32_t{buf[4 * i + 3]} << 24);
        const std::uint32_t d = (t & 0x55555555u) + ((t >> 1) & 0x55555555u);
        for (int k = 0; k < 8; ++k) {
            const auto a = static_cast<std::int16_t>((d >> (4 * k)) & 3);
            const auto b = static_cast<std::int16_t>((d >> (4 * k + 2)) & 3);
            p.c[8 * i + k] = static_cast<std::int16_t>(a - b);
        }
    }
}

void cbd2(Poly& p, const std::uint8_t buf[128]) {
#if defined(ORVANE_MLKEM_AVX2)
    if (simdEnabled()) return cbd2Avx2(p, buf);
#endif
    cbd2Portable(p, buf);
}

// out[s] = CBD2(PRF(sigma, n0 + s)) with PRF(sigma, n) = SHAKE256(sigma || n, 128), for up to
// four polynomials in one pass; unused states repeat the last seed.
void sampleCbd2(Poly* const out[], int count, const std::uint8_t sigma[32], std::uint8_t n0) {
    std::uint8_t seeds[4][33];
    const std::uint8_t* seedPtr[4];
    for (int s = 0; s < 4; ++s) {
        std::memcpy(seeds[s], sigma, 32);
        seeds[s][32] = static_cast<std::uint8_t>(n0 + (s < count ? s : count - 1));
        seedPtr[s] = seeds[s];
    }
    KeccakX4 prf;
    prf.absorbOnce(kShake256Rate, 0x1f, seedPtr, 33);
    std::uint8_t buf[4][kShake256Rate];
    std::uint8_t* const dst[4] = {buf[0], buf[1], buf[2], buf[3]};
    prf.squeezeBlock(kShake256Rate, dst);
    for (int s = 0; s < count; ++s) cbd2(*out[s], buf[s]);
    OPENSSL_cleanse(buf, sizeof(buf));
    OPENSSL_cleanse(seeds, sizeof(seeds));
    OPENSSL_cleanse(&prf, sizeof(prf));
}

// ---------- encoding and compression ----------

// Little-endian bit packing of d-bit values (d <= 12); branches depend only on d.
void encodeBits(std::uint8_t* out, const Poly& p, int d) {
    std::uint32_t acc = 0;
    int bits = 0;
    for (int i = 0; i < kN; ++i) {
        acc |= static_cast<std::uint32_t>(static_cast<std::uint16_t>(p.c[i])) << bits;
        bits += d;
        while (bits >= 8) {
            *out++ = static_cast<std::uint8_t>(acc);
            acc >>= 8;
            bits -= 8;
        }
    }
}

void decodeBits(Poly& p, const std::uint8_t* in, int d) {
    const std::uint32_t mask = (1u << d) - 1;
    std::uint32_t acc = 0;
    int bits = 0;
    for (int i = 0; i < kN; ++i) {
        while (bits < d) {
            acc |= std::uint32_t{*in++} << bits;
            bits += 8;
        }
        p.c[i] = static_cast<std::int16_t>(acc & mask);
        acc >>= d;
        bits -= d;
    }
}

void encode12(std::uint8_t* out, const Poly& p) {
    for (int i = 0; i < kN / 2; ++i) {
        const auto a = static_cast<std::uint16_t>(canonical(p.c[2 * i]));
        const auto b = static_cast<std::uint16_t>(canonical(p.c[2 * i + 1]));
        out[3 * i] = static_cast<std::uint8_t>(a);
        out[3 * i + 1] = static_cast<std::uint8_t>((a >> 8) | (b << 4));
        out[3 * i + 2] = static_cast<std::uint8_t>(b >> 4);
    }
}

// Raw 12-bit values, not reduced.
void decode12(Poly& p, const std::uint8_t* in) {
    for (int i = 0; i < kN / 2; ++i) {
        p.c[2 * i] = static_cast<std::int16_t>(in[3 * i] | ((in[3 * i + 1] & 0x0f) << 8));
        p.c[2 * i + 1] = static_cast<std::int16_t>((in[3 * i + 1] >> 4) | (in[3 * i + 2] << 4));
    }
}

}  // namespace

namespace mlkemdetail {
// round(2^d x / q) mod 2^d for x in [0, q), by multiplication (no division instruction).
std::uint16_t compress(std::uint16_t x, int d) {
    const std::uint64_t n = (std::uint64_t{x} << d) + kQ / 2;
    return static_cast<std::uint16_t>(((n * 1290168u) >> 32) & ((1u << d) - 1));
}
// round(q y / 2^d), halves rounding up.
std::uint16_t decompress(std::uint16_t y, int d) {
    return static_cast<std::uint16_t>((std::uint32_t{y} * kQ + (1u << (d - 1))) >> d);
}
}  // namespace mlkemdetail

namespace {

using mlkemdetail::compress;
using mlkemdetail::decompress;

void compressPoly(Poly& p, int d) {
    for (auto& x : p.c)
        x = static_cast<std::int16_t>(compress(static_cast<std::uint16_t>(canonical(x)), d));
}
void decompressPoly(Poly& p, int d) {
    for (auto& x : p.c) x = static_cast<std::int16_t>(decompress(static_cast<std::uint16_t>(x), d));
}

void messageToPoly(Poly& p, const std::uint8_t m[32]) {
    for (int i = 0; i < kN; ++i) {
        const auto bit = static_cast<std::int16_t>((m[i >> 3] >> (i & 7)) & 1);
        p.c[i] = static_cast<std::int16_t>(-bit & ((kQ + 1) / 2));
    }
}

void polyToMessage(std::uint8_t m[32], const Poly& p) {
    std::memset(m, 0, 32);
    for (int i = 0; i < kN; ++i) {
        const std::uint16_t bit = compress(static_cast<std::uint16_t>(canonical(p.c[i])), 1);
        m[i >> 3] = static_cast<std::uint8_t>(m[i >> 3] | (bit << (i & 7)));
    }
}

template <class T>
void wipe(T& t) {
    OPENSSL_cleanse(&t, sizeof(t));
}

// ---------- K-PKE ----------

// ek = ByteEncode12(t) || rho, dkPke = ByteEncode12(s).
void pkeKeyGen(std::uint8_t* ek, std::uint8_t* dkPke, const std::uint8_t d[32]) {
    std::uint8_t input[33];
    std::memcpy(input, d, 32);
    input[32] = kK;
    std::uint8_t g[64];
    {
        Keccak h(Keccak::Kind::sha3_512);
        h.absorb(ByteView(input, sizeof(input)));
        h.squeeze(g, sizeof(g));
    }
    const std::uint8_t* rho = g;
    const std::uint8_t* sigma = g + 32;

    std::array<PolyVec, kK> a;
    expandMatrix(a, rho, false);
    PolyVec s, e;
    {
        Poly* const noise[2 * kK] = {&s[0], &s[1], &s[2], &e[0], &e[1], &e[2]};
        sampleCbd2(noise, 4, sigma, 0);
        sampleCbd2(noise + 4, 2, sigma, 4);
    }
    for (auto& p : s) ntt(p);
    for (auto& p : e) ntt(p);

    for (int i = 0; i < kK; ++i) {
        Poly t;
        multiplyAccumulate(t, a[i], s);
        for (auto& x : t.c) x = fqmul(x, kMontR2);
        polyAdd(t, e[i]);
        encode12(ek + i * kPolyBytes, t);
    }
    std::memcpy(ek + kPolyVecBytes, rho, 32);
    for (int i = 0; i < kK; ++i) encode12(dkPke + i * kPolyBytes, s[i]);

    wipe(s);
    wipe(e);
    wipe(g);
    wipe(input);
}

// Parsed public part of an encapsulation key, reusable for re-encryption.
struct PublicKey {
    PolyVec t;
    std::array<PolyVec, kK> aT;
};

void parsePublicKey(PublicKey& pk, const std::uint8_t* ek) {
    for (int i = 0; i < kK; ++i) decode12(pk.t[i], ek + i * kPolyBytes);
    expandMatrix(pk.aT, ek + kPolyVecBytes, true);
}

void pkeEncrypt(std::uint8_t* c, const PublicKey& pk, const std::uint8_t m[32],
                const std::uint8_t r[32]) {
    PolyVec y, e1;
    Poly e2;
    {
        Poly* const noise[2 * kK + 1] = {&y[0], &y[1], &y[2], &e1[0], &e1[1], &e1[2], &e2};
        sampleCbd2(noise, 4, r, 0);
        sampleCbd2(noise + 4, 3, r, 4);
    }
    for (auto& p : y) ntt(p);

    for (int i = 0; i < kK; ++i) {
        Poly u;
        multiplyAccumulate(u, pk.aT[i], y);
        invNtt(u);
        polyAdd(u, e1[i]);
        compressPoly(u, kDu);
        encodeBits(c + i * (kN * kDu / 8), u, kDu);
    }
    Poly v, mu;
    multiplyAccumulate(v, pk.t, y);
    invNtt(v);
    polyAdd(v, e2);
    messageToPoly(mu, m);
    polyAdd(v, mu);
    compressPoly(v, kDv);
    encodeBits(c + kUBytes, v, kDv);

    wipe(y);
    wipe(e1);
    wipe(e2);
    wipe(v);
    wipe(mu);
}

void pkeDecrypt(std::uint8_t m[32], const std::uint8_t* dkPke, const std::uint8_t* c) {
    PolyVec u, s;
    for (int i = 0; i < kK; ++i) {
        decodeBits(u[i], c + i * (kN * kDu / 8), kDu);
        decompressPoly(u[i], kDu);
        ntt(u[i]);
        decode12(s[i], dkPke + i * kPolyBytes);
    }
    Poly v, w;
    decodeBits(v, c + kUBytes, kDv);
    decompressPoly(v, kDv);
    multiplyAccumulate(w, s, u);
    invNtt(w);
    for (int i = 0; i < kN; ++i) w.c[i] = barrettReduce(static_cast<std::int16_t>(v.c[i] - w.c[i]));
    polyToMessage(m, w);
    wipe(s);
    wipe(w);
}

void hashH(std::uint8_t out[32], ByteView data) {
    Keccak h(Keccak::Kind::sha3_256);
    h.absorb(data);
    h.squeeze(out, 32);
}

// (K, r) = G(m || h)
void hashG(std::uint8_t out[64], const std::uint8_t m[32], const std::uint8_t h[32]) {
    Keccak g(Keccak::Kind::sha3_512);
    g.absorb(ByteView(m, 32));
    g.absorb(ByteView(h, 32));
    g.squeeze(out, 64);
}

// H(ek) and J(z || c) side by side: both have eight whole blocks at SHAKE256's rate.
void hashHAndJ(std::uint8_t h[32], const std::uint8_t* ek, std::uint8_t kBar[32],
               const std::uint8_t z[32], const std::uint8_t* c) {
    if (!simdEnabled()) {
        hashH(h, ByteView(ek, MlKem768::encapsulationKeySize));
        Keccak j(Keccak::Kind::shake256);
        j.absorb(ByteView(z, 32));
        j.absorb(ByteView(c, MlKem768::ciphertextSize));
        j.squeeze(kBar, 32);
        return;
    }
    std::array<std::uint8_t, 32 + MlKem768::ciphertextSize> zc;
    std::memcpy(zc.data(), z, 32);
    std::memcpy(zc.data() + 32, c, MlKem768::ciphertextSize);
    static_assert(MlKem768::encapsulationKeySize / kShake256Rate == zc.size() / kShake256Rate);
    const std::uint8_t* const msgs[4] = {ek, zc.data(), ek, ek};
    const std::size_t lens[4] = {MlKem768::encapsulationKeySize, zc.size(),
                                 MlKem768::encapsulationKeySize, MlKem768::encapsulationKeySize};
    const std::uint8_t pads[4] = {0x06, 0x1f, 0x06, 0x06};  // SHA3-256, SHAKE256
    KeccakX4 sponge;
    sponge.absorb(kShake256Rate, pads, msgs, lens);
    std::uint8_t out[4][kShake256Rate];
    std::uint8_t* const dst[4] = {out[0], out[1], out[2], out[3]};
    sponge.squeezeBlock(kShake256Rate, dst);
    std::memcpy(h, out[0], 32);
    std::memcpy(kBar, out[1], 32);
    OPENSSL_cleanse(out, sizeof(out));
    OPENSSL_cleanse(zc.data(), zc.size());
    OPENSSL_cleanse(&sponge, sizeof(sponge));
}

void requireSize(ByteView b, std::size_t n, const char* what) {
    if (b.size() != n) throw CryptoError(std::string("ML-KEM-768: wrong length of ") + what);
}

}  // namespace

MlKem768::KeyPair MlKem768::keyGenInternal(ByteView d, ByteView z) {
    requireSize(d, seedSize, "d");
    requireSize(z, seedSize, "z");
    KeyPair kp{Bytes(encapsulationKeySize), SecureBytes(decapsulationKeySize)};
    std::uint8_t* dk = kp.decapsulationKey.data();
    pkeKeyGen(kp.encapsulationKey.data(), dk, d.data());
    std::memcpy(dk + kPolyVecBytes, kp.encapsulationKey.data(), encapsulationKeySize);
    hashH(dk + kPolyVecBytes + encapsulationKeySize, kp.encapsulationKey);
    std::memcpy(dk + kPolyVecBytes + encapsulationKeySize + 32, z.data(), 32);
    return kp;
}

MlKem768::KeyPair MlKem768::keyGen(RandomSource& random) {
    SecureBytes dz(2 * seedSize);
    random.fill(dz.data(), dz.size());
    return keyGenInternal(dz.view().first(32), dz.view().subspan(32));
}

bool MlKem768::isValidEncapsulationKey(ByteView ek) {
    if (ek.size() != encapsulationKeySize) return false;
    Poly p;
    for (int i = 0; i < kK; ++i) {
        decode12(p, ek.data() + i * kPolyBytes);
        for (auto x : p.c)
            if (x >= kQ) return false;
    }
    return true;
}

MlKem768::Encapsulation MlKem768::encapsInternal(ByteView ek, ByteView m) {
    requireSize(m, 32, "m");
    if (ek.size() != encapsulationKeySize)
        throw CryptoError("ML-KEM-768: wrong encapsulation key length");
    if (!isValidEncapsulationKey(ek))
        throw CryptoError("ML-KEM-768: encapsulation key not reduced modulo q");
    std::uint8_t h[32];
    hashH(h, ek);
    std::uint8_t kr[64];
    hashG(kr, m.data(), h);
    auto pk = std::make_unique<PublicKey>();
    parsePublicKey(*pk, ek.data());
    Encapsulation out{Bytes(ciphertextSize), SecureBytes(ByteView(kr, 32))};
    pkeEncrypt(out.ciphertext.data(), *pk, m.data(), kr + 32);
    wipe(kr);
    return out;
}

MlKem768::Encapsulation MlKem768::encaps(ByteView ek, RandomSource& random) {
    SecureBytes m(32);
    random.fill(m.data(), m.size());
    return encapsInternal(ek, m);
}

SecureBytes MlKem768::decaps(ByteView dkView, ByteView c) {
    requireSize(dkView, decapsulationKeySize, "decapsulation key");
    requireSize(c, ciphertextSize, "ciphertext");
    const std::uint8_t* dk = dkView.data();
    const std::uint8_t* dkPke = dk;
    const std::uint8_t* ekPke = dk + kPolyVecBytes;
    const std::uint8_t* h = ekPke + encapsulationKeySize;
    const std::uint8_t* z = h + 32;

    // The key check H(ek) and the rejection key K̄ = J(z || c).
    std::uint8_t hCheck[32];
    std::uint8_t kBar[32];
    hashHAndJ(hCheck, ekPke, kBar, z, c.data());
    if (CRYPTO_memcmp(hCheck, h, 32) != 0)
        throw CryptoError("ML-KEM-768: inconsistent decapsulation key");

    std::uint8_t m[32];
    pkeDecrypt(m, dkPke, c.data());
    std::uint8_t kr[64];
    hashG(kr, m, h);

    auto pk = std::make_unique<PublicKey>();
    parsePublicKey(*pk, ekPke);
    std::array<std::uint8_t, ciphertextSize> cPrime;
    pkeEncrypt(cPrime.data(), *pk, m, kr + 32);

    // Constant-time comparison and selection: no branch on whether c was genuine.
    std::uint32_t diff = 0;
    for (std::size_t i = 0; i < ciphertextSize; ++i)
        diff |= static_cast<std::uint32_t>(c[i] ^ cPrime[i]);
    const auto keepMask =
        static_cast<std::uint8_t>(((diff | (0u - diff)) >> 31) - 1);  // 0xff when equal
    SecureBytes key(32);
    for (int i = 0; i < 32; ++i)
        key[i] = static_cast<std::uint8_t>((kr[i] & keepMask) |
                                           (kBar[i] & static_cast<std::uint8_t>(~keepMask)));

    wipe(m);
    wipe(kr);
    wipe(kBar);
    return key;
}

}  // namespace orvane

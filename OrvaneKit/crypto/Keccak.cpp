#include "OrvaneKit/crypto/Keccak.h"

#include <openssl/crypto.h>

#include <atomic>
#include <cstring>
#include <stdexcept>

#if defined(__x86_64__)
#include <immintrin.h>
#define ORVANE_KECCAK_AVX2 1
#endif

namespace orvane {

namespace {

constexpr std::uint64_t kRoundConstants[24] = {
    0x0000000000000001ULL, 0x0000000000008082ULL, 0x800000000000808aULL, 0x8000000080008000ULL,
    0x000000000000808bULL, 0x0000000080000001ULL, 0x8000000080008081ULL, 0x8000000000008009ULL,
    0x000000000000008aULL, 0x0000000000000088ULL, 0x0000000080008009ULL, 0x000000008000000aULL,
    0x000000008000808bULL, 0x800000000000008bULL, 0x8000000000008089ULL, 0x8000000000008003ULL,
    0x8000000000008002ULL, 0x8000000000000080ULL, 0x000000000000800aULL, 0x800000008000000aULL,
    0x8000000080008081ULL, 0x8000000000008080ULL, 0x0000000080000001ULL, 0x8000000080008008ULL,
};

inline std::uint64_t rol(std::uint64_t x, int n) {
    return (x << n) | (x >> ((64 - n) & 63));
}

inline std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

inline void store64(std::uint8_t* p, std::uint64_t v) {
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    std::memcpy(p, &v, 8);
}

}  // namespace

void keccakF1600(std::uint64_t s[25]) {
    std::uint64_t a00 = s[0], a01 = s[1], a02 = s[2], a03 = s[3], a04 = s[4];
    std::uint64_t a05 = s[5], a06 = s[6], a07 = s[7], a08 = s[8], a09 = s[9];
    std::uint64_t a10 = s[10], a11 = s[11], a12 = s[12], a13 = s[13], a14 = s[14];
    std::uint64_t a15 = s[15], a16 = s[16], a17 = s[17], a18 = s[18], a19 = s[19];
    std::uint64_t a20 = s[20], a21 = s[21], a22 = s[22], a23 = s[23], a24 = s[24];

    for (int round = 0; round < 24; ++round) {
        // theta
        const std::uint64_t c0 = a00 ^ a05 ^ a10 ^ a15 ^ a20;
        const std::uint64_t c1 = a01 ^ a06 ^ a11 ^ a16 ^ a21;
        const std::uint64_t c2 = a02 ^ a07 ^ a12 ^ a17 ^ a22;
        const std::uint64_t c3 = a03 ^ a08 ^ a13 ^ a18 ^ a23;
        const std::uint64_t c4 = a04 ^ a09 ^ a14 ^ a19 ^ a24;
        const std::uint64_t d0 = c4 ^ rol(c1, 1);
        const std::uint64_t d1 = c0 ^ rol(c2, 1);
        const std::uint64_t d2 = c1 ^ rol(c3, 1);
        const std::uint64_t d3 = c2 ^ rol(c4, 1);
        const std::uint64_t d4 = c3 ^ rol(c0, 1);

        // rho and pi: b[y][2x+3y] = rot(a[x][y]); lanes indexed x + 5y
        const std::uint64_t b00 = a00 ^ d0;
        const std::uint64_t b01 = rol(a06 ^ d1, 44);
        const std::uint64_t b02 = rol(a12 ^ d2, 43);
        const std::uint64_t b03 = rol(a18 ^ d3, 21);
        const std::uint64_t b04 = rol(a24 ^ d4, 14);
        const std::uint64_t b05 = rol(a03 ^ d3, 28);
        const std::uint64_t b06 = rol(a09 ^ d4, 20);
        const std::uint64_t b07 = rol(a10 ^ d0, 3);
        const std::uint64_t b08 = rol(a16 ^ d1, 45);
        const std::uint64_t b09 = rol(a22 ^ d2, 61);
        const std::uint64_t b10 = rol(a01 ^ d1, 1);
        const std::uint64_t b11 = rol(a07 ^ d2, 6);
        const std::uint64_t b12 = rol(a13 ^ d3, 25);
        const std::uint64_t b13 = rol(a19 ^ d4, 8);
        const std::uint64_t b14 = rol(a20 ^ d0, 18);
        const std::uint64_t b15 = rol(a04 ^ d4, 27);
        const std::uint64_t b16 = rol(a05 ^ d0, 36);
        const std::uint64_t b17 = rol(a11 ^ d1, 10);
        const std::uint64_t b18 = rol(a17 ^ d2, 15);
        const std::uint64_t b19 = rol(a23 ^ d3, 56);
        const std::uint64_t b20 = rol(a02 ^ d2, 62);
        const std::uint64_t b21 = rol(a08 ^ d3, 55);
        const std::uint64_t b22 = rol(a14 ^ d4, 39);
        const std::uint64_t b23 = rol(a15 ^ d0, 41);
        const std::uint64_t b24 = rol(a21 ^ d1, 2);

        // chi and iota
        a00 = b00 ^ (~b01 & b02) ^ kRoundConstants[round];
        a01 = b01 ^ (~b02 & b03);
        a02 = b02 ^ (~b03 & b04);
        a03 = b03 ^ (~b04 & b00);
        a04 = b04 ^ (~b00 & b01);
        a05 = b05 ^ (~b06 & b07);
        a06 = b06 ^ (~b07 & b08);
        a07 = b07 ^ (~b08 & b09);
        a08 = b08 ^ (~b09 & b05);
        a09 = b09 ^ (~b05 & b06);
        a10 = b10 ^ (~b11 & b12);
        a11 = b11 ^ (~b12 & b13);
        a12 = b12 ^ (~b13 & b14);
        a13 = b13 ^ (~b14 & b10);
        a14 = b14 ^ (~b10 & b11);
        a15 = b15 ^ (~b16 & b17);
        a16 = b16 ^ (~b17 & b18);
        a17 = b17 ^ (~b18 & b19);
        a18 = b18 ^ (~b19 & b15);
        a19 = b19 ^ (~b15 & b16);
        a20 = b20 ^ (~b21 & b22);
        a21 = b21 ^ (~b22 & b23);
        a22 = b22 ^ (~b23 & b24);
        a23 = b23 ^ (~b24 & b20);
        a24 = b24 ^ (~b20 & b21);
    }

    s[0] = a00;
    s[1] = a01;
    s[2] = a02;
    s[3] = a03;
    s[4] = a04;
    s[5] = a05;
    s[6] = a06;
    s[7] = a07;
    s[8] = a08;
    s[9] = a09;
    s[10] = a10;
    s[11] = a11;
    s[12] = a12;
    s[13] = a13;
    s[14] = a14;
    s[15] = a15;
    s[16] = a16;
    s[17] = a17;
    s[18] = a18;
    s[19] = a19;
    s[20] = a20;
    s[21] = a21;
    s[22] = a22;
    s[23] = a23;
    s[24] = a24;
}

namespace {

bool cpuHasAvx2() {
#if defined(ORVANE_KECCAK_AVX2)
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
#else
    return false;
#endif
}

std::atomic<bool>& simdFlag() {
    static std::atomic<bool> flag{cpuHasAvx2()};
    return flag;
}

#if defined(ORVANE_KECCAK_AVX2)
// Rotation offsets and lane order match the scalar permutation above.
template <int N>
__attribute__((target("avx2"))) inline __m256i rolv(__m256i x) {
    return _mm256_or_si256(_mm256_slli_epi64(x, N), _mm256_srli_epi64(x, 64 - N));
}

__attribute__((target("avx2"))) inline __m256i xor5(__m256i a, __m256i b, __m256i c, __m256i d,
                                                    __m256i e) {
    return _mm256_xor_si256(_mm256_xor_si256(_mm256_xor_si256(a, b), _mm256_xor_si256(c, d)), e);
}

// Unrolled like the scalar permutation, so that the compiler keeps lanes in registers.
__attribute__((target("avx2"))) void keccakF1600x4Avx2(KeccakX4& st) {
    const auto* in = reinterpret_cast<const __m256i*>(st.lanes);
    __m256i a00 = _mm256_load_si256(in + 0);
    __m256i a01 = _mm256_load_si256(in + 1);
    __m256i a02 = _mm256_load_si256(in + 2);
    __m256i a03 = _mm256_load_si256(in + 3);
    __m256i a04 = _mm256_load_si256(in + 4);
    __m256i a05 = _mm256_load_si256(in + 5);
    __m256i a06 = _mm256_load_si256(in + 6);
    __m256i a07 = _mm256_load_si256(in + 7);
    __m256i a08 = _mm256_load_si256(in + 8);
    __m256i a09 = _mm256_load_si256(in + 9);
    __m256i a10 = _mm256_load_si256(in + 10);
    __m256i a11 = _mm256_load_si256(in + 11);
    __m256i a12 = _mm256_load_si256(in + 12);
    __m256i a13 = _mm256_load_si256(in + 13);
    __m256i a14 = _mm256_load_si256(in + 14);
    __m256i a15 = _mm256_load_si256(in + 15);
    __m256i a16 = _mm256_load_si256(in + 16);
    __m256i a17 = _mm256_load_si256(in + 17);
    __m256i a18 = _mm256_load_si256(in + 18);
    __m256i a19 = _mm256_load_si256(in + 19);
    __m256i a20 = _mm256_load_si256(in + 20);
    __m256i a21 = _mm256_load_si256(in + 21);
    __m256i a22 = _mm256_load_si256(in + 22);
    __m256i a23 = _mm256_load_si256(in + 23);
    __m256i a24 = _mm256_load_si256(in + 24);
    for (int round = 0; round < 24; ++round) {
        const __m256i c0 = xor5(a00, a05, a10, a15, a20);
        const __m256i c1 = xor5(a01, a06, a11, a16, a21);
        const __m256i c2 = xor5(a02, a07, a12, a17, a22);
        const __m256i c3 = xor5(a03, a08, a13, a18, a23);
        const __m256i c4 = xor5(a04, a09, a14, a19, a24);
        const __m256i d0 = _mm256_xor_si256(c4, rolv<1>(c1));
        const __m256i d1 = _mm256_xor_si256(c0, rolv<1>(c2));
        const __m256i d2 = _mm256_xor_si256(c1, rolv<1>(c3));
        const __m256i d3 = _mm256_xor_si256(c2, rolv<1>(c4));
        const __m256i d4 = _mm256_xor_si256(c3, rolv<1>(c0));
        const __m256i b00 = _mm256_xor_si256(a00, d0);
        const __m256i b01 = rolv<44>(_mm256_xor_si256(a06, d1));
        const __m256i b02 = rolv<43>(_mm256_xor_si256(a12, d2));
        const __m256i b03 = rolv<21>(_mm256_xor_si256(a18, d3));
        const __m256i b04 = rolv<14>(_mm256_xor_si256(a24, d4));
        const __m256i b05 = rolv<28>(_mm256_xor_si256(a03, d3));
        const __m256i b06 = rolv<20>(_mm256_xor_si256(a09, d4));
        const __m256i b07 = rolv<3>(_mm256_xor_si256(a10, d0));
        const __m256i b08 = rolv<45>(_mm256_xor_si256(a16, d1));
        const __m256i b09 = rolv<61>(_mm256_xor_si256(a22, d2));
        const __m256i b10 = rolv<1>(_mm256_xor_si256(a01, d1));
        const __m256i b11 = rolv<6>(_mm256_xor_si256(a07, d2));
        const __m256i b12 = rolv<25>(_mm256_xor_si256(a13, d3));
        const __m256i b13 = rolv<8>(_mm256_xor_si256(a19, d4));
        const __m256i b14 = rolv<18>(_mm256_xor_si256(a20, d0));
        const __m256i b15 = rolv<27>(_mm256_xor_si256(a04, d4));
        const __m256i b16 = rolv<36>(_mm256_xor_si256(a05, d0));
        const __m256i b17 = rolv<10>(_mm256_xor_si256(a11, d1));
        const __m256i b18 = rolv<15>(_mm256_xor_si256(a17, d2));
        const __m256i b19 = rolv<56>(_mm256_xor_si256(a23, d3));
        const __m256i b20 = rolv<62>(_mm256_xor_si256(a02, d2));
        const __m256i b21 = rolv<55>(_mm256_xor_si256(a08, d3));
        const __m256i b22 = rolv<39>(_mm256_xor_si256(a14, d4));
        const __m256i b23 = rolv<41>(_mm256_xor_si256(a15, d0));
        const __m256i b24 = rolv<2>(_mm256_xor_si256(a21, d1));
        a00 = _mm256_xor_si256(b00, _mm256_andnot_si256(b01, b02));
        a01 = _mm256_xor_si256(b01, _mm256_andnot_si256(b02, b03));
        a02 = _mm256_xor_si256(b02, _mm256_andnot_si256(b03, b04));
        a03 = _mm256_xor_si256(b03, _mm256_andnot_si256(b04, b00));
        a04 = _mm256_xor_si256(b04, _mm256_andnot_si256(b00, b01));
        a05 = _mm256_xor_si256(b05, _mm256_andnot_si256(b06, b07));
        a06 = _mm256_xor_si256(b06, _mm256_andnot_si256(b07, b08));
        a07 = _mm256_xor_si256(b07, _mm256_andnot_si256(b08, b09));
        a08 = _mm256_xor_si256(b08, _mm256_andnot_si256(b09, b05));
        a09 = _mm256_xor_si256(b09, _mm256_andnot_si256(b05, b06));
        a10 = _mm256_xor_si256(b10, _mm256_andnot_si256(b11, b12));
        a11 = _mm256_xor_si256(b11, _mm256_andnot_si256(b12, b13));
        a12 = _mm256_xor_si256(b12, _mm256_andnot_si256(b13, b14));
        a13 = _mm256_xor_si256(b13, _mm256_andnot_si256(b14, b10));
        a14 = _mm256_xor_si256(b14, _mm256_andnot_si256(b10, b11));
        a15 = _mm256_xor_si256(b15, _mm256_andnot_si256(b16, b17));
        a16 = _mm256_xor_si256(b16, _mm256_andnot_si256(b17, b18));
        a17 = _mm256_xor_si256(b17, _mm256_andnot_si256(b18, b19));
        a18 = _mm256_xor_si256(b18, _mm256_andnot_si256(b19, b15));
        a19 = _mm256_xor_si256(b19, _mm256_andnot_si256(b15, b16));
        a20 = _mm256_xor_si256(b20, _mm256_andnot_si256(b21, b22));
        a21 = _mm256_xor_si256(b21, _mm256_andnot_si256(b22, b23));
        a22 = _mm256_xor_si256(b22, _mm256_andnot_si256(b23, b24));
        a23 = _mm256_xor_si256(b23, _mm256_andnot_si256(b24, b20));
        a24 = _mm256_xor_si256(b24, _mm256_andnot_si256(b20, b21));
        a00 = _mm256_xor_si256(a00,
                               _mm256_set1_epi64x(static_cast<long long>(kRoundConstants[round])));
    }
    auto* out = reinterpret_cast<__m256i*>(st.lanes);
    _mm256_store_si256(out + 0, a00);
    _mm256_store_si256(out + 1, a01);
    _mm256_store_si256(out + 2, a02);
    _mm256_store_si256(out + 3, a03);
    _mm256_store_si256(out + 4, a04);
    _mm256_store_si256(out + 5, a05);
    _mm256_store_si256(out + 6, a06);
    _mm256_store_si256(out + 7, a07);
    _mm256_store_si256(out + 8, a08);
    _mm256_store_si256(out + 9, a09);
    _mm256_store_si256(out + 10, a10);
    _mm256_store_si256(out + 11, a11);
    _mm256_store_si256(out + 12, a12);
    _mm256_store_si256(out + 13, a13);
    _mm256_store_si256(out + 14, a14);
    _mm256_store_si256(out + 15, a15);
    _mm256_store_si256(out + 16, a16);
    _mm256_store_si256(out + 17, a17);
    _mm256_store_si256(out + 18, a18);
    _mm256_store_si256(out + 19, a19);
    _mm256_store_si256(out + 20, a20);
    _mm256_store_si256(out + 21, a21);
    _mm256_store_si256(out + 22, a22);
    _mm256_store_si256(out + 23, a23);
    _mm256_store_si256(out + 24, a24);
}
#endif

}  // namespace

bool simdEnabled() {
    return simdFlag().load(std::memory_order_relaxed);
}

void setSimdEnabled(bool on) {
    simdFlag().store(on && cpuHasAvx2(), std::memory_order_relaxed);
}

void keccakF1600x4(KeccakX4& st) {
#if defined(ORVANE_KECCAK_AVX2)
    if (simdEnabled()) {
        keccakF1600x4Avx2(st);
        return;
    }
#endif
    std::uint64_t one[25];
    for (int s = 0; s < 4; ++s) {
        for (int i = 0; i < 25; ++i) one[i] = st.lanes[i][s];
        keccakF1600(one);
        for (int i = 0; i < 25; ++i) st.lanes[i][s] = one[i];
    }
    OPENSSL_cleanse(one, sizeof(one));
}

void KeccakX4::absorbOnce(std::size_t rate, std::uint8_t pad, const std::uint8_t* const msgs[4],
                          std::size_t len) {
    if (len >= rate) throw std::logic_error("Keccak: message longer than one block");
    const std::uint8_t pads[4] = {pad, pad, pad, pad};
    const std::size_t lens[4] = {len, len, len, len};
    absorb(rate, pads, msgs, lens);
}

void KeccakX4::absorb(std::size_t rate, const std::uint8_t pads[4],
                      const std::uint8_t* const msgs[4], const std::size_t lens[4]) {
    const std::size_t blocks = lens[0] / rate;
    for (int s = 1; s < 4; ++s)
        if (lens[s] / rate != blocks) throw std::logic_error("Keccak: unequal block counts");
    std::memset(lanes, 0, sizeof(lanes));
    for (std::size_t b = 0; b < blocks; ++b) {
        for (int s = 0; s < 4; ++s)
            for (std::size_t i = 0; i < rate / 8; ++i)
                lanes[i][s] ^= load64(msgs[s] + b * rate + 8 * i);
        keccakF1600x4(*this);
    }
    for (int s = 0; s < 4; ++s) {
        const std::uint8_t* tail = msgs[s] + blocks * rate;
        const std::size_t len = lens[s] - blocks * rate;
        std::size_t i = 0;
        for (; i + 8 <= len; i += 8) lanes[i >> 3][s] ^= load64(tail + i);
        for (; i < len; ++i) lanes[i >> 3][s] ^= std::uint64_t{tail[i]} << (8 * (i & 7));
        lanes[len >> 3][s] ^= std::uint64_t{pads[s]} << (8 * (len & 7));
        lanes[(rate - 1) >> 3][s] ^= std::uint64_t{0x80} << (8 * ((rate - 1) & 7));
    }
}

void KeccakX4::squeezeBlock(std::size_t rate, std::uint8_t* const out[4]) {
    keccakF1600x4(*this);
    for (int s = 0; s < 4; ++s)
        for (std::size_t i = 0; i < rate / 8; ++i) store64(out[s] + 8 * i, lanes[i][s]);
}

Keccak::Keccak(Kind kind) {
    switch (kind) {
        case Kind::sha3_256:
            rate_ = 136;
            pad_ = 0x06;
            break;
        case Kind::sha3_512:
            rate_ = 72;
            pad_ = 0x06;
            break;
        case Kind::shake128:
            rate_ = 168;
            pad_ = 0x1f;
            break;
        case Kind::shake256:
            rate_ = 136;
            pad_ = 0x1f;
            break;
    }
    reset();
}

Keccak::~Keccak() {
    OPENSSL_cleanse(state_, sizeof(state_));
}

void Keccak::reset() {
    std::memset(state_, 0, sizeof(state_));
    pos_ = 0;
    squeezing_ = false;
}

void Keccak::absorb(ByteView data) {
    if (squeezing_) throw std::logic_error("Keccak: absorb after squeeze");
    const std::uint8_t* p = data.data();
    std::size_t n = data.size();
    // Finish a partial block byte by byte.
    while (n > 0 && pos_ != 0) {
        state_[pos_ >> 3] ^= std::uint64_t{*p} << (8 * (pos_ & 7));
        ++p;
        --n;
        if (++pos_ == rate_) {
            keccakF1600(state_);
            pos_ = 0;
        }
    }
    // Whole blocks, lane by lane.
    const std::size_t lanes = rate_ / 8;
    while (n >= rate_) {
        for (std::size_t i = 0; i < lanes; ++i) state_[i] ^= load64(p + 8 * i);
        keccakF1600(state_);
        p += rate_;
        n -= rate_;
    }
    for (; n > 0; --n, ++p, ++pos_) state_[pos_ >> 3] ^= std::uint64_t{*p} << (8 * (pos_ & 7));
}

void Keccak::finish() {
    state_[pos_ >> 3] ^= std::uint64_t{pad_} << (8 * (pos_ & 7));
    state_[(rate_ - 1) >> 3] ^= std::uint64_t{0x80} << (8 * ((rate_ - 1) & 7));
    keccakF1600(state_);
    pos_ = 0;
    squeezing_ = true;
}

void Keccak::squeeze(std::uint8_t* out, std::size_t n) {
    if (!squeezing_) finish();
    while (n > 0) {
        if (pos_ == rate_) {
            keccakF1600(state_);
            pos_ = 0;
        }
        if (pos_ == 0 && n >= rate_) {
            for (std::size_t i = 0; i < rate_ / 8; ++i) store64(out + 8 * i, state_[i]);
            out += rate_;
            n -= rate_;
            pos_ = rate_;
            continue;
        }
        std::size_t take = rate_ - pos_;
        if (take > n) take = n;
        for (std::size_t i = 0; i < take; ++i, ++pos_)
            out[i] = static_cast<std::uint8_t>(state_[pos_ >> 3] >> (8 * (pos_ & 7)));
        out += take;
        n -= take;
    }
}

Bytes Keccak::squeeze(std::size_t n) {
    Bytes out(n);
    squeeze(out.data(), n);
    return out;
}

namespace {
Bytes oneShot(Keccak::Kind kind, ByteView data, std::size_t outLen) {
    Keccak k(kind);
    k.absorb(data);
    return k.squeeze(outLen);
}
}  // namespace

Bytes sha3_256(ByteView data) {
    return oneShot(Keccak::Kind::sha3_256, data, 32);
}
Bytes sha3_512(ByteView data) {
    return oneShot(Keccak::Kind::sha3_512, data, 64);
}
Bytes shake128(ByteView data, std::size_t outLen) {
    return oneShot(Keccak::Kind::shake128, data, outLen);
}
Bytes shake256(ByteView data, std::size_t outLen) {
    return oneShot(Keccak::Kind::shake256, data, outLen);
}

}  // namespace orvane

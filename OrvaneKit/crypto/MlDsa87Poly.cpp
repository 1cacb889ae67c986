#include "OrvaneKit/crypto/MlDsa87Poly.h"

#include <openssl/crypto.h>

#include <array>

#include "OrvaneKit/crypto/Keccak.h"

namespace orvane::mldsa87 {

namespace {

constexpr std::uint64_t powMod(std::uint64_t base, std::uint64_t exp) {
    std::uint64_t result = 1;
    base %= Q;
    while (exp > 0) {
        if (exp & 1) result = result * base % Q;
        base = base * base % Q;
        exp >>= 1;
    }
    return result;
}

constexpr std::int32_t centeredConst(std::uint64_t v) {
    const auto s = static_cast<std::int32_t>(v % Q);
    return s > (Q - 1) / 2 ? s - Q : s;
}

constexpr std::uint64_t kMont = (std::uint64_t{1} << 32) % Q;  // 2^32 mod q
constexpr std::uint64_t kRootOfUnity = 1753;                   // primitive 512th root mod q

constexpr int bitReverse8(int x) {
    int r = 0;
    for (int i = 0; i < 8; ++i) r |= ((x >> i) & 1) << (7 - i);
    return r;
}

// ζ^BitRev8(m), in Montgomery form and centred.
constexpr std::array<std::int32_t, N> kZetas = [] {
    std::array<std::int32_t, N> z{};
    for (int m = 0; m < N; ++m)
        z[m] =
            centeredConst(powMod(kRootOfUnity, static_cast<std::uint64_t>(bitReverse8(m))) * kMont);
    return z;
}();

// 2^64 / 256 mod q: cancels the 2^-32 of the products and the one of the final reduction.
constexpr std::int32_t kInvNttScale = centeredConst(kMont * kMont % Q * powMod(256, Q - 2));

static_assert(powMod(kRootOfUnity, 256) == Q - 1, "1753 must be a primitive 512th root");

template <int Bits, typename Map>
void packWith(std::uint8_t* out, const Poly& a, Map map) {
    constexpr std::uint64_t mask = (std::uint64_t{1} << Bits) - 1;
    std::uint64_t acc = 0;
    int have = 0;
    for (int i = 0; i < N; ++i) {
        acc |= (static_cast<std::uint64_t>(static_cast<std::uint32_t>(map(a.c[i]))) & mask) << have;
        have += Bits;
        while (have >= 8) {
            *out++ = static_cast<std::uint8_t>(acc);
            acc >>= 8;
            have -= 8;
        }
    }
}

template <int Bits, typename Map>
void unpackWith(Poly& a, const std::uint8_t* in, Map map) {
    constexpr std::uint64_t mask = (std::uint64_t{1} << Bits) - 1;
    std::uint64_t acc = 0;
    int have = 0;
    for (int i = 0; i < N; ++i) {
        while (have < Bits) {
            acc |= static_cast<std::uint64_t>(*in++) << have;
            have += 8;
        }
        a.c[i] = map(static_cast<std::int32_t>(acc & mask));
        acc >>= Bits;
        have -= Bits;
    }
}

// All ones when a == b, else zero (a, b < 2^31).
inline std::int32_t equalMask(std::uint32_t a, std::uint32_t b) {
    const std::uint32_t x = a ^ b;
    return -static_cast<std::int32_t>((x - 1) >> 31);
}

}  // namespace

void ntt(Poly& p) {
    std::int32_t* a = p.c;
    int k = 0;
    for (int len = 128; len > 0; len >>= 1) {
        for (int start = 0; start < N; start += 2 * len) {
            const std::int64_t zeta = kZetas[++k];
            for (int j = start; j < start + len; ++j) {
                const std::int32_t t = montgomeryReduce(zeta * a[j + len]);
                a[j + len] = a[j] - t;
                a[j] = a[j] + t;
            }
        }
    }
}

void invNttFromMontgomery(Poly& p) {
    std::int32_t* a = p.c;
    // Below 0.75q in, the additions stay within int32 over all eight layers.
    for (int j = 0; j < N; ++j) a[j] = reduce32(a[j]);
    int k = N;
    for (int len = 1; len < N; len <<= 1) {
        for (int start = 0; start < N; start += 2 * len) {
            const std::int64_t zeta = -kZetas[--k];
            for (int j = start; j < start + len; ++j) {
                const std::int32_t t = a[j];
                a[j] = t + a[j + len];
                a[j + len] = montgomeryReduce(zeta * (t - a[j + len]));
            }
        }
    }
    for (int j = 0; j < N; ++j)
        a[j] = montgomeryReduce(static_cast<std::int64_t>(kInvNttScale) * a[j]);
}

void pointwiseMontgomery(Poly& r, const Poly& a, const Poly& b) {
    for (int i = 0; i < N; ++i)
        r.c[i] = montgomeryReduce(static_cast<std::int64_t>(a.c[i]) * b.c[i]);
}

void pointwiseAccumulate(Poly& r, const Poly& a, const Poly& b) {
    for (int i = 0; i < N; ++i)
        r.c[i] += montgomeryReduce(static_cast<std::int64_t>(a.c[i]) * b.c[i]);
}

std::int32_t useHint(bool hint, std::int32_t r) {
    std::int32_t r0;
    const std::int32_t r1 = decompose(r, r0);
    if (!hint) return r1;
    return r0 > 0 ? (r1 + 1) & 15 : (r1 - 1) & 15;
}

void sampleUniform(Poly& a, const std::uint8_t rho[SEED_BYTES], int row, int col) {
    Keccak xof(Keccak::Kind::shake128);
    xof.absorb(ByteView(rho, SEED_BYTES));
    const std::uint8_t idx[2] = {static_cast<std::uint8_t>(col), static_cast<std::uint8_t>(row)};
    xof.absorb(ByteView(idx, 2));

    constexpr std::size_t block = 168;
    std::uint8_t buf[5 * block];
    std::size_t len = sizeof(buf);
    xof.squeeze(buf, len);
    std::size_t pos = 0;
    int n = 0;
    while (n < N) {
        if (pos + 3 > len) {
            // 168 is a multiple of 3, so no candidate straddles blocks.
            xof.squeeze(buf, block);
            len = block;
            pos = 0;
        }
        const std::uint32_t v = std::uint32_t{buf[pos]} | (std::uint32_t{buf[pos + 1]} << 8) |
                                (std::uint32_t{buf[pos + 2] & 0x7fu} << 16);
        pos += 3;
        if (v < static_cast<std::uint32_t>(Q)) a.c[n++] = static_cast<std::int32_t>(v);
    }
}

void sampleEta(Poly& a, const std::uint8_t rhoPrime[RHO_PRIME_BYTES], std::uint16_t nonce) {
    Keccak xof(Keccak::Kind::shake256);
    xof.absorb(ByteView(rhoPrime, RHO_PRIME_BYTES));
    const std::uint8_t idx[2] = {static_cast<std::uint8_t>(nonce),
                                 static_cast<std::uint8_t>(nonce >> 8)};
    xof.absorb(ByteView(idx, 2));

    constexpr std::size_t block = 136;
    std::uint8_t buf[2 * block];
    std::size_t len = sizeof(buf);
    xof.squeeze(buf, len);
    std::size_t pos = 0;
    int n = 0;
    // 2 - (b mod 5) for b < 15, with b mod 5 computed as b - 5⌊205b / 1024⌋. The branches
    // only reveal which nibbles were discarded, never the value of a kept one.
    auto coeff = [](std::uint32_t b) {
        return 2 - static_cast<std::int32_t>(b - ((205 * b) >> 10) * 5);
    };
    while (n < N) {
        if (pos == len) {
            xof.squeeze(buf, block);
            len = block;
            pos = 0;
        }
        const std::uint32_t lo = buf[pos] & 15u;
        const std::uint32_t hi = buf[pos] >> 4;
        ++pos;
        if (lo < 15) a.c[n++] = coeff(lo);
        if (hi < 15 && n < N) a.c[n++] = coeff(hi);
    }
    wipe(buf, sizeof(buf));
}

void sampleMask(Poly& a, const std::uint8_t rhoPrime[RHO_PRIME_BYTES], std::uint16_t nonce) {
    Keccak xof(Keccak::Kind::shake256);
    xof.absorb(ByteView(rhoPrime, RHO_PRIME_BYTES));
    const std::uint8_t idx[2] = {static_cast<std::uint8_t>(nonce),
                                 static_cast<std::uint8_t>(nonce >> 8)};
    xof.absorb(ByteView(idx, 2));
    std::uint8_t buf[Z_POLY_BYTES];
    xof.squeeze(buf, sizeof(buf));
    unpackZ(a, buf);
    wipe(buf, sizeof(buf));
}

void sampleInBall(Poly& c, const std::uint8_t ctilde[CTILDE_BYTES]) {
    Keccak xof(Keccak::Kind::shake256);
    xof.absorb(ByteView(ctilde, CTILDE_BYTES));
    constexpr std::size_t block = 136;
    std::uint8_t buf[block];
    xof.squeeze(buf, block);
    std::uint64_t signs = 0;
    for (int i = 0; i < 8; ++i) signs |= std::uint64_t{buf[i]} << (8 * i);
    std::size_t pos = 8;

    for (int i = 0; i < N; ++i) c.c[i] = 0;
    for (int i = N - TAU; i < N; ++i) {
        // Rejected bytes are discarded, so the loop's length says nothing about the kept j.
        std::uint32_t j;
        do {
            if (pos == block) {
                xof.squeeze(buf, block);
                pos = 0;
            }
            j = buf[pos++];
        } while (j > static_cast<std::uint32_t>(i));
        const std::int32_t sign = 1 - 2 * static_cast<std::int32_t>(signs & 1);
        signs >>= 1;
        // c[i] = c[j]; c[j] = sign — by scanning every position below i rather than indexing
        // by j. Position i is still zero here.
        std::int32_t moved = 0;
        for (int t = 0; t < i; ++t) {
            const std::int32_t m = equalMask(static_cast<std::uint32_t>(t), j);
            moved |= c.c[t] & m;
            c.c[t] = (c.c[t] & ~m) | (sign & m);
        }
        const std::int32_t self = equalMask(static_cast<std::uint32_t>(i), j);
        c.c[i] = (moved & ~self) | (sign & self);
    }
    wipe(buf, sizeof(buf));
}

void packT1(std::uint8_t* out, const Poly& a) {
    packWith<10>(out, a, [](std::int32_t v) { return v; });
}
void unpackT1(Poly& a, const std::uint8_t* in) {
    unpackWith<10>(a, in, [](std::int32_t v) { return v; });
}
void packT0(std::uint8_t* out, const Poly& a) {
    packWith<13>(out, a, [](std::int32_t v) { return (1 << (D - 1)) - v; });
}
void unpackT0(Poly& a, const std::uint8_t* in) {
    unpackWith<13>(a, in, [](std::int32_t v) { return (1 << (D - 1)) - v; });
}
void packEta(std::uint8_t* out, const Poly& a) {
    packWith<3>(out, a, [](std::int32_t v) { return ETA - v; });
}
void unpackEta(Poly& a, const std::uint8_t* in) {
    unpackWith<3>(a, in, [](std::int32_t v) { return ETA - v; });
}
void packZ(std::uint8_t* out, const Poly& a) {
    packWith<20>(out, a, [](std::int32_t v) { return GAMMA1 - v; });
}
void unpackZ(Poly& a, const std::uint8_t* in) {
    unpackWith<20>(a, in, [](std::int32_t v) { return GAMMA1 - v; });
}
void packW1(std::uint8_t* out, const Poly& a) {
    packWith<4>(out, a, [](std::int32_t v) { return v; });
}

bool exceedsNorm(const Poly& a, std::int32_t bound) {
    std::int32_t over = 0;
    for (int i = 0; i < N; ++i) {
        const std::int32_t v = a.c[i];
        const std::int32_t sign = v >> 31;
        const std::int32_t abs = (v ^ sign) - sign;
        over |= (bound - 1 - abs) >> 31;
    }
    return over != 0;
}

void wipe(void* p, std::size_t n) {
    OPENSSL_cleanse(p, n);
}

}  // namespace orvane::mldsa87

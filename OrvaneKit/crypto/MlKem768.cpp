#include "OrvaneKit/crypto/MlKem768.h"

#include <openssl/crypto.h>

#include <array>
#include <cstring>
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
void ntt(Poly& p) {
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
void invNtt(Poly& p) {
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
void multiplyAccumulate(Poly& r, const PolyVec& a, const PolyVec& b) {
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

void polyAdd(Poly& r, const Poly& a) {
    for (int i = 0; i < kN; ++i) r.c[i] = static_cast<std::int16_t>(r.c[i] + a.c[i]);
}

// ---------- sampling ----------

// Rejection sampling of a uniform NTT-domain polynomial from SHAKE128(rho || j || i).
void sampleNtt(Poly& p, const std::uint8_t rho[32], std::uint8_t j, std::uint8_t i) {
    Keccak xof(Keccak::Kind::shake128);
    std::uint8_t seed[34];
    std::memcpy(seed, rho, 32);
    seed[32] = j;
    seed[33] = i;
    xof.absorb(ByteView(seed, sizeof(seed)));
    // 504 and 168 are multiples of 3, so 3-byte groups never straddle a refill.
    std::uint8_t buf[3 * 168];
    std::size_t len = sizeof(buf);
    xof.squeeze(buf, len);
    int count = 0;
    while (true) {
        for (std::size_t pos = 0; pos + 3 <= len && count < kN; pos += 3) {
            const int d1 = buf[pos] | ((buf[pos + 1] & 0x0f) << 8);
            const int d2 = (buf[pos + 1] >> 4) | (buf[pos + 2] << 4);
            if (d1 < kQ) p.c[count++] = static_cast<std::int16_t>(d1);
            if (d2 < kQ && count < kN) p.c[count++] = static_cast<std::int16_t>(d2);
        }
        if (count == kN) return;
        len = 168;
        xof.squeeze(buf, len);
    }
}

// A[i][j] = SampleNTT(rho || j || i); the transpose swaps the two index bytes.
void expandMatrix(std::array<PolyVec, kK>& a, const std::uint8_t rho[32], bool transposed) {
    for (int i = 0; i < kK; ++i)
        for (int j = 0; j < kK; ++j) {
            const auto bi = static_cast<std::uint8_t>(i), bj = static_cast<std::uint8_t>(j);
            if (transposed)
                sampleNtt(a[i][j], rho, bi, bj);
            else
                sampleNtt(a[i][j], rho, bj, bi);
        }
}

// CBD with eta = 2 from PRF(sigma, n) = SHAKE256(sigma || n, 128).
void sampleCbd2(Poly& p, const std::uint8_t sigma[32], std::uint8_t n) {
    std::uint8_t seed[33];
    std::memcpy(seed, sigma, 32);
    seed[32] = n;
    Keccak prf(Keccak::Kind::shake256);
    prf.absorb(ByteView(seed, sizeof(seed)));
    std::uint8_t buf[128];
    prf.squeeze(buf, sizeof(buf));
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
    OPENSSL_cleanse(buf, sizeof(buf));
    OPENSSL_cleanse(seed, sizeof(seed));
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
    std::uint8_t n = 0;
    for (auto& p : s) sampleCbd2(p, sigma, n++);
    for (auto& p : e) sampleCbd2(p, sigma, n++);
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
    std::uint8_t n = 0;
    for (auto& p : y) sampleCbd2(p, r, n++);
    for (auto& p : e1) sampleCbd2(p, r, n++);
    sampleCbd2(e2, r, n++);
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

    std::uint8_t hCheck[32];
    hashH(hCheck, ByteView(ekPke, encapsulationKeySize));
    if (CRYPTO_memcmp(hCheck, h, 32) != 0)
        throw CryptoError("ML-KEM-768: inconsistent decapsulation key");

    std::uint8_t m[32];
    pkeDecrypt(m, dkPke, c.data());
    std::uint8_t kr[64];
    hashG(kr, m, h);

    // Rejection key K̄ = J(z || c).
    std::uint8_t kBar[32];
    {
        Keccak j(Keccak::Kind::shake256);
        j.absorb(ByteView(z, 32));
        j.absorb(c);
        j.squeeze(kBar, 32);
    }

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

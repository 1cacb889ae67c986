#include "OrvaneKit/crypto/MlDsa87.h"

#include <cstring>
#include <initializer_list>
#include <memory>

#include "OrvaneKit/crypto/CryptoError.h"
#include "OrvaneKit/crypto/Keccak.h"
#include "OrvaneKit/crypto/MlDsa87Poly.h"
#include "OrvaneKit/crypto/Random.h"

namespace orvane {

using namespace mldsa87;

static_assert(PUBLIC_KEY_BYTES == MlDsa87::publicKeySize);
static_assert(SECRET_KEY_BYTES == MlDsa87::secretKeySize);
static_assert(SIGNATURE_BYTES == MlDsa87::signatureSize);

namespace {

constexpr std::size_t kRndBytes = 32;

void shake256(std::uint8_t* out, std::size_t n, std::initializer_list<ByteView> parts) {
    Keccak h(Keccak::Kind::shake256);
    for (ByteView p : parts) h.absorb(p);
    h.squeeze(out, n);
}

// Wiped on destruction; every intermediate of key generation and signing lives in one of these.
template <typename T>
struct Scrubbed : T {
    Scrubbed() : T{} {}
    ~Scrubbed() { wipe(static_cast<T*>(this), sizeof(T)); }
    Scrubbed(const Scrubbed&) = delete;
    Scrubbed& operator=(const Scrubbed&) = delete;
};

struct KeyGenState {
    std::uint8_t expanded[SEED_BYTES + RHO_PRIME_BYTES + SEED_BYTES];
    Poly s1[L], s1Hat[L], s2[K];
    Poly a, acc, t;
};

struct SignState {
    std::uint8_t rho[SEED_BYTES], key[SEED_BYTES], tr[TR_BYTES];
    std::uint8_t rhoPrime[RHO_PRIME_BYTES];
    Poly s1[L], s2[K], t0[K];
    Poly s1Hat[L], s2Hat[K], t0Hat[K];
    Poly a[K][L];
    Poly y[L], yHat[L], z[L];
    Poly w[K], w1[K], wMinusCs2[K], r0[K], ct0[K];
    Poly c, cHat, tmp;
    std::uint8_t hints[K][N];
    std::uint8_t w1Packed[K * W1_POLY_BYTES];
    std::uint8_t ctilde[CTILDE_BYTES];
};

void decodeSecretKey(SignState& st, const std::uint8_t* sk) {
    std::memcpy(st.rho, sk, SEED_BYTES);
    sk += SEED_BYTES;
    std::memcpy(st.key, sk, SEED_BYTES);
    sk += SEED_BYTES;
    std::memcpy(st.tr, sk, TR_BYTES);
    sk += TR_BYTES;
    for (auto& p : st.s1) {
        unpackEta(p, sk);
        sk += ETA_POLY_BYTES;
    }
    for (auto& p : st.s2) {
        unpackEta(p, sk);
        sk += ETA_POLY_BYTES;
    }
    for (auto& p : st.t0) {
        unpackT0(p, sk);
        sk += T0_POLY_BYTES;
    }
}

Bytes signFromMu(ByteView secretKey, const std::uint8_t mu[MU_BYTES],
                 const std::uint8_t rnd[kRndBytes]) {
    auto st = std::make_unique<Scrubbed<SignState>>();
    decodeSecretKey(*st, secretKey.data());

    for (int i = 0; i < K; ++i)
        for (int j = 0; j < L; ++j) sampleUniform(st->a[i][j], st->rho, i, j);
    for (int j = 0; j < L; ++j) {
        st->s1Hat[j] = st->s1[j];
        ntt(st->s1Hat[j]);
    }
    for (int i = 0; i < K; ++i) {
        st->s2Hat[i] = st->s2[i];
        ntt(st->s2Hat[i]);
        st->t0Hat[i] = st->t0[i];
        ntt(st->t0Hat[i]);
    }
    shake256(st->rhoPrime, RHO_PRIME_BYTES,
             {ByteView(st->key, SEED_BYTES), ByteView(rnd, kRndBytes), ByteView(mu, MU_BYTES)});

    for (std::uint16_t kappa = 0;; kappa = static_cast<std::uint16_t>(kappa + L)) {
        for (int j = 0; j < L; ++j) {
            sampleMask(st->y[j], st->rhoPrime, static_cast<std::uint16_t>(kappa + j));
            st->yHat[j] = st->y[j];
            ntt(st->yHat[j]);
        }
        for (int i = 0; i < K; ++i) {
            Poly& w = st->w[i];
            pointwiseMontgomery(w, st->a[i][0], st->yHat[0]);
            for (int j = 1; j < L; ++j) pointwiseAccumulate(w, st->a[i][j], st->yHat[j]);
            invNttFromMontgomery(w);
            for (int n = 0; n < N; ++n) {
                w.c[n] = freeze(w.c[n]);
                st->w1[i].c[n] = highBits(w.c[n]);
            }
            packW1(st->w1Packed + i * W1_POLY_BYTES, st->w1[i]);
        }
        shake256(st->ctilde, CTILDE_BYTES,
                 {ByteView(mu, MU_BYTES), ByteView(st->w1Packed, sizeof(st->w1Packed))});
        sampleInBall(st->c, st->ctilde);
        st->cHat = st->c;
        ntt(st->cHat);

        // Every bound is evaluated on every attempt, so timing shows only whether it was kept.
        bool reject = false;
        for (int j = 0; j < L; ++j) {
            pointwiseMontgomery(st->tmp, st->cHat, st->s1Hat[j]);
            invNttFromMontgomery(st->tmp);
            for (int n = 0; n < N; ++n) st->z[j].c[n] = st->y[j].c[n] + centered(st->tmp.c[n]);
            reject |= exceedsNorm(st->z[j], GAMMA1 - BETA);
        }
        for (int i = 0; i < K; ++i) {
            pointwiseMontgomery(st->tmp, st->cHat, st->s2Hat[i]);
            invNttFromMontgomery(st->tmp);
            for (int n = 0; n < N; ++n) {
                st->wMinusCs2[i].c[n] = freeze(st->w[i].c[n] - st->tmp.c[n]);
                decompose(st->wMinusCs2[i].c[n], st->r0[i].c[n]);
            }
            reject |= exceedsNorm(st->r0[i], GAMMA2 - BETA);

            pointwiseMontgomery(st->tmp, st->cHat, st->t0Hat[i]);
            invNttFromMontgomery(st->tmp);
            for (int n = 0; n < N; ++n) st->ct0[i].c[n] = centered(st->tmp.c[n]);
            reject |= exceedsNorm(st->ct0[i], GAMMA2);
        }
        int hintCount = 0;
        for (int i = 0; i < K; ++i) {
            for (int n = 0; n < N; ++n) {
                const std::int32_t r = st->wMinusCs2[i].c[n];
                const std::int32_t h = highBits(r) ^ highBits(freeze(r + st->ct0[i].c[n]));
                st->hints[i][n] = static_cast<std::uint8_t>((h | -h) >> 31 & 1);
                hintCount += st->hints[i][n];
            }
        }
        reject |= hintCount > OMEGA;
        if (reject) continue;

        Bytes sig(SIGNATURE_BYTES, 0);
        std::uint8_t* out = sig.data();
        std::memcpy(out, st->ctilde, CTILDE_BYTES);
        out += CTILDE_BYTES;
        for (int j = 0; j < L; ++j) {
            packZ(out, st->z[j]);
            out += Z_POLY_BYTES;
        }
        // The hints are part of the signature, so walking them openly is fine.
        int index = 0;
        for (int i = 0; i < K; ++i) {
            for (int n = 0; n < N; ++n)
                if (st->hints[i][n]) out[index++] = static_cast<std::uint8_t>(n);
            out[OMEGA + i] = static_cast<std::uint8_t>(index);
        }
        return sig;
    }
}

void checkSigningInputs(ByteView secretKey, ByteView context) {
    if (secretKey.size() != SECRET_KEY_BYTES)
        throw CryptoError("ML-DSA-87 secret key must be 4896 bytes");
    if (context.size() > MlDsa87::maxContextSize)
        throw CryptoError("ML-DSA-87 context longer than 255 bytes");
}

// μ = H(tr ‖ 0 ‖ len(ctx) ‖ ctx ‖ M, 64).
void messageRepresentative(std::uint8_t mu[MU_BYTES], const std::uint8_t tr[TR_BYTES],
                           ByteView message, ByteView context) {
    const std::uint8_t prefix[2] = {0, static_cast<std::uint8_t>(context.size())};
    shake256(mu, MU_BYTES, {ByteView(tr, TR_BYTES), ByteView(prefix, 2), context, message});
}

Bytes signMessage(ByteView secretKey, ByteView message, ByteView context,
                  const std::uint8_t rnd[kRndBytes]) {
    checkSigningInputs(secretKey, context);
    std::uint8_t mu[MU_BYTES];
    messageRepresentative(mu, secretKey.data() + 2 * SEED_BYTES, message, context);
    return signFromMu(secretKey, mu, rnd);
}

// Strict signature decoding: hint indices strictly increasing within each polynomial,
// running counts non-decreasing and at most ω, unused index bytes zero.
bool decodeHints(std::uint8_t hints[K][N], const std::uint8_t* in) {
    std::memset(hints, 0, K * N);
    unsigned index = 0;
    for (int i = 0; i < K; ++i) {
        const unsigned end = in[OMEGA + i];
        if (end < index || end > OMEGA) return false;
        for (unsigned t = index; t < end; ++t) {
            if (t > index && in[t - 1] >= in[t]) return false;
            hints[i][in[t]] = 1;
        }
        index = end;
    }
    for (unsigned t = index; t < OMEGA; ++t)
        if (in[t] != 0) return false;
    return true;
}

struct VerifyState {
    Poly z[L];
    Poly t1[K];
    Poly c, a, acc, tmp, w1;
    std::uint8_t hints[K][N];
    std::uint8_t w1Packed[K * W1_POLY_BYTES];
};

}  // namespace

MlDsa87::KeyPair MlDsa87::keyGen(ByteView seed) {
    if (seed.size() != SEED_BYTES) throw CryptoError("ML-DSA-87 seed must be 32 bytes");
    auto st = std::make_unique<Scrubbed<KeyGenState>>();
    const std::uint8_t params[2] = {K, L};
    shake256(st->expanded, sizeof(st->expanded), {seed, ByteView(params, 2)});
    const std::uint8_t* rho = st->expanded;
    const std::uint8_t* rhoPrime = rho + SEED_BYTES;
    const std::uint8_t* key = rhoPrime + RHO_PRIME_BYTES;

    for (int j = 0; j < L; ++j) {
        sampleEta(st->s1[j], rhoPrime, static_cast<std::uint16_t>(j));
        st->s1Hat[j] = st->s1[j];
        ntt(st->s1Hat[j]);
    }
    for (int i = 0; i < K; ++i) sampleEta(st->s2[i], rhoPrime, static_cast<std::uint16_t>(L + i));

    KeyPair kp;
    kp.publicKey.assign(PUBLIC_KEY_BYTES, 0);
    kp.secretKey = SecureBytes(SECRET_KEY_BYTES);
    std::uint8_t* pk = kp.publicKey.data();
    std::uint8_t* sk = kp.secretKey.data();
    std::memcpy(pk, rho, SEED_BYTES);
    std::memcpy(sk, rho, SEED_BYTES);
    std::memcpy(sk + SEED_BYTES, key, SEED_BYTES);
    std::uint8_t* skS1 = sk + 2 * SEED_BYTES + TR_BYTES;
    std::uint8_t* skS2 = skS1 + L * ETA_POLY_BYTES;
    std::uint8_t* skT0 = skS2 + K * ETA_POLY_BYTES;
    for (int j = 0; j < L; ++j) packEta(skS1 + j * ETA_POLY_BYTES, st->s1[j]);

    // t = A·s1 + s2, one row at a time, split into t1 (public) and t0 (secret).
    for (int i = 0; i < K; ++i) {
        for (int j = 0; j < L; ++j) {
            sampleUniform(st->a, rho, i, j);
            if (j == 0)
                pointwiseMontgomery(st->acc, st->a, st->s1Hat[0]);
            else
                pointwiseAccumulate(st->acc, st->a, st->s1Hat[j]);
        }
        invNttFromMontgomery(st->acc);
        Poly t1;
        for (int n = 0; n < N; ++n)
            t1.c[n] = power2Round(freeze(st->acc.c[n] + st->s2[i].c[n]), st->t.c[n]);
        packT1(pk + SEED_BYTES + i * T1_POLY_BYTES, t1);
        packEta(skS2 + i * ETA_POLY_BYTES, st->s2[i]);
        packT0(skT0 + i * T0_POLY_BYTES, st->t);
    }
    shake256(sk + 2 * SEED_BYTES, TR_BYTES, {kp.publicKey});
    return kp;
}

Bytes MlDsa87::sign(ByteView secretKey, ByteView message, ByteView context, RandomSource& random) {
    checkSigningInputs(secretKey, context);
    std::uint8_t rnd[kRndBytes];
    random.fill(rnd, kRndBytes);
    Bytes sig = signMessage(secretKey, message, context, rnd);
    wipe(rnd, kRndBytes);
    return sig;
}

Bytes MlDsa87::signDeterministic(ByteView secretKey, ByteView message, ByteView context) {
    const std::uint8_t rnd[kRndBytes] = {};
    return signMessage(secretKey, message, context, rnd);
}

Bytes MlDsa87::signWithRnd(ByteView secretKey, ByteView message, ByteView context, ByteView rnd32) {
    if (rnd32.size() != kRndBytes)
        throw CryptoError("ML-DSA-87 signing randomness must be 32 bytes");
    return signMessage(secretKey, message, context, rnd32.data());
}

Bytes MlDsa87::signMu(ByteView secretKey, ByteView mu64, ByteView rnd32) {
    checkSigningInputs(secretKey, {});
    if (mu64.size() != MU_BYTES)
        throw CryptoError("ML-DSA-87 message representative must be 64 bytes");
    if (rnd32.size() != kRndBytes)
        throw CryptoError("ML-DSA-87 signing randomness must be 32 bytes");
    return signFromMu(secretKey, mu64.data(), rnd32.data());
}

bool MlDsa87::verify(ByteView publicKey, ByteView message, ByteView signature, ByteView context) {
    if (publicKey.size() != PUBLIC_KEY_BYTES || signature.size() != SIGNATURE_BYTES ||
        context.size() > maxContextSize)
        return false;
    auto st = std::make_unique<VerifyState>();
    const std::uint8_t* ctilde = signature.data();
    const std::uint8_t* zBytes = ctilde + CTILDE_BYTES;
    for (int j = 0; j < L; ++j) {
        unpackZ(st->z[j], zBytes + j * Z_POLY_BYTES);
        if (exceedsNorm(st->z[j], GAMMA1 - BETA)) return false;
    }
    if (!decodeHints(st->hints, zBytes + L * Z_POLY_BYTES)) return false;

    const std::uint8_t* rho = publicKey.data();
    std::uint8_t tr[TR_BYTES], mu[MU_BYTES];
    shake256(tr, TR_BYTES, {publicKey});
    messageRepresentative(mu, tr, message, context);

    sampleInBall(st->c, ctilde);
    ntt(st->c);
    for (auto& p : st->z) ntt(p);

    // w'_approx = A·z − c·t1·2^d, then the hints recover w1.
    for (int i = 0; i < K; ++i) {
        for (int j = 0; j < L; ++j) {
            sampleUniform(st->a, rho, i, j);
            if (j == 0)
                pointwiseMontgomery(st->acc, st->a, st->z[0]);
            else
                pointwiseAccumulate(st->acc, st->a, st->z[j]);
        }
        unpackT1(st->tmp, rho + SEED_BYTES + i * T1_POLY_BYTES);
        for (auto& v : st->tmp.c) v <<= D;
        ntt(st->tmp);
        pointwiseMontgomery(st->tmp, st->c, st->tmp);
        for (int n = 0; n < N; ++n) st->acc.c[n] -= st->tmp.c[n];
        invNttFromMontgomery(st->acc);
        for (int n = 0; n < N; ++n)
            st->w1.c[n] = useHint(st->hints[i][n] != 0, freeze(st->acc.c[n]));
        packW1(st->w1Packed + i * W1_POLY_BYTES, st->w1);
    }
    std::uint8_t expected[CTILDE_BYTES];
    shake256(expected, CTILDE_BYTES,
             {ByteView(mu, MU_BYTES), ByteView(st->w1Packed, sizeof(st->w1Packed))});
    return std::memcmp(expected, ctilde, CTILDE_BYTES) == 0;
}

}  // namespace orvane

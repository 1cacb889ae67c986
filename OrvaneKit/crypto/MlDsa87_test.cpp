#include "OrvaneKit/crypto/MlDsa87.h"

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>

#include "OrvaneKit/crypto/CryptoError.h"
#include "OrvaneKit/crypto/Keccak.h"
#include "OrvaneKit/crypto/MlDsa87Poly.h"
#include "OrvaneKit/crypto/testing/DeterministicRandom.h"

namespace orvane {
namespace {

using namespace mldsa87;
using nlohmann::json;

Bytes hex(const std::string& s) {
    auto b = fromHex(s);
    EXPECT_TRUE(b.has_value()) << s.substr(0, 40);
    return b.value_or(Bytes{});
}

json loadWycheproof(const char* name) {
    std::ifstream in(std::string(ORVANE_VECTORS_DIR) + "/wycheproof/" + name);
    EXPECT_TRUE(in.good()) << "missing vector file " << name;
    return in.good() ? json::parse(in) : json::object();
}

// Keys from a SHAKE-128 stream, deterministic signatures of the empty message, everything
// absorbed into a second SHAKE-128 stream whose first 32 bytes are compared.
std::string accumulatedDigest(int iterations) {
    Keccak rng(Keccak::Kind::shake128);
    Keccak acc(Keccak::Kind::shake128);
    for (int i = 0; i < iterations; ++i) {
        const Bytes seed = rng.squeeze(MlDsa87::seedSize);
        const auto kp = MlDsa87::keyGen(seed);
        acc.absorb(kp.publicKey);
        const Bytes sig = MlDsa87::signDeterministic(kp.secretKey, {});
        acc.absorb(sig);
        EXPECT_TRUE(MlDsa87::verify(kp.publicKey, {}, sig)) << "iteration " << i;
    }
    return toHex(acc.squeeze(32));
}

TEST(MlDsa87, Accumulated100) {
    EXPECT_EQ(accumulatedDigest(100),
              "8c3ad714777622b8f21ce31bb35f71394f23bc0fcf3c78ace5d608990f3b061b");
}

TEST(SlowMlDsa87, Accumulated10000) {
    EXPECT_EQ(accumulatedDigest(10000),
              "80a8cf39317f7d0be0e24972c51ac152bd2a3e09bc0c32ce29dd82c4e7385e60");
}

TEST(MlDsa87, WycheproofSignFromSeed) {
    const json doc = loadWycheproof("mldsa_87_sign_seed_test.json");
    int checked = 0;
    for (const auto& group : doc.value("testGroups", json::array())) {
        const Bytes seed = hex(group["privateSeed"]);
        std::optional<MlDsa87::KeyPair> kp;
        if (seed.size() == MlDsa87::seedSize) {
            kp = MlDsa87::keyGen(seed);
            ASSERT_EQ(toHex(kp->publicKey), group["publicKey"].get<std::string>()) << toHex(seed);
        }
        for (const auto& t : group["tests"]) {
            const std::string id = "tcId " + std::to_string(t["tcId"].get<int>());
            const bool valid = t["result"] == "valid";
            if (seed.size() != MlDsa87::seedSize) {
                EXPECT_FALSE(valid) << id;
                EXPECT_THROW(MlDsa87::keyGen(seed), CryptoError) << id;
                ++checked;
                continue;
            }
            const Bytes rnd = t.contains("rnd") ? hex(t["rnd"]) : Bytes(32, 0);
            const Bytes ctx = t.contains("ctx") ? hex(t["ctx"]) : Bytes{};
            if (!t.contains("msg")) {
                // Signing from the message representative alone.
                EXPECT_EQ(toHex(MlDsa87::signMu(kp->secretKey, hex(t["mu"]), rnd)),
                          t["sig"].get<std::string>())
                    << id;
                ++checked;
                continue;
            }
            const Bytes msg = hex(t["msg"]);
            if (!valid) {
                EXPECT_GT(ctx.size(), MlDsa87::maxContextSize) << id;
                EXPECT_THROW(MlDsa87::signWithRnd(kp->secretKey, msg, ctx, rnd), CryptoError) << id;
                ++checked;
                continue;
            }
            const Bytes sig = MlDsa87::signWithRnd(kp->secretKey, msg, ctx, rnd);
            EXPECT_EQ(toHex(sig), t["sig"].get<std::string>()) << id;
            EXPECT_TRUE(MlDsa87::verify(kp->publicKey, msg, sig, ctx)) << id;
            ++checked;
        }
    }
    EXPECT_EQ(checked, 96);
}

TEST(MlDsa87, WycheproofVerify) {
    const json doc = loadWycheproof("mldsa_87_verify_test.json");
    int checked = 0;
    for (const auto& group : doc.value("testGroups", json::array())) {
        const Bytes pk = hex(group["publicKey"]);
        for (const auto& t : group["tests"]) {
            const std::string id = "tcId " + std::to_string(t["tcId"].get<int>()) + " " +
                                   t["comment"].get<std::string>();
            const Bytes ctx = t.contains("ctx") ? hex(t["ctx"]) : Bytes{};
            const bool ok = MlDsa87::verify(pk, hex(t["msg"]), hex(t["sig"]), ctx);
            if (t["result"] == "valid") {
                EXPECT_TRUE(ok) << id;
            } else if (t["result"] == "invalid") {
                EXPECT_FALSE(ok) << id;
            }
            ++checked;
        }
    }
    EXPECT_GT(checked, 200);
}

// Exhaustive over the field against the textbook definitions.
TEST(MlDsa87, RoundingMatchesDefinitions) {
    auto modPm = [](std::int32_t r, std::int32_t m) {
        std::int32_t v = r % m;
        if (v > m / 2) v -= m;
        return v;
    };
    for (std::int32_t r = 0; r < Q; ++r) {
        std::int32_t r0 = 0;
        const std::int32_t r1 = decompose(r, r0);
        std::int32_t e0 = modPm(r, 2 * GAMMA2), e1;
        if (r - e0 == Q - 1) {
            e1 = 0;
            e0 -= 1;
        } else {
            e1 = (r - e0) / (2 * GAMMA2);
        }
        ASSERT_EQ(r1, e1) << r;
        ASSERT_EQ(r0, e0) << r;

        std::int32_t p0 = 0;
        const std::int32_t p1 = power2Round(r, p0);
        const std::int32_t ep0 = modPm(r, 1 << D);
        ASSERT_EQ(p0, ep0) << r;
        ASSERT_EQ(p1, (r - ep0) >> D) << r;

        ASSERT_EQ(useHint(false, r), e1);
        ASSERT_EQ(useHint(true, r), e0 > 0 ? (e1 + 1) % 16 : (e1 + 15) % 16) << r;
    }
}

// The NTT product equals schoolbook multiplication in Z_q[X]/(X^256 + 1), including inputs at
// the edges of the documented ranges where a missing reduction would overflow.
TEST(MlDsa87, NttProductMatchesSchoolbook) {
    std::mt19937 gen(7);
    std::uniform_int_distribution<std::int32_t> any(-(Q - 1), Q - 1);
    for (int round = 0; round < 4; ++round) {
        Poly a, b;
        for (int i = 0; i < N; ++i) {
            a.c[i] = round == 0 ? Q - 1 : round == 1 ? -(Q - 1) : any(gen);
            b.c[i] = round == 0 ? Q - 1 : round == 1 ? (i % 2 ? Q - 1 : -(Q - 1)) : any(gen);
        }
        std::int64_t expected[N] = {};
        for (int i = 0; i < N; ++i)
            for (int j = 0; j < N; ++j) {
                const std::int64_t p = std::int64_t{a.c[i]} * b.c[j] % Q;
                if (i + j < N)
                    expected[i + j] = (expected[i + j] + p) % Q;
                else
                    expected[i + j - N] = (expected[i + j - N] - p) % Q;
            }
        Poly aHat = a, bHat = b, prod;
        ntt(aHat);
        ntt(bHat);
        // Eight accumulated products exercise the widest inverse-transform input.
        pointwiseMontgomery(prod, aHat, bHat);
        for (int k = 1; k < 8; ++k) pointwiseAccumulate(prod, aHat, bHat);
        invNttFromMontgomery(prod);
        for (int i = 0; i < N; ++i) {
            ASSERT_LT(std::abs(prod.c[i]), Q);
            ASSERT_EQ(freeze(prod.c[i]), ((8 * expected[i]) % Q + Q) % Q)
                << "round " << round << " i " << i;
        }
    }
}

struct Fixture {
    MlDsa87::KeyPair kp = MlDsa87::keyGen(Bytes(32, 0x42));
    Bytes msg = toBytes("transcript");
    Bytes sig = MlDsa87::signDeterministic(kp.secretKey, msg);
};

std::uint8_t* hintBytes(Bytes& sig) {
    return sig.data() + CTILDE_BYTES + L * Z_POLY_BYTES;
}

TEST(MlDsa87, RejectsMalformedInputsWithoutThrowing) {
    Fixture f;
    ASSERT_TRUE(f.kp.publicKey.size() == MlDsa87::publicKeySize &&
                f.sig.size() == MlDsa87::signatureSize);
    ASSERT_TRUE(MlDsa87::verify(f.kp.publicKey, f.msg, f.sig));

    auto resized = [](Bytes b, std::size_t n) {
        b.resize(n, 0);
        return b;
    };
    auto flipped = [](Bytes b, std::size_t i) {
        b[i] ^= 1;
        return b;
    };
    const Bytes otherPk = MlDsa87::keyGen(Bytes(32, 0x43)).publicKey;
    struct Case {
        const char* name;
        Bytes pk, msg, sig, ctx;
    };
    const Case cases[] = {
        {"empty signature", f.kp.publicKey, f.msg, {}, {}},
        {"signature one byte short", f.kp.publicKey, f.msg, resized(f.sig, f.sig.size() - 1), {}},
        {"signature one byte long", f.kp.publicKey, f.msg, resized(f.sig, f.sig.size() + 1), {}},
        {"empty public key", {}, f.msg, f.sig, {}},
        {"public key one byte long",
         resized(f.kp.publicKey, f.kp.publicKey.size() + 1),
         f.msg,
         f.sig,
         {}},
        {"other public key", otherPk, f.msg, f.sig, {}},
        {"public key bit flipped", flipped(f.kp.publicKey, 100), f.msg, f.sig, {}},
        {"other message", f.kp.publicKey, toBytes("transcripT"), f.sig, {}},
        {"context not signed", f.kp.publicKey, f.msg, f.sig, toBytes("x")},
        {"context of 256 bytes", f.kp.publicKey, f.msg, f.sig, Bytes(256, 0)},
        {"challenge bit flipped", f.kp.publicKey, f.msg, flipped(f.sig, 63), {}},
        {"response bit flipped", f.kp.publicKey, f.msg, flipped(f.sig, 1000), {}},
        {"all-ones signature", f.kp.publicKey, f.msg, Bytes(MlDsa87::signatureSize, 0xff), {}},
        {"all-zero signature", f.kp.publicKey, f.msg, Bytes(MlDsa87::signatureSize, 0), {}},
    };
    for (const Case& c : cases) {
        bool ok = true;
        EXPECT_NO_THROW(ok = MlDsa87::verify(c.pk, c.msg, c.sig, c.ctx)) << c.name;
        EXPECT_FALSE(ok) << c.name;
    }
}

// Encodings that a lenient decoder would read as the same hint set, so only the strict
// decoding rules can reject them.
TEST(MlDsa87, RejectsNonCanonicalHintEncodings) {
    Fixture f;
    // Find a signature using fewer than ω hints with a polynomial holding at least two.
    Bytes sig, usedCtx;
    int poly = -1;
    for (int attempt = 0; attempt < 20 && poly < 0; ++attempt) {
        usedCtx = Bytes(1, static_cast<std::uint8_t>(attempt));
        sig = MlDsa87::signDeterministic(f.kp.secretKey, f.msg, usedCtx);
        const std::uint8_t* h = hintBytes(sig);
        if (h[OMEGA + K - 1] >= OMEGA) continue;
        for (int i = 0, begin = 0; i < K; begin = h[OMEGA + i], ++i)
            if (h[OMEGA + i] - begin >= 2) {
                poly = i;
                break;
            }
    }
    ASSERT_GE(poly, 0);
    ASSERT_TRUE(MlDsa87::verify(f.kp.publicKey, f.msg, sig, usedCtx));

    const int start = poly == 0 ? 0 : hintBytes(sig)[OMEGA + poly - 1];
    const int used = hintBytes(sig)[OMEGA + K - 1];

    Bytes swapped = sig;
    std::swap(hintBytes(swapped)[start], hintBytes(swapped)[start + 1]);
    EXPECT_FALSE(MlDsa87::verify(f.kp.publicKey, f.msg, swapped, usedCtx))
        << "indices out of order";

    Bytes padded = sig;
    hintBytes(padded)[OMEGA - 1] = 1;
    EXPECT_FALSE(MlDsa87::verify(f.kp.publicKey, f.msg, padded, usedCtx))
        << "non-zero padding (" << used << " used)";

    Bytes overCount = sig;
    for (int i = 0; i < K; ++i)
        hintBytes(overCount)[OMEGA + i] = static_cast<std::uint8_t>(OMEGA + 1);
    EXPECT_FALSE(MlDsa87::verify(f.kp.publicKey, f.msg, overCount, usedCtx)) << "count above ω";
}

TEST(MlDsa87, SigningModesAndArguments) {
    Fixture f;
    // Deterministic signing repeats; hedged signing differs each time and still verifies.
    EXPECT_EQ(MlDsa87::signDeterministic(f.kp.secretKey, f.msg), f.sig);
    EXPECT_EQ(MlDsa87::signWithRnd(f.kp.secretKey, f.msg, {}, Bytes(32, 0)), f.sig);
    const Bytes h1 = MlDsa87::sign(f.kp.secretKey, f.msg);
    const Bytes h2 = MlDsa87::sign(f.kp.secretKey, f.msg);
    EXPECT_NE(h1, h2);
    EXPECT_NE(h1, f.sig);
    EXPECT_TRUE(MlDsa87::verify(f.kp.publicKey, f.msg, h1));
    EXPECT_TRUE(MlDsa87::verify(f.kp.publicKey, f.msg, h2));

    // The injected source supplies exactly the 32 bytes of signing randomness.
    DeterministicRandom source(asBytes("rnd")), same(asBytes("rnd"));
    EXPECT_EQ(MlDsa87::sign(f.kp.secretKey, f.msg, {}, source),
              MlDsa87::signWithRnd(f.kp.secretKey, f.msg, {}, randomBytes(32, same)));

    const Bytes ctx(255, 0x07);
    const Bytes withCtx = MlDsa87::sign(f.kp.secretKey, f.msg, ctx);
    EXPECT_TRUE(MlDsa87::verify(f.kp.publicKey, f.msg, withCtx, ctx));
    EXPECT_FALSE(MlDsa87::verify(f.kp.publicKey, f.msg, withCtx));

    EXPECT_THROW(MlDsa87::keyGen(Bytes(31, 0)), CryptoError);
    EXPECT_THROW(MlDsa87::sign(f.kp.secretKey, f.msg, Bytes(256, 0)), CryptoError);
    EXPECT_THROW(MlDsa87::sign(Bytes(MlDsa87::secretKeySize - 1, 0), f.msg), CryptoError);
    EXPECT_THROW(MlDsa87::signWithRnd(f.kp.secretKey, f.msg, {}, Bytes(31, 0)), CryptoError);
}

}  // namespace
}  // namespace orvane

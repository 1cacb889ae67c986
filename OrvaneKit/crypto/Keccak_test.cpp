#include "OrvaneKit/crypto/Keccak.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>
#include <vector>

namespace orvane {
namespace {

Bytes opensslDigest(const EVP_MD* md, ByteView in, std::size_t outLen, bool xof) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    Bytes out(outLen);
    EXPECT_EQ(EVP_DigestInit_ex(ctx.get(), md, nullptr), 1);
    EXPECT_EQ(EVP_DigestUpdate(ctx.get(), in.data(), in.size()), 1);
    if (xof) {
        EXPECT_EQ(EVP_DigestFinalXOF(ctx.get(), out.data(), outLen), 1);
    } else {
        unsigned int len = 0;
        EXPECT_EQ(EVP_DigestFinal_ex(ctx.get(), out.data(), &len), 1);
        EXPECT_EQ(len, outLen);
    }
    return out;
}

Bytes patternInput(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 37 + n);
    return b;
}

TEST(Keccak, FixedOutputMatchesOpenSsl) {
    for (std::size_t n = 0; n <= 300; ++n) {
        const Bytes in = patternInput(n);
        ASSERT_EQ(sha3_256(in), opensslDigest(EVP_sha3_256(), in, 32, false)) << "len " << n;
        ASSERT_EQ(sha3_512(in), opensslDigest(EVP_sha3_512(), in, 64, false)) << "len " << n;
    }
}

// Output squeezed in pieces must equal one long squeeze, across block edges.
TEST(Keccak, IncrementalSqueezeMatchesOpenSslOneShot) {
    const std::size_t splits[] = {1, 167, 168, 169, 1000};
    struct Xof {
        Keccak::Kind kind;
        const EVP_MD* md;
    };
    const Xof xofs[] = {{Keccak::Kind::shake128, EVP_shake128()},
                        {Keccak::Kind::shake256, EVP_shake256()}};
    for (const Xof& x : xofs) {
        for (std::size_t n = 0; n <= 300; ++n) {
            const Bytes in = patternInput(n);
            for (std::size_t split : splits) {
                const std::size_t total = split * 2 + 333;
                const Bytes expected = opensslDigest(x.md, in, total, true);
                Keccak k(x.kind);
                // Absorb in two uneven pieces, too.
                k.absorb(ByteView(in).first(n / 3));
                k.absorb(ByteView(in).subspan(n / 3));
                Bytes got = k.squeeze(split);
                const Bytes second = k.squeeze(split);
                got.insert(got.end(), second.begin(), second.end());
                Bytes rest(total - got.size());
                k.squeeze(rest.data(), rest.size());
                got.insert(got.end(), rest.begin(), rest.end());
                ASSERT_EQ(got, expected) << "len " << n << " split " << split;
            }
        }
    }
}

// Four side-by-side sponges, vector or portable, equal four separate ones over several blocks.
TEST(Keccak, FourStatesMatchSeparateSponges) {
    struct Shape {
        Keccak::Kind kind;
        std::size_t rate;
    };
    for (const Shape shape :
         {Shape{Keccak::Kind::shake128, 168}, Shape{Keccak::Kind::shake256, 136}}) {
        for (std::size_t len : {0, 7, 34, 135}) {
            Bytes msgs[4];
            const std::uint8_t* ptrs[4];
            for (int s = 0; s < 4; ++s) {
                msgs[s] = patternInput(len + 300 * static_cast<std::size_t>(s));
                msgs[s].resize(len);
                ptrs[s] = msgs[s].data();
            }
            for (bool simd : {false, true}) {
                setSimdEnabled(simd);
                KeccakX4 x4;
                x4.absorbOnce(shape.rate, 0x1f, ptrs, len);
                std::vector<Bytes> got(4, Bytes(3 * shape.rate));
                for (std::size_t b = 0; b < 3; ++b) {
                    std::uint8_t* const out[4] = {
                        got[0].data() + b * shape.rate, got[1].data() + b * shape.rate,
                        got[2].data() + b * shape.rate, got[3].data() + b * shape.rate};
                    x4.squeezeBlock(shape.rate, out);
                }
                for (int s = 0; s < 4; ++s) {
                    Keccak one(shape.kind);
                    one.absorb(msgs[s]);
                    ASSERT_EQ(got[s], one.squeeze(3 * shape.rate))
                        << "rate " << shape.rate << " len " << len << " state " << s << " simd "
                        << simd;
                }
            }
            setSimdEnabled(true);
        }
    }
}

// Messages of several blocks, of unequal lengths and with their own padding, side by side.
TEST(Keccak, FourStatesAbsorbLongMessages) {
    const std::size_t rate = 136;
    const std::size_t lens[4] = {2 * rate, 2 * rate + 5, 2 * rate + 100, 3 * rate - 1};
    const std::uint8_t pads[4] = {0x06, 0x1f, 0x1f, 0x06};
    Bytes msgs[4];
    const std::uint8_t* ptrs[4];
    for (int s = 0; s < 4; ++s) {
        msgs[s] = patternInput(lens[s]);
        ptrs[s] = msgs[s].data();
    }
    for (bool simd : {false, true}) {
        setSimdEnabled(simd);
        KeccakX4 x4;
        x4.absorb(rate, pads, ptrs, lens);
        std::vector<Bytes> got(4, Bytes(rate));
        std::uint8_t* const out[4] = {got[0].data(), got[1].data(), got[2].data(), got[3].data()};
        x4.squeezeBlock(rate, out);
        for (int s = 0; s < 4; ++s) {
            const Bytes expected = pads[s] == 0x06 ? sha3_256(msgs[s]) : shake256(msgs[s], 32);
            EXPECT_EQ(Bytes(got[s].begin(), got[s].begin() + 32), expected)
                << "state " << s << " simd " << simd;
        }
        const std::size_t uneven[4] = {rate, 2 * rate, rate, rate};
        EXPECT_THROW(x4.absorb(rate, pads, ptrs, uneven), std::logic_error);
    }
    setSimdEnabled(true);
}

TEST(Keccak, ResetStartsAfresh) {
    Keccak k(Keccak::Kind::shake128);
    k.absorb(asBytes("abc"));
    (void)k.squeeze(10);
    EXPECT_THROW(k.absorb(asBytes("x")), std::logic_error);
    k.reset();
    EXPECT_EQ(k.squeeze(16), *fromHex("7f9c2ba4e88f827d616045507605853e"));
}

}  // namespace
}  // namespace orvane

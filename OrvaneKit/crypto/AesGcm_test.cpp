#include "OrvaneKit/crypto/AesGcm.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "OrvaneKit/crypto/CryptoError.h"
#include "OrvaneKit/crypto/testing/VectorFiles.h"

namespace orvane {
namespace {

using testvectors::hex;

// Only what records and sealed cloud fields use: 256-bit keys, 96-bit nonces, 128-bit tags.
TEST(AesGcm, Wycheproof) {
    const auto doc = testvectors::loadJson("wycheproof/aes_gcm_test.json");
    int valid = 0, invalid = 0;
    for (const auto& group : doc["testGroups"]) {
        if (group["keySize"] != 256 || group["ivSize"] != 96 || group["tagSize"] != 128) continue;
        for (const auto& t : group["tests"]) {
            SCOPED_TRACE("tcId " + t["tcId"].dump());
            const Bytes key = hex(t["key"].get<std::string>());
            const Bytes iv = hex(t["iv"].get<std::string>());
            const Bytes msg = hex(t["msg"].get<std::string>());
            const Bytes aad = hex(t["aad"].get<std::string>());
            Bytes sealed = hex(t["ct"].get<std::string>());
            append(sealed, hex(t["tag"].get<std::string>()));
            const auto opened = aesGcmOpen(key, iv, sealed, aad);
            if (t["result"] == "valid") {
                EXPECT_EQ(aesGcmSeal(key, iv, msg, aad), sealed);
                if (!aad.empty()) EXPECT_FALSE(aesGcmOpen(key, iv, sealed).has_value());
                ASSERT_TRUE(opened.has_value());
                EXPECT_EQ(*opened, msg);
                ++valid;
            } else {
                EXPECT_FALSE(opened.has_value());
                ++invalid;
            }
        }
    }
    EXPECT_GT(valid, 15);
    EXPECT_GT(invalid, 15);
}

TEST(AesGcm, RejectsShortAndTamperedInputAndBadSizes) {
    const Bytes key(32, 1), nonce(12, 2);
    const Bytes sealed = aesGcmSeal(key, nonce, asBytes("hello"));
    ASSERT_EQ(sealed.size(), 5u + 16u);
    EXPECT_EQ(aesGcmOpen(key, nonce, sealed), toBytes("hello"));
    EXPECT_FALSE(aesGcmOpen(key, nonce, ByteView(sealed).first(15)).has_value());
    for (std::size_t i = 0; i < sealed.size(); ++i) {
        Bytes bad = sealed;
        bad[i] ^= 0x80;
        EXPECT_FALSE(aesGcmOpen(key, nonce, bad).has_value()) << i;
    }
    Bytes otherNonce = nonce;
    otherNonce[11] ^= 1;
    EXPECT_FALSE(aesGcmOpen(key, otherNonce, sealed).has_value());
    // An empty body still has a tag.
    EXPECT_EQ(aesGcmOpen(key, nonce, aesGcmSeal(key, nonce, {})), Bytes{});
    EXPECT_THROW(aesGcmSeal(Bytes(16), nonce, {}), CryptoError);
    EXPECT_THROW(aesGcmOpen(key, Bytes(8), sealed), CryptoError);
}

TEST(AesGcmConcurrency, ThreadsSealAndOpenIndependently) {
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            const Bytes key(32, static_cast<std::uint8_t>(t)), nonce(12, 9);
            for (int i = 0; i < 200; ++i) {
                const Bytes body(static_cast<std::size_t>(i), static_cast<std::uint8_t>(i));
                const auto opened = aesGcmOpen(key, nonce, aesGcmSeal(key, nonce, body));
                if (!opened || *opened != body) ++failures;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace orvane

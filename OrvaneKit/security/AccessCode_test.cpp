#include "OrvaneKit/security/AccessCode.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "OrvaneKit/crypto/Kdf.h"

namespace orvane {
namespace {

TEST(AccessCode, NormalizeTable) {
    struct Case {
        const char* input;
        const char* expected;
    };
    const Case cases[] = {
        {" abc-def\tghj-klm\n", "ABCDEFGHJKLM"},
        {"ABC-DEF-GHJ-KLM", "ABCDEFGHJKLM"},
        {"abc def ghj klm", "ABCDEFGHJKLM"},
        {"", ""},
        {"- \t\r\n", ""},
        {"stra\xc3\x9f"
         "e",
         "STRASSE"},               // ß has no one-letter capital
        {"\xef\xac\x81x", "FIX"},  // the ligature ﬁ
        {"i\xc4\xb1", "II"},       // i and dotless ı: no Turkish rules
        {"ab\xc2\xa0"
         "cd",
         "ABCD"},  // no-break space is white space
        {"ab\xe2\x80\x83"
         "cd",
         "ABCD"},          // em space
        {"a\r\nb", "AB"},  // CR LF is one character, and white space
        {"a-\xcc\x81"
         "b",
         "A-\xcc\x81"
         "B"},             // "-" with a combining accent is another character
        {"o0i1", "O0I1"},  // look-alikes are neither rejected nor mapped
        {"\xc3\xa9t\xc3\xa9", "\xc3\x89T\xc3\x89"},
    };
    for (const auto& c : cases) EXPECT_EQ(AccessCode::normalize(c.input), c.expected) << c.input;
}

TEST(AccessCode, FormatGroupsByThreeAndIsIdempotent) {
    const std::pair<const char*, const char*> cases[] = {
        {"abcdefghjklm", "ABC-DEF-GHJ-KLM"},
        {"ABCDEFGHJKLMN", "ABC-DEF-GHJ-KLM-N"},
        {"abcdefg", "ABC-DEF-G"},
        {"ab", "AB"},
        {"", ""},
        {" a-b-c-d ", "ABC-D"},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(AccessCode::format(input), expected) << input;
        EXPECT_EQ(AccessCode::format(expected), expected) << input;
    }
}

// Returns the bytes it was given, then zeros.
struct ScriptedRandom : RandomSource {
    Bytes script;
    std::size_t at = 0;
    void fill(std::uint8_t* out, std::size_t n) override {
        for (std::size_t i = 0; i < n; ++i) out[i] = at < script.size() ? script[at++] : 0;
    }
};

TEST(AccessCode, GenerateTakesTheTopFiveBitsOfEachWord) {
    ScriptedRandom random;
    // Word k has its most significant byte (the last, little-endian) = k << 3, so index = k;
    // low bits set elsewhere must not matter.
    for (std::uint8_t k = 0; k < 12; ++k) {
        Bytes word(8, 0xff);
        word[7] = static_cast<std::uint8_t>((k * 2) << 3 | 0x07);
        random.script.insert(random.script.end(), word.begin(), word.end());
    }
    std::string code = AccessCode::generate(random);
    EXPECT_EQ(code, "ACE-GJL-NQS-UWY");  // alphabet[0], [2], [4] ... [22]
    EXPECT_EQ(random.at, 96u);           // twelve draws, none redrawn
}

TEST(AccessCode, GeneratedCodesHaveTheDisplayShape) {
    for (int i = 0; i < 50; ++i) {
        std::string code = AccessCode::generate();
        ASSERT_EQ(code.size(), 15u);
        for (std::size_t j = 0; j < code.size(); ++j) {
            if (j == 3 || j == 7 || j == 11)
                EXPECT_EQ(code[j], '-') << code;
            else
                EXPECT_NE(AccessCode::alphabet.find(code[j]), std::string_view::npos) << code;
        }
        EXPECT_EQ(AccessCode::normalize(code).size(), AccessCode::length);
    }
}

TEST(AccessCode, PskKeyVectorsAndOneCacheEntryPerNormalisedCode) {
    AccessKeyCache cache;
    int derivations = 0;
    AccessCode::KeyDerivation counted = [&](ByteView password) {
        ++derivations;
        return AccessCode::derivePBKDF2(password, asBytes(AccessCode::pbkdfSalt),
                                        AccessCode::pbkdfRounds);
    };
    Bytes key = AccessCode::pskKey("ABCDEFGHJKLM", cache, counted);
    EXPECT_EQ(toHex(key), "a78d33942c72e8c8501b16b6fd168454c7d8d8ae000f3fcb31c9ef80586b9338");
    EXPECT_EQ(AccessCode::pskKey(" abc-def ghj-klm", cache, counted), key);
    EXPECT_EQ(AccessCode::pskKey("ABC-DEF-GHJ-KLM", cache, counted), key);
    EXPECT_EQ(derivations, 1);
    EXPECT_EQ(cache.size(), 1u);

    EXPECT_EQ(toHex(AccessCode::pskKey("", cache, counted)),
              "716c6acccd53f956f86cca427996e1125f1077973311db059dab5828f1c3f2d3");
    EXPECT_EQ(derivations, 2);
}

TEST(AccessCode, CacheEmptiesWholesaleOnTheTenthCode) {
    AccessKeyCache cache;
    int derivations = 0;
    // A cheap stand-in derivation that still depends on the password.
    AccessCode::KeyDerivation cheap = [&](ByteView password) {
        ++derivations;
        return pbkdf2HmacSha256(password, asBytes(AccessCode::pbkdfSalt), 1, 32);
    };
    std::vector<std::string> codes;
    for (int i = 0; i < 10; ++i)
        codes.push_back("CODE" + std::string(1, static_cast<char>('A' + i)));
    for (int i = 0; i < 9; ++i) AccessCode::pskKey(codes[i], cache, cheap);
    EXPECT_EQ(cache.size(), 9u);
    AccessCode::pskKey(codes[8], cache, cheap);  // a hit changes nothing
    EXPECT_EQ(derivations, 9);

    AccessCode::pskKey(codes[9], cache, cheap);
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_TRUE(cache.cachedKey(codes[9]));
    EXPECT_FALSE(cache.cachedKey(codes[0]));
    AccessCode::pskKey(codes[0], cache, cheap);
    EXPECT_EQ(derivations, 11);
    EXPECT_EQ(cache.size(), 2u);

    // Look-alike characters give codes of their own.
    EXPECT_NE(AccessCode::pskKey("ABC0", cache, cheap), AccessCode::pskKey("ABCO", cache, cheap));
}

TEST(AccessCodeConcurrency, DerivationRunsOutsideTheLock) {
    AccessKeyCache cache;
    cache.store("CACHED", Bytes(32, 1));
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    AccessCode::KeyDerivation blocking = [&](ByteView) {
        entered.set_value();
        released.wait();
        return Bytes(32, 2);
    };
    Bytes slowKey;
    std::thread deriving([&] { slowKey = AccessCode::pskKey("slow", cache, blocking); });
    entered.get_future().wait();
    // Would never return if the derivation held the cache's lock.
    EXPECT_EQ(AccessCode::pskKey("cached", cache, blocking), Bytes(32, 1));
    release.set_value();
    deriving.join();
    EXPECT_EQ(slowKey, Bytes(32, 2));
    EXPECT_EQ(cache.cachedKey("SLOW"), Bytes(32, 2));
}

TEST(AccessCodeConcurrency, SimultaneousMissesAgree) {
    AccessKeyCache cache;
    AccessCode::KeyDerivation derive = [](ByteView password) {
        return pbkdf2HmacSha256(password, asBytes(AccessCode::pbkdfSalt), 2000, 32);
    };
    std::vector<Bytes> keys(4);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back(
            [&, i] { keys[i] = AccessCode::pskKey(i % 2 ? "abc" : "xyz", cache, derive); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(keys[0], keys[2]);
    EXPECT_EQ(keys[1], keys[3]);
    EXPECT_NE(keys[0], keys[1]);
    EXPECT_EQ(cache.size(), 2u);
}

TEST(AccessCode, ParametersCarryTheKeyAndTheSessionOptions) {
    SessionParams p = AccessCode::pskParameters("abc-def-ghj-klm", false);
    EXPECT_EQ(toHex(p.tls.key), "a78d33942c72e8c8501b16b6fd168454c7d8d8ae000f3fcb31c9ef80586b9338");
    EXPECT_EQ(p.tls.identity, "kelsap");
    EXPECT_EQ(p.tls.cipherSuite, 0x00A8);
    EXPECT_EQ(p.tls.minVersion, 0x0303);
    EXPECT_EQ(p.tls.maxVersion, 0x0303);
    EXPECT_FALSE(p.tls.sessionTickets);
    EXPECT_FALSE(p.tls.resumption);
    EXPECT_TRUE(p.noDelay);
    EXPECT_TRUE(p.keepAlive);
    EXPECT_EQ(p.keepAliveIdleSeconds, 2);
    EXPECT_TRUE(p.includePeerToPeer);
    EXPECT_TRUE(p.prohibitCellular);
    EXPECT_FALSE(AccessCode::pskParameters("ABCDEFGHJKLM", true).prohibitCellular);
}

}  // namespace
}  // namespace orvane

#include "OrvaneKit/crypto/Kdf.h"

#include <gtest/gtest.h>

#include "OrvaneKit/crypto/CryptoError.h"
#include "OrvaneKit/crypto/Hash.h"
#include "OrvaneKit/crypto/testing/VectorFiles.h"

namespace orvane {
namespace {

using testvectors::hex;

TEST(Kdf, WycheproofHkdfSha512) {
    const auto doc = testvectors::loadJson("wycheproof/hkdf_sha512_test.json");
    int valid = 0, invalid = 0;
    for (const auto& group : doc["testGroups"]) {
        for (const auto& t : group["tests"]) {
            SCOPED_TRACE("tcId " + t["tcId"].dump());
            const Bytes ikm = hex(t["ikm"].get<std::string>());
            const Bytes salt = hex(t["salt"].get<std::string>());
            const Bytes info = hex(t["info"].get<std::string>());
            const auto size = t["size"].get<std::size_t>();
            if (t["result"] == "valid") {
                EXPECT_EQ(toHex(hkdfSha512(ikm, salt, info, size)), t["okm"].get<std::string>());
                ++valid;
            } else {
                EXPECT_THROW(hkdfSha512(ikm, salt, info, size), CryptoError);
                ++invalid;
            }
        }
    }
    EXPECT_GT(valid, 50);
    EXPECT_GT(invalid, 0);
}

TEST(Kdf, Pbkdf2HmacSha256) {
    // RFC 7914, section 11.
    EXPECT_EQ(toHex(pbkdf2HmacSha256(asBytes("passwd"), asBytes("salt"), 1, 64)),
              "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
              "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783");
    // One round of a 32-byte output is HMAC(P, S || INT(1)); also for an empty password.
    const Bytes salt = toBytes("tamblo.key.r7");
    Bytes block = salt;
    appendBE32(block, 1);
    EXPECT_EQ(pbkdf2HmacSha256({}, salt, 1, 32), hmacSha256({}, block));
    EXPECT_EQ(pbkdf2HmacSha256({}, salt, 2, 32).size(), 32u);
    EXPECT_THROW(pbkdf2HmacSha256(asBytes("x"), salt, 0, 32), CryptoError);
}

}  // namespace
}  // namespace orvane

#include "OrvaneKit/crypto/SecureBytes.h"

#include <gtest/gtest.h>

#include <type_traits>

#include "OrvaneKit/crypto/Random.h"
#include "OrvaneKit/crypto/testing/DeterministicRandom.h"

namespace orvane {
namespace {

static_assert(!std::is_copy_constructible_v<SecureBytes>);
static_assert(std::is_nothrow_move_constructible_v<SecureBytes>);

TEST(SecureBytes, MoveCloneAndReset) {
    Bytes raw = {1, 2, 3};
    SecureBytes a = SecureBytes::adopt(std::move(raw));
    EXPECT_TRUE(raw.empty());
    SecureBytes b = a.clone();
    EXPECT_EQ(a.copyBytes(), b.copyBytes());
    SecureBytes c = std::move(a);
    EXPECT_TRUE(a.empty());
    EXPECT_EQ(c.copyBytes(), (Bytes{1, 2, 3}));
    c.reset();
    EXPECT_TRUE(c.empty());
    b = SecureBytes(4);
    EXPECT_EQ(b.copyBytes(), Bytes(4, 0));
}

TEST(Random, SystemAndDeterministicSources) {
    const Bytes a = randomBytes(32), b = randomBytes(32);
    EXPECT_EQ(a.size(), 32u);
    EXPECT_NE(a, b);
    EXPECT_TRUE(randomBytes(0).empty());

    // The deterministic source is the SHAKE-128 stream of its seed, however it is read.
    DeterministicRandom r1(asBytes("seed")), r2(asBytes("seed"));
    Bytes joined = randomBytes(5, r1);
    append(joined, randomBytes(300, r1));
    EXPECT_EQ(joined, randomBytes(305, r2));
    DeterministicRandom empty;
    EXPECT_EQ(toHex(randomBytes(16, empty)), "7f9c2ba4e88f827d616045507605853e");
}

}  // namespace
}  // namespace orvane

#include "OrvaneKit/security/SecureMessageChannel.h"

#include <gtest/gtest.h>

#include <limits>
#include <set>
#include <thread>

#include "OrvaneKit/crypto/AesGcm.h"
#include "OrvaneKit/crypto/CryptoError.h"
#include "OrvaneKit/security/SecureChannelError.h"

namespace orvane {
namespace {

// Record keys of a worked example (access key PSK("ABCDEFGHJKLM"), transcript = the label only,
// shared secret 00..1f), computed independently of this code.
const Bytes kC2S = *fromHex("bf9f13e3989f246101de52ff3b140b5fd6103615d81a594a5bbc9be8e93362b3");
const Bytes kS2C = *fromHex("8685bbc7d2a08c9f6aab05650f32addf199a2def695db04dffe5793abde427db");

struct Pair {
    SecureMessageChannel client{kC2S, kS2C};
    SecureMessageChannel server{kS2C, kC2S};
};

SecureChannelError::Kind openKind(SecureMessageChannel& ch, ByteView record) {
    try {
        ch.open(record);
    } catch (const SecureChannelError& e) {
        return e.kind();
    }
    ADD_FAILURE() << "record opened";
    return SecureChannelError::Kind::malformed;
}

TEST(SecureMessageChannel, KnownRecords) {
    Pair p;
    EXPECT_EQ(toHex(p.client.seal({})), "f9058ee92f41d537991cdfd1821d6066");
    EXPECT_EQ(toHex(p.client.seal(asBytes("ping"))), "4ab3be1ed2784a0ddcdf6a80ded6ba38be342043");
    EXPECT_EQ(toHex(p.server.seal(asBytes("ping"))), "97863859e2960c814b508e78835971144a4ef925");

    EXPECT_EQ(p.server.open(*fromHex("f9058ee92f41d537991cdfd1821d6066")), Bytes{});
    EXPECT_EQ(toString(p.server.open(*fromHex("4ab3be1ed2784a0ddcdf6a80ded6ba38be342043"))),
              "ping");
    EXPECT_EQ(toString(p.client.open(*fromHex("97863859e2960c814b508e78835971144a4ef925"))),
              "ping");
}

TEST(SecureMessageChannel, NonceLayout) {
    EXPECT_EQ(toHex(SecureMessageChannel::nonce(0)), "000000000000000000000000");
    EXPECT_EQ(toHex(SecureMessageChannel::nonce(1)), "000000000000000000000001");
    EXPECT_EQ(toHex(SecureMessageChannel::nonce(std::uint64_t{1} << 32)),
              "000000000000000100000000");
    EXPECT_EQ(toHex(SecureMessageChannel::nonce(0x0102030405060708)), "000000000102030405060708");
}

TEST(SecureMessageChannel, RecordsFlowInOrderBothWays) {
    Pair p;
    for (std::size_t n : {0u, 1u, 15u, 16u, 17u, 1000u, 70000u}) {
        Bytes body(n);
        for (std::size_t i = 0; i < n; ++i) body[i] = static_cast<std::uint8_t>(i * 7 + n);
        Bytes up = p.client.seal(body);
        Bytes down = p.server.seal(body);
        ASSERT_EQ(up.size(), n + 16);
        EXPECT_NE(up, down);  // different key per direction
        EXPECT_EQ(p.server.open(up), body);
        EXPECT_EQ(p.client.open(down), body);
    }
}

TEST(SecureMessageChannel, ShortRecordsLeaveTheCounterAlone) {
    Pair p;
    Bytes first = p.client.seal(asBytes("first"));
    for (std::size_t n = 0; n < 16; ++n)
        EXPECT_EQ(openKind(p.server, Bytes(n, 0xAA)), SecureChannelError::Kind::tampered) << n;
    EXPECT_EQ(toString(p.server.open(first)), "first");
}

TEST(SecureMessageChannel, FailedOpenUsesUpItsNumber) {
    Pair p;
    Bytes zero = p.client.seal({});
    Bytes one = p.client.seal(asBytes("one"));
    EXPECT_EQ(openKind(p.server, Bytes(16, 0)), SecureChannelError::Kind::tampered);
    EXPECT_EQ(toString(p.server.open(one)), "one");

    Pair q;
    EXPECT_EQ(openKind(q.server, Bytes(16, 0)), SecureChannelError::Kind::tampered);
    EXPECT_EQ(openKind(q.server, zero), SecureChannelError::Kind::tampered);
}

TEST(SecureMessageChannel, ReplayedAlteredOrReorderedRecordsFail) {
    Pair p;
    Bytes a = p.client.seal(asBytes("a body"));
    EXPECT_EQ(toString(p.server.open(a)), "a body");
    EXPECT_EQ(openKind(p.server, a), SecureChannelError::Kind::tampered);  // replay

    for (std::size_t pos : {std::size_t{0}, std::size_t{5}, std::size_t{6}, std::size_t{21}}) {
        Pair f;
        Bytes r = f.client.seal(asBytes("a body"));
        r[pos] ^= 0x01;
        EXPECT_EQ(openKind(f.server, r), SecureChannelError::Kind::tampered) << pos;
    }

    Pair o;
    Bytes r0 = o.client.seal(asBytes("x"));
    Bytes r1 = o.client.seal(asBytes("y"));
    EXPECT_EQ(openKind(o.server, r1), SecureChannelError::Kind::tampered);
    EXPECT_EQ(openKind(o.server, r0),
              SecureChannelError::Kind::tampered);  // everything after a loss fails
}

TEST(SecureMessageChannel, InPlaceMatchesCopying) {
    Pair p;
    Pair q;
    Bytes body(300, 0x5C);
    Bytes buf = body;
    buf.resize(body.size() + 16);
    EXPECT_EQ(p.client.sealInto(ByteView(buf.data(), body.size()), buf), body.size() + 16);
    EXPECT_EQ(buf, q.client.seal(body));
    EXPECT_EQ(p.server.openInto(buf, buf), body.size());
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 300), body);

    Bytes small(10);
    EXPECT_THROW(p.client.sealInto(body, small), CryptoError);
}

TEST(SecureMessageChannel, NumbersEndWithoutWrapping) {
    constexpr std::uint64_t last = std::numeric_limits<std::uint64_t>::max();
    SecureMessageChannel sender(kC2S, kS2C, last - 1, 0);
    SecureMessageChannel receiver(kS2C, kC2S, 0, last - 1);
    Bytes r = sender.seal(asBytes("last"));
    EXPECT_EQ(aesGcmOpen(kC2S, SecureMessageChannel::nonce(last - 1), r), toBytes("last"));
    for (int i = 0; i < 3; ++i) EXPECT_THROW(sender.seal(asBytes("more")), CryptoError);
    EXPECT_EQ(toString(receiver.open(r)), "last");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(openKind(receiver, r), SecureChannelError::Kind::tampered);
}

TEST(SecureMessageChannel, ErrorTexts) {
    EXPECT_EQ(SecureChannelError::identityChanged("A", "B").description(),
              "This Mac's security identity has changed. If you did not reinstall Orvane Host, "
              "someone may be "
              "impersonating it.");
    EXPECT_EQ(SecureChannelError::badSignature().description(),
              "The other device failed to prove its identity.");
    EXPECT_EQ(SecureChannelError::malformed().description(), "The secure handshake was invalid.");
    EXPECT_EQ(SecureChannelError::outOfOrder().description(), "The secure handshake was invalid.");
    EXPECT_EQ(SecureChannelError::tampered().description(),
              "A message failed its integrity check.");
    const auto e = SecureChannelError::identityChanged("A", "B");
    EXPECT_EQ(e.expected(), "A");
    EXPECT_EQ(e.got(), "B");
    EXPECT_STREQ(e.what(), e.description().c_str());
    EXPECT_NE(SecureChannelError::malformed(), SecureChannelError::outOfOrder());
}

// Many threads seal at once: every record gets its own number, none is used twice.
TEST(SecureMessageChannelConcurrency, SealersGetDistinctNumbers) {
    constexpr int kThreads = 4;
    constexpr int kEach = 60;
    SecureMessageChannel ch(kC2S, kS2C);
    std::vector<std::vector<Bytes>> records(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i)
                records[t].push_back(ch.seal(Bytes(64, static_cast<std::uint8_t>(t))));
        });
    for (auto& th : threads) th.join();

    std::set<std::uint64_t> used;
    for (int t = 0; t < kThreads; ++t)
        for (const Bytes& r : records[t]) {
            bool found = false;
            for (std::uint64_t n = 0; n < kThreads * kEach && !found; ++n) {
                auto body = aesGcmOpen(kC2S, SecureMessageChannel::nonce(n), r);
                if (body) {
                    EXPECT_EQ(*body, Bytes(64, static_cast<std::uint8_t>(t)));
                    EXPECT_TRUE(used.insert(n).second) << "number " << n << " used twice";
                    found = true;
                }
            }
            EXPECT_TRUE(found);
        }
    EXPECT_EQ(used.size(), static_cast<std::size_t>(kThreads * kEach));
}

}  // namespace
}  // namespace orvane

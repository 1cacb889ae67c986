#include "OrvaneKit/security/SecureHandshake.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "OrvaneKit/crypto/CryptoError.h"
#include "OrvaneKit/crypto/Hash.h"
#include "OrvaneKit/crypto/MlDsa87.h"
#include "OrvaneKit/crypto/testing/DeterministicRandom.h"
#include "OrvaneKit/security/SecureChannelError.h"
#include "OrvaneKit/security/testing/FakeIdentity.h"

namespace orvane {
namespace {

using Role = SecureHandshake::Role;
using Kind = SecureChannelError::Kind;

// PSK("ABCDEFGHJKLM")
const Bytes kAccessKey =
    *fromHex("a78d33942c72e8c8501b16b6fd168454c7d8d8ae000f3fcb31c9ef80586b9338");

Bytes seedOf(std::uint8_t b) {
    return Bytes(32, b);
}

class FailingRandom final : public RandomSource {
public:
    void fill(std::uint8_t*, std::size_t) override {
        throw std::runtime_error("random source failed");
    }
};

template <class F>
Kind kindOf(F&& f) {
    try {
        f();
    } catch (const SecureChannelError& e) {
        return e.kind();
    }
    ADD_FAILURE() << "no SecureChannelError";
    return Kind::identityChanged;
}

// Both ends of one handshake, reproducible from fixed seeds.
struct Session {
    explicit Session(Bytes clientAccessKey = kAccessKey, Bytes serverAccessKey = kAccessKey)
        : client(Role::client, clientAccessKey, clientId.identity(), clientRandom),
          server(Role::server, serverAccessKey, serverId.identity(), serverRandom) {}

    void run() {
        m40 = client.makeClientHello();
        m41 = server.respondToClientHello(m40);
        auto result = client.handleServerHello(m41);
        m42 = result.finish;
        clientChannel = result.channel;
        serverChannel = server.acceptFinish(m42);
    }

    DeterministicRandom clientSignRandom{asBytes("client identity")};
    DeterministicRandom serverSignRandom{asBytes("server identity")};
    FakeIdentity clientId{seedOf(0x11), clientSignRandom, "com.nimbrel.kelsap.viewer"};
    FakeIdentity serverId{seedOf(0x22), serverSignRandom, "com.nimbrel.kelsap.host"};
    DeterministicRandom clientRandom{asBytes("client handshake")};
    DeterministicRandom serverRandom{asBytes("server handshake")};
    SecureHandshake client;
    SecureHandshake server;
    Bytes m40, m41, m42;
    std::shared_ptr<SecureMessageChannel> clientChannel, serverChannel;
};

Bytes slice(const Bytes& b, std::size_t offset, std::size_t n) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(offset),
                 b.begin() + static_cast<std::ptrdiff_t>(offset + n));
}

TEST(SecureHandshake, MessagesAndTranscriptLayout) {
    Session s;
    s.run();
    ASSERT_EQ(s.m40.size(), 2632u);
    ASSERT_EQ(s.m41.size(), 8447u);
    ASSERT_EQ(s.m42.size(), 5755u);
    EXPECT_EQ(toHex(slice(s.m40, 0, 4)), "00000020");
    EXPECT_EQ(toHex(slice(s.m40, 36, 4)), "00000a20");
    EXPECT_EQ(toHex(slice(s.m41, 0, 4)), "000004c0");
    EXPECT_EQ(toHex(slice(s.m41, 1220, 4)), "00000a20");
    EXPECT_EQ(toHex(slice(s.m41, 3816, 4)), "00001213");
    EXPECT_EQ(toHex(slice(s.m42, 0, 4)), "00000460");
    EXPECT_EQ(toHex(slice(s.m42, 1124, 4)), "00001213");

    const Bytes& t = s.client.transcript();
    ASSERT_EQ(t.size(), 16830u);
    EXPECT_EQ(t, s.server.transcript());
    EXPECT_EQ(toString(slice(t, 0, 16)), "kelsap-secure-v1");
    EXPECT_EQ(slice(t, 16, 2632), s.m40);                    // with its length prefixes
    EXPECT_EQ(slice(t, 2648, 1216), slice(s.m41, 4, 1216));  // ephemeral key
    EXPECT_EQ(slice(t, 3864, 2592), s.serverId.identity().publicKey());
    EXPECT_EQ(slice(t, 6456, 4627), slice(s.m41, 3820, 4627));
    EXPECT_EQ(slice(t, 11083, 1120), slice(s.m42, 4, 1120));
    EXPECT_EQ(slice(t, 12203, 4627), slice(s.m42, 1128, 4627));
    EXPECT_TRUE(MlDsa87::verify(s.serverId.identity().publicKey(), slice(t, 0, 6456),
                                slice(t, 6456, 4627)));
    EXPECT_TRUE(MlDsa87::verify(s.clientId.identity().publicKey(), slice(t, 0, 12203),
                                slice(t, 12203, 4627)));

    EXPECT_EQ(s.client.peerIdentity(), s.serverId.identity().publicKey());
    EXPECT_EQ(s.server.peerIdentity(), s.clientId.identity().publicKey());
    EXPECT_FALSE(s.server.hasServerEphemeral());
}

TEST(SecureHandshake, ChannelsMatchAcrossTheEnds) {
    Session s;
    s.run();
    EXPECT_EQ(Bytes(s.clientChannel->sendKey().begin(), s.clientChannel->sendKey().end()),
              Bytes(s.serverChannel->receiveKey().begin(), s.serverChannel->receiveKey().end()));
    EXPECT_EQ(Bytes(s.clientChannel->receiveKey().begin(), s.clientChannel->receiveKey().end()),
              Bytes(s.serverChannel->sendKey().begin(), s.serverChannel->sendKey().end()));
    EXPECT_NE(Bytes(s.clientChannel->sendKey().begin(), s.clientChannel->sendKey().end()),
              Bytes(s.clientChannel->receiveKey().begin(), s.clientChannel->receiveKey().end()));
    EXPECT_EQ(toString(s.serverChannel->open(s.clientChannel->seal(asBytes("hello")))), "hello");
    EXPECT_EQ(toString(s.clientChannel->open(s.serverChannel->seal(asBytes("helloAck")))),
              "helloAck");
}

// Pinned from fixed seeds and random sources, after the layout, signature and key checks above
// and an outside recomputation of the salt and keys from the transcript.
TEST(SecureHandshake, GoldenTranscriptAndKeys) {
    Session s;
    s.run();
    EXPECT_EQ(toHex(sha256(s.m40)),
              "1e292acb344dba7eb1d2ad4e75ed288244610697241cfedcf67fb8f3b84ca876");
    EXPECT_EQ(toHex(sha256(s.m41)),
              "8738aa5925af748fb6f686222f8df2d910c3651b0662500c2d93027f96926798");
    EXPECT_EQ(toHex(sha256(s.m42)),
              "c1880625412b988076f512b4a34680c994cb5d1f69f0a0eb859a50ecb183a873");
    EXPECT_EQ(toHex(sha256(s.client.transcript())),
              "1e1065320653d744abf702f9d4bb2daf3193d0379023c99ac5fcb3b3e62ba3a5");
    EXPECT_EQ(toHex(s.client.keySalt(kAccessKey)),
              "1460ddf2b7487adf735d750bfba464198a3faa3c9d3168503e88c0fe52df6fbe"
              "6bbc261325e81666cbbbabeadba4d6b79b245e837cb1e4cb35b2d587866806f7");
    EXPECT_EQ(toHex(s.clientChannel->sendKey()),
              "4cc889e5898a849e72ff033c8095f0567e24ac40db6162fd1902eb7e52ca6542");
    EXPECT_EQ(toHex(s.clientChannel->receiveKey()),
              "23fee4b4ec4cee72b244d5ccec67397ea0276202c0eec5ec0761fff99de6a4e3");
    EXPECT_EQ(SecureIdentity::fingerprint(*s.client.peerIdentity()),
              "80D5 337F BA46 DEB2 112B 8E3B 3EA4 53E4");
    EXPECT_EQ(toHex(s.clientChannel->seal(asBytes("ping"))),
              "8c3cc221d09d1d6e2e17a1bf94ec9b2760b2f932");
}

// Worked example computed outside this code.
TEST(SecureHandshake, DerivesKnownRecordKeys) {
    Bytes ss(32);
    for (int i = 0; i < 32; ++i) ss[i] = static_cast<std::uint8_t>(i);
    const auto label = asBytes(SecureHandshake::transcriptLabel);
    EXPECT_EQ(toHex(SecureHandshake::keySalt(kAccessKey, label)),
              "1986a12e4d31ae2a4b3cbf74a170c988f6f699c58193418fc3475f2532d195e2"
              "32c1bdbbc0843c8d8023c3d8166c13a83c75c080a73b7028baee5c47ae51d7a7");
    auto client = SecureHandshake::deriveChannel(Role::client, kAccessKey, label, ss);
    auto server = SecureHandshake::deriveChannel(Role::server, kAccessKey, label, ss);
    EXPECT_EQ(toHex(client->sendKey()),
              "bf9f13e3989f246101de52ff3b140b5fd6103615d81a594a5bbc9be8e93362b3");
    EXPECT_EQ(toHex(client->receiveKey()),
              "8685bbc7d2a08c9f6aab05650f32addf199a2def695db04dffe5793abde427db");
    EXPECT_EQ(toHex(server->sendKey()), toHex(client->receiveKey()));
    EXPECT_EQ(toHex(server->receiveKey()), toHex(client->sendKey()));
}

TEST(SecureHandshake, DecodeFields) {
    auto field = [](std::uint32_t declared, std::size_t actual) {
        Bytes b;
        appendBE32(b, declared);
        b.resize(b.size() + actual, 0x42);
        return b;
    };
    EXPECT_TRUE(SecureHandshake::decodeFields({}, 0).empty());
    EXPECT_EQ(SecureHandshake::decodeFields(field(0x100000, 0x100000), 1)[0].size(), 0x100000u);
    EXPECT_EQ(
        SecureHandshake::decodeFields(SecureHandshake::encodeFields({Bytes{}, Bytes{1, 2}}), 2),
        (std::vector<Bytes>{{}, {1, 2}}));

    struct Case {
        const char* name;
        Bytes body;
        std::size_t count;
    };
    Bytes two = SecureHandshake::encodeFields({Bytes{1}, Bytes{2}});
    Bytes trailing = two;
    trailing.push_back(0);
    const Case bad[] = {
        {"empty body, two expected", {}, 2},
        {"too few fields", two, 3},
        {"too many fields", two, 1},
        {"byte after the last field", trailing, 2},
        {"truncated length prefix", {0, 0, 0}, 1},
        {"truncated field", field(10, 9), 1},
        {"field over the limit", field(0x100001, 0x100001), 1},
        {"huge declared length", field(0xFFFFFFFF, 4), 1},
    };
    for (const Case& c : bad)
        EXPECT_EQ(kindOf([&] { SecureHandshake::decodeFields(c.body, c.count); }), Kind::malformed)
            << c.name;
}

TEST(SecureHandshake, ClientHelloVariants) {
    Session s;
    Bytes hello = s.client.makeClientHello();
    const Bytes pub = s.clientId.identity().publicKey();

    Bytes extra = hello;
    extra.push_back(0);
    EXPECT_EQ(kindOf([&] { s.server.respondToClientHello(extra); }), Kind::malformed);

    // Any nonce length is taken; it only enters the transcript.
    for (std::size_t n : {0u, 64u}) {
        Bytes h = SecureHandshake::encodeFields({Bytes(n, 7), pub});
        EXPECT_EQ(s.server.respondToClientHello(h).size(), 8447u);
        EXPECT_EQ(slice(s.server.transcript(), 16, h.size()), h);
    }

    // A key field at the decoder's limit passes decoding, then fails as a key.
    Bytes big = SecureHandshake::encodeFields({Bytes(32, 1), Bytes(0x100000, 1)});
    EXPECT_THROW(s.server.respondToClientHello(big), CryptoError);
    Bytes shortKey = SecureHandshake::encodeFields({Bytes(32, 1), Bytes(2591, 1)});
    EXPECT_THROW(s.server.respondToClientHello(shortKey), CryptoError);
}

TEST(SecureHandshake, ServerHelloMustBeSignedOverTheTranscript) {
    Session s;
    s.m40 = s.client.makeClientHello();
    s.m41 = s.server.respondToClientHello(s.m40);
    auto f = SecureHandshake::decodeFields(s.m41, 3);

    // Signed by another key than the one it names.
    FakeIdentity other(seedOf(0x33));
    Bytes forged = SecureHandshake::encodeFields({f[0], other.identity().publicKey(), f[2]});
    {
        Session c;
        c.client.makeClientHello();
        EXPECT_EQ(kindOf([&] { c.client.handleServerHello(forged); }), Kind::badSignature);
        EXPECT_FALSE(c.client.peerIdentity());
    }
    // A client that never sent its hello: the signature does not cover what it holds.
    {
        Session c;
        EXPECT_EQ(kindOf([&] { c.client.handleServerHello(s.m41); }), Kind::badSignature);
    }
    // Unusable keys.
    {
        Session c;
        c.client.makeClientHello();
        Bytes badEph(1216, 0xFF);  // fails the ML-KEM modulus check
        EXPECT_THROW(
            c.client.handleServerHello(SecureHandshake::encodeFields({badEph, f[1], f[2]})),
            CryptoError);
        EXPECT_THROW(
            c.client.handleServerHello(SecureHandshake::encodeFields({f[0], Bytes(100, 1), f[2]})),
            CryptoError);
        EXPECT_EQ(kindOf([&] {
                      c.client.handleServerHello(SecureHandshake::encodeFields({f[0], f[1]}));
                  }),
                  Kind::malformed);
    }
}

TEST(SecureHandshake, FinishOrderAndSignature) {
    {
        Session s;
        Bytes finish = SecureHandshake::encodeFields({Bytes(1120, 1), Bytes(4627, 2)});
        EXPECT_EQ(kindOf([&] { s.server.acceptFinish(finish); }), Kind::outOfOrder);
    }
    {
        Session s;
        s.run();
        EXPECT_EQ(kindOf([&] { s.server.acceptFinish(s.m42); }), Kind::outOfOrder);
    }
    {
        // Signed before the encapsulation was appended.
        Session s;
        s.m40 = s.client.makeClientHello();
        s.m41 = s.server.respondToClientHello(s.m40);
        auto result = s.client.handleServerHello(s.m41);
        auto f = SecureHandshake::decodeFields(result.finish, 2);
        Bytes early = slice(s.client.transcript(), 0, 11083);
        Bytes sig = s.clientId.identity().sign(early);
        EXPECT_EQ(kindOf([&] {
                      s.server.acceptFinish(SecureHandshake::encodeFields({f[0], sig}));
                  }),
                  Kind::badSignature);
    }
    {
        // Properly signed, but an encapsulation of the wrong size cannot be decapsulated; the
        // ephemeral key is gone afterwards all the same.
        Session s;
        s.m40 = s.client.makeClientHello();
        s.m41 = s.server.respondToClientHello(s.m40);
        Bytes t = s.server.transcript();
        const Bytes shortEnc(1119, 3);
        append(t, shortEnc);
        const Bytes sig = s.clientId.identity().sign(t);
        EXPECT_THROW(s.server.acceptFinish(SecureHandshake::encodeFields({shortEnc, sig})),
                     CryptoError);
        EXPECT_FALSE(s.server.hasServerEphemeral());
    }
}

TEST(SecureHandshake, SecondClientHelloStartsOver) {
    Session s;
    Bytes first = s.client.makeClientHello();
    Bytes firstReply = s.server.respondToClientHello(first);
    Bytes hello = s.client.makeClientHello();
    Bytes reply = s.server.respondToClientHello(hello);
    EXPECT_NE(slice(reply, 4, 1216), slice(firstReply, 4, 1216));  // a new ephemeral key
    auto result = s.client.handleServerHello(reply);
    auto channel = s.server.acceptFinish(result.finish);
    EXPECT_EQ(s.client.transcript(), s.server.transcript());
    EXPECT_EQ(toString(channel->open(result.channel->seal(asBytes("x")))), "x");
}

TEST(SecureHandshake, AccessKeyChangesOnlyTheRecordKeys) {
    Session same;
    same.run();
    Bytes otherKey = kAccessKey;
    otherKey[31] ^= 0x01;
    Session differ(kAccessKey, otherKey);
    differ.run();

    EXPECT_EQ(differ.m40, same.m40);
    EXPECT_EQ(differ.m41, same.m41);
    EXPECT_EQ(differ.m42, same.m42);
    EXPECT_EQ(toHex(differ.clientChannel->sendKey()), toHex(same.clientChannel->sendKey()));
    EXPECT_NE(toHex(differ.serverChannel->receiveKey()), toHex(same.serverChannel->receiveKey()));
    EXPECT_NE(toHex(differ.serverChannel->sendKey()), toHex(same.serverChannel->sendKey()));
    EXPECT_EQ(
        kindOf([&] { differ.serverChannel->open(differ.clientChannel->seal(asBytes("hello"))); }),
        Kind::tampered);
}

TEST(SecureHandshake, WrongRoleAndRandomFailure) {
    Session s;
    EXPECT_EQ(kindOf([&] { s.server.makeClientHello(); }), Kind::outOfOrder);
    EXPECT_EQ(kindOf([&] { s.client.respondToClientHello(s.m40); }), Kind::outOfOrder);
    EXPECT_EQ(kindOf([&] { s.client.acceptFinish({}); }), Kind::outOfOrder);
    EXPECT_EQ(kindOf([&] { s.server.handleServerHello({}); }), Kind::outOfOrder);

    // A broken random source stops the handshake; nothing goes out with predictable bytes.
    FailingRandom broken;
    SecureHandshake client(Role::client, kAccessKey, s.clientId.identity(), broken);
    EXPECT_THROW(client.makeClientHello(), std::runtime_error);
    EXPECT_TRUE(client.transcript().empty());
    SecureHandshake server(Role::server, kAccessKey, s.serverId.identity(), broken);
    EXPECT_THROW(server.respondToClientHello(s.client.makeClientHello()), std::runtime_error);
    EXPECT_FALSE(server.hasServerEphemeral());
    EXPECT_TRUE(server.transcript().empty());

    EXPECT_THROW(SecureHandshake(Role::client, Bytes(31), s.clientId.identity()), CryptoError);
}

}  // namespace
}  // namespace orvane

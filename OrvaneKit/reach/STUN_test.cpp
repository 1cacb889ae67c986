#include "OrvaneKit/reach/STUN.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <thread>

#include "OrvaneKit/reach/testing/FakeSTUNServer.h"

namespace orvane {
namespace {

const Bytes tid = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

Bytes header(std::uint16_t length, std::uint16_t type = 0x0101) {
    Bytes b = {std::uint8_t(type >> 8),
               std::uint8_t(type),
               std::uint8_t(length >> 8),
               std::uint8_t(length),
               0x21,
               0x12,
               0xA4,
               0x42};
    b.insert(b.end(), tid.begin(), tid.end());
    return b;
}

Bytes attribute(std::uint16_t type, Bytes value, std::optional<std::uint16_t> length = {}) {
    std::uint16_t n = length.value_or(static_cast<std::uint16_t>(value.size()));
    Bytes b = {std::uint8_t(type >> 8), std::uint8_t(type), std::uint8_t(n >> 8), std::uint8_t(n)};
    b.insert(b.end(), value.begin(), value.end());
    while (b.size() % 4) b.push_back(0);
    return b;
}

const Bytes mapped10 = {0, 1, 0x04, 0xD2, 10, 0, 0, 1};              // 10.0.0.1:1234
const Bytes mapped11 = {0, 1, 0x04, 0xD3, 11, 0, 0, 1};              // 11.0.0.1:1235
const Bytes xorMapped = {0, 1, 0x31, 0x33, 0xE1, 0x12, 0xA6, 0x43};  // 192.0.2.1:4129

Bytes message(std::initializer_list<Bytes> attributes, std::optional<std::uint16_t> length = {}) {
    Bytes body;
    for (const auto& a : attributes) body.insert(body.end(), a.begin(), a.end());
    Bytes m = header(length.value_or(static_cast<std::uint16_t>(body.size())));
    m.insert(m.end(), body.begin(), body.end());
    return m;
}

TEST(STUN, BindingRequestBytes) {
    EXPECT_EQ(toHex(STUN::bindingRequest(tid)),
              "000100002112a442"
              "0102030405060708090a0b0c");
    EXPECT_EQ(toHex(STUN::bindingRequest(Bytes{1, 2})),
              "000100002112a442"
              "010200000000000000000000");
    Bytes longer = tid;
    longer.push_back(13);
    EXPECT_EQ(STUN::bindingRequest(longer), STUN::bindingRequest(tid));
    EXPECT_EQ(STUN::transactionID().size(), 12u);
}

TEST(STUN, ParsesResponses) {
    using R = std::optional<STUNReflexive>;
    Bytes noCookie = message({attribute(0x20, xorMapped)});
    noCookie[4] = 0;
    Bytes ipv6Xor = {0, 2, 0x31, 0x33};
    // 2001:db8::1 XORed with the cookie and the identifier.
    Bytes plain6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    Bytes mask = {0x21, 0x12, 0xA4, 0x42};
    mask.insert(mask.end(), tid.begin(), tid.end());
    for (int i = 0; i < 16; ++i) ipv6Xor.push_back(plain6[i] ^ mask[i]);
    Bytes truncatedAfterMapped = message({attribute(0x01, mapped10)});
    Bytes cut = {0x00, 0x20, 0x00, 0x40, 1, 2};  // claims 64 bytes, holds 2
    truncatedAfterMapped.insert(truncatedAfterMapped.end(), cut.begin(), cut.end());
    truncatedAfterMapped[3] += static_cast<std::uint8_t>(cut.size());

    struct Case {
        const char* what;
        Bytes bytes;
        R expected;
    } cases[] = {
        {"header only", header(0), {}},
        {"too short", Bytes(19, 0), {}},
        {"no cookie", noCookie, {}},
        {"xor mapped", message({attribute(0x20, xorMapped)}), STUNReflexive{"192.0.2.1", 4129}},
        {"mapped then xor", message({attribute(0x01, mapped10), attribute(0x20, xorMapped)}),
         STUNReflexive{"192.0.2.1", 4129}},
        {"two mapped", message({attribute(0x01, mapped10), attribute(0x01, mapped11)}),
         STUNReflexive{"10.0.0.1", 1234}},
        {"other type, unknown attribute first",
         message({attribute(0x8022, {'x', 'y', 'z'}), attribute(0x01, mapped10)}),
         STUNReflexive{"10.0.0.1", 1234}},
        {"truncated after mapped", truncatedAfterMapped, STUNReflexive{"10.0.0.1", 1234}},
        {"length field shorter than the data", message({attribute(0x01, mapped10)}, 0), {}},
        {"length field past the data", message({attribute(0x01, mapped10)}, 0xFFFF),
         STUNReflexive{"10.0.0.1", 1234}},
        {"attribute length 0xFFFF", message({attribute(0x20, xorMapped, 0xFFFF)}), {}},
        {"short xor value", message({attribute(0x20, {0, 1, 0x31})}), {}},
        {"ipv4 value too short", message({attribute(0x20, {0, 1, 0x31, 0x33, 0xE1})}), {}},
        {"ipv6 value too short", message({attribute(0x20, Bytes(19, 0))}), {}},
        {"unknown family", message({attribute(0x20, {0, 3, 0, 0, 1, 2, 3, 4})}), {}},
        {"ipv6 xor", message({attribute(0x20, ipv6Xor)}), STUNReflexive{"2001:db8::1", 4129}},
    };
    for (const auto& c : cases) EXPECT_EQ(STUN::parseResponse(c.bytes, tid), c.expected) << c.what;

    Bytes otherId = message({attribute(0x20, xorMapped)});
    otherId[8] ^= 0xFF;
    otherId[1] = 0x11;  // an error response's type: neither is checked
    EXPECT_EQ(STUN::parseResponse(otherId, tid), (STUNReflexive{"192.0.2.1", 4129}));
    EXPECT_EQ(STUN::decodeAddress(ipv6Xor, true, Bytes{1, 2}), std::nullopt)
        << "an IPv6 XOR address needs the whole identifier";
}

TEST(STUN, NATOnceLetsOneCallerThrough) {
    NATOnce once;
    std::atomic<int> winners{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            if (once.claim()) ++winners;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(winners, 1);
}

std::optional<STUNDiscovery> discover(std::uint16_t port, double seconds) {
    asio::io_context io;
    std::optional<STUNDiscovery> result;
    int calls = 0;
    STUNClient::discover(io.get_executor(), {"localhost", port},
                         std::chrono::duration<double>(seconds),
                         [&](std::optional<STUNDiscovery> r) {
                             ++calls;
                             result = std::move(r);
                         });
    io.run();
    EXPECT_EQ(calls, 1);
    return result;
}

TEST(NetSTUNClient, LearnsTheReflexiveAddressAndLocalPort) {
    FakeSTUNServer server([](const Bytes& request, const auto&) -> std::optional<Bytes> {
        // The peer's own address, XOR-coded.
        Bytes reply = {0x01, 0x01, 0, 12};
        reply.insert(reply.end(), request.begin() + 4, request.begin() + 20);
        Bytes value = {0,    0x20, 0,          8,         0,          1,
                       0x25, 0x5B, 0x21 ^ 198, 0x12 ^ 51, 0xA4 ^ 100, 0x42 ^ 9};
        reply.insert(reply.end(), value.begin(), value.end());
        return reply;
    });
    auto r = discover(server.port(), 4.0);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->reflexive, (STUNReflexive{"198.51.100.9", 0x0449}));
    EXPECT_EQ(r->localPort, server.lastPeer().port());
    EXPECT_NE(r->localPort, 0);
}

TEST(NetSTUNClient, SilenceGarbageAndNoServerGiveNone) {
    FakeSTUNServer silent(
        [](const Bytes&, const auto&) -> std::optional<Bytes> { return std::nullopt; });
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(discover(silent.port(), 0.3));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));
    EXPECT_EQ(silent.requests, 1);

    FakeSTUNServer garbage([](const Bytes&, const auto&) -> std::optional<Bytes> {
        return Bytes{'h', 'e', 'l', 'l', 'o'};
    });
    EXPECT_FALSE(discover(garbage.port(), 4.0));

    EXPECT_FALSE(discover(1, 1.0)) << "a closed port";
    asio::io_context io;
    bool called = false;
    STUNClient::discover(io.get_executor(), {"name.invalid", 3478}, std::chrono::seconds(4),
                         [&](auto r) { called = !r; });
    io.run();
    EXPECT_TRUE(called);
}

}  // namespace
}  // namespace orvane

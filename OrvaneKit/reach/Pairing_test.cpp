#include "OrvaneKit/reach/Pairing.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

const std::string base = "kelsap://pair?name=Mac&code=abc-def-ghj-klm";

PairingInfo full() {
    return {"Ann's Mac & Co", "192.168.1.10", 5895, "ABC-DEF-GHJ-KLM", "203.0.113.7", 5895,
            {"2001:db8::1"},  "203.0.113.7",  40000};
}

TEST(PairingLink, WritesTheItemsInOrderAndEncodesValues) {
    EXPECT_EQ(full().url(),
              "kelsap://pair?name=Ann%27s%20Mac%20%26%20Co&code=ABC-DEF-GHJ-KLM&port=5895"
              "&host=192.168.1.10&ext=203.0.113.7:5895&v6=2001:db8::1&nat=203.0.113.7:40000");
}

TEST(PairingLink, AwkwardNamesRoundTrip) {
    for (const char* name : {"a&b=c", "1+1", "#1 %41", "  spaced  ", "Zoë’s Mac 🖥", "a/b?c",
                             "%", "%zz", "semi;colon", "tab\tand\nline"}) {
        auto info = full();
        info.name = name;
        info.host = std::string("host ") + name;
        auto back = PairingInfo::parse(info.url());
        ASSERT_TRUE(back) << name << ": " << info.url();
        EXPECT_EQ(*back, info) << name;
    }
}

TEST(PairingLink, ParsesAndRefusesLinks) {
    struct Case {
        std::string link;
        bool valid;
    } cases[] = {
        {base, true},
        {"  \n" + base + "\t\n", true},
        {"KELSAP://pair?name=Mac&code=abc-def-ghj-klm", false},
        {"kelsap://Pair?name=Mac&code=abc-def-ghj-klm", false},
        {"kelsap:pair?name=Mac&code=abc-def-ghj-klm", false},
        {"//pair?name=Mac&code=abc-def-ghj-klm", false},
        {"kelsap://pair", false},
        {"kelsap://pair?code=abc-def-ghj-klm", false},
        {"kelsap://pair?name=&code=abc-def-ghj-klm", false},
        {"kelsap://pair?name&code=abc-def-ghj-klm", false},
        {"kelsap://pair?name=Mac&code=abc-def-ghj-kl", false},
        {"kelsap://pair?name=Mac&code=abc-def-ghj-klmn", false},
        // A letter with a combining mark is one character, as the access code counts.
        {"kelsap://pair?name=Mac&code=abc-def-ghj-klm%CC%81", true},
        {"kelsap://pair?name=Mac&code=abc-def-ghj-k%CC%81%CC%81", false},
        {"kelsap://pair?name=M%4&code=abc-def-ghj-klm", false},
        {"kelsap://pair?name=Mac", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PairingInfo::parse(c.link).has_value(), c.valid) << c.link;
}

TEST(PairingLink, CodeIsGroupedAndHostKept) {
    auto info = PairingInfo::parse(
        "kelsap://pair?name=A%2BB+C&code=abc%20def%20ghj%20klm&host=my-mac.local&name=second");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->code, "ABC-DEF-GHJ-KLM");
    EXPECT_EQ(info->host, "my-mac.local");
    EXPECT_EQ(info->name, "A+B+C") << "only %XX is decoded, and the first item counts";
}

TEST(PairingLink, SoftItemsFallBackWithoutFailingTheLink) {
    struct Case {
        std::string query;
        std::uint16_t port;
        std::optional<std::string> ext;
        std::optional<std::uint16_t> extPort;
        std::vector<std::string> v6;
    } cases[] = {
        {"&port=0", 0, {}, {}, {}},
        {"&port=+7000", 7000, {}, {}, {}},
        {"&port=70000", 5895, {}, {}, {}},
        {"&port=abc", 5895, {}, {}, {}},
        {"&port=-1", 5895, {}, {}, {}},
        {"", 5895, {}, {}, {}},
        {"&ext=203.0.113.7:5895", 5895, "203.0.113.7", 5895, {}},
        {"&ext=203.0.113.7:0", 5895, {}, {}, {}},
        {"&ext=203.0.113.7:", 5895, {}, {}, {}},
        {"&ext=203.0.113.7", 5895, {}, {}, {}},
        {"&ext=example.com:5895", 5895, {}, {}, {}},
        {"&ext=2001:db8::1:5895", 5895, {}, {}, {}},
        {"&v6=2001:db8::1,,bad,2001:db8::2,%202001:db8::9,2001:db8::3,2001:db8::4",
         5895,
         {},
         {},
         {"2001:db8::1", "2001:db8::2", "2001:db8::3"}},
    };
    for (const auto& c : cases) {
        auto info = PairingInfo::parse(base + c.query);
        ASSERT_TRUE(info) << c.query;
        EXPECT_EQ(info->port, c.port) << c.query;
        EXPECT_EQ(info->externalHost, c.ext) << c.query;
        EXPECT_EQ(info->externalPort, c.extPort) << c.query;
        EXPECT_EQ(info->ipv6, c.v6) << c.query;
    }
    auto nat = PairingInfo::parse(base + "&nat=198.51.100.2:40000&ext=bad");
    ASSERT_TRUE(nat);
    EXPECT_EQ(nat->natHost, "198.51.100.2");
    EXPECT_EQ(nat->natPort, 40000);
}

TEST(PairingLink, WriterLeavesOutWhatTheRulesRefuse) {
    PairingInfo info{
        "Mac",
        std::nullopt,
        5895,
        "ABC-DEF-GHJ-KLM",
        "router.example",
        5895,
        {"fe80::1%eth0", "2001:db8::1", "x", "2001:db8::2", "2001:db8::3", "2001:db8::4"},
        "203.0.113.9",
        0};
    EXPECT_EQ(info.url(),
              "kelsap://pair?name=Mac&code=ABC-DEF-GHJ-KLM&port=5895"
              "&v6=2001:db8::1,2001:db8::2,2001:db8::3");
    info.ipv6.clear();
    info.externalHost = "203.0.113.7";
    info.externalPort = 0;
    auto back = PairingInfo::parse(info.url());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->externalHost, std::nullopt);
    EXPECT_EQ(back->reach(), PairingReach::sameNetworkOnly);
}

TEST(PairingLink, ReachAndRoutes) {
    struct Case {
        std::optional<std::string> ext;
        std::optional<std::uint16_t> port;
        std::vector<std::string> v6;
        PairingReach reach;
    } cases[] = {
        {{}, {}, {}, PairingReach::sameNetworkOnly},
        {"203.0.113.7", 0, {}, PairingReach::sameNetworkOnly},
        {"203.0.113.7", 5895, {}, PairingReach::bestEffortInternet},
        {"100.64.1.2", 5895, {}, PairingReach::behindCarrierGradeNAT},
        {"192.168.0.2", 5895, {}, PairingReach::behindCarrierGradeNAT},
        {{}, {}, {"2001:db8::1"}, PairingReach::bestEffortInternet},
    };
    for (const auto& c : cases) {
        PairingInfo info{"Mac", "10.0.0.2",    5895, "ABC-DEF-GHJ-KLM", c.ext, c.port,
                         c.v6,  "203.0.113.7", 40000};
        EXPECT_EQ(info.reach(), c.reach) << c.ext.value_or("-");
    }

    PairingInfo same{"Mac",
                     "203.0.113.7",
                     5895,
                     "ABC-DEF-GHJ-KLM",
                     "203.0.113.7",
                     5895,
                     {"2001:db8::1", "2001:db8::1"},
                     "198.51.100.1",
                     40000};
    EXPECT_EQ(same.routes(),
              (std::vector<PairingRoute>{{"203.0.113.7", 5895}, {"2001:db8::1", 5895}}));
}

}  // namespace
}  // namespace orvane

#include "OrvaneKit/reach/ConnectionRoute.h"

#include <gtest/gtest.h>

#include "OrvaneKit/reach/LinkKind.h"

namespace orvane {
namespace {

TEST(ConnectionRoute, ClassifiesHosts) {
    using R = ConnectionRoute;
    const std::vector<std::pair<std::string, R>> rows = {
        {"fe80::1%en0", R::localNetwork},
        {"fe80::1", R::localNetwork},
        {"fec0::1", R::internet},
        {"fd7a:115c:a1e0::1", R::privateNetwork},
        {"fd00::1", R::localNetwork},
        {"fc00::1", R::localNetwork},
        {"::ffff:192.168.1.5", R::localNetwork},
        {"::ffff:100.64.0.1", R::privateNetwork},
        {"::ffff:8.8.8.8", R::internet},
        {"::", R::internet},
        // Loopback is this machine whichever family it is written in.
        {"::1", R::localNetwork},
        {"127.0.0.1", R::localNetwork},
        {"100.63.255.255", R::internet},
        {"100.128.0.1", R::internet},
        {"100.64.0.1", R::privateNetwork},
        {"100.127.255.255", R::privateNetwork},
        {"172.15.0.1", R::internet},
        {"172.32.0.1", R::internet},
        {"172.16.0.1", R::localNetwork},
        {"172.31.255.255", R::localNetwork},
        {"169.254.0.1", R::localNetwork},
        {"169.253.0.1", R::internet},
        {"10.0.0.1", R::localNetwork},
        {"192.168.0.1", R::localNetwork},
        {"2001:db8::1", R::internet},
        {"studio.local", R::localNetwork},
        {"studio.local.", R::localNetwork},
        {"studio.LOCAL", R::unknown},
        {"example.com", R::unknown},
        {"", R::unknown},
    };
    for (const auto& [host, route] : rows) EXPECT_EQ(classifyRoute(host), route) << host;
    EXPECT_EQ(classifyRoute(std::nullopt), R::unknown);
    EXPECT_EQ(classifyRoute(std::nullopt, true), R::natTraversal);
    EXPECT_EQ(classifyRoute("192.168.0.1", true), R::natTraversal);
}

TEST(ConnectionRoute, HostStringsAndNormalisedAddresses) {
    EXPECT_EQ(routeHostString(HostPort{"10.0.0.2", 5895}), "10.0.0.2");
    EXPECT_EQ(routeHostString(ServiceEndpoint{"Mac", "_kelsap._tcp"}), "bonjour.local");
    EXPECT_EQ(classifyRoute(routeHostString(ServiceEndpoint{"Mac", "_kelsap._tcp"})),
              ConnectionRoute::localNetwork);
    EXPECT_EQ(normalizedHostText("::ffff:10.0.0.5"), "10.0.0.5");
    EXPECT_EQ(normalizedHostText("::FFFF:a00:5"), "10.0.0.5");
    EXPECT_EQ(normalizedHostText("0:0:0:0:0:ffff:10.0.0.5"), "10.0.0.5");
    EXPECT_EQ(normalizedHostText("2001:db8::1"), "2001:db8::1");
    EXPECT_EQ(normalizedHostText("10.0.0.5"), "10.0.0.5");
    EXPECT_EQ(normalizedHostText("studio.local"), "studio.local");
}

TEST(ConnectionRoute, RawValues) {
    for (auto r :
         {ConnectionRoute::localNetwork, ConnectionRoute::privateNetwork, ConnectionRoute::internet,
          ConnectionRoute::natTraversal, ConnectionRoute::unknown})
        EXPECT_EQ(connectionRouteFromRaw(rawValue(r)), r);
    EXPECT_EQ(rawValue(ConnectionRoute::natTraversal), "natTraversal");
    EXPECT_EQ(connectionRouteFromRaw("Internet"), std::nullopt);
    EXPECT_EQ(linkKindFromRaw("wired"), LinkKind::wired);
    EXPECT_EQ(rawValue(LinkKind::cellular), "cellular");
    EXPECT_EQ(linkKindFromRaw("WiFi"), std::nullopt);
}

}  // namespace
}  // namespace orvane

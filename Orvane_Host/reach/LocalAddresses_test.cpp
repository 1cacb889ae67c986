#include "Orvane_Host/reach/LocalAddresses.h"

#include <gtest/gtest.h>
#include <net/if.h>

namespace orvane {
namespace {

InterfaceAddress entry(std::string name, std::string text, unsigned flags = IFF_UP | IFF_RUNNING) {
    auto address = asio::ip::make_address(text.substr(0, text.find('%')));
    return {std::move(name), flags, address, std::move(text)};
}

TEST(LocalAddresses, FiltersTheInterfaceTable) {
    std::vector<InterfaceAddress> table = {
        entry("lo", "127.0.0.1", IFF_UP | IFF_LOOPBACK),
        entry("lo", "::1", IFF_UP | IFF_LOOPBACK),
        entry("eth1", "9.9.9.9"),
        entry("eth0", "192.168.1.5"),
        entry("eth0", "10.0.0.2", IFF_UP),  // not running: still counted
        entry("eth0", "fe80::1%eth0"),
        entry("eth0", "fd00::5"),
        entry("eth0", "fec0::1"),
        entry("eth0", "2001:db8::1"),
        entry("eth1", "2001:db8::1"),  // the same address on two interfaces
        entry("eth1", "3fff::2"),
        entry("down0", "172.16.0.1", 0),
        entry("veth3", "172.17.0.1"),
        entry("utun0", "100.64.0.1"),
        entry("tun0", "10.8.0.1"),
        entry("wg0", "10.9.0.1"),
        entry("wg0", "2001:db8::99"),
        entry("awdl0", "2001:db8::98"),
        entry("llw0", "10.10.0.1"),
        entry("anpi0", "10.11.0.1"),
        {"eth0", IFF_UP, std::nullopt, ""},                        // the link-level entry
        {"eth0", IFF_UP, asio::ip::make_address("10.0.0.9"), ""},  // not turned into text
    };
    auto lists = localAddresses(table);
    EXPECT_EQ(lists.ipv4,
              (std::vector<std::string>{"10.0.0.2", "172.17.0.1", "192.168.1.5", "9.9.9.9"}));
    EXPECT_EQ(lists.ipv6, (std::vector<std::string>{"2001:db8::1", "3fff::2"}));

    EXPECT_EQ(localAddresses(table, {}).ipv4.size(), 9u) << "the skipped prefixes are a parameter";
    EXPECT_TRUE(localAddresses({}).ipv4.empty());
}

}  // namespace
}  // namespace orvane

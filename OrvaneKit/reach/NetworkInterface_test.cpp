#include "OrvaneKit/reach/NetworkInterface.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <fstream>

namespace orvane {
namespace {

namespace fs = std::filesystem;

// A stand-in for /sys/class/net.
struct FakeSysfs {
    fs::path root =
        fs::temp_directory_path() /
        ("orvane-sysfs-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
         std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    FakeSysfs() { fs::create_directories(root); }
    ~FakeSysfs() { fs::remove_all(root); }
    void add(const std::string& name, const std::string& type, bool wireless = false,
             const std::string& uevent = "") {
        fs::create_directories(root / name);
        std::ofstream(root / name / "type") << type << "\n";
        if (wireless) fs::create_directories(root / name / "wireless");
        if (!uevent.empty()) std::ofstream(root / name / "uevent") << uevent;
    }
};

TEST(NetworkInterface, TypeAndLinkKindFromSysfs) {
    FakeSysfs sys;
    sys.add("lo", "772");
    sys.add("eth0", "1", false, "INTERFACE=eth0\nIFINDEX=2\n");
    sys.add("wlan0", "1", true);
    sys.add("wlp2s0", "1", false, "DEVTYPE=wlan\nINTERFACE=wlp2s0\n");
    sys.add("wg0", "65534");
    using T = NetworkInterface::Type;
    EXPECT_EQ(NetworkInterface::typeOf("lo", sys.root), T::loopback);
    EXPECT_EQ(NetworkInterface::typeOf("eth0", sys.root), T::wiredEthernet);
    EXPECT_EQ(NetworkInterface::typeOf("wlan0", sys.root), T::wifi);
    EXPECT_EQ(NetworkInterface::typeOf("wlp2s0", sys.root), T::wifi);
    EXPECT_EQ(NetworkInterface::typeOf("wg0", sys.root), T::other);
    EXPECT_EQ(NetworkInterface::typeOf("missing", sys.root), T::other);
    EXPECT_EQ(NetworkInterface::typeOf("../eth0", sys.root), T::other);
    EXPECT_EQ(linkKindOf("wlp2s0", sys.root), LinkKind::wifi);
    EXPECT_EQ(linkKindOf("eth0", sys.root), LinkKind::wired);
    EXPECT_EQ(linkKindOf("", sys.root), LinkKind::other);
}

TEST(NetworkInterface, RankOrdersInterfacesForPeerToPeer) {
    using T = NetworkInterface::Type;
    struct Row {
        const char* name;
        T type;
        std::optional<int> rank;
    };
    for (const Row& row :
         {Row{"lo", T::loopback, std::nullopt}, Row{"rmnet0", T::cellular, std::nullopt},
          Row{"anpi0", T::wiredEthernet, std::nullopt}, Row{"utun3", T::other, std::nullopt},
          Row{"tun0", T::other, std::nullopt}, Row{"wg0", T::other, std::nullopt},
          Row{"awdl0", T::wifi, 4}, Row{"llw0", T::other, 4}, Row{"wlan0", T::wifi, 0},
          Row{"bridge0", T::wiredEthernet, 1}, Row{"eth0", T::wiredEthernet, 2},
          Row{"docker0", T::other, 3}})
        EXPECT_EQ(NetworkInterface::rank({row.name, row.type, 1}), row.rank) << row.name;
}

TEST(NetworkInterface, NamedAnswersAtTheFirstReadingNotAtTheTimeout) {
    asio::io_context io;
    std::vector<std::optional<NetworkInterface>> results;
    NetworkInterface::named("does-not-exist", std::chrono::hours(1), io.get_executor(),
                            [&](auto found) { results.push_back(found); });
    NetworkInterface::named("lo", std::chrono::hours(1), io.get_executor(),
                            [&](auto found) { results.push_back(found); });
    io.run();  // returns only once both have answered and their timers are cancelled
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0], std::nullopt);
    ASSERT_TRUE(results[1]);
    EXPECT_EQ(results[1]->type, NetworkInterface::Type::loopback);
}

}  // namespace
}  // namespace orvane

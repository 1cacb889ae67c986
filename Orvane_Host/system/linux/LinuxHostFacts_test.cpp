#include "Orvane_Host/system/linux/LinuxHostFacts.h"

#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace orvane {
namespace {

namespace fs = std::filesystem;

// A scratch root in which each test writes the sysfs, procfs and /etc files it needs.
class FixtureTree {
public:
    FixtureTree() {
        std::string pattern = (fs::temp_directory_path() / "orvane-hostfacts-XXXXXX").string();
        root_ = ::mkdtemp(pattern.data());
    }
    ~FixtureTree() { fs::remove_all(root_); }
    FixtureTree(const FixtureTree&) = delete;

    void write(const fs::path& relative, const std::string& text) const {
        fs::create_directories((root_ / relative).parent_path());
        std::ofstream(root_ / relative, std::ios::binary) << text;
    }
    void dir(const fs::path& relative) const { fs::create_directories(root_ / relative); }
    LinuxHostFacts facts() const {
        return LinuxHostFacts({root_ / "sys", root_ / "proc", root_, root_ / "no-such-volume"});
    }

private:
    fs::path root_;
};

using Attrs = std::map<std::string, std::string>;

TEST(LinuxHostFacts, BatteryFromPowerSupplies) {
    const Attrs ac{{"type", "Mains"}, {"online", "1"}};
    struct Case {
        const char* name;
        std::map<std::string, Attrs> supplies;
        std::optional<BatteryInfo> expected;
    } cases[] = {
        {"no power supplies", {}, std::nullopt},
        {"mains only", {{"AC", ac}}, std::nullopt},
        {"energy counters, discharging",
         {{"AC", ac},
          {"BAT0",
           {{"type", "Battery"},
            {"energy_now", "57"},
            {"energy_full", "100"},
            {"status", "Discharging"}}}},
         BatteryInfo{57, false}},
        {"charge counters, charging",
         {{"BAT0",
           {{"type", "Battery"},
            {"charge_now", "4000"},
            {"charge_full", "5000"},
            {"status", "Charging"}}}},
         BatteryInfo{80, true}},
        {"half an energy pair falls back to charge",
         {{"BAT0",
           {{"type", "Battery"}, {"energy_now", "1"}, {"charge_now", "1"}, {"charge_full", "3"}}}},
         BatteryInfo{33, false}},
        {"capacity only, full, no status",
         {{"BAT0", {{"type", "Battery"}, {"capacity", "42"}}}},
         BatteryInfo{42, false}},
        {"full battery is not charging",
         {{"BAT0", {{"type", "Battery"}, {"capacity", "100"}, {"status", "Full"}}}},
         BatteryInfo{100, false}},
        {"zero maximum is skipped",
         {{"BAT0", {{"type", "Battery"}, {"energy_now", "0"}, {"energy_full", "0"}}}},
         std::nullopt},
        {"zero maximum skipped for the next",
         {{"BAT0", {{"type", "Battery"}, {"energy_now", "5"}, {"energy_full", "0"}}},
          {"BAT1", {{"type", "Battery"}, {"capacity", "64"}, {"status", "Charging"}}}},
         BatteryInfo{64, true}},
        {"a mouse's battery is not the machine's",
         {{"AAA_mouse", {{"type", "Battery"}, {"scope", "Device"}, {"capacity", "10"}}},
          {"BAT0", {{"type", "Battery"}, {"scope", "System"}, {"capacity", "90"}}}},
         BatteryInfo{90, false}},
        {"an empty battery bay is skipped",
         {{"BAT0", {{"type", "Battery"}, {"present", "0"}}},
          {"BAT1", {{"type", "Battery"}, {"present", "1"}, {"capacity", "77"}}}},
         BatteryInfo{77, false}},
        {"first by name wins",
         {{"BAT1", {{"type", "Battery"}, {"capacity", "30"}}},
          {"BAT0", {{"type", "Battery"}, {"capacity", "70"}}}},
         BatteryInfo{70, false}},
        {"worn battery above its learned full",
         {{"BAT0", {{"type", "Battery"}, {"energy_now", "51000"}, {"energy_full", "50000"}}}},
         BatteryInfo{100, false}},
        {"garbage counters are skipped",
         {{"BAT0", {{"type", "Battery"}, {"capacity", "lots"}}}},
         std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FixtureTree tree;
        tree.dir("sys/class/power_supply");
        for (const auto& [name, attrs] : c.supplies)
            for (const auto& [attr, value] : attrs)
                tree.write("sys/class/power_supply/" + name + "/" + attr, value + "\n");
        EXPECT_EQ(tree.facts().batteryInfo(), c.expected);
    }
}

TEST(LinuxHostFacts, ThermalStateFromTheWorstZone) {
    struct Zone {
        std::optional<int> temp;  // millidegrees; nullopt: unreadable
        std::vector<std::pair<std::string, int>> trips;
    };
    const std::vector<std::pair<std::string, int>> laptop{
        {"active", 60000}, {"passive", 90000}, {"critical", 105000}};
    struct Case {
        const char* name;
        std::vector<Zone> zones;
        int expected;
    } cases[] = {
        {"no zones", {}, -1},
        {"no readable temperature", {{std::nullopt, laptop}}, -1},
        {"no trips", {{40000, {}}}, 0},
        {"above an active trip only", {{79999, laptop}}, 0},
        {"10 degrees below passive", {{80000, laptop}}, 1},
        {"at passive", {{90000, laptop}}, 2},
        {"hot trip", {{96000, {{"hot", 95000}}}}, 2},
        {"at critical", {{105000, laptop}}, 3},
        {"disabled trips ignored", {{50000, {{"critical", 0}, {"passive", -273200}}}}, 0},
        {"worst zone counts", {{30000, laptop}, {91000, laptop}, {20000, {}}}, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FixtureTree tree;
        tree.dir("sys/class/thermal/cooling_device0");
        for (std::size_t z = 0; z < c.zones.size(); ++z) {
            const std::string zone = "sys/class/thermal/thermal_zone" + std::to_string(z) + "/";
            tree.write(zone + "type", "x86_pkg_temp\n");
            if (c.zones[z].temp) tree.write(zone + "temp", std::to_string(*c.zones[z].temp) + "\n");
            for (std::size_t t = 0; t < c.zones[z].trips.size(); ++t) {
                const std::string trip = zone + "trip_point_" + std::to_string(t);
                tree.write(trip + "_type", c.zones[z].trips[t].first + "\n");
                tree.write(trip + "_temp", std::to_string(c.zones[z].trips[t].second) + "\n");
            }
        }
        EXPECT_EQ(tree.facts().thermalState(), c.expected);
    }
}

TEST(LinuxHostFacts, ModelFromFirmware) {
    FixtureTree none;
    EXPECT_EQ(none.facts().machineModel(), "");

    FixtureTree board;
    board.write("sys/firmware/devicetree/base/model", std::string("Raspberry Pi 4 Model B\0", 23));
    EXPECT_EQ(board.facts().machineModel(), "Raspberry Pi 4 Model B");

    FixtureTree pc;
    pc.write("sys/devices/virtual/dmi/id/product_name", "ThinkPad X1 Carbon\n");
    pc.write("sys/firmware/devicetree/base/model", std::string("Board\0", 6));
    EXPECT_EQ(pc.facts().machineModel(), "ThinkPad X1 Carbon");
    pc.write("sys/devices/virtual/dmi/id/product_name", "\n");
    EXPECT_EQ(pc.facts().machineModel(), "Board");
}

TEST(LinuxHostFacts, OsVersionNamesDistributionAndKernel) {
    FixtureTree tree;
    tree.write("proc/sys/kernel/osrelease", "6.1.0-13-amd64\n");
    tree.write("usr/lib/os-release", "NAME='Fallback OS'\n");
    EXPECT_EQ(tree.facts().osVersion(), "Fallback OS (Linux 6.1.0-13-amd64)");
    tree.write("etc/os-release",
               "NAME=\"Debian GNU/Linux\"\n# PRETTY_NAME=\"old\"\n"
               "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n");
    EXPECT_EQ(tree.facts().osVersion(), "Debian GNU/Linux 12 (bookworm) (Linux 6.1.0-13-amd64)");
    tree.write("etc/os-release", "ID=unnamed\n");
    EXPECT_EQ(tree.facts().osVersion(), "Linux 6.1.0-13-amd64");
}

TEST(LinuxHostFacts, UptimeAndMemoryFromProc) {
    FixtureTree tree;
    tree.write("proc/uptime", "4650.86 3531.07\n");
    tree.write("proc/meminfo", "MemTotal:       25165824 kB\nMemFree:         8038320 kB\n");
    EXPECT_DOUBLE_EQ(tree.facts().uptimeSeconds(), 4650.86);
    EXPECT_EQ(tree.facts().physicalMemory(), 24ull << 30);
}

TEST(LinuxHostFacts, MacAddressOfAPhysicalInterfaceWiredFirst) {
    FixtureTree tree;
    const auto iface = [&](const std::string& name, int type, const std::string& mac, bool physical,
                           bool wireless = false) {
        const std::string dir = "sys/class/net/" + name + "/";
        tree.write(dir + "type", std::to_string(type) + "\n");
        tree.write(dir + "address", mac + "\n");
        if (physical) tree.dir(dir + "device");
        if (wireless) tree.dir(dir + "wireless");
    };
    tree.dir("sys/class/net");
    EXPECT_EQ(tree.facts().macAddresses(), std::nullopt);

    iface("lo", 772, "00:00:00:00:00:00", false);
    iface("br0", 1, "02:42:ac:11:00:01", false);
    iface("eth0", 1, "00:00:00:00:00:00", true);
    EXPECT_EQ(tree.facts().macAddresses(), std::nullopt);

    iface("wlp2s0", 1, "3c:22:fb:00:00:02", true, true);
    EXPECT_EQ(tree.facts().macAddresses(), "3c:22:fb:00:00:02");
    iface("enp3s0", 1, "3C:22:FB:00:00:01", true);
    EXPECT_EQ(tree.facts().macAddresses(), "3c:22:fb:00:00:01");
}

// The running machine: the same figures the system's own tools show.

std::optional<std::string> commandOutput(const std::string& command) {
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return std::nullopt;
    std::string out;
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    return ::pclose(p) == 0 ? std::optional(out) : std::nullopt;
}

TEST(LinuxHostFacts, DiskAgreesWithDf) {
    auto out = commandOutput("df -B1 --output=size,avail / 2>/dev/null");
    if (!out) GTEST_SKIP() << "df is not available";
    std::istringstream lines(*out);
    std::string header;
    std::getline(lines, header);
    std::int64_t size = 0, avail = 0;
    ASSERT_TRUE(lines >> size >> avail) << *out;

    const auto disk = LinuxHostFacts().diskCapacity();
    ASSERT_TRUE(disk.free && disk.total);
    EXPECT_EQ(*disk.total, size);
    // Other processes write meanwhile.
    EXPECT_NEAR(static_cast<double>(*disk.free), static_cast<double>(avail), 256.0 * (1 << 20));

    FixtureTree tree;  // its disk root does not exist
    EXPECT_EQ(tree.facts().diskCapacity(), DiskCapacity{});
}

TEST(LinuxHostFacts, MemoryAndUptimeAgreeWithProc) {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    std::uint64_t kib = 0;
    ASSERT_TRUE(meminfo >> key >> kib);
    ASSERT_EQ(key, "MemTotal:");
    LinuxHostFacts facts;
    EXPECT_EQ(facts.physicalMemory(), kib * 1024);

    double procUptime = 0;
    ASSERT_TRUE(std::ifstream("/proc/uptime") >> procUptime);
    EXPECT_NEAR(facts.uptimeSeconds(), procUptime, 5.0);
    EXPECT_FALSE(facts.osVersion().empty());
    const int thermal = facts.thermalState();
    EXPECT_TRUE(thermal >= -1 && thermal <= 3) << thermal;
}

}  // namespace
}  // namespace orvane

#include "Orvane_Host/system/linux/LinuxHostFacts.h"

#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <ctime>
#include <fstream>
#include <limits>
#include <sstream>
#include <vector>

#include "OrvaneKit/reach/NetworkInterface.h"

namespace orvane {

namespace fs = std::filesystem;

namespace {

std::optional<std::string> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return text.str();
}

std::string_view trimmed(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

// A sysfs attribute: one line, its newline dropped.
std::optional<std::string> readAttr(const fs::path& path) {
    auto text = readFile(path);
    if (!text) return std::nullopt;
    return std::string(trimmed(*text));
}

std::optional<std::int64_t> readInt(const fs::path& path) {
    auto text = readAttr(path);
    if (!text || text->empty()) return std::nullopt;
    std::int64_t v = 0;
    auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), v);
    if (ec != std::errc() || end != text->data() + text->size()) return std::nullopt;
    return v;
}

std::vector<std::string> sortedEntries(const fs::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A value of an os-release assignment: quoted in "…" (with backslash escapes) or '…', or bare.
std::string osReleaseValue(std::string_view v) {
    if (v.empty() || (v.front() != '"' && v.front() != '\'')) return std::string(v);
    const char quote = v.front();
    std::string out;
    for (std::size_t i = 1; i < v.size() && v[i] != quote; ++i) {
        if (quote == '"' && v[i] == '\\' && i + 1 < v.size())
            out += v[++i];
        else
            out += v[i];
    }
    return out;
}

std::optional<std::string> osReleaseField(const std::string& text, std::string_view key) {
    std::optional<std::string> found;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::string_view l = trimmed(line);
        if (l.empty() || l.front() == '#') continue;
        auto eq = l.find('=');
        if (eq == std::string_view::npos || l.substr(0, eq) != key) continue;
        found = osReleaseValue(l.substr(eq + 1));
    }
    if (found && found->empty()) return std::nullopt;
    return found;
}

struct Charge {
    std::int64_t now, full;
};

std::optional<Charge> chargeOf(const fs::path& supply) {
    for (auto [now, full] :
         {std::pair{"energy_now", "energy_full"}, std::pair{"charge_now", "charge_full"}}) {
        auto n = readInt(supply / now), f = readInt(supply / full);
        if (n && f) return Charge{*n, *f};
    }
    if (auto capacity = readInt(supply / "capacity")) return Charge{*capacity, 100};
    return std::nullopt;
}

bool isMacText(std::string_view s) {
    if (s.size() != 17) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (i % 3 == 2 ? c != ':' : !std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

}  // namespace

std::string LinuxHostFacts::machineModel() const {
    for (const auto& path : {roots_.sys / "devices/virtual/dmi/id/product_name",
                             roots_.sys / "firmware/devicetree/base/model"}) {
        auto text = readFile(path);
        if (!text) continue;
        std::string model(trimmed(std::string_view(*text).substr(0, text->find('\0'))));
        if (!model.empty()) return model;
    }
    return "";
}

std::string LinuxHostFacts::osVersion() const {
    std::string name;
    for (const auto& path : {roots_.os / "etc/os-release", roots_.os / "usr/lib/os-release"}) {
        auto text = readFile(path);
        if (!text) continue;
        name = osReleaseField(*text, "PRETTY_NAME")
                   .value_or(osReleaseField(*text, "NAME").value_or(""));
        break;
    }
    std::string kernel = readAttr(roots_.proc / "sys/kernel/osrelease").value_or("");
    if (kernel.empty()) {
        utsname u{};
        if (::uname(&u) == 0) kernel = u.release;
    }
    if (name.empty()) return kernel.empty() ? "Linux" : "Linux " + kernel;
    return kernel.empty() ? name : name + " (Linux " + kernel + ")";
}

double LinuxHostFacts::uptimeSeconds() const {
    if (auto text = readFile(roots_.proc / "uptime")) {
        double v = 0;
        auto t = trimmed(*text);
        auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
        if (ec == std::errc() && end != t.data() && std::isfinite(v) && v >= 0) return v;
    }
    timespec ts{};
    if (::clock_gettime(CLOCK_BOOTTIME, &ts) != 0) return 0;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::optional<BatteryInfo> LinuxHostFacts::batteryInfo() const {
    const auto dir = roots_.sys / "class/power_supply";
    for (const auto& name : sortedEntries(dir)) {
        const auto supply = dir / name;
        if (readAttr(supply / "type") != "Battery") continue;
        if (readAttr(supply / "scope") == "Device") continue;
        if (readAttr(supply / "present") == "0") continue;
        auto charge = chargeOf(supply);
        if (!charge || charge->full < 1 || charge->now < 0) continue;
        if (charge->now > std::numeric_limits<std::int64_t>::max() / 100) continue;
        // Worn batteries report more than their learned full charge for a while.
        const auto percent = std::min<std::int64_t>(charge->now * 100 / charge->full, 100);
        return BatteryInfo{percent, readAttr(supply / "status") == "Charging"};
    }
    return std::nullopt;
}

DiskCapacity LinuxHostFacts::diskCapacity() const {
    struct statvfs s {};
    if (::statvfs(roots_.disk.c_str(), &s) != 0) return {};
    const unsigned long long unit = s.f_frsize ? s.f_frsize : s.f_bsize;
    const auto bytes = [unit](unsigned long long blocks) {
        constexpr auto max =
            static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max());
        if (unit != 0 && blocks > max / unit) return std::numeric_limits<std::int64_t>::max();
        return static_cast<std::int64_t>(blocks * unit);
    };
    return {bytes(s.f_bavail), bytes(s.f_blocks)};
}

int LinuxHostFacts::thermalState() const {
    const auto dir = roots_.sys / "class/thermal";
    int worst = -1;
    for (const auto& name : sortedEntries(dir)) {
        if (!name.starts_with("thermal_zone")) continue;
        const auto zone = dir / name;
        auto temp = readInt(zone / "temp");  // millidegrees Celsius
        if (!temp) continue;
        int level = 0;
        for (int i = 0;; ++i) {
            const std::string trip = "trip_point_" + std::to_string(i);
            auto type = readAttr(zone / (trip + "_type"));
            if (!type) break;
            auto at = readInt(zone / (trip + "_temp"));
            if (!at || *at <= 0) continue;  // disabled or unset trip
            if (*type == "critical" && *temp >= *at)
                level = std::max(level, 3);
            else if ((*type == "hot" || *type == "passive") && *temp >= *at)
                level = std::max(level, 2);
            else if (*type == "passive" && *temp >= *at - 10'000)
                level = std::max(level, 1);
        }
        worst = std::max(worst, level);
    }
    return worst;
}

std::uint64_t LinuxHostFacts::physicalMemory() const {
    if (auto text = readFile(roots_.proc / "meminfo")) {
        std::istringstream lines(*text);
        for (std::string line; std::getline(lines, line);) {
            if (!line.starts_with("MemTotal:")) continue;
            std::istringstream fields(line.substr(9));
            std::uint64_t kib = 0;
            std::string unit;
            if (fields >> kib >> unit && unit == "kB") return kib * 1024;
        }
    }
    const long pages = ::sysconf(_SC_PHYS_PAGES), size = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || size <= 0) return 0;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(size);
}

std::optional<std::string> LinuxHostFacts::macAddresses() const {
    const auto dir = roots_.sys / "class/net";
    std::optional<std::string> wifi;
    for (const auto& name : sortedEntries(dir)) {
        const auto type = NetworkInterface::typeOf(name, dir);
        if (type != NetworkInterface::Type::wiredEthernet && type != NetworkInterface::Type::wifi)
            continue;
        std::error_code ec;
        if (!fs::exists(dir / name / "device", ec)) continue;  // bridge, veth, tunnel ...
        auto address = readAttr(dir / name / "address");
        if (!address || !isMacText(*address) || *address == "00:00:00:00:00:00") continue;
        std::transform(address->begin(), address->end(), address->begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (type == NetworkInterface::Type::wiredEthernet) return address;
        if (!wifi) wifi = address;
    }
    return wifi;
}

}  // namespace orvane

#include "OrvaneKit/reach/NetworkInterface.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

namespace orvane {

namespace {

std::optional<std::string> readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

}  // namespace

NetworkInterface::Type NetworkInterface::typeOf(std::string_view name,
                                                const std::filesystem::path& sysRoot) {
    if (name.empty() || name.find('/') != std::string_view::npos) return Type::other;
    const auto dir = sysRoot / std::string(name);
    auto type = readFile(dir / "type");
    if (!type) return Type::other;
    int code = 0;
    try {
        code = std::stoi(*type);
    } catch (const std::exception&) {
        return Type::other;
    }
    if (code == 772) return Type::loopback;
    if (code != 1) return Type::other;
    std::error_code ec;
    if (std::filesystem::exists(dir / "wireless", ec)) return Type::wifi;
    if (auto uevent = readFile(dir / "uevent"); uevent) {
        std::istringstream lines(*uevent);
        for (std::string line; std::getline(lines, line);)
            if (line == "DEVTYPE=wlan") return Type::wifi;
    }
    return Type::wiredEthernet;
}

std::vector<InterfaceAddress> interfaceAddresses() {
    std::vector<InterfaceAddress> out;
    ifaddrs* head = nullptr;
    if (getifaddrs(&head) != 0) return out;
    for (ifaddrs* a = head; a; a = a->ifa_next) {
        if (!a->ifa_name) continue;
        InterfaceAddress entry{a->ifa_name, a->ifa_flags, std::nullopt, {}};
        if (a->ifa_addr &&
            (a->ifa_addr->sa_family == AF_INET || a->ifa_addr->sa_family == AF_INET6)) {
            if (a->ifa_addr->sa_family == AF_INET) {
                asio::ip::address_v4::bytes_type b;
                std::memcpy(b.data(), &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, 4);
                entry.address = asio::ip::address_v4(b);
            } else {
                asio::ip::address_v6::bytes_type b;
                std::memcpy(b.data(), &reinterpret_cast<sockaddr_in6*>(a->ifa_addr)->sin6_addr, 16);
                entry.address = asio::ip::address_v6(b);
            }
            char host[NI_MAXHOST];
            socklen_t len =
                a->ifa_addr->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
            if (getnameinfo(a->ifa_addr, len, host, sizeof host, nullptr, 0, NI_NUMERICHOST) == 0)
                entry.text = host;
        }
        out.push_back(std::move(entry));
    }
    freeifaddrs(head);
    return out;
}

std::vector<NetworkInterface> NetworkInterface::list(const std::filesystem::path& sysRoot) {
    std::vector<NetworkInterface> out;
    for (const auto& a : interfaceAddresses()) {
        if (!(a.flags & IFF_UP)) continue;
        bool seen = false;
        for (const auto& i : out) seen = seen || i.name == a.name;
        if (seen) continue;
        out.push_back({a.name, typeOf(a.name, sysRoot), if_nametoindex(a.name.c_str())});
    }
    return out;
}

std::optional<int> NetworkInterface::rank(const NetworkInterface& i) {
    if (i.type == Type::cellular || i.type == Type::loopback) return std::nullopt;
    const std::string_view n = i.name;
    // Tunnels: VPN clients and WireGuard here, where other systems call them utun.
    if (startsWith(n, "anpi") || startsWith(n, "utun") || startsWith(n, "tun") ||
        startsWith(n, "wg"))
        return std::nullopt;
    if (startsWith(n, "awdl") || startsWith(n, "llw")) return 4;
    if (i.type == Type::wifi) return 0;
    if (startsWith(n, "bridge")) return 1;
    if (i.type == Type::wiredEthernet) return 2;
    return 3;
}

void NetworkInterface::named(std::string name, std::chrono::milliseconds timeout,
                             asio::any_io_executor executor,
                             std::function<void(std::optional<NetworkInterface>)> done) {
    struct Once {
        std::mutex mutex;
        bool claimed = false;
        std::function<void(std::optional<NetworkInterface>)> done;
        asio::steady_timer timer;
        explicit Once(asio::any_io_executor ex) : timer(ex) {}
        bool claim() {
            std::lock_guard lock(mutex);
            return !std::exchange(claimed, true);
        }
    };
    auto once = std::make_shared<Once>(executor);
    once->done = std::move(done);
    once->timer.expires_after(timeout);
    once->timer.async_wait([once](const std::error_code& ec) {
        if (ec || !once->claim()) return;
        auto d = std::move(once->done);
        d(std::nullopt);
    });
    asio::post(executor, [once, name = std::move(name)] {
        std::optional<NetworkInterface> found;
        for (auto& i : list())
            if (i.name == name) found = std::move(i);
        if (!once->claim()) return;
        once->timer.cancel();
        auto d = std::move(once->done);
        d(std::move(found));
    });
}

LinkKind linkKindOf(std::string_view interfaceName, const std::filesystem::path& sysRoot) {
    switch (NetworkInterface::typeOf(interfaceName, sysRoot)) {
        case NetworkInterface::Type::wifi:
            return LinkKind::wifi;
        case NetworkInterface::Type::wiredEthernet:
            return LinkKind::wired;
        case NetworkInterface::Type::cellular:
            return LinkKind::cellular;
        default:
            return LinkKind::other;
    }
}

std::optional<NetError> bindSocketToInterface(int fd, const std::string& name) {
    auto missing = [&] {
        return NetError{NetError::Kind::posix, ENODEV,
                        "no network interface named \"" + name + "\""};
    };
    // The kernel takes at most IFNAMSIZ - 1 characters and would cut a longer name silently.
    if (name.empty() || name.size() >= IFNAMSIZ || ::if_nametoindex(name.c_str()) == 0)
        return missing();
    if (::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name.c_str(),
                     static_cast<socklen_t>(name.size())) == 0)
        return std::nullopt;
    const int e = errno;
    if (e == ENODEV) return missing();
    if (e == EPERM || e == EACCES)
        return NetError{
            NetError::Kind::posix, e,
            "not allowed to bind to the interface " + name + " (" + std::strerror(e) + ")"};
    return NetError{NetError::Kind::posix, e,
                    "cannot bind to the interface " + name + ": " + std::strerror(e)};
}

}  // namespace orvane

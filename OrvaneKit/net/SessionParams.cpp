#include "OrvaneKit/net/SessionParams.h"

#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>

namespace orvane {

namespace {
std::optional<int> setInt(int fd, int level, int name, int value) {
    if (::setsockopt(fd, level, name, &value, sizeof value) != 0) return errno;
    return std::nullopt;
}
}  // namespace

std::optional<int> applySocketOptions(int fd, const SessionParams& params) {
    if (auto e = setInt(fd, IPPROTO_TCP, TCP_NODELAY, params.noDelay ? 1 : 0)) return e;
    if (auto e = setInt(fd, SOL_SOCKET, SO_KEEPALIVE, params.keepAlive ? 1 : 0)) return e;
    if (params.keepAlive) {
        if (auto e = setInt(fd, IPPROTO_TCP, TCP_KEEPIDLE, params.keepAliveIdleSeconds)) return e;
    }
    if (params.interactiveVideo) {
        constexpr int af41 = 0x88;
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
            if (addr.ss_family == AF_INET6) setInt(fd, IPPROTO_IPV6, IPV6_TCLASS, af41);
            // A dual-stack socket may carry IPv4 traffic, which takes IP_TOS.
            setInt(fd, IPPROTO_IP, IP_TOS, af41);
        }
    }
    return std::nullopt;
}

}  // namespace orvane

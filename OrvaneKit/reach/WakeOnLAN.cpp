#include "OrvaneKit/reach/WakeOnLAN.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace orvane {

namespace WakeOnLAN {

namespace {

std::optional<std::uint8_t> hexByte(std::string_view group) {
    if (group.empty() || group.size() > 2) return std::nullopt;
    unsigned value = 0;
    for (char c : group) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return static_cast<std::uint8_t>(value);
}

}  // namespace

std::optional<Bytes> magicPacket(std::string_view mac) {
    Bytes address;
    std::size_t start = 0;
    while (start <= mac.size()) {
        auto end = mac.find_first_of(":-", start);
        if (end == std::string_view::npos) end = mac.size();
        if (auto b = hexByte(mac.substr(start, end - start))) address.push_back(*b);
        start = end + 1;
    }
    if (address.size() != 6) return std::nullopt;
    Bytes packet(6, 0xFF);
    for (int i = 0; i < 16; ++i) packet.insert(packet.end(), address.begin(), address.end());
    return packet;
}

void send(std::string_view mac, const std::string& destination) {
    auto packet = magicPacket(mac);
    if (!packet) return;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    if (inet_pton(AF_INET, destination.c_str(), &to.sin_addr) != 1) return;
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    for (std::uint16_t port : {9, 9, 9, 7, 7, 7}) {
        to.sin_port = htons(port);
        ::sendto(fd, packet->data(), packet->size(), 0, reinterpret_cast<sockaddr*>(&to),
                 sizeof to);
    }
    ::close(fd);
}

}  // namespace WakeOnLAN

}  // namespace orvane

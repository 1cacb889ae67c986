#pragma once

#include <asio/any_io_executor.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/net/Transport.h"

namespace orvane {

// The address and port under which a NAT shows one of our UDP sockets to the internet.
struct STUNReflexive {
    std::string host;  // dotted IPv4 or compressed IPv6
    std::uint16_t port = 0;
    bool operator==(const STUNReflexive&) const = default;
};

// The Binding exchange's coding; no state.
namespace STUN {
inline constexpr std::uint32_t magicCookie = 0x2112A442;
inline constexpr std::size_t transactionIDSize = 12;

Bytes transactionID();
// 20 bytes; an identifier of another length is padded with zeros or cut to 12 bytes.
Bytes bindingRequest(ByteView transactionID);
// The XOR-MAPPED-ADDRESS wherever it stands, else the first MAPPED-ADDRESS; none for anything
// that is not a STUN message carrying one. Every length read from the bytes is checked.
std::optional<STUNReflexive> parseResponse(ByteView bytes, ByteView transactionID);
std::optional<STUNReflexive> decodeAddress(ByteView value, bool xorCoded, ByteView transactionID);
}  // namespace STUN

// Lets exactly one of several racing paths finish an exchange.
class NATOnce {
public:
    // True for the first caller only.
    bool claim() {
        std::lock_guard lock(mutex_);
        bool was = done_;
        done_ = true;
        return !was;
    }

private:
    std::mutex mutex_;
    bool done_ = false;
};

struct STUNDiscovery {
    STUNReflexive reflexive;
    std::uint16_t localPort = 0;  // the UDP port that did the exchange; 0 when unreadable
    bool operator==(const STUNDiscovery&) const = default;
};

namespace NATHolePunch {
inline constexpr std::uint16_t stunPort = 19302;
HostPort stunServer();
}  // namespace NATHolePunch

class STUNClient {
public:
    using Done = std::function<void(std::optional<STUNDiscovery>)>;
    // One Binding request to `server`, resolved over IPv4, from a socket that allows its local
    // port to be bound again. `done` runs once, on `executor`, with the answer or none at the
    // deadline, which covers the name's resolution too. Never fails loudly.
    static void discover(asio::any_io_executor executor, HostPort server,
                         std::chrono::duration<double> timeout, Done done);
};

}  // namespace orvane

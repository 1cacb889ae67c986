#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/base/NetContext.h"
#include "OrvaneKit/net/ConnState.h"

namespace orvane {

// A peer's address as text (IPv4 dotted quad, IPv6 without brackets, or a host name) and port.
struct HostPort {
    std::string host;
    std::uint16_t port = 0;
    bool operator==(const HostPort&) const = default;
};

// One completed read: bytes, or the end of the stream (`eof`), or an error. The bytes are only
// valid during the callback.
struct ReadResult {
    ByteView data;
    bool eof = false;
    std::optional<NetError> error;
};

// A reliable, ordered byte connection to one peer: TCP with TLS over the access code's key in
// production, an in-memory pipe in tests. Every callback runs on `strand()`, one at a time.
//
// States: start() reports preparing; ready once the peer is reachable and TLS is up; waiting(e)
// when a dial could not reach the peer; failed(e) on any error after that (the transport closes
// its socket itself); cancelled exactly once, after cancel() or when the transport is dropped
// while still open. The owner is expected to cancel after waiting or failed.
class Transport {
public:
    using Strand = NetContext::Strand;
    using StateHandler = std::function<void(const ConnState&)>;
    using ReadHandler = std::function<void(const ReadResult&)>;
    using WriteCompletion = std::function<void(std::optional<NetError>)>;

    virtual ~Transport() = default;

    // The serial executor all callbacks run on; owners may post their own work to it.
    virtual Strand strand() const = 0;

    // Install before start(); replaced at will afterwards (takes effect on the strand).
    virtual void setStateHandler(StateHandler handler) = 0;

    // Called once.
    virtual void start() = 0;

    // Queues the buffers as one unit: writes never interleave, and they reach the peer in the
    // order of the calls, whatever the thread. Writes before ready wait for it. The completion
    // runs on the strand once the bytes are handed to the network (or with the error that
    // prevented it). Callable from any thread.
    virtual void write(std::vector<Bytes> buffers, WriteCompletion done = {}) = 0;

    // Arms one read; the handler runs once with the next bytes, the end of the stream or an error.
    // Only one read may be outstanding. Callable from any thread.
    virtual void read(ReadHandler handler) = 0;

    // Closes the connection (a TLS close first when it is up) and reports cancelled. Idempotent;
    // callable from any thread.
    virtual void cancel() = 0;

    // The peer's address, IPv4-mapped IPv6 shown as IPv4; nullopt before it is known.
    virtual std::optional<HostPort> remoteEndpoint() const = 0;
    // The name of the local network interface the connection runs over ("" when unknown).
    virtual std::string localInterfaceName() const = 0;
};

}  // namespace orvane

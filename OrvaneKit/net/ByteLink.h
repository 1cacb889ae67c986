#pragma once

#include <functional>
#include <optional>
#include <string>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/net/Transport.h"

namespace orvane {

// The raw byte carrier under a transport: a TCP socket, or an in-memory pipe in tests. Every call
// and every callback happens on the owning transport's strand.
class ByteLink {
public:
    using OpenHandler = std::function<void(std::optional<NetError>)>;
    using ReadHandler = std::function<void(const ReadResult&)>;
    using WriteHandler = std::function<void(std::optional<NetError>)>;

    virtual ~ByteLink() = default;

    // Reaches the peer (resolve and connect when dialling; nothing for an accepted socket).
    virtual void open(OpenHandler done) = 0;
    // One read at a time.
    virtual void readSome(ReadHandler handler) = 0;
    // Writes all of `data`; writes queue up in call order.
    virtual void write(Bytes data, WriteHandler done) = 0;
    // Stops all I/O; no callback runs afterwards. With `linger`, bytes already passed to write()
    // still go out (for a bounded time) before the connection closes. Idempotent.
    virtual void close(bool linger) = 0;

    virtual std::optional<HostPort> remoteEndpoint() const = 0;
    virtual std::string localInterfaceName() const = 0;
};

}  // namespace orvane

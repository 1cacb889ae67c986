#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "OrvaneKit/base/Logger.h"

namespace orvane {

// The public IPv4 address (dotted quad) and port the router forwards to us.
struct PortMapping {
    std::string address;
    std::uint16_t port = 0;
    bool operator==(const PortMapping&) const = default;
};

// One answer of the router, as it comes: an error code (0: none), the external address and the
// external port, both in network byte order.
struct PortMappingReply {
    int error = 0;
    std::uint32_t externalAddress = 0;
    std::uint16_t externalPort = 0;
};

// Asks the router on the default route to forward one TCP port to this machine and keeps the
// mapping alive. Replies arrive on the backend's own strand ("orvane.portmap"): the first
// answer, then whatever the router says after a renewal or a restart.
class PortMappingBackend {
public:
    using Reply = std::function<void(const PortMappingReply&)>;
    static constexpr int serviceNotRunning = -65563;

    virtual ~PortMappingBackend() = default;
    // 0 when the request is under way; otherwise an error code and `reply` is never called.
    // `lifetime` is in seconds and never 0 (0 deletes a mapping).
    virtual int start(std::uint16_t internalPort, std::uint16_t requestedExternalPort,
                      std::uint32_t lifetime, Reply reply) = 0;
    // Deletes the mapping at the router and stops the replies; one already under way may still
    // arrive, and the caller drops it.
    virtual void cancel() = 0;
};

// The router mapping of the session port: asks, reports the public endpoint when it appears,
// changes or goes, and ends it on `stop`. `map` and `stop` run on the main actor; `external` may
// be read from any thread.
class PortMapper {
public:
    using OnChange = std::function<void(const std::optional<PortMapping>&)>;
    // Asked for, then renewed by the backend; 0 would delete the mapping.
    static constexpr std::uint32_t lifetime = 7200;

    explicit PortMapper(PortMappingBackend& backend);
    ~PortMapper();
    PortMapper(const PortMapper&) = delete;
    PortMapper& operator=(const PortMapper&) = delete;

    // Called on the backend's strand with the first answer and with every change after it,
    // not for renewals that change nothing. Set before `map`.
    void setOnChange(OnChange onChange);

    // Ends any running mapping (without a report) and asks for `port`. A failed start is logged
    // once and not retried.
    void map(std::uint16_t port);
    // Ends the mapping; `external` becomes none without a report.
    void stop();

    std::optional<PortMapping> external() const;

    // The public endpoint in a reply: none on an error, a zero address or a zero port.
    static std::optional<PortMapping> mappingOf(const PortMappingReply& reply);

private:
    struct State;
    PortMappingBackend& backend_;
    std::shared_ptr<State> state_;
    const Logger log_{"com.nimbrel.kelsap.host", "cloud"};
};

}  // namespace orvane

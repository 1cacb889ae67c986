#pragma once

#include <asio/any_io_executor.hpp>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/base/TimerService.h"
#include "Orvane_Host/reach/PortMapper.h"

namespace orvane {

// Port mapping over NAT-PMP to the gateway of the default route. The public-address and the
// mapping answers are merged into one reply; the mapping is renewed at half the lifetime the
// router grants, asked for afresh when the router's epoch shows a restart, and deleted on
// cancel. Everything runs on `strand` ("orvane.portmap"); renewals wait on `timers`.
class NatPmpBackend final : public PortMappingBackend {
public:
    struct Options {
        // The gateway to ask instead of the default route's (an IPv4 literal).
        std::optional<std::string> gateway;
    };

    NatPmpBackend(asio::any_io_executor strand, TimerService& timers, Options options);
    NatPmpBackend(asio::any_io_executor strand, TimerService& timers)
        : NatPmpBackend(std::move(strand), timers, Options{}) {}
    ~NatPmpBackend() override;

    int start(std::uint16_t internalPort, std::uint16_t requestedExternalPort,
              std::uint32_t lifetime, Reply reply) override;
    void cancel() override;

    struct Session;

private:
    asio::any_io_executor strand_;
    TimerService& timers_;
    Options options_;
    std::mutex mutex_;
    std::shared_ptr<Session> session_;
};

}  // namespace orvane

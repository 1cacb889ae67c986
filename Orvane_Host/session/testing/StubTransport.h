#pragma once

#include <atomic>
#include <string>

#include "OrvaneKit/base/NetContext.h"
#include "OrvaneKit/net/Transport.h"

namespace orvane {

// An accepted connection that only records what the host does with it; a test plays its state
// reports through `handler`.
class StubTransport final : public Transport {
public:
    StubTransport(NetContext& net, std::string host, std::uint16_t port)
        : strand_(net.makeStrand()), remote_{std::move(host), port} {}
    Strand strand() const override { return strand_; }
    void setStateHandler(StateHandler h) override { handler = std::move(h); }
    void start() override { ++starts; }
    void write(std::vector<Bytes>, WriteCompletion) override {}
    void read(ReadHandler) override {}
    void cancel() override { ++cancels; }
    std::optional<HostPort> remoteEndpoint() const override { return remote_; }
    std::string localInterfaceName() const override { return "mem0"; }

    StateHandler handler;
    std::atomic<int> starts{0}, cancels{0};

private:
    Strand strand_;
    HostPort remote_;
};

}  // namespace orvane

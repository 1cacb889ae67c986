#pragma once

#include <vector>

#include "Orvane_Host/reach/PortMapper.h"

namespace orvane {

// A router the test answers for: records what was asked and replays scripted replies.
class FakePortMappingBackend final : public PortMappingBackend {
public:
    struct Start {
        std::uint16_t internalPort;
        std::uint16_t requestedExternalPort;
        std::uint32_t lifetime;
    };

    int startError = 0;  // what the next start returns
    std::vector<Start> starts;
    std::vector<std::string> calls;  // "start", "cancel", in order

    int start(std::uint16_t internalPort, std::uint16_t requestedExternalPort,
              std::uint32_t lifetime, Reply reply) override {
        calls.push_back("start");
        starts.push_back({internalPort, requestedExternalPort, lifetime});
        if (startError != 0) return startError;
        reply_ = std::move(reply);
        return 0;
    }
    void cancel() override {
        calls.push_back("cancel");
        reply_ = nullptr;
    }

    bool running() const { return static_cast<bool>(reply_); }
    // Delivers a reply as the router would; address and port in network byte order. Keeps
    // the callback of a mapping already cancelled, so a test can deliver a late reply with it.
    Reply currentReply() const { return reply_; }
    void reply(int error, std::uint32_t addressBE, std::uint16_t portBE) {
        if (reply_) reply_({error, addressBE, portBE});
    }

private:
    Reply reply_;
};

}  // namespace orvane

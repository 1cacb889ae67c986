#include "Orvane_Host/reach/PortMapper.h"

#include <arpa/inet.h>

#include <utility>

namespace orvane {

// Shared with the replies in flight, so a late reply of an ended mapping finds the generation
// moved on (or the mapper gone) and does nothing.
struct PortMapper::State {
    std::mutex mutex;
    std::uint64_t generation = 0;
    bool answered = false;  // the current mapping has had its first reply
    std::optional<PortMapping> external;
    OnChange onChange;
};

PortMapper::PortMapper(PortMappingBackend& backend)
    : backend_(backend), state_(std::make_shared<State>()) {}

PortMapper::~PortMapper() {
    stop();
}

void PortMapper::setOnChange(OnChange onChange) {
    std::lock_guard lock(state_->mutex);
    state_->onChange = std::move(onChange);
}

std::optional<PortMapping> PortMapper::mappingOf(const PortMappingReply& reply) {
    if (reply.error != 0 || reply.externalAddress == 0 || reply.externalPort == 0)
        return std::nullopt;
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = reply.externalAddress;
    if (!inet_ntop(AF_INET, &a, text, sizeof text)) return std::nullopt;
    return PortMapping{text, ntohs(reply.externalPort)};
}

void PortMapper::map(std::uint16_t port) {
    stop();
    std::uint64_t generation;
    {
        std::lock_guard lock(state_->mutex);
        generation = state_->generation;
    }
    std::weak_ptr<State> weak = state_;
    int error = backend_.start(port, port, lifetime, [weak, generation](const PortMappingReply& r) {
        auto state = weak.lock();
        if (!state) return;
        auto value = mappingOf(r);
        OnChange report;
        {
            std::lock_guard lock(state->mutex);
            if (state->generation != generation) return;
            bool first = !std::exchange(state->answered, true);
            if (!first && state->external == value) return;
            state->external = value;
            report = state->onChange;
        }
        if (report) report(value);
    });
    if (error != 0) {
        std::lock_guard lock(state_->mutex);
        ++state_->generation;
        log_.notice("port mapping unavailable ({})", error);
    }
}

void PortMapper::stop() {
    backend_.cancel();
    std::lock_guard lock(state_->mutex);
    ++state_->generation;
    state_->answered = false;
    state_->external.reset();
}

std::optional<PortMapping> PortMapper::external() const {
    std::lock_guard lock(state_->mutex);
    return state_->external;
}

}  // namespace orvane

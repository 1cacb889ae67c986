#pragma once

#include <asio/awaitable.hpp>
#include <functional>
#include <string>

#include "OrvaneKit/cloud/CloudAction.h"

namespace orvane {

// The machine's record in the owner's cloud, as the session core uses it. Main actor only.
class IAnywhereAccess {
public:
    using Perform = std::function<void(CloudAction, const std::string& sender)>;

    virtual ~IAnywhereAccess() = default;
    // Writes the current access code and token (and the addresses) into the record; failures
    // are its own to report.
    virtual asio::awaitable<void> publish() = 0;
    // From now on the owner's commands run through `perform`.
    virtual void start(Perform) {}
    virtual void stop() {}
};

}  // namespace orvane

#pragma once

#include <asio/awaitable.hpp>

namespace orvane {

// The machine's record in the owner's cloud, as the session core uses it. Main actor only.
class IAnywhereAccess {
public:
    virtual ~IAnywhereAccess() = default;
    // Writes the current access code and token (and the addresses) into the record; failures
    // are its own to report.
    virtual asio::awaitable<void> publish() = 0;
};

}  // namespace orvane

#pragma once

#include <optional>
#include <string>

namespace orvane {

// Whether the host opens when the person logs in. Main actor only.
class LoginItem {
public:
    enum class Status { notRegistered, enabled, requiresApproval, notFound };

    virtual ~LoginItem() = default;
    virtual Status status() const = 0;
    // Each returns what went wrong, or nothing.
    virtual std::optional<std::string> registerItem() = 0;
    virtual std::optional<std::string> unregisterItem() = 0;
};

}  // namespace orvane

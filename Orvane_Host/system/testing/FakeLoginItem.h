#pragma once

#include <optional>
#include <string>

#include "Orvane_Host/system/LoginItem.h"

namespace orvane {

// Registering sets `registered`; the status follows it unless `forced` says otherwise.
class FakeLoginItem final : public LoginItem {
public:
    Status status() const override {
        return forced ? *forced : registered ? Status::enabled : Status::notRegistered;
    }
    std::optional<std::string> registerItem() override {
        if (!failure) registered = true;
        return failure;
    }
    std::optional<std::string> unregisterItem() override {
        if (!failure) registered = false;
        return failure;
    }

    bool registered = false;
    std::optional<Status> forced;
    std::optional<std::string> failure;
};

}  // namespace orvane

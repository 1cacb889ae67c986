#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "Orvane_Host/system/Notifier.h"

namespace orvane {

class RecordingNotifier final : public Notifier {
public:
    struct Posted {
        std::string title, body;
        bool operator==(const Posted&) const = default;
    };
    void post(const std::string& title, const std::string& body) override {
        std::lock_guard lock(mutex_);
        posted_.push_back({title, body});
    }
    std::vector<Posted> posted() const {
        std::lock_guard lock(mutex_);
        return posted_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Posted> posted_;
};

}  // namespace orvane

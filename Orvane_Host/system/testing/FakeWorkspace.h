#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "Orvane_Host/system/Workspace.h"

namespace orvane {

class FakeWorkspace final : public Workspace {
public:
    bool openURL(const std::string& url) override {
        std::lock_guard lock(mutex_);
        opened_.push_back(url);
        return true;
    }
    std::vector<std::string> opened() const {
        std::lock_guard lock(mutex_);
        return opened_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> opened_;
};

}  // namespace orvane

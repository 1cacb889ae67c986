#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace orvane {

// An ordered record of calls, safe from any thread. Fakes share one to let a test assert what
// happened in which order across services, or keep their own by deriving from it.
class CallLog {
public:
    void add(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }
    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }
    // How many calls start with `prefix`.
    std::size_t count(const std::string& prefix) const {
        std::lock_guard lock(mutex_);
        std::size_t n = 0;
        for (const auto& c : calls_)
            if (c.rfind(prefix, 0) == 0) ++n;
        return n;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

}  // namespace orvane

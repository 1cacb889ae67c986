#pragma once

#include <memory>
#include <string>
#include <vector>

namespace orvane {

// Keeps the machine and its display awake while the host streams.
class AwakeInhibitor {
public:
    // Held while it exists; dropping it lets the machine idle again.
    class Activity {
    public:
        virtual ~Activity() = default;
    };

    virtual ~AwakeInhibitor() = default;
    // Never fails: where the system refuses, the refusal is logged and the returned activity
    // holds nothing. Callable from any thread.
    virtual std::unique_ptr<Activity> begin(const std::string& reason) = 0;
};

// Holds every one of several inhibitors (the login manager's sleep and the display's blanking
// are separate things on Linux).
class AwakeInhibitors final : public AwakeInhibitor {
public:
    explicit AwakeInhibitors(std::vector<std::shared_ptr<AwakeInhibitor>> parts)
        : parts_(std::move(parts)) {}

    std::unique_ptr<Activity> begin(const std::string& reason) override {
        auto all = std::make_unique<All>();
        for (const auto& part : parts_)
            if (part) all->held.push_back(part->begin(reason));
        return all;
    }

private:
    struct All final : Activity {
        std::vector<std::unique_ptr<Activity>> held;
    };
    std::vector<std::shared_ptr<AwakeInhibitor>> parts_;
};

}  // namespace orvane

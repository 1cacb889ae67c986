#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct sd_bus;

namespace orvane {

// Stands in for logind on a private bus: answers the lock and reboot calls and records them.
// Session ids other than the known ones are refused the way logind refuses them ("gone").
class FakeLogind {
public:
    explicit FakeLogind(const std::string& address);
    ~FakeLogind();
    FakeLogind(const FakeLogind&) = delete;
    FakeLogind& operator=(const FakeLogind&) = delete;

    bool ready() const { return ready_; }
    // "LockSession <id>", "Lock <path>", "Reboot true|false", in order of arrival.
    std::vector<std::string> calls() const;
    // Runs on the bus thread as each call arrives, after it is recorded.
    std::function<void(const std::string&)> onCall;

    void record(std::string call);

private:
    sd_bus* bus_ = nullptr;
    bool ready_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

}  // namespace orvane

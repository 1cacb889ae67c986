#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct sd_bus;
struct sd_bus_vtable;

namespace orvane {

// A well-known name on a private bus, its objects served on a thread of its own until this
// goes: what the fake desktop services that tests talk to are made of. A fake declares it after
// every member its handlers touch, so the thread stops before those go.
class FakeBusService {
public:
    struct Object {
        const char* path;
        const char* interface;
        const sd_bus_vtable* vtable;
    };
    // `userdata` reaches every handler.
    FakeBusService(const std::string& address, const char* name, std::vector<Object> objects,
                   void* userdata);
    ~FakeBusService();
    FakeBusService(const FakeBusService&) = delete;
    FakeBusService& operator=(const FakeBusService&) = delete;

    // Whether it owns the name.
    bool ready() const { return ready_; }

private:
    sd_bus* bus_ = nullptr;
    bool ready_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// What a fake service was asked, in order of arrival; filled on the bus thread.
template <class Call>
class BusCalls {
public:
    void add(Call call) {
        {
            std::lock_guard lock(mutex_);
            calls_.push_back(std::move(call));
        }
        cv_.notify_all();
    }
    // The calls so far once there are `n`, or after `timeout` whatever there are.
    std::vector<Call> waitFor(std::size_t n,
                              std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, timeout, [&] { return calls_.size() >= n; });
        return calls_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Call> calls_;
};

}  // namespace orvane

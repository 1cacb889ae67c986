#pragma once

#include <atomic>
#include <mutex>

#include "Orvane_Host/system/HostFacts.h"

namespace orvane {

// Host facts a test sets; counts the slow disk queries.
class FakeHostFacts final : public HostFacts {
public:
    struct Values {
        std::string model = "Test Machine 1,1";
        std::string osVersion = "Test OS 1 (Linux 6.1.0)";
        double uptimeSeconds = 1234.5;
        std::optional<BatteryInfo> battery;
        DiskCapacity disk{1'000'000, 4'000'000};
        int thermalState = 0;
        std::uint64_t physicalMemory = 16ull << 30;
        std::optional<std::string> macAddress = "aa:bb:cc:dd:ee:ff";
    };

    void set(Values v) {
        std::lock_guard lock(mutex_);
        values_ = std::move(v);
    }
    template <class F>
    void update(F&& change) {
        std::lock_guard lock(mutex_);
        change(values_);
    }
    int diskQueries() const { return diskQueries_; }

    std::string machineModel() const override { return get().model; }
    std::string osVersion() const override { return get().osVersion; }
    double uptimeSeconds() const override { return get().uptimeSeconds; }
    std::optional<BatteryInfo> batteryInfo() const override { return get().battery; }
    DiskCapacity diskCapacity() const override {
        ++diskQueries_;
        return get().disk;
    }
    int thermalState() const override { return get().thermalState; }
    std::uint64_t physicalMemory() const override { return get().physicalMemory; }
    std::optional<std::string> macAddresses() const override { return get().macAddress; }

private:
    Values get() const {
        std::lock_guard lock(mutex_);
        return values_;
    }

    mutable std::mutex mutex_;
    Values values_;
    mutable std::atomic<int> diskQueries_{0};
};

}  // namespace orvane

#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Orvane_Host/system/testing/FakeBusService.h"

namespace orvane {

// Stands in for logind on a private bus: answers the lock, reboot and inhibit calls and records
// them. The session id "gone" is refused the way logind refuses an unknown one. An inhibit lock
// is one end of a pipe; the fake keeps the other, which sees the hang-up once every copy of the
// lock is closed.
class FakeLogind {
public:
    explicit FakeLogind(const std::string& address, bool refuseInhibit = false);
    ~FakeLogind();
    FakeLogind(const FakeLogind&) = delete;
    FakeLogind& operator=(const FakeLogind&) = delete;

    bool ready() const { return service_->ready(); }
    // "LockSession <id>", "Lock <path>", "Reboot true|false", "Inhibit what|who|why|mode", in
    // order of arrival.
    std::vector<std::string> calls() const;
    // Runs on the bus thread as each call arrives, after it is recorded.
    std::function<void(const std::string&)> onCall;

    // Whether inhibit lock number `i` is still held by someone.
    bool held(size_t i) const;
    // Waits a little for the last copy of inhibit lock `i` to close: the bus may still hold one
    // of its own for a moment after the reply went out.
    bool releasedSoon(size_t i) const;

    void record(std::string call);
    bool refusesInhibit() const { return refuseInhibit_; }
    void keep(int fd);

private:
    bool refuseInhibit_;
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    std::vector<int> kept_;
    // Last, and stopped first: its thread calls into the members above.
    std::optional<FakeBusService> service_;
};

}  // namespace orvane

#include "Orvane_Host/system/dbus/LogindAwakeInhibitor.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "OrvaneKit/base/Logger.h"
#include "Orvane_Host/system/testing/PrivateBus.h"

namespace orvane {
namespace {

// Stands in for logind's Inhibit: hands out one end of a pipe per lock and keeps the other,
// which sees the hang-up once every copy of the lock is closed.
class FakeLogind {
public:
    explicit FakeLogind(const std::string& address, bool refuse = false) : refuse_(refuse) {
        sd_bus_new(&bus_);
        sd_bus_set_address(bus_, address.c_str());
        sd_bus_set_bus_client(bus_, 1);
        if (sd_bus_start(bus_) < 0) return;
        static const sd_bus_vtable manager[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("Inhibit", "ssss", "h", &FakeLogind::onInhibit, 0),
            SD_BUS_VTABLE_END,
        };
        sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/login1",
                                 "org.freedesktop.login1.Manager", manager, this);
        ready_ = sd_bus_request_name(bus_, "org.freedesktop.login1", 0) >= 0;
        thread_ = std::thread([this] {
            while (!stop_) {
                while (sd_bus_process(bus_, nullptr) > 0) {
                }
                sd_bus_wait(bus_, 20'000);
            }
        });
    }
    ~FakeLogind() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        sd_bus_flush_close_unref(bus_);
        for (int fd : kept_) close(fd);
    }
    bool ready() const { return ready_; }
    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    // Whether the lock handed out as number `i` is still held by someone.
    bool held(size_t i) const {
        std::lock_guard lock(mutex_);
        pollfd p{kept_.at(i), POLLIN, 0};
        return poll(&p, 1, 0) == 0;
    }
    // Waits a little for the last copy of lock `i` to close: the bus may still hold one of its
    // own for a moment after the reply went out.
    bool releasedSoon(size_t i) const {
        std::lock_guard lock(mutex_);
        pollfd p{kept_.at(i), POLLIN, 0};
        return poll(&p, 1, 2000) == 1;
    }

private:
    static int onInhibit(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        auto* self = static_cast<FakeLogind*>(userdata);
        const char *what, *who, *why, *mode;
        sd_bus_message_read(m, "ssss", &what, &who, &why, &mode);
        {
            std::lock_guard lock(self->mutex_);
            self->calls_.push_back(std::string(what) + "|" + who + "|" + why + "|" + mode);
        }
        if (self->refuse_)
            return sd_bus_error_set(error, "org.freedesktop.DBus.Error.AccessDenied",
                                    "Permission denied");
        int fds[2];
        if (pipe(fds) != 0) return -errno;
        {
            // Kept before the reply goes out: the caller may look at it as soon as it has one.
            std::lock_guard lock(self->mutex_);
            self->kept_.push_back(fds[0]);
        }
        int r = sd_bus_reply_method_return(m, "h", fds[1]);  // sd-bus sends a copy
        close(fds[1]);
        return r;
    }

    bool refuse_;
    sd_bus* bus_ = nullptr;
    bool ready_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    std::vector<int> kept_;
};

TEST(LogindAwakeInhibitor, HoldsASleepAndIdleBlockUntilTheActivityEnds) {
    PrivateBus bus;
    if (bus.address().empty()) GTEST_SKIP() << "dbus-daemon is not available";
    FakeLogind logind(bus.address());
    ASSERT_TRUE(logind.ready());
    LogindAwakeInhibitor inhibitor(bus.address());

    auto activity = inhibitor.begin("Orvane remote session");
    ASSERT_EQ(logind.calls(),
              (std::vector<std::string>{"sleep:idle|Orvane|Orvane remote session|block"}));
    EXPECT_TRUE(logind.held(0));
    activity.reset();
    EXPECT_TRUE(logind.releasedSoon(0));
}

TEST(LogindAwakeInhibitor, RefusalOrNoLogindIsLoggedAndHoldsNothing) {
    PrivateBus bus;
    if (bus.address().empty()) GTEST_SKIP() << "dbus-daemon is not available";
    auto logs = std::make_shared<MemoryLogSink>();
    Log::addSink(logs);
    {
        FakeLogind refusing(bus.address(), true);
        ASSERT_TRUE(refusing.ready());
        EXPECT_TRUE(LogindAwakeInhibitor(bus.address()).begin("x"));
    }
    // Nobody owns the name now: the call fails at once rather than hanging.
    EXPECT_TRUE(LogindAwakeInhibitor(bus.address()).begin("x"));
    EXPECT_TRUE(LogindAwakeInhibitor("unix:path=/nonexistent/bus").begin("x"));
    Log::removeSink(logs);
    int errors = 0;
    for (const auto& r : logs->records())
        if (r.message.rfind("cannot keep the machine awake", 0) == 0) ++errors;
    EXPECT_EQ(errors, 3);
    EXPECT_TRUE(logs->contains("AccessDenied"));
}

}  // namespace
}  // namespace orvane

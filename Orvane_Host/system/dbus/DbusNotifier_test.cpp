#include "Orvane_Host/system/dbus/DbusNotifier.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "OrvaneKit/base/Logger.h"
#include "Orvane_Host/system/testing/PrivateBus.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

// Stands in for the desktop's notification daemon and records what it is asked to show.
class FakeNotificationService {
public:
    struct Call {
        std::string app, icon, title, body;
        std::uint32_t replaces = 0;
        std::vector<std::string> actions;
        std::map<std::string, int> byteHints;
        std::int32_t timeout = 0;
    };

    explicit FakeNotificationService(const std::string& address) {
        sd_bus_new(&bus_);
        sd_bus_set_address(bus_, address.c_str());
        sd_bus_set_bus_client(bus_, 1);
        if (sd_bus_start(bus_) < 0) return;
        static const sd_bus_vtable vtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", &FakeNotificationService::onNotify, 0),
            SD_BUS_VTABLE_END,
        };
        sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/Notifications",
                                 "org.freedesktop.Notifications", vtable, this);
        ready_ = sd_bus_request_name(bus_, "org.freedesktop.Notifications", 0) >= 0;
        thread_ = std::thread([this] {
            while (!stop_) {
                while (sd_bus_process(bus_, nullptr) > 0) {
                }
                sd_bus_wait(bus_, 20'000);
            }
        });
    }
    ~FakeNotificationService() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        sd_bus_flush_close_unref(bus_);
    }
    bool ready() const { return ready_; }

    std::vector<Call> waitFor(std::size_t n) {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, 5s, [&] { return calls_.size() >= n; });
        return calls_;
    }

private:
    static int onNotify(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<FakeNotificationService*>(userdata);
        Call c;
        const char *app, *icon, *title, *body;
        sd_bus_message_read(m, "susss", &app, &c.replaces, &icon, &title, &body);
        c.app = app;
        c.icon = icon;
        c.title = title;
        c.body = body;
        sd_bus_message_enter_container(m, 'a', "s");
        const char* action;
        while (sd_bus_message_read(m, "s", &action) > 0) c.actions.push_back(action);
        sd_bus_message_exit_container(m);
        sd_bus_message_enter_container(m, 'a', "{sv}");
        while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
            const char* key;
            sd_bus_message_read(m, "s", &key);
            const char* contents = nullptr;
            sd_bus_message_peek_type(m, nullptr, &contents);
            if (contents && std::string(contents) == "y") {
                std::uint8_t y;
                sd_bus_message_read(m, "v", "y", &y);
                c.byteHints[key] = y;
            } else {
                sd_bus_message_skip(m, "v");
            }
            sd_bus_message_exit_container(m);
        }
        sd_bus_message_exit_container(m);
        sd_bus_message_read(m, "i", &c.timeout);
        {
            std::lock_guard lock(self->mutex_);
            self->calls_.push_back(std::move(c));
        }
        self->cv_.notify_all();
        return sd_bus_reply_method_return(m, "u", 1u);
    }

    sd_bus* bus_ = nullptr;
    bool ready_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Call> calls_;
};

TEST(DbusNotifier, ReachesTheNotificationServiceWithExactTexts) {
    PrivateBus bus;
    if (bus.address().empty()) GTEST_SKIP() << "dbus-daemon is not available";
    FakeNotificationService service(bus.address());
    ASSERT_TRUE(service.ready());

    DbusNotifier notifier(bus.address());
    notifier.post("Ann's iPad connected", "Screen sharing started.");
    notifier.post("Ann's iPad disconnected", "Screen sharing ended.");
    auto calls = service.waitFor(2);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].app, "Orvane Host");
    EXPECT_EQ(calls[0].title, "Ann's iPad connected");
    EXPECT_EQ(calls[0].body, "Screen sharing started.");
    EXPECT_EQ(calls[0].replaces, 0u);
    EXPECT_TRUE(calls[0].actions.empty());
    EXPECT_EQ(calls[0].byteHints, (std::map<std::string, int>{{"urgency", 1}}));
    EXPECT_EQ(calls[0].timeout, -1);
    EXPECT_EQ(calls[1].title, "Ann's iPad disconnected");
    EXPECT_EQ(calls[1].body, "Screen sharing ended.");
}

TEST(DbusNotifier, NoServiceOnTheBusIsIgnored) {
    PrivateBus bus;
    if (bus.address().empty()) GTEST_SKIP() << "dbus-daemon is not available";
    DbusNotifier notifier(bus.address());
    notifier.post("Nobody", "listens");  // must neither block nor throw
    FakeNotificationService late(bus.address());
    ASSERT_TRUE(late.ready());
    notifier.post("Now", "someone does");
    auto calls = late.waitFor(1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].title, "Now");
}

TEST(DbusNotifier, WithoutASessionBusALogLineInstead) {
    auto memory = std::make_shared<MemoryLogSink>();
    Log::addSink(memory);
    DbusNotifier notifier("unix:path=/nonexistent/orvane-test-bus");
    notifier.post("Ann's iPad connected", "Screen sharing started.");
    Log::removeSink(memory);
    EXPECT_TRUE(memory->contains("Ann's iPad connected"));
    EXPECT_TRUE(memory->contains("Screen sharing started."));
}

}  // namespace
}  // namespace orvane

#include "Orvane_Host/system/dbus/DbusNotifier.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "OrvaneKit/base/Logger.h"
#include "Orvane_Host/system/testing/FakeBusService.h"
#include "Orvane_Host/system/testing/PrivateBus.h"

namespace orvane {
namespace {

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

    explicit FakeNotificationService(const std::string& address)
        : service_(address, "org.freedesktop.Notifications",
                   {{"/org/freedesktop/Notifications", "org.freedesktop.Notifications", vtable}},
                   this) {}
    bool ready() const { return service_.ready(); }
    std::vector<Call> waitFor(std::size_t n) { return calls_.waitFor(n); }

private:
    static int onNotify(sd_bus_message* m, void* userdata, sd_bus_error*) {
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
        static_cast<FakeNotificationService*>(userdata)->calls_.add(std::move(c));
        return sd_bus_reply_method_return(m, "u", 1u);
    }
    static constexpr sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", &FakeNotificationService::onNotify, 0),
        SD_BUS_VTABLE_END,
    };

    BusCalls<Call> calls_;
    FakeBusService service_;
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

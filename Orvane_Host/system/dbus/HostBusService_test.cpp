#include "Orvane_Host/system/dbus/HostBusService.h"

#include <gtest/gtest.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <future>
#include <thread>

#include "Orvane_Host/system/testing/PrivateBus.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

// The main actor on a thread of its own, so that a blocking client call can wait on it.
struct ThreadActor final : MainActor {
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
    std::thread thread{[this] { io.run(); }};
    std::thread::id id = thread.get_id();
    ~ThreadActor() override {
        work.reset();
        io.stop();
        thread.join();
    }
    asio::any_io_executor executor() override { return io.get_executor(); }
    bool isCurrent() const override { return std::this_thread::get_id() == id; }
};

TEST(HostBus, EachCallRunsOnTheMainActorAndIsAnswered) {
    PrivateBus bus;
    if (bus.address().empty()) GTEST_SKIP() << "dbus-daemon is not installed";
    ThreadActor actor;
    std::vector<std::string> ran;
    auto onActor = [&](std::string what) {
        EXPECT_TRUE(actor.isCurrent()) << what;
        ran.push_back(std::move(what));
    };
    HostBusService::Outcome outcome;
    auto service = HostBusService::start(
        actor,
        {[&] {
             onActor("get");
             return HostBusService::Answer{"ABC-DEF", "Your Orvane access code is ABC-DEF."};
         },
         [&] {
             onActor("new");
             return HostBusService::Answer{"XYZ-123", "New access code: XYZ-123."};
         },
         [&] {
             onActor("disconnect");
             return std::string("Disconnected 3 devices.");
         },
         [&] { onActor("show"); }},
        bus.address(), outcome);
    ASSERT_TRUE(service);
    EXPECT_EQ(outcome, HostBusService::Outcome::started);

    struct Case {
        const char* method;
        std::vector<std::string> answer;
    };
    const std::vector<Case> cases = {
        {"GetAccessCode", {"ABC-DEF", "Your Orvane access code is ABC-DEF."}},
        {"ChangeAccessCode", {"XYZ-123", "New access code: XYZ-123."}},
        {"DisconnectEveryone", {"Disconnected 3 devices."}},
        {"Show", {}},
    };
    for (const auto& c : cases) {
        auto r = callHostBus(c.method, false, bus.address());
        EXPECT_TRUE(r.reached) << c.method;
        EXPECT_EQ(r.error, "") << c.method;
        EXPECT_EQ(r.strings, c.answer) << c.method;
    }
    EXPECT_EQ(ran, (std::vector<std::string>{"get", "new", "disconnect", "show"}));

    // A second host finds the name taken.
    HostBusService::Outcome second;
    EXPECT_FALSE(HostBusService::start(actor, {}, bus.address(), second));
    EXPECT_EQ(second, HostBusService::Outcome::nameTaken);

    // Once the host is gone, nobody answers.
    service.reset();
    auto r = callHostBus("GetAccessCode", false, bus.address());
    EXPECT_FALSE(r.reached);
    EXPECT_EQ(r.error, "");
}

}  // namespace
}  // namespace orvane

#include "Orvane_Host/system/dbus/LogindPowerActions.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "OrvaneKit/base/Logger.h"
#include "Orvane_Host/system/testing/FakeLogind.h"
#include "Orvane_Host/system/testing/PrivateBus.h"

namespace orvane {
namespace {

class CapturedLog {
public:
    CapturedLog() { Log::addSink(sink_); }
    ~CapturedLog() { Log::removeSink(sink_); }
    std::vector<std::string> errors() const {
        std::vector<std::string> out;
        for (const auto& r : sink_->records())
            if (r.level == LogLevel::error) out.push_back(r.message);
        return out;
    }

private:
    std::shared_ptr<MemoryLogSink> sink_ = std::make_shared<MemoryLogSink>();
};

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value, 1);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(LogindPowerActions, LocksTheSessionOfThisProcessElseTheAutoSession) {
    PrivateBus bus;
    if (bus.address().empty()) GTEST_SKIP() << "dbus-daemon is not available";
    FakeLogind logind(bus.address());
    ASSERT_TRUE(logind.ready());
    CapturedLog log;
    {
        ScopedEnv env("XDG_SESSION_ID", "c7");
        LogindPowerActions(bus.address()).lockScreen();
    }
    LogindPowerActions(bus.address(), "4").lockScreen();
    LogindPowerActions(bus.address(), "").lockScreen();
    EXPECT_EQ(logind.calls(),
              (std::vector<std::string>{"LockSession c7", "LockSession 4",
                                        "Lock /org/freedesktop/login1/session/auto"}));
    EXPECT_TRUE(log.errors().empty());
}

TEST(LogindPowerActions, RestartAsksInteractively) {
    PrivateBus bus;
    if (bus.address().empty()) GTEST_SKIP() << "dbus-daemon is not available";
    CapturedLog log;
    LogindPowerActions powers(bus.address(), "c7");
    powers.restart();  // nobody owns the name yet
    ASSERT_EQ(log.errors().size(), 1u);
    EXPECT_EQ(log.errors()[0].rfind("could not restart: ", 0), 0u) << log.errors()[0];

    FakeLogind logind(bus.address());
    ASSERT_TRUE(logind.ready());
    powers.restart();
    powers.lockScreen();
    EXPECT_EQ(logind.calls(), (std::vector<std::string>{"Reboot true", "LockSession c7"}));
    EXPECT_EQ(log.errors().size(), 1u);
}

TEST(LogindPowerActions, EachFailureIsOneLogLine) {
    PrivateBus bus;
    if (bus.address().empty()) GTEST_SKIP() << "dbus-daemon is not available";
    CapturedLog log;
    LogindPowerActions powers(bus.address(), "c7");
    powers.lockScreen();  // nobody owns the name yet
    ASSERT_EQ(log.errors().size(), 1u);
    EXPECT_EQ(log.errors()[0].rfind("could not lock the session: ", 0), 0u) << log.errors()[0];
    EXPECT_NE(log.errors()[0].find("ServiceUnknown"), std::string::npos) << log.errors()[0];

    // The same connection serves once logind is there.
    FakeLogind logind(bus.address());
    ASSERT_TRUE(logind.ready());
    powers.lockScreen();
    EXPECT_EQ(logind.calls(), std::vector<std::string>{"LockSession c7"});
    EXPECT_EQ(log.errors().size(), 1u);

    // A refusal from logind is reported and not retried.
    LogindPowerActions(bus.address(), "gone").lockScreen();
    EXPECT_EQ(logind.calls(), (std::vector<std::string>{"LockSession c7", "LockSession gone"}));
    ASSERT_EQ(log.errors().size(), 2u);
    EXPECT_NE(log.errors()[1].find("No session 'gone' known"), std::string::npos);
}

TEST(LogindPowerActions, WithoutABusOnlyALogLine) {
    CapturedLog log;
    LogindPowerActions powers("unix:path=/nonexistent/orvane-test-bus", "c7");
    powers.lockScreen();
    powers.lockScreen();
    EXPECT_EQ(log.errors(),
              std::vector<std::string>(
                  2, "could not lock the session: no system bus (No such file or directory)"));
}

TEST(LogindPowerActions, ABusThatNeverAnswersDoesNotHoldTheCallerUp) {
    // Accepts connections (into its backlog) and never says a word.
    auto path =
        std::filesystem::temp_directory_path() / ("orvane-mute-bus-" + std::to_string(::getpid()));
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
    ::unlink(path.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(::listen(fd, 8), 0);

    CapturedLog log;
    LogindPowerActions powers("unix:path=" + path.string(), "c7", std::chrono::milliseconds(100));
    auto start = std::chrono::steady_clock::now();
    powers.lockScreen();
    auto took = std::chrono::steady_clock::now() - start;
    ::close(fd);
    ::unlink(path.c_str());
    EXPECT_LT(took, std::chrono::seconds(2));
    ASSERT_EQ(log.errors().size(), 1u);
    EXPECT_EQ(log.errors()[0], "could not lock the session: no system bus (Connection timed out)");
}

TEST(LogindPowerActions, ConcurrencyCallsFromManyThreads) {
    PrivateBus bus;
    if (bus.address().empty()) GTEST_SKIP() << "dbus-daemon is not available";
    FakeLogind logind(bus.address());
    ASSERT_TRUE(logind.ready());
    LogindPowerActions powers(bus.address(), "c7");
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back([&] { powers.lockScreen(); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(logind.calls(), std::vector<std::string>(4, "LockSession c7"));
}

}  // namespace
}  // namespace orvane

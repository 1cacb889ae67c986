#include "Orvane_Host/system/linux/SpawnProcessRunner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <asio/executor_work_guard.hpp>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

namespace orvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct SpawnProcessRunnerTest : ::testing::Test {
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> guard{io.get_executor()};
    std::thread thread{[this] { io.run(); }};
    SpawnProcessRunner runner{io};
    fs::path dir = fs::temp_directory_path() /
                   ("orvane-spawn-" + std::to_string(::getpid()) + "-" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name());

    SpawnProcessRunnerTest() {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    ~SpawnProcessRunnerTest() override {
        guard.reset();
        thread.join();
        fs::remove_all(dir);
    }
    std::future<bool> start(const std::string& program, std::vector<std::string> args) {
        auto promise = std::make_shared<std::promise<bool>>();
        auto future = promise->get_future();
        runner.run(program, std::move(args), [promise, this](bool ok) {
            EXPECT_TRUE(io.get_executor().running_in_this_thread());
            promise->set_value(ok);
        });
        return future;
    }
    bool run(const std::string& program, std::vector<std::string> args = {}) {
        auto f = start(program, std::move(args));
        EXPECT_EQ(f.wait_for(10s), std::future_status::ready) << program;
        return f.get();
    }
    fs::path script(const std::string& name, const std::string& body) {
        auto path = dir / name;
        std::ofstream(path) << "#!/bin/sh\n" << body;
        fs::permissions(path, fs::perms::owner_all);
        return path;
    }
    static std::string read(const fs::path& file) {
        std::ifstream in(file);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

TEST_F(SpawnProcessRunnerTest, TrueExactlyForAProgramThatExitsWithZero) {
    EXPECT_TRUE(run("true"));
    EXPECT_TRUE(run("/bin/true"));
    EXPECT_FALSE(run("false"));
    EXPECT_FALSE(run("/bin/sh", {"-c", "exit 3"}));
    EXPECT_FALSE(run("/bin/sh", {"-c", "kill -KILL $$"}));
    EXPECT_FALSE(run((dir / "missing").string()));
    EXPECT_FALSE(run("orvane-no-such-program"));
    auto notExecutable = dir / "plain";
    std::ofstream(notExecutable) << "#!/bin/sh\nexit 0\n";
    EXPECT_FALSE(run(notExecutable.string()));
    EXPECT_FALSE(run(dir.string()));
}

TEST_F(SpawnProcessRunnerTest, ArgumentsArriveAsGivenWithoutAShell) {
    auto out = dir / "args";
    auto echo = script("echo-args",
                       "for a in \"$@\"; do printf '<%s>' \"$a\"; done > '" + out.string() + "'\n");
    ASSERT_TRUE(run(echo.string(), {"two words", "it's \"quoted\"", "$(touch x)", ";", "*"}));
    EXPECT_EQ(read(out), "<two words><it's \"quoted\"><$(touch x)><;><*>");
    EXPECT_FALSE(fs::exists(dir / "x"));
}

TEST_F(SpawnProcessRunnerTest, TheChildGetsNoInputAndNoneOfTheHostsOtherFiles) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);  // inheritable
    ASSERT_GE(fd, 3);
    auto out = dir / "seen";
    auto probe = script("probe", "if read line; then echo input; else echo no-input; fi > '" +
                                     out.string() + "'\n[ -e /proc/self/fd/" + std::to_string(fd) +
                                     " ] && echo inherited >> '" + out.string() + "'\nexit 0\n");
    EXPECT_TRUE(run(probe.string()));
    ::close(fd);
    EXPECT_EQ(read(out), "no-input\n");
}

TEST_F(SpawnProcessRunnerTest, AProgramThatKeepsRunningHoldsNoThread) {
    // One io thread only: a waiting runner would keep the second program's answer back.
    auto slow = start("sleep", {"2"});
    auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(run("true"));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1500ms);
    EXPECT_EQ(slow.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(slow.get());
}

}  // namespace
}  // namespace orvane

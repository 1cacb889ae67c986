#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace orvane {

// A helper program run by a test (openssl s_client, s_server …): stdin is a pipe the test can
// write to and close; stdout and stderr are collected together. The destructor kills and reaps
// the process, so a failing test leaves nothing behind.
class ChildProcess {
public:
    // Throws std::runtime_error when the program cannot be started.
    explicit ChildProcess(std::vector<std::string> argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void writeStdin(const std::string& data);
    void closeStdin();

    // Waits until the output contains `text`; false on time-out or when the process ended first.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout);
    // Waits for the exit; kills the process at the time-out. nullopt when it had to be killed.
    std::optional<int> waitExit(std::chrono::milliseconds timeout);
    std::string output() const;
    // For signals the test sends itself (SIGSTOP to play a frozen peer).
    pid_t pid() const { return pid_; }

    // Runs a program to completion with the given input; the output and the exit status.
    static std::pair<std::optional<int>, std::string> run(std::vector<std::string> argv,
                                                          const std::string& input,
                                                          std::chrono::milliseconds timeout);

private:
    void readLoop(int fd);
    void kill();

    pid_t pid_ = -1;
    int stdin_ = -1;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::string output_;
    bool outputClosed_ = false;
    std::optional<int> exitStatus_;
    bool reaped_ = false;
};

}  // namespace orvane

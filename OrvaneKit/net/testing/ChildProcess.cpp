#include "OrvaneKit/net/testing/ChildProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace orvane {

ChildProcess::ChildProcess(std::vector<std::string> argv) {
    // A child that exits early must not take the test down with it when we write to its stdin.
    ::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    int rc = ::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) {
        ::close(in[1]);
        ::close(out[0]);
        throw std::runtime_error("cannot start " + argv.at(0) + ": " + std::strerror(rc));
    }
    stdin_ = in[1];
    reader_ = std::thread([this, fd = out[0]] { readLoop(fd); });
}

ChildProcess::~ChildProcess() {
    closeStdin();
    kill();
    if (reader_.joinable()) reader_.join();
}

void ChildProcess::readLoop(int fd) {
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::lock_guard lock(mutex_);
        output_.append(buf, static_cast<std::size_t>(n));
        cv_.notify_all();
    }
    ::close(fd);
    std::lock_guard lock(mutex_);
    outputClosed_ = true;
    cv_.notify_all();
}

void ChildProcess::writeStdin(const std::string& data) {
    if (stdin_ < 0) return;
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(stdin_, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

void ChildProcess::closeStdin() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, timeout,
                 [&] { return output_.find(text) != std::string::npos || outputClosed_; });
    return output_.find(text) != std::string::npos;
}

std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds timeout) {
    if (reaped_) return exitStatus_;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            kill();
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Let the reader collect the last output.
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, std::chrono::seconds(2), [&] { return outputClosed_; });
    return exitStatus_;
}

void ChildProcess::kill() {
    if (reaped_ || pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    reaped_ = true;
}

std::string ChildProcess::output() const {
    std::lock_guard lock(mutex_);
    return output_;
}

std::pair<std::optional<int>, std::string> ChildProcess::run(std::vector<std::string> argv,
                                                             const std::string& input,
                                                             std::chrono::milliseconds timeout) {
    ChildProcess child(std::move(argv));
    child.writeStdin(input);
    child.closeStdin();
    auto status = child.waitExit(timeout);
    return {status, child.output()};
}

}  // namespace orvane

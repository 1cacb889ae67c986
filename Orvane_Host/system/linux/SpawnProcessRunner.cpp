#include "Orvane_Host/system/linux/SpawnProcessRunner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

#include "OrvaneKit/base/Logger.h"

extern char** environ;

namespace orvane {

namespace {

const Logger& log() {
    static const Logger l{"com.nimbrel.kelsap.host", "process"};
    return l;
}

bool exitedWithZero(const siginfo_t& info) {
    return info.si_code == CLD_EXITED && info.si_status == 0;
}

// Reaps the child; true for a clean exit.
bool reap(pid_t pid) {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED) < 0)
        if (errno != EINTR) return false;
    return exitedWithZero(info);
}

}  // namespace

void SpawnProcessRunner::run(const std::string& program, std::vector<std::string> args, Done done) {
    std::vector<std::string> words;
    words.reserve(args.size() + 1);
    words.push_back(program);
    for (auto& a : args) words.push_back(std::move(a));
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The terminal the host runs in belongs to its owner; sockets and files of the host must not
    // outlive it in a program that keeps running.
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    pid_t pid = -1;
    int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        log().notice("{} did not start: {}", program, std::strerror(rc));
        asio::post(io_, [done = std::move(done)] { done(false); });
        return;
    }

    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) {
        // Kernels before 5.3: a thread of its own waits instead.
        std::thread([&io = io_, pid, done = std::move(done)]() mutable {
            bool ok = reap(pid);
            asio::post(io, [done = std::move(done), ok] { done(ok); });
        }).detach();
        return;
    }
    auto fd = std::make_shared<asio::posix::stream_descriptor>(io_, pidfd);
    fd->async_wait(asio::posix::stream_descriptor::wait_read,
                   [fd, pid, done = std::move(done)](const std::error_code&) {
                       // Readable means exited. Whatever the wait said, the child is reaped,
                       // never left a zombie.
                       bool ok = reap(pid);
                       fd->close();
                       done(ok);
                   });
}

}  // namespace orvane

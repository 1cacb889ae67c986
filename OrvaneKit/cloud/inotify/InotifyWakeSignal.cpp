#include "OrvaneKit/cloud/inotify/InotifyWakeSignal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

namespace orvane {

namespace {

class NotifyFileSignal final : public CloudWakeSignal {
public:
    explicit NotifyFileSignal(std::filesystem::path file) : file_(std::move(file)) {}
    ~NotifyFileSignal() override { watch({}); }

    void notify() override {
        const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd < 0) return;
        // One byte, then truncated, so the file stays empty and every writer is seen.
        [[maybe_unused]] auto n = ::write(fd, "\n", 1);
        [[maybe_unused]] auto t = ::ftruncate(fd, 0);
        ::close(fd);
    }

    void watch(std::function<void()> onWake) override {
        std::lock_guard lock(mutex_);
        if (thread_.joinable()) {
            const std::uint64_t one = 1;
            [[maybe_unused]] auto n = ::write(stop_, &one, sizeof one);
            thread_.join();
            ::close(stop_);
            ::close(inotify_);
            stop_ = inotify_ = -1;
        }
        if (!onWake) return;
        inotify_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        stop_ = eventfd(0, EFD_CLOEXEC);
        if (inotify_ < 0 || stop_ < 0)
            throw CloudError(CloudErrorCode::internalError,
                             std::string("Pushes cannot be watched: ") + std::strerror(errno));
        // The folder, so that a notify file made later is seen too.
        if (inotify_add_watch(inotify_, file_.parent_path().c_str(),
                              IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE) < 0)
            throw CloudError(CloudErrorCode::internalError,
                             std::string("Pushes cannot be watched: ") + std::strerror(errno));
        thread_ = std::thread([this, onWake = std::move(onWake)] { run(onWake); });
        // Pushes noted while nobody watched.
    }

    std::int64_t processID() override { return ::getpid(); }
    bool processAlive(std::int64_t pid) override {
        return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
    }

private:
    void run(const std::function<void()>& onWake) {
        const std::string name = file_.filename().string();
        onWake();
        alignas(inotify_event) char buf[4096];
        for (;;) {
            pollfd fds[2] = {{inotify_, POLLIN, 0}, {stop_, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents) return;
            bool ours = false;
            for (;;) {
                const ssize_t n = ::read(inotify_, buf, sizeof buf);
                if (n <= 0) break;
                for (ssize_t off = 0; off < n;) {
                    const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
                    if (ev->len && name == ev->name) ours = true;
                    off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
                }
            }
            if (ours) onWake();
        }
    }

    std::filesystem::path file_;
    std::mutex mutex_;
    std::thread thread_;
    int inotify_ = -1;
    int stop_ = -1;
};

}  // namespace

std::unique_ptr<CloudWakeSignal> makeInotifyWakeSignal(const std::filesystem::path& notifyFile) {
    return std::make_unique<NotifyFileSignal>(notifyFile);
}

}  // namespace orvane

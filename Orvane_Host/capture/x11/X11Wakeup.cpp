#include "Orvane_Host/capture/x11/X11Wakeup.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>

namespace orvane::x11 {

Wakeup::Wakeup() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Wakeup::~Wakeup() {
    if (fd_ >= 0) close(fd_);
}

void Wakeup::wake() {
    const uint64_t one = 1;
    (void)!write(fd_, &one, sizeof one);
}

void Wakeup::wait(int fd, std::chrono::nanoseconds timeout) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {fd_, POLLIN, 0}};
    if (timeout < std::chrono::nanoseconds::zero()) {
        ppoll(fds, 2, nullptr, nullptr);
    } else {
        const auto ns = timeout.count();
        const timespec ts{static_cast<time_t>(ns / 1'000'000'000),
                          static_cast<long>(ns % 1'000'000'000)};
        ppoll(fds, 2, &ts, nullptr);
    }
    if (fds[1].revents & POLLIN) {
        uint64_t value;
        (void)!read(fd_, &value, sizeof value);
    }
    // A hang-up or error on the connection surfaces through the next Xlib call.
}

}  // namespace orvane::x11

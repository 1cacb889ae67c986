#pragma once

#include <chrono>

namespace orvane::x11 {

// How a thread that owns an X connection sleeps: until the connection has input, a time runs
// out, or another thread calls wake(). A wake-up that comes before the sleep is not lost.
class Wakeup {
public:
    Wakeup();
    ~Wakeup();
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;

    // False when the system had no descriptor to spare: wake() would then reach no one.
    bool valid() const { return fd_ >= 0; }
    // Safe from any thread.
    void wake();
    // Waits on the connection's descriptor `fd`; `timeout` below zero waits without end.
    void wait(int fd, std::chrono::nanoseconds timeout);
    void wait(int fd) { wait(fd, std::chrono::nanoseconds{-1}); }

private:
    int fd_ = -1;
};

}  // namespace orvane::x11

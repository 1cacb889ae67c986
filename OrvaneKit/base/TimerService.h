#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

namespace asio {
class io_context;
}

namespace orvane {

// A scheduled callback. cancel() stops a callback that has not run yet (and a repeating timer
// for good); dropping the handle does not cancel.
class TimerHandle {
public:
    struct State {
        std::atomic<bool> cancelled{false};
        std::function<void()> onCancel;  // backend hook, e.g. to free an asio timer early
    };
    TimerHandle() = default;
    explicit TimerHandle(std::shared_ptr<State> s) : state_(std::move(s)) {}
    void cancel();
    bool isActive() const { return state_ && !state_->cancelled; }
    explicit operator bool() const { return state_ != nullptr; }

private:
    std::shared_ptr<State> state_;
};

class TimerService {
public:
    using Duration = std::chrono::nanoseconds;
    virtual ~TimerService() = default;

    // Runs fn once on ex after delay.
    virtual TimerHandle after(Duration delay, asio::any_io_executor ex,
                              std::function<void()> fn) = 0;
    // Runs fn on ex every period until cancelled; the first run is one period from now.
    TimerHandle every(Duration period, asio::any_io_executor ex, std::function<void()> fn);

    // Suspends the calling coroutine; it resumes on its own executor.
    asio::awaitable<void> sleep(Duration delay);
};

// Steady timers on an io_context (normally the network pool); callbacks are posted to the
// executor each caller names.
class AsioTimerService final : public TimerService {
public:
    explicit AsioTimerService(asio::io_context& io) : io_(io) {}
    TimerHandle after(Duration delay, asio::any_io_executor ex, std::function<void()> fn) override;

private:
    asio::io_context& io_;
};

}  // namespace orvane

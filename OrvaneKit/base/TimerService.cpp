#include "OrvaneKit/base/TimerService.h"

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

namespace orvane {

void TimerHandle::cancel() {
    if (!state_) return;
    if (!state_->cancelled.exchange(true) && state_->onCancel) state_->onCancel();
}

namespace {
struct Repeater : std::enable_shared_from_this<Repeater> {
    TimerService* service;
    TimerService::Duration period;
    asio::any_io_executor ex;
    std::function<void()> fn;
    std::shared_ptr<TimerHandle::State> state;
    TimerHandle current;

    void arm() {
        auto self = shared_from_this();
        current = service->after(period, ex, [self] {
            if (self->state->cancelled) return;
            self->fn();
            if (!self->state->cancelled) self->arm();
        });
    }
};
}  // namespace

TimerHandle TimerService::every(Duration period, asio::any_io_executor ex,
                                std::function<void()> fn) {
    auto rep = std::make_shared<Repeater>();
    rep->service = this;
    rep->period = period;
    rep->ex = std::move(ex);
    rep->fn = std::move(fn);
    rep->state = std::make_shared<TimerHandle::State>();
    std::weak_ptr<Repeater> weak = rep;
    rep->state->onCancel = [weak] {
        if (auto r = weak.lock()) r->current.cancel();
    };
    rep->arm();
    return TimerHandle(rep->state);
}

asio::awaitable<void> TimerService::sleep(Duration delay) {
    auto ex = co_await asio::this_coro::executor;
    co_await asio::async_initiate<decltype(asio::use_awaitable), void()>(
        [this, delay, ex](auto handler) {
            auto h = std::make_shared<decltype(handler)>(std::move(handler));
            after(delay, ex, [h] { std::move (*h)(); });
        },
        asio::use_awaitable);
}

TimerHandle AsioTimerService::after(Duration delay, asio::any_io_executor ex,
                                    std::function<void()> fn) {
    auto state = std::make_shared<TimerHandle::State>();
    auto timer = std::make_shared<asio::steady_timer>(io_, delay);
    std::weak_ptr<asio::steady_timer> weakTimer = timer;
    state->onCancel = [weakTimer, this] {
        // Cancel on the timer's own context; the state flag already stops the callback.
        asio::post(io_, [weakTimer] {
            if (auto t = weakTimer.lock()) t->cancel();
        });
    };
    timer->async_wait(
        [timer, state, ex = std::move(ex), fn = std::move(fn)](const std::error_code& ec) mutable {
            if (ec || state->cancelled) return;
            asio::post(ex, [state, fn = std::move(fn)] {
                if (!state->cancelled) fn();
            });
        });
    return TimerHandle(state);
}

}  // namespace orvane

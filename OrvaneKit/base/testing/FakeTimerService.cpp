#include "OrvaneKit/base/testing/FakeTimerService.h"

#include <algorithm>
#include <asio/post.hpp>

namespace orvane {

TimerHandle FakeTimerService::after(Duration delay, asio::any_io_executor ex,
                                    std::function<void()> fn) {
    auto state = std::make_shared<TimerHandle::State>();
    std::lock_guard lock(mutex_);
    entries_.push_back({clock_.monoNow() + delay, ++seq_, std::move(ex), std::move(fn), state});
    return TimerHandle(state);
}

void FakeTimerService::advance(Duration d) {
    const MonoTime target = clock_.monoNow() + d;
    for (;;) {
        Entry next;
        {
            std::lock_guard lock(mutex_);
            std::erase_if(entries_, [](const Entry& e) { return e.state->cancelled.load(); });
            auto it = std::min_element(entries_.begin(), entries_.end(),
                                       [](const Entry& a, const Entry& b) {
                                           return a.due != b.due ? a.due < b.due : a.seq < b.seq;
                                       });
            if (it == entries_.end() || it->due > target) break;
            next = std::move(*it);
            entries_.erase(it);
        }
        if (next.due > clock_.monoNow()) clock_.advance(next.due - clock_.monoNow());
        asio::post(next.ex, [state = next.state, fn = std::move(next.fn)] {
            if (!state->cancelled) fn();
        });
        if (drain_) drain_();
    }
    if (target > clock_.monoNow()) clock_.advance(target - clock_.monoNow());
    if (drain_) drain_();
}

std::size_t FakeTimerService::pendingCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        entries_.begin(), entries_.end(), [](const Entry& e) { return !e.state->cancelled; }));
}

}  // namespace orvane

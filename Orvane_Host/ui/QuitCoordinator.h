#pragma once

#include <functional>
#include <utility>

namespace orvane {

// Every way of asking the host to quit (the menu, the keyboard, signals, the session manager)
// comes here. The first request shuts the host down in order, every viewer hearing its bye, and
// then exits with 0; a request while that shutdown still runs exits at once.
class QuitCoordinator {
public:
    struct Actions {
        // Runs the shutdown and calls `done` on the main actor once it is over.
        std::function<void(std::function<void()> done)> shutdown;
        std::function<void(int code)> exit;
        std::function<void()> exitNow;
    };
    explicit QuitCoordinator(Actions actions) : a_(std::move(actions)) {}

    void request() {
        if (terminating_) {
            a_.exitNow();
            return;
        }
        terminating_ = true;
        a_.shutdown([this] { a_.exit(0); });
    }
    // Never false again once true.
    bool isTerminating() const { return terminating_; }

private:
    Actions a_;
    bool terminating_ = false;
};

}  // namespace orvane

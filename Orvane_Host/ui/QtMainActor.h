#pragma once

#include <QObject>
#include <QPointer>
#include <asio/execution.hpp>
#include <asio/execution_context.hpp>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "OrvaneKit/base/MainActor.h"

namespace orvane {

// The main actor on Qt's GUI loop: everything posted to its executor runs on the GUI thread, in
// order, as a queued call; nothing ever runs inline. Make it on the GUI thread once the
// application object exists. asio timers and services bound to it live in a context of its own.
class QtMainActor final : public MainActor {
public:
    class Executor {
    public:
        explicit Executor(QtMainActor* actor) noexcept : actor_(actor) {}

        asio::execution_context& query(asio::execution::context_t) const noexcept {
            return actor_->context_;
        }
        static constexpr asio::execution::blocking_t query(asio::execution::blocking_t) noexcept {
            return asio::execution::blocking.never;
        }
        Executor require(asio::execution::blocking_t::never_t) const noexcept { return *this; }

        template <class F>
        void execute(F&& f) const {
            // asio's handlers may be move-only; Qt copies the callable.
            auto job = std::make_shared<std::decay_t<F>>(std::forward<F>(f));
            actor_->enqueue([job] { (*job)(); });
        }

        bool operator==(const Executor& other) const noexcept { return actor_ == other.actor_; }
        bool operator!=(const Executor& other) const noexcept { return actor_ != other.actor_; }

    private:
        QtMainActor* actor_;
    };

    QtMainActor();
    ~QtMainActor() override;

    asio::any_io_executor executor() override;
    bool isCurrent() const override;

private:
    void enqueue(std::function<void()> job);

    asio::execution_context context_;
    std::unique_ptr<QObject> receiver_;
};

}  // namespace orvane

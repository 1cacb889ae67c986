#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <cassert>
#include <functional>
#include <memory>
#include <thread>
#include <utility>

namespace orvane {

// The one executor on which the host's state, admission, alerts and UI reads run. In the app it
// posts into the GUI loop; headless and in tests it is an io_context run by the caller.
class MainActor {
public:
    virtual ~MainActor() = default;
    virtual asio::any_io_executor executor() = 0;
    virtual bool isCurrent() const = 0;

    template <class F>
    void post(F&& f) {
        asio::post(executor(), std::forward<F>(f));
    }

    // Runs f(object) on the main actor, if the object still exists by then: the usual shape of
    // a report from another thread to an owner that may be gone.
    template <class T, class F>
    void postTo(std::weak_ptr<T> object, F&& f) {
        post([object = std::move(object), f = std::forward<F>(f)]() mutable {
            if (auto o = object.lock()) f(*o);
        });
    }
};

// The main actor over an io_context that the thread making it runs (the app's main thread, a
// test's own thread). That thread is the main actor also between runs, as it is for a GUI loop.
class IoContextMainActor final : public MainActor {
public:
    explicit IoContextMainActor(asio::io_context& io) : io_(io) {}
    asio::any_io_executor executor() override { return io_.get_executor(); }
    bool isCurrent() const override {
        return io_.get_executor().running_in_this_thread() || std::this_thread::get_id() == owner_;
    }
    asio::io_context& context() { return io_; }

private:
    asio::io_context& io_;
    const std::thread::id owner_ = std::this_thread::get_id();
};

// At the entry of code that must run on the main actor; checked in debug builds.
#define ORVANE_ASSERT_MAIN_ACTOR(actor) assert((actor).isCurrent())

}  // namespace orvane
